// Owner of one WinINet handle (session, connection or request): closed once, on every path.
#pragma once
#include <windows.h>
#include <wininet.h>

// Not copyable. Closing keeps the thread's last error, so a caller that fails
// after a WinINet call can still report that call's error while its handles close.
class InternetHandle {
  public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    InternetHandle(const InternetHandle &) = delete;
    InternetHandle &operator=(const InternetHandle &) = delete;
    ~InternetHandle() { reset(); }

    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HINTERNET release() {
        HINTERNET handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    // Closes what is held (if anything), then holds handle.
    void reset(HINTERNET handle = nullptr) {
        if (handle_ != nullptr) {
            const DWORD error = GetLastError();
            InternetCloseHandle(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }
    // For calls that fill an out-parameter: closes what is held first.
    HINTERNET *put() {
        reset();
        return &handle_;
    }

  private:
    HINTERNET handle_ = nullptr;
};
