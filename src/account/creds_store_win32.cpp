// The credential store: protect, write, read and unprotect the access pair.
//
// Layout under HKEY_CURRENT_USER\Software\Brevant\Accounts\<logon name>: for each
// credential (prefix "DBToken" for the token, "DBPassword" for its secret) a
// REG_DWORD "<prefix>BlobPayloadSize" with the protected blob's length and a
// REG_BINARY "<prefix>BlobPayload" holding the blob and one more byte. The
// protected plaintext of a text of n UTF-16 units is 4n + 4 bytes: the text,
// then zeros.
#include "account/creds_store_win32.h"

#include <wincrypt.h>

#include <cstring>
#include <cwchar>
#include <string_view>
#include <utility>

#include "account/account_handles_win32.h"
#include "frame/faults_win32.h"
#include "frame/heap_win32.h"

namespace {

// Key paths and value names are formed in buffers of this many wide characters.
constexpr size_t kNameCapacity = 255;
constexpr std::wstring_view kAccountsKey = L"Software\\Brevant\\Accounts\\";
constexpr std::wstring_view kSizeSuffix = L"BlobPayloadSize";
constexpr std::wstring_view kPayloadSuffix = L"BlobPayload";
constexpr wchar_t kDescription[] = L"This is the description string.";

using NameBuffer = wchar_t[kNameCapacity];

// Writes first + second and a terminator into out. False when the two do not
// fit (a logon name far beyond the usual length): the caller then fails.
bool JoinName(NameBuffer &out, std::wstring_view first, std::wstring_view second) {
    if (first.size() + second.size() >= kNameCapacity) return false;
    std::wmemcpy(out, first.data(), first.size());
    std::wmemcpy(out + first.size(), second.data(), second.size());
    out[first.size() + second.size()] = L'\0';
    return true;
}

std::wstring_view CredentialPrefix(bool secret) { return secret ? L"DBPassword" : L"DBToken"; }

// Where one credential lives: the account key and its two value names.
struct CredentialNames {
    NameBuffer keyPath;
    NameBuffer sizeName;
    NameBuffer payloadName;
};

bool FormCredentialNames(const wchar_t *userName, bool secret, CredentialNames &names) {
    return JoinName(names.keyPath, kAccountsKey, userName) &&
           JoinName(names.sizeName, CredentialPrefix(secret), kSizeSuffix) &&
           JoinName(names.payloadName, CredentialPrefix(secret), kPayloadSuffix);
}

// The logon name of the calling thread's user, or an empty block when it
// cannot be read or allocated.
LibBlock<wchar_t> GetLogonName() {
    // Asked with no buffer, GetUserNameW fails with ERROR_INSUFFICIENT_BUFFER
    // and reports the length it needs, terminator included.
    DWORD length = 0;
    if (sys::GetUserNameW(nullptr, &length) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0) return {};
    LibBlock<wchar_t> name(LibAllocArray<wchar_t>(static_cast<size_t>(length) + 1));
    if (!name) return {};
    DWORD capacity = length + 1;
    if (!sys::GetUserNameW(name.get(), &capacity)) return {};
    return name;
}

// One credential ready to be written: where it goes, and its size and payload
// values (the protected blob and one more zero byte).
struct PreparedCredential {
    CredentialNames names;
    DWORD size = 0;
    LibBlock<BYTE> payload;
};

// Readies blob to be written as one credential's values. False (nothing to
// write) when the names do not fit or the payload cannot be allocated.
bool PrepareBlob(const wchar_t *userName, const DATA_BLOB *blob, bool secret, PreparedCredential *prepared) {
    if (!FormCredentialNames(userName, secret, prepared->names) || blob->cbData == MAXDWORD) return false;
    prepared->size = blob->cbData;
    // The payload value is one byte longer than the blob; copying into a zeroed
    // buffer keeps that byte from being read beyond the block DPAPI returned.
    prepared->payload.reset(LibAllocArray<BYTE>(static_cast<size_t>(prepared->size) + 1));
    if (!prepared->payload) return false;
    if (prepared->size != 0) std::memcpy(prepared->payload.get(), blob->pbData, prepared->size);
    return true;
}

// Writes a prepared credential's size value, then its payload value. Returns 0 or -1.
int WritePrepared(const PreparedCredential &prepared) {
    RegistryKey key;
    // Creates the key and its missing parents, or opens the existing one.
    if (sys::RegCreateKeyExW(HKEY_CURRENT_USER, prepared.names.keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return -1;
    if (sys::RegSetValueExW(key.get(), prepared.names.sizeName, 0, REG_DWORD,
                            reinterpret_cast<const BYTE *>(&prepared.size), sizeof prepared.size) != ERROR_SUCCESS)
        return -1;
    if (sys::RegSetValueExW(key.get(), prepared.names.payloadName, 0, REG_BINARY, prepared.payload.get(),
                            prepared.size + 1) != ERROR_SUCCESS)
        return -1;
    return 0;
}

} // namespace

// Writes one credential's size and payload values. Returns 0 or -1.
int WriteCredsBlob(const wchar_t *userName, const DATA_BLOB *blob, bool secret) {
    PreparedCredential prepared;
    if (!PrepareBlob(userName, blob, secret, &prepared)) return -1;
    return WritePrepared(prepared);
}

namespace {

// Reads one credential's protected blob. Returns 0 with blob->cbData the stored
// size and blob->pbData a library block of size + 1 bytes (the caller frees it
// with LibFree), or -1 with *blob empty.
int ReadCredsBlob(const wchar_t *userName, DATA_BLOB *blob, bool secret) {
    *blob = DATA_BLOB{};
    CredentialNames names;
    if (!FormCredentialNames(userName, secret, names)) return -1;

    RegistryKey key;
    LSTATUS opened = sys::RegOpenKeyExW(HKEY_CURRENT_USER, names.keyPath, 0, KEY_QUERY_VALUE, key.put());
    // A 32-bit process on 64-bit Windows may be redirected to the 32-bit view;
    // the pair may have been written through the 64-bit one.
    if (opened == ERROR_FILE_NOT_FOUND)
        opened = sys::RegOpenKeyExW(HKEY_CURRENT_USER, names.keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put());
    if (opened != ERROR_SUCCESS) return -1;

    DWORD type = 0;
    DWORD size = 0;
    DWORD bytes = sizeof size;
    if (sys::RegQueryValueExW(key.get(), names.sizeName, nullptr, &type, reinterpret_cast<BYTE *>(&size), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof size || size == MAXDWORD)
        return -1;

    LibBlock<BYTE> payload(LibAllocArray<BYTE>(static_cast<size_t>(size) + 1));
    if (!payload) return -1;
    // A payload longer than size + 1 bytes does not fit and fails with ERROR_MORE_DATA.
    bytes = size + 1;
    if (sys::RegQueryValueExW(key.get(), names.payloadName, nullptr, &type, payload.get(), &bytes) != ERROR_SUCCESS ||
        type != REG_BINARY || bytes < size)
        return -1;
    blob->cbData = size;
    blob->pbData = payload.release();
    return 0;
}

// Reads and unprotects one credential. Returns its text as a zero-filled
// library block at least two bytes longer than the plaintext, so the text is
// terminated even when the plaintext lacks its zero tail; empty on any failure.
WipedBlock<wchar_t> ReadCredential(const wchar_t *userName, bool secret) {
    DATA_BLOB stored = {};
    if (ReadCredsBlob(userName, &stored, secret) != 0) return {};
    LibBlock<BYTE> storedBytes(stored.pbData);
    LocalDataBlob plain;
    if (!sys::CryptUnprotectData(&stored, nullptr, nullptr, nullptr, nullptr, 0, plain.put())) return {};
    // Whole wide characters: an odd plaintext length is rounded up before the terminator.
    const size_t units = (static_cast<size_t>(plain.get().cbData) + 1) / 2 + 1;
    WipedBlock<wchar_t> text(LibAllocArray<wchar_t>(units));
    if (text) std::memcpy(text.get(), plain.get().pbData, plain.get().cbData);
    return text;
}

// Protects one credential text and readies it to be written. False when it
// cannot be protected or there is no memory: nothing to write then.
bool ProtectCredential(const wchar_t *userName, const wchar_t *text, bool secret, PreparedCredential *prepared) {
    const size_t length = std::wcslen(text);
    if (length > (MAXDWORD - 4) / 4) return false;
    // 4n + 4 bytes: the text followed by a zero tail that readers rely on to end it.
    const DWORD plainBytes = static_cast<DWORD>(4 * length + 4);
    WipedBlock<BYTE> plain(LibAllocArray<BYTE>(plainBytes));
    if (!plain) return false;
    std::memcpy(plain.get(), text, length * sizeof(wchar_t));
    DATA_BLOB in = {plainBytes, plain.get()};
    LocalDataBlob protectedBlob;
    if (!sys::CryptProtectData(&in, kDescription, nullptr, nullptr, nullptr, 0, protectedBlob.put())) return false;
    return PrepareBlob(userName, &protectedBlob.get(), secret, prepared);
}

// The values of one credential as they are stored now, readied to be written
// back; false when there are none (or they cannot be read).
bool ReadStoredValues(const wchar_t *userName, bool secret, PreparedCredential *prepared) {
    DATA_BLOB stored = {};
    if (ReadCredsBlob(userName, &stored, secret) != 0) return false;
    const LibBlock<BYTE> storedBytes(stored.pbData);
    return PrepareBlob(userName, &stored, secret, prepared);
}

} // namespace

int StoreAccessCreds(const wchar_t *token, const wchar_t *secret) {
    if (token == nullptr || secret == nullptr) return -1;
    const LibBlock<wchar_t> userName = GetLogonName();
    if (!userName) return -1;
    // Everything that can run out of memory or fail to protect comes before the
    // first write: a pair half replaced (the new token beside the old secret)
    // would break the link the account had, and not make the new one.
    PreparedCredential newToken;
    PreparedCredential newSecret;
    if (!ProtectCredential(userName.get(), token, false, &newToken) ||
        !ProtectCredential(userName.get(), secret, true, &newSecret))
        return -1;
    // The pair stored now, put back should a write fail after the first.
    PreparedCredential oldToken;
    PreparedCredential oldSecret;
    const bool restorable =
        ReadStoredValues(userName.get(), false, &oldToken) && ReadStoredValues(userName.get(), true, &oldSecret);
    if (WritePrepared(newToken) == 0 && WritePrepared(newSecret) == 0) return 0;
    if (restorable) {
        (void)WritePrepared(oldToken);
        (void)WritePrepared(oldSecret);
    }
    return -1;
}

bool ReadAccessCreds(AccessCreds *creds) {
    *creds = AccessCreds{};
    const LibBlock<wchar_t> userName = GetLogonName();
    if (!userName) return false;
    AccessCreds read;
    read.token = ReadCredential(userName.get(), false);
    if (!read.token) return false;
    read.secret = ReadCredential(userName.get(), true);
    if (!read.secret) return false;
    *creds = std::move(read);
    return true;
}
