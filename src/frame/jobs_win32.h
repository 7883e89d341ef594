// The start of every network operation: a job record handed from the starting export to its worker.
#pragma once
#include <windows.h>

#include <new>

#include "frame/heap_win32.h"
#include "frame/threads_win32.h"

// A job record lives in a library block; its owner destroys and frees it.
template <class Job> void DestroyJob(Job *job) {
    if (job == nullptr) return;
    job->~Job();
    LibFree(job);
}
template <class Job> using JobBlock = Owner<NullMeansEmpty<Job *, DestroyJob<Job>>>;

// Starts Worker on a new, value-initialised Job. fill(job) stores the
// operation's arguments in it and returns false when a copy of a text could not
// be allocated (already counted): then 0 goes into *result and 1 is returned.
// 1 also when the job cannot be allocated (counted; *result untouched) or the
// thread cannot start (the job is released here). 0 when the worker runs: it
// owns the job from then on and takes it with JobBlock<Job>(static_cast<Job *>(parameter)).
template <class Job, LPTHREAD_START_ROUTINE Worker, class Fill> int StartNetworkOperation(BYTE *result, Fill fill) {
    void *block = LibAlloc(sizeof(Job));
    if (block == nullptr) return 1;
    JobBlock<Job> job(new (block) Job{});
    if (!fill(*job.get())) {
        if (result != nullptr) *result = 0;
        return 1;
    }
    return StartWorker<Worker>(job.release(), [](void *parameter) { DestroyJob(static_cast<Job *>(parameter)); });
}
