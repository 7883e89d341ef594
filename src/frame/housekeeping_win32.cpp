// The entry point and the housekeeping exports SetInfo and FreeDropBoxMemory.
#include <windows.h>

#include "frame/heap_win32.h"
#include "velmora_sync.h"

#include <cstring>

namespace {
constexpr size_t kHostInfoCapacity = 1000;
// Kept for the host; nothing in the library reads it.
constinit char HostInfo[kHostInfoCapacity] = {};
} // namespace

// Nothing happens at load or unload: the heap is made on first use, and workers
// still running at unload are the host's to wait for.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

extern "C" void __cdecl SetInfo(const char *text) {
    if (text == nullptr) return;
    size_t length = strnlen(text, kHostInfoCapacity - 1);
    std::memcpy(HostInfo, text, length);
    HostInfo[length] = '\0';
}

extern "C" int __cdecl FreeDropBoxMemory(void *block) {
    if (block == nullptr) return -1;
    LibFree(block);
    return 1;
}
