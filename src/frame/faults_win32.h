// The library's system calls, each reached through sys::, so that tests can make any of them
// fail. The shipped DLLs bind every sys:: name to the system function itself
// (faults_off_win32.cpp); the test DLL binds it to the override table of
// faults_on_win32.cpp, which fails the N-th call on demand with the error (or
// status) the test chose. scripts/lint fails when library code calls one of
// these directly.
#pragma once
#include <windows.h>
// ntsecapi.h declares RtlGenRandom (advapi32 SystemFunction036) after windows.h.
#include <ntsecapi.h>
#include <shellapi.h>
#include <wincrypt.h>
#include <wininet.h>

// One row per system call the library makes whose failure it handles:
// X(name, how an injected failure answers, the error it answers with unless
// the test names one). How it answers:
//   False          FALSE, with the error as the thread's last error
//   Null           a null pointer or handle, last error set
//   InvalidHandle  INVALID_HANDLE_VALUE, last error set
//   Zero           0, last error set (a length, a count, SendMessageTimeoutW's answer)
//   AllOnes        (DWORD)-1, last error set (ResumeThread, INVALID_FILE_ATTRIBUTES)
//   Status         the error itself as the result (registry status, dialog answer)
//   ErrorInstance  the error as an HINSTANCE of 32 or less (FindExecutableW)
// Calls that cannot fail, or whose failure leaves nothing to do (CloseHandle,
// InternetCloseHandle, RegCloseKey, LocalFree, GlobalFree, HeapFree, Sleep,
// FreeLibraryAndExitThread ...), have no row.
#define VELMORA_SYSTEM_CALLS(X)                                                                                        \
    /* registry, data protection, user name, randomness, the private heap */                                           \
    X(RegCreateKeyExW, Status, ERROR_ACCESS_DENIED)                                                                    \
    X(RegOpenKeyExW, Status, ERROR_ACCESS_DENIED)                                                                      \
    X(RegQueryValueExW, Status, ERROR_ACCESS_DENIED)                                                                   \
    X(RegSetValueExW, Status, ERROR_ACCESS_DENIED)                                                                     \
    X(CryptProtectData, False, ERROR_NOT_ENOUGH_MEMORY)                                                                \
    X(CryptUnprotectData, False, ERROR_INVALID_DATA)                                                                   \
    X(GetUserNameW, False, ERROR_ACCESS_DENIED)                                                                        \
    X(RtlGenRandom, False, ERROR_GEN_FAILURE)                                                                          \
    X(HeapCreate, Null, ERROR_NOT_ENOUGH_MEMORY)                                                                       \
    /* WinINet, and the comparison that judges a reply's origin */                                                     \
    X(InternetCrackUrlW, False, ERROR_INTERNET_INVALID_URL)                                                            \
    X(InternetQueryOptionW, False, ERROR_INTERNET_INTERNAL_ERROR)                                                      \
    X(InternetOpenW, Null, ERROR_INTERNET_INTERNAL_ERROR)                                                              \
    X(InternetConnectW, Null, ERROR_INTERNET_INTERNAL_ERROR)                                                           \
    X(HttpOpenRequestW, Null, ERROR_INTERNET_INTERNAL_ERROR)                                                           \
    X(InternetSetOptionW, False, ERROR_INTERNET_INTERNAL_ERROR)                                                        \
    X(HttpSendRequestW, False, ERROR_INTERNET_CONNECTION_RESET)                                                        \
    X(HttpQueryInfoW, False, ERROR_HTTP_HEADER_NOT_FOUND)                                                              \
    X(HttpQueryInfoA, False, ERROR_HTTP_HEADER_NOT_FOUND)                                                              \
    X(InternetReadFile, False, ERROR_INTERNET_CONNECTION_RESET)                                                        \
    X(InternetErrorDlg, Status, ERROR_CANCELLED)                                                                       \
    X(CompareStringOrdinal, Zero, ERROR_INVALID_PARAMETER)                                                             \
    /* local files */                                                                                                  \
    X(GetTempPathW, Zero, ERROR_PATH_NOT_FOUND)                                                                        \
    X(GetFullPathNameW, Zero, ERROR_INVALID_NAME)                                                                      \
    X(CreateFileW, InvalidHandle, ERROR_ACCESS_DENIED)                                                                 \
    X(ReadFile, False, ERROR_READ_FAULT)                                                                               \
    X(WriteFile, False, ERROR_DISK_FULL)                                                                               \
    X(SetFilePointerEx, False, ERROR_SEEK)                                                                             \
    X(GetFileSizeEx, False, ERROR_ACCESS_DENIED)                                                                       \
    X(GetFileInformationByHandleEx, False, ERROR_NOT_SUPPORTED)                                                        \
    X(GetFileTime, False, ERROR_ACCESS_DENIED)                                                                         \
    X(SetFileTime, False, ERROR_ACCESS_DENIED)                                                                         \
    X(SetFileInformationByHandle, False, ERROR_ACCESS_DENIED)                                                          \
    X(FlushFileBuffers, False, ERROR_WRITE_FAULT)                                                                      \
    X(GetFileAttributesW, AllOnes, ERROR_ACCESS_DENIED)                                                                \
    X(ReplaceFileW, False, ERROR_ACCESS_DENIED)                                                                        \
    X(MoveFileExW, False, ERROR_ACCESS_DENIED)                                                                         \
    X(DeleteFileW, False, ERROR_SHARING_VIOLATION)                                                                     \
    /* threads, the library's module, the shell, the host window */                                                    \
    X(CreateThread, Null, ERROR_NOT_ENOUGH_MEMORY)                                                                     \
    X(ResumeThread, AllOnes, ERROR_ACCESS_DENIED)                                                                      \
    X(GetModuleHandleExW, False, ERROR_MOD_NOT_FOUND)                                                                  \
    X(FindExecutableW, ErrorInstance, SE_ERR_NOASSOC)                                                                  \
    X(ShellExecuteExW, False, ERROR_FILE_NOT_FOUND)                                                                    \
    X(SendMessageTimeoutW, Zero, ERROR_INVALID_WINDOW_HANDLE)

namespace sys {

// sys::CreateFileW and the others: a constant pointer of the system function's
// own type, called like the function.
#define VELMORA_SYSTEM_CALL_DECLARE(name, failure, error) extern decltype(&::name) const name;
VELMORA_SYSTEM_CALLS(VELMORA_SYSTEM_CALL_DECLARE)
#undef VELMORA_SYSTEM_CALL_DECLARE

// True when the library's next allocation must fail.
bool AllocationShouldFail();

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
