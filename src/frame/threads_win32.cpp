// The table of started workers: registration when a worker starts, release when the host forgets it;
// and the start and end that every worker thread goes through.
#include "frame/threads_win32.h"

#include "frame/faults_win32.h"

// The linker's symbol at the library's own base address, which is its module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

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

// Frees the slot of threadId and returns its handle (null when it has none).
HANDLE TakeSlot(DWORD threadId) {
    HANDLE taken = nullptr;
    AcquireSRWLockExclusive(&ThreadTable.lock);
    for (int slot = 0; slot < kThreadSlots; ++slot) {
        if (ThreadTable.ids[slot] == threadId) {
            taken = ThreadTable.handles[slot];
            ThreadTable.handles[slot] = nullptr;
            ThreadTable.ids[slot] = 0;
            break;
        }
    }
    ReleaseSRWLockExclusive(&ThreadTable.lock);
    return taken;
}

// A new reference on the library's module, which FreeLibrary (or
// FreeLibraryAndExitThread) gives back. Null when it cannot be taken.
HMODULE TakeLibraryReference() {
    HMODULE module = nullptr;
    if (!sys::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&FinishWorker),
                                 &module))
        return nullptr;
    return module;
}

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
    return stored;
}

void FinishWorker(DWORD code) {
    // The reference taken at the start is the one this thread still holds, so the
    // module is mapped, and its handle is its own base address: nothing has to be
    // looked up (a lookup that failed would leave the reference taken for good,
    // and the library loaded after the host's last FreeLibrary).
    FreeLibraryAndExitThread(reinterpret_cast<HMODULE>(&__ImageBase), code);
}

int StartWorkerThread(LPTHREAD_START_ROUTINE thread, void *parameter, void (*releaseParameter)(void *),
                      DWORD *threadId) {
    *threadId = 0;
    auto notStarted = [&] {
        if (releaseParameter != nullptr) releaseParameter(parameter);
        return 1;
    };
    // The worker's reference: a host that unloads the library after (or while
    // handling) the final message leaves it mapped until the worker has left
    // its code, in FinishWorker.
    const HMODULE module = TakeLibraryReference();
    if (module == nullptr) return notStarted();
    DWORD id = 0;
    // Suspended until it is in the table: a host thread that handles the final
    // message can then always release it.
    HANDLE handle = sys::CreateThread(nullptr, 0, thread, parameter, CREATE_SUSPENDED, &id);
    if (handle == nullptr) {
        FreeLibrary(module);
        return notStarted();
    }
    const bool tracked = RegisterThread(handle, id);
    if (sys::ResumeThread(handle) == static_cast<DWORD>(-1)) {
        // It never ran a line of its own, so it holds nothing: ended here, it
        // is a worker that never started.
        if (tracked) TakeSlot(id);
        TerminateThread(handle, 1);
        CloseHandle(handle);
        FreeLibrary(module);
        return notStarted();
    }
    // An untracked handle would never be closed: close it now, the thread runs on.
    if (!tracked) CloseHandle(handle);
    *threadId = id;
    return 0;
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
    HANDLE released = TakeSlot(threadId);
    if (released == nullptr) return 0;
    CloseHandle(released);
    return 1;
}

DWORD RegisteredThreadIds(DWORD *ids, DWORD capacity) {
    DWORD count = 0;
    AcquireSRWLockShared(&ThreadTable.lock);
    for (int slot = 0; slot < kThreadSlots; ++slot) {
        if (ThreadTable.ids[slot] == 0) continue;
        if (count < capacity) ids[count] = ThreadTable.ids[slot];
        ++count;
    }
    ReleaseSRWLockShared(&ThreadTable.lock);
    return count;
}
