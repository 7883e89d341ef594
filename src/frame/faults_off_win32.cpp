// The shipped fault switch: every call goes straight to the system.
#include "frame/faults_win32.h"

namespace sys {

bool AllocationShouldFail() { return false; }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
    return ::CreateThread(attributes, stackSize, start, parameter, flags, threadId);
}

DWORD ResumeThread(HANDLE thread) { return ::ResumeThread(thread); }

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size) {
    return ::RegSetValueExW(key, name, reserved, type, data, size);
}

BOOL CryptProtectData(DATA_BLOB *in, LPCWSTR description, DATA_BLOB *entropy, PVOID reserved,
                      CRYPTPROTECT_PROMPTSTRUCT *prompt, DWORD flags, DATA_BLOB *out) {
    return ::CryptProtectData(in, description, entropy, reserved, prompt, flags, out);
}

void GetSystemTimeAsFileTime(FILETIME *now) { ::GetSystemTimeAsFileTime(now); }

void NoteReleasedBlock(HANDLE, const void *, bool) {}

DWORD TransferTimeout(DWORD shipped) { return shipped; }

} // namespace sys
