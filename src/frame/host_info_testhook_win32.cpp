// Test DLL only: what SetInfo kept, read back from the library's buffer.
#include "frame/host_info_win32.h"

#include <windows.h>

#include <cstring>

// Copies the kept bytes up to the buffer's first zero (all of the buffer when
// it holds none) into out, which takes capacity bytes, and terminates the copy
// when there is room. Returns how many bytes come before that first zero:
// kHostInfoCapacity means the buffer holds no terminator at all.
extern "C" __declspec(dllexport) DWORD __cdecl VelmoraDebugStoredInfo(char *out, DWORD capacity) {
    const char *stored = StoredHostInfo();
    const size_t length = strnlen(stored, kHostInfoCapacity);
    if (out != nullptr && capacity > 0) {
        const size_t copied = length < capacity ? length : capacity - 1;
        std::memcpy(out, stored, copied);
        out[copied] = '\0';
    }
    return static_cast<DWORD>(length);
}
