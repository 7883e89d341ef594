// The library's private heap: every block handed to the host and every working buffer.
#pragma once
#include <windows.h>

#include <cstddef>

#include "frame/owner_win32.h"

// Counts one failed allocation. Safe from any thread.
void NoteOutOfMemory();

// Returns a zero-filled block of the private heap, or null after counting the
// failure with NoteOutOfMemory. The caller frees with LibFree (or the host with
// FreeDropBoxMemory).
[[nodiscard]] void *LibAlloc(size_t bytes);

// Returns a zero-filled block of the process heap (for the texts a host
// releases with HeapFree on the process heap), or null after counting the
// failure with NoteOutOfMemory.
[[nodiscard]] void *ProcessHeapAlloc(size_t bytes);

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

// Owners of library-heap blocks; secret texts use WipedBlock, which overwrites
// the block before releasing it.
template <class T> void FreeLibBlock(T *block) { LibFree(block); }
template <class T> void WipeLibBlock(T *block) { LibWipeAndFree(block); }
template <class T> using LibBlock = Owner<NullMeansEmpty<T *, FreeLibBlock<T>>>;
template <class T> using WipedBlock = Owner<NullMeansEmpty<T *, WipeLibBlock<T>>>;
