// The table of started workers: registration when a worker starts, release when the host forgets it.
#include "frame/threads_win32.h"

#include "frame/faults_win32.h"

namespace {

constexpr int kThreadSlots = 30;

// Thirty slots of handle and id; a slot is free when its id is 0. The lock keeps
// a host that calls exports from two threads from corrupting the table.
struct ThreadTableState {
    HANDLE handles[kThreadSlots];
    DWORD ids[kThreadSlots];
    SRWLOCK lock;
};
constinit ThreadTableState ThreadTable = {{}, {}, SRWLOCK_INIT};

} // namespace

bool RegisterThread(HANDLE thread, DWORD threadId) {
    AcquireSRWLockExclusive(&ThreadTable.lock);
    bool stored = false;
    for (int slot = 0; slot < kThreadSlots && !stored; ++slot) {
        if (ThreadTable.ids[slot] == 0) {
            ThreadTable.handles[slot] = thread;
            ThreadTable.ids[slot] = threadId;
            stored = true;
        }
    }
    ReleaseSRWLockExclusive(&ThreadTable.lock);
    // An untracked handle would never be closed: close it now, the thread runs on.
    if (!stored) CloseHandle(thread);
    return stored;
}

int StartWorkerWithId(LPTHREAD_START_ROUTINE worker, void *parameter, void (*releaseParameter)(void *),
                      DWORD *threadId) {
    *threadId = 0;
    HANDLE thread = sys::CreateThread(nullptr, 0, worker, parameter, 0, threadId);
    if (thread == nullptr) {
        *threadId = 0;
        if (releaseParameter != nullptr) releaseParameter(parameter);
        return 1;
    }
    RegisterThread(thread, *threadId);
    return 0;
}

int StartWorker(LPTHREAD_START_ROUTINE worker, void *parameter, void (*releaseParameter)(void *)) {
    DWORD threadId = 0;
    return StartWorkerWithId(worker, parameter, releaseParameter, &threadId);
}

bool WaitForRegisteredWorkers(DWORD milliseconds) {
    HANDLE copies[kThreadSlots] = {};
    DWORD count = 0;
    // Copies, so that a release on another thread cannot close a handle being waited on.
    AcquireSRWLockExclusive(&ThreadTable.lock);
    for (int slot = 0; slot < kThreadSlots; ++slot)
        if (ThreadTable.ids[slot] != 0 && DuplicateHandle(GetCurrentProcess(), ThreadTable.handles[slot],
                                                          GetCurrentProcess(), &copies[count], SYNCHRONIZE, FALSE, 0))
            ++count;
    ReleaseSRWLockExclusive(&ThreadTable.lock);
    const bool ended = count == 0 || WaitForMultipleObjects(count, copies, TRUE, milliseconds) == WAIT_OBJECT_0;
    for (DWORD i = 0; i < count; ++i) CloseHandle(copies[i]);
    return ended;
}

int ForgetThread(DWORD threadId) {
    if (threadId == 0) return 0;
    HANDLE released = nullptr;
    AcquireSRWLockExclusive(&ThreadTable.lock);
    for (int slot = 0; slot < kThreadSlots; ++slot) {
        if (ThreadTable.ids[slot] == threadId) {
            released = ThreadTable.handles[slot];
            ThreadTable.handles[slot] = nullptr;
            ThreadTable.ids[slot] = 0;
            break;
        }
    }
    ReleaseSRWLockExclusive(&ThreadTable.lock);
    if (released == nullptr) return 0;
    CloseHandle(released);
    return 1;
}
