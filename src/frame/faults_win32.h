// Calls whose failures (or values) tests must be able to force. The shipped DLLs link the
// plain forwarding versions; the test DLL links versions that fail the N-th
// call on demand (see faults_on_win32.cpp).
#pragma once
#include <windows.h>
#include <wincrypt.h>

namespace sys {

// True when the library's next allocation must fail.
bool AllocationShouldFail();

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId);
DWORD ResumeThread(HANDLE thread);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size);
BOOL CryptProtectData(DATA_BLOB *in, LPCWSTR description, DATA_BLOB *entropy, PVOID reserved,
                      CRYPTPROTECT_PROMPTSTRUCT *prompt, DWORD flags, DATA_BLOB *out);
// The library's clock; the test DLL can hold it still.
void GetSystemTimeAsFileTime(FILETIME *now);

// Called with every block of the library heap just before it is wiped
// (beforeWipe true) and just before it is freed: the test DLL looks in it for
// a watched secret; the shipped DLLs do nothing.
void NoteReleasedBlock(HANDLE heap, const void *block, bool beforeWipe);

// The receive and send timeout of the library's requests in milliseconds:
// shipped in the shipped DLLs; the test DLL takes VELMORA_TRANSFER_TIMEOUT_MS
// instead when it is set, so tests of a silent server need not wait a minute.
DWORD TransferTimeout(DWORD shipped);

} // namespace sys
