// Service date texts to Windows FILETIMEs: thin layer over download/service_date.
#include "download/service_date_win32.h"

#include <string_view>

#include "download/service_date.h"
#include "velmora_sync.h"

namespace {

void StoreFiletime(uint64_t value, FILETIME *out) {
    out->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFFu);
    out->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

} // namespace

bool ServiceDateToFILETIME(const char *text, FILETIME *out) {
    uint64_t value = 0;
    if (text == nullptr || !ParseServiceDate(text, &value)) return false;
    StoreFiletime(value, out);
    return true;
}

void SecondsToFILETIME(int64_t seconds, FILETIME *out) {
    uint64_t value = kFiletimeOf1970;
    if (!SecondsToFiletime(seconds, &value)) value = kFiletimeOf1970;
    StoreFiletime(value, out);
}

// Exported: the host cannot tell a failed parse from 1970-01-01 00:00:00 UTC;
// internal callers use ServiceDateToFILETIME, which can.
extern "C" VELMORA_API ULONGLONG VELMORA_CALL ConvertToFILETIME(const char *serviceDate) {
    uint64_t value = kFiletimeOf1970;
    if (serviceDate == nullptr || !ParseServiceDate(serviceDate, &value)) return kFiletimeOf1970;
    return value;
}
