// Test DLL only: stores a credential from plaintext bytes the test chose, so
// tests can make blobs the store itself never writes (no zero tail, an odd
// length, nothing at all) and check how GetAccessCreds reads them.
#include "account/creds_store_win32.h"

#include <wincrypt.h>

#include "account/account_handles_win32.h"
#include "frame/heap_win32.h"

namespace {

constexpr wchar_t kDescription[] = L"This is the description string.";

} // namespace

// Protects exactly length bytes of plaintext for the current Windows user and
// writes them as the secret (secret non-zero) or the token, in the store's own
// layout. plaintext may be null when length is 0. Returns 0, or -1 on failure.
extern "C" __declspec(dllexport) int __cdecl VelmoraDebugStoreRawCredential(int secret, const BYTE *plaintext,
                                                                            DWORD length) {
    if (plaintext == nullptr && length != 0) return -1;
    DWORD nameLength = 0;
    if (GetUserNameW(nullptr, &nameLength) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || nameLength == 0) return -1;
    LibBlock<wchar_t> userName(LibAllocArray<wchar_t>(static_cast<size_t>(nameLength) + 1));
    if (!userName) return -1;
    DWORD capacity = nameLength + 1;
    if (!GetUserNameW(userName.get(), &capacity)) return -1;

    // CryptProtectData takes a non-const pointer but only reads the input. Wine
    // refuses a null pointer even for no bytes, so an empty plaintext points at
    // a local byte that is never read.
    BYTE none = 0;
    DATA_BLOB in = {length, length == 0 ? &none : const_cast<BYTE *>(plaintext)};
    LocalDataBlob protectedBlob;
    if (!CryptProtectData(&in, kDescription, nullptr, nullptr, nullptr, 0, protectedBlob.put())) return -1;
    return WriteCredsBlob(userName.get(), &protectedBlob.get(), secret != 0);
}
