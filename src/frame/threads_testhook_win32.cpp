// Test DLL only: starts idle workers through the common start, so tests can
// fill the thread table and watch registration and release.
#include "frame/threads_win32.h"

namespace {
DWORD WINAPI IdleWorker(LPVOID) { return 0; }
} // namespace

// Starts count workers that end at once; ids[i] receives each started id (0
// when it could not start). Returns how many started.
extern "C" __declspec(dllexport) DWORD __cdecl VelmoraDebugStartWorkers(DWORD count, DWORD *ids) {
    DWORD started = 0;
    for (DWORD i = 0; i < count; ++i) {
        ids[i] = 0;
        DWORD id = 0;
        if (StartWorker<IdleWorker>(nullptr, nullptr, &id) == 0) {
            ids[i] = id;
            ++started;
        }
    }
    return started;
}

// Waits up to milliseconds for every registered worker to end; 1 when they all have.
extern "C" __declspec(dllexport) int __cdecl VelmoraDebugWaitForWorkers(DWORD milliseconds) {
    return WaitForRegisteredWorkers(milliseconds) ? 1 : 0;
}

// The ids in the thread table, up to capacity into ids; returns how many there are.
extern "C" __declspec(dllexport) DWORD __cdecl VelmoraDebugThreadIds(DWORD *ids, DWORD capacity) {
    return RegisteredThreadIds(ids, capacity);
}
