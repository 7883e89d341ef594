// The test DLL's extra exports (VelmoraSync64Faults.dll only): the host's commands
// for tests use them; against the shipped DLL they are all null.
#pragma once
#include <windows.h>

// Blocks of the library heap still allocated, and failed allocations.
using DebugCountersFn = void(__cdecl *)(long *outstandingBlocks, unsigned long *outOfMemoryCount);
// Starts count idle workers through the common start; ids[i] gets each id (0 when not started).
using DebugStartWorkersFn = DWORD(__cdecl *)(DWORD count, DWORD *ids);
// ExecuteRequest (measure 0) or MeasureResponse on a URL of the test's choice.
using DebugExecuteFn = int(__cdecl *)(const wchar_t *url, int measure, DWORD *status, DWORD *count, char **body);
// Protects the bytes as they are and writes them as one credential.
using DebugStoreRawFn = int(__cdecl *)(int secret, const BYTE *plaintext, DWORD length);
// Waits up to milliseconds for every registered worker to end; 1 when they all have.
using DebugWaitForWorkersFn = int(__cdecl *)(DWORD milliseconds);
// Replaces the fault rules (VELMORA_FAULTS syntax) and counts calls from 1 again; 1 when every rule was understood.
using DebugSetFaultsFn = int(__cdecl *)(const char *rules);
// The calls per kind of the fault switch ("kind=calls,..." into out) and the failures it injected.
using DebugFaultCallsFn = DWORD(__cdecl *)(char *out, DWORD capacity, unsigned long *injected);
// Released blocks that held VELMORA_WATCH_SECRET before their wipe / their free (-1: nothing watched).
using DebugWatchedBlocksFn = void(__cdecl *)(long *atWipe, long *atFree);
// What SetInfo kept: copied into out, length before the buffer's first zero returned (1000: none).
using DebugStoredInfoFn = DWORD(__cdecl *)(char *out, DWORD capacity);
// Nonces made on threads threads at once (a timestamp, then a nonce per turn) into slots of slot wide characters.
using DebugMakeNoncesFn = DWORD(__cdecl *)(DWORD threads, DWORD perThread, DWORD slot, wchar_t *nonces);

// The upload's revision lookup of remotePath (encoded as the upload encodes it): 200, 404 or -1; *revision the text.
using DebugRevisionFn = int(__cdecl *)(const wchar_t *remotePath, char **revision);

// BVUpdateRemoteWithFeedback going on with the service's session uploadId, which holds offset bytes.
using DebugUploadFromFn = int(__cdecl *)(HWND window, const wchar_t *remotePath, const wchar_t *localPath, BYTE *result,
                                         BYTE *cancel, const wchar_t *uploadId, ULONGLONG offset);

// The ids in the worker-thread table, up to capacity into ids; returns how many there are.
using DebugThreadIdsFn = DWORD(__cdecl *)(DWORD *ids, DWORD capacity);

// Every hook, as X(field, ExportName, Type).
#define VELMORA_TEST_HOOKS(X)                                                                                          \
    X(counters, VelmoraDebugCounters, DebugCountersFn)                                                                 \
    X(startWorkers, VelmoraDebugStartWorkers, DebugStartWorkersFn)                                                     \
    X(execute, VelmoraDebugExecute, DebugExecuteFn)                                                                    \
    X(storeRawCredential, VelmoraDebugStoreRawCredential, DebugStoreRawFn)                                             \
    X(waitForWorkers, VelmoraDebugWaitForWorkers, DebugWaitForWorkersFn)                                               \
    X(setFaults, VelmoraDebugSetFaults, DebugSetFaultsFn)                                                              \
    X(faultCalls, VelmoraDebugFaultCalls, DebugFaultCallsFn)                                                           \
    X(watchedBlocks, VelmoraDebugWatchedBlocks, DebugWatchedBlocksFn)                                                  \
    X(storedInfo, VelmoraDebugStoredInfo, DebugStoredInfoFn)                                                           \
    X(makeNonces, VelmoraDebugMakeNonces, DebugMakeNoncesFn)                                                           \
    X(uploadFrom, VelmoraDebugUploadFrom, DebugUploadFromFn)                                                           \
    X(revision, VelmoraDebugRevision, DebugRevisionFn)                                                                 \
    X(threadIds, VelmoraDebugThreadIds, DebugThreadIdsFn)

struct TestHooks {
#define VELMORA_HOOK_FIELD(field, name, Type) Type field = nullptr;
    VELMORA_TEST_HOOKS(VELMORA_HOOK_FIELD)
#undef VELMORA_HOOK_FIELD
};
