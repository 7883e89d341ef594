// One owner type for every handle family: closed once, on every path, unless released.
#pragma once
#include <windows.h>

// Holds one handle (or pointer) and closes it with Close when replaced or
// destroyed. Not copyable. Closing keeps the thread's last error, so a caller
// that gives up after a failed call can still report that call's error.
template <class Handle, void (*Close)(Handle)> class Owner {
  public:
    Owner() = default;
    explicit Owner(Handle handle) : handle_(handle) {}
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    ~Owner() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    Handle release() {
        Handle handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    // Closes what is held (if anything), then holds handle.
    void reset(Handle handle = nullptr) {
        if (handle_ != nullptr) {
            const DWORD error = GetLastError();
            Close(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }
    // For calls that fill an out-parameter: closes what is held first.
    Handle *put() {
        reset();
        return &handle_;
    }

  private:
    Handle handle_ = nullptr;
};
