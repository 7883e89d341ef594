// One owner type for every handle family: closed once, on every path, unless released.
#pragma once
#include <windows.h>

// Holds one handle (or pointer) of the family Traits describes and closes it
// with Traits::Close when replaced or destroyed. Traits names the Handle type,
// the value that means "nothing held" (Invalid) and Close. Movable, not
// copyable, so functions hand their results over as owners. Closing keeps the
// thread's last error, so a caller that gives up after a failed call can still
// report that call's error.
template <class Traits> class Owner {
  public:
    using Handle = typename Traits::Handle;

    Owner() = default;
    explicit Owner(Handle handle) : handle_(handle) {}
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    Owner(Owner &&other) noexcept : handle_(other.release()) {}
    Owner &operator=(Owner &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Owner() { reset(); }

    Handle get() const { return handle_; }
    // For owners of records: the record's members (only used where Handle is a pointer).
    Handle operator->() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }
    Handle release() {
        Handle handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }
    // Closes what is held (if anything), then holds handle.
    void reset(Handle handle = Traits::Invalid()) {
        if (handle_ != Traits::Invalid()) {
            const DWORD error = GetLastError();
            Traits::Close(handle_);
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
    Handle handle_ = Traits::Invalid();
};

// Traits of the families whose "nothing" is a null handle or pointer.
template <class H, void (*CloseFunction)(H)> struct NullMeansEmpty {
    using Handle = H;
    static constexpr Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { CloseFunction(handle); }
};

// Kernel file handles, whose "nothing" is INVALID_HANDLE_VALUE (CreateFileW's failure value).
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { CloseHandle(handle); }
};
using FileHandle = Owner<FileHandleTraits>;
