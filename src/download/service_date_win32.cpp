// Service date texts to Windows FILETIMEs: thin layer over download/service_date.
#include "download/service_date_win32.h"

#include "download/service_date.h"

bool ServiceDateToFILETIME(std::string_view text, FILETIME *out) {
    uint64_t value = 0;
    if (!ParseServiceDate(text, &value)) return false;
    out->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(value >> 32);
    return true;
}

bool ServiceDateToFILETIME(const char *text, FILETIME *out) {
    return text != nullptr && ServiceDateToFILETIME(std::string_view(text), out);
}
