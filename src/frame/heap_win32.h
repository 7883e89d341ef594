// The library's private heap: every block handed to the host and every working buffer.
#pragma once
#include <windows.h>

#include <cstddef>

// Counts one failed allocation. Safe from any thread.
void NoteOutOfMemory();

// Returns a zero-filled block of the private heap, or null after counting the
// failure with NoteOutOfMemory. The caller frees with LibFree (or the host with
// FreeDropBoxMemory).
[[nodiscard]] void *LibAlloc(size_t bytes);

// Releases a block of LibAlloc; null is ignored.
void LibFree(void *block);

// Overwrites a block that held a secret, then releases it; null is ignored.
void LibWipeAndFree(void *block);

// Allocation helpers for typed blocks (zero-filled, counted on failure).
template <class T> [[nodiscard]] T *LibAllocArray(size_t count) {
    return static_cast<T *>(LibAlloc(count * sizeof(T)));
}
template <class T> [[nodiscard]] T *LibNew() { return static_cast<T *>(LibAlloc(sizeof(T))); }

// Counters for tests and diagnostics.
long OutstandingBlocks();
unsigned long OutOfMemoryTotal();

// Owner of one library-heap block: frees it on every path unless released.
// Secret texts use WipedBlock, which overwrites the block first.
template <class T, void (*Release)(void *)> class BasicLibBlock {
  public:
    BasicLibBlock() = default;
    explicit BasicLibBlock(T *block) : block_(block) {}
    BasicLibBlock(const BasicLibBlock &) = delete;
    BasicLibBlock &operator=(const BasicLibBlock &) = delete;
    ~BasicLibBlock() { reset(); }

    T *get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    T *release() {
        T *block = block_;
        block_ = nullptr;
        return block;
    }
    void reset(T *block = nullptr) {
        if (block_ != nullptr) Release(block_);
        block_ = block;
    }
    // For calls that fill an out-parameter: frees what is held first.
    T **put() {
        reset();
        return &block_;
    }

  private:
    T *block_ = nullptr;
};

template <class T> using LibBlock = BasicLibBlock<T, LibFree>;
template <class T> using WipedBlock = BasicLibBlock<T, LibWipeAndFree>;
