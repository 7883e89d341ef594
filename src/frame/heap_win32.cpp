// The library's private heap, created on first use, and the allocation counters.
#include "frame/heap_win32.h"

#include "frame/faults_win32.h"

#include <atomic>

namespace {

constinit std::atomic<HANDLE> privateHeap{nullptr};
constinit std::atomic<unsigned long> outOfMemoryCount{0};
constinit std::atomic<long> outstandingBlocks{0};

// Creates the heap once; DllMain stays empty, so the first caller on any thread
// creates it and a racing second creator destroys its own copy.
HANDLE LibraryHeap() {
    HANDLE heap = privateHeap.load(std::memory_order_acquire);
    if (heap != nullptr) return heap;
    HANDLE created = sys::HeapCreate(0, 0, 0);
    if (created == nullptr) return nullptr;
    HANDLE expected = nullptr;
    if (privateHeap.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
    HeapDestroy(created);
    return expected;
}

} // namespace

void NoteOutOfMemory() { outOfMemoryCount.fetch_add(1, std::memory_order_relaxed); }

void *LibAlloc(size_t bytes) {
    HANDLE heap = LibraryHeap();
    void *block = nullptr;
    if (heap != nullptr && !sys::AllocationShouldFail())
        block = HeapAlloc(heap, HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        NoteOutOfMemory();
        return nullptr;
    }
    outstandingBlocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void *ProcessHeapAlloc(size_t bytes) {
    void *block = sys::AllocationShouldFail() ? nullptr : HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (block == nullptr) NoteOutOfMemory();
    return block;
}

void LibFree(void *block) {
    if (block == nullptr) return;
    HANDLE heap = LibraryHeap();
    sys::NoteReleasedBlock(heap, block, false);
    HeapFree(heap, 0, block);
    outstandingBlocks.fetch_sub(1, std::memory_order_relaxed);
}

void LibWipeAndFree(void *block) {
    if (block == nullptr) return;
    HANDLE heap = LibraryHeap();
    sys::NoteReleasedBlock(heap, block, true);
    SIZE_T size = HeapSize(heap, 0, block);
    if (size != static_cast<SIZE_T>(-1)) SecureZeroMemory(block, size);
    LibFree(block);
}

long OutstandingBlocks() { return outstandingBlocks.load(std::memory_order_relaxed); }

unsigned long OutOfMemoryTotal() { return outOfMemoryCount.load(std::memory_order_relaxed); }
