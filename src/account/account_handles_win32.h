// Owners of the account code's Win32 resources: registry keys and DPAPI output blobs.
#pragma once
#include <windows.h>
#include <wincrypt.h>

#include "frame/owner_win32.h"

inline void CloseRegistryKey(HKEY key) { RegCloseKey(key); }
using RegistryKey = Owner<NullMeansEmpty<HKEY, CloseRegistryKey>>;

// One DATA_BLOB whose bytes DPAPI allocated with LocalAlloc. The bytes are
// wiped before LocalFree on every path: an unprotected blob is the plaintext
// of a credential, and wiping a protected one costs nothing worth a second type.
class LocalDataBlob {
  public:
    LocalDataBlob() = default;
    LocalDataBlob(const LocalDataBlob &) = delete;
    LocalDataBlob &operator=(const LocalDataBlob &) = delete;
    ~LocalDataBlob() { reset(); }

    const DATA_BLOB &get() const { return blob_; }
    explicit operator bool() const { return blob_.pbData != nullptr; }
    DATA_BLOB release() {
        DATA_BLOB blob = blob_;
        blob_ = DATA_BLOB{};
        return blob;
    }
    void reset(DATA_BLOB blob = DATA_BLOB{}) {
        if (blob_.pbData != nullptr) {
            DWORD error = GetLastError();
            SecureZeroMemory(blob_.pbData, blob_.cbData);
            LocalFree(blob_.pbData);
            SetLastError(error);
        }
        blob_ = blob;
    }
    // For CryptProtectData / CryptUnprotectData: frees what is held first.
    DATA_BLOB *put() {
        reset();
        return &blob_;
    }

  private:
    DATA_BLOB blob_ = {};
};
