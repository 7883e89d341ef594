// Worker threads: the table of started workers and the common start of every operation.
#pragma once
#include <windows.h>

// Enters a started worker into the thread table (lowest free slot). When no
// slot is free the handle is closed at once and false is returned; the worker
// runs on regardless.
bool RegisterThread(HANDLE thread, DWORD threadId);

// Starts worker(parameter) on a new thread and registers it. Returns 0 when the
// thread runs (it then owns parameter), 1 when it could not be started: then
// releaseParameter (if not null) is called on parameter here.
int StartWorker(LPTHREAD_START_ROUTINE worker, void *parameter, void (*releaseParameter)(void *));

// StartWorker that also reports the new thread's id (0 when not started).
int StartWorkerWithId(LPTHREAD_START_ROUTINE worker, void *parameter, void (*releaseParameter)(void *),
                      DWORD *threadId);

// Closes the handle of the worker entered under threadId and frees its slot.
// Returns 1 when it was found, 0 otherwise (also for id 0). The worker itself
// is neither stopped nor waited for.
int ForgetThread(DWORD threadId);

// Waits up to milliseconds for every worker in the table to end. True when they
// all have. For tests of operations without a window, whose end no message tells.
bool WaitForRegisteredWorkers(DWORD milliseconds);
