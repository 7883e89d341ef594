// The credential store: the access pair of the linked account, per Windows user,
// DPAPI-protected under HKCU. The export GetAccessCreds is a shim over ReadAccessCreds.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "frame/heap_win32.h"

// The access token and its secret of the linked account, zero-terminated
// texts (wiped when released).
struct AccessCreds {
    WipedBlock<wchar_t> token;
    WipedBlock<wchar_t> secret;
};

// Reads and unprotects the stored pair of the current Windows user into
// *creds. False with *creds empty when either cannot be read (never linked,
// damaged or foreign blobs, no memory).
[[nodiscard]] bool ReadAccessCreds(AccessCreds *creds);

// Protects the access token and its secret for the current Windows user and
// writes them (token first; the secret is not written when the token's write
// failed). Returns 0 when both writes succeeded, -1 otherwise (also for a null
// argument). Nothing is written unless both are protected and ready; a write
// that fails after that puts the pair stored before back where there was one
// (without one, the values written before the failure stay). The arguments
// stay the caller's.
[[nodiscard]] int StoreAccessCreds(const wchar_t *token, const wchar_t *secret);

// Writes one DPAPI-protected blob under HKCU\Software\Brevant\Accounts\<userName>:
// the size value, then the payload value of blob->cbData + 1 bytes (the secret's
// values when secret, else the token's). Returns 0 or -1. The store's own writer,
// declared here for the test DLL's hook.
[[nodiscard]] int WriteCredsBlob(const wchar_t *userName, const DATA_BLOB *blob, bool secret);
