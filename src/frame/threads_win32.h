// Worker threads: the table of started workers and the common start of every operation.
#pragma once
#include <windows.h>

// Enters a started worker into the thread table (lowest free slot). False when
// no slot is free: nothing is stored and the handle stays the caller's.
bool RegisterThread(HANDLE thread, DWORD threadId);

// The end of every worker thread: gives back the reference on the library that
// its start took, and ends the thread with code. Never returns, so no code of
// the library runs after the reference is gone; a host may unload the library
// at any moment and the module stays mapped until this call.
[[noreturn]] void FinishWorker(DWORD code);

// The thread procedure of every worker: runs Worker(parameter), then ends
// through FinishWorker. Instantiated once per worker, nothing else in it.
template <LPTHREAD_START_ROUTINE Worker> DWORD WINAPI WorkerThread(LPVOID parameter) {
    FinishWorker(Worker(parameter));
}

// The start itself, on the instance of WorkerThread: takes the reference on the
// library, creates the thread suspended, enters it into the table, then lets it
// run. Returns 0 and *threadId when it runs (it then owns parameter); 1 with
// *threadId 0 when it could not be started or resumed: then the reference is
// given back, no thread is left and releaseParameter (if not null) has been
// called on parameter. A full table leaves the worker untracked: it runs, and
// its handle is closed at once.
int StartWorkerThread(LPTHREAD_START_ROUTINE thread, void *parameter, void (*releaseParameter)(void *),
                      DWORD *threadId);

// Starts Worker(parameter) on a new thread as StartWorkerThread does.
template <LPTHREAD_START_ROUTINE Worker>
int StartWorker(void *parameter, void (*releaseParameter)(void *), DWORD *threadId = nullptr) {
    DWORD id = 0;
    const int started = StartWorkerThread(WorkerThread<Worker>, parameter, releaseParameter, &id);
    if (threadId != nullptr) *threadId = id;
    return started;
}

// Closes the handle of the worker entered under threadId and frees its slot.
// Returns 1 when it was found, 0 otherwise (also for id 0). The worker itself
// is neither stopped nor waited for.
int ForgetThread(DWORD threadId);

// Waits up to milliseconds for every worker in the table to end. True when they
// all have. For tests of operations without a window, whose end no message tells.
bool WaitForRegisteredWorkers(DWORD milliseconds);

// The ids in the thread table now, up to capacity of them, into ids; returns
// how many there are (which may exceed capacity). For tests of hosts that lost
// the final messages that name their workers.
DWORD RegisteredThreadIds(DWORD *ids, DWORD capacity);
