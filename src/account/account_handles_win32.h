// Owners of the account code's Win32 resources: registry keys and DPAPI output blobs.
#pragma once
#include <windows.h>
#include <wincrypt.h>

// One open registry key, closed on every path unless released. The close keeps
// the thread's last error, so a caller may still read the error of the call
// that made it give up.
class RegistryKey {
  public:
    RegistryKey() = default;
    RegistryKey(const RegistryKey &) = delete;
    RegistryKey &operator=(const RegistryKey &) = delete;
    ~RegistryKey() { reset(); }

    HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }
    HKEY release() {
        HKEY key = key_;
        key_ = nullptr;
        return key;
    }
    void reset(HKEY key = nullptr) {
        if (key_ != nullptr) {
            DWORD error = GetLastError();
            RegCloseKey(key_);
            SetLastError(error);
        }
        key_ = key;
    }
    // For RegCreateKeyExW / RegOpenKeyExW: closes what is held first.
    HKEY *put() {
        reset();
        return &key_;
    }

  private:
    HKEY key_ = nullptr;
};

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
