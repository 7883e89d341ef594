/* The package's sample host (examples/minimal-host.c) compiled with checks
 * around the library's life, for the kit tests. It counts the workers the
 * sample releases (KillDropBoxThread answered 1), those whose thread it had
 * opened before, and those whose end it then waited for; just before the
 * sample unloads the library it reads the test DLL's outstanding blocks and
 * how many released threads have ended, and after the unload whether the
 * module is gone. All on one "check:" line. */
#include <windows.h>

#include <stdio.h>

static FARPROC WINAPI CheckedGetProcAddress(HMODULE module, LPCSTR name);
static BOOL WINAPI CheckedFreeLibrary(HMODULE module);
/* Unused only when the sample stops calling them: the counts then show it. */
static HANDLE WINAPI CheckedOpenThread(DWORD access, BOOL inherit, DWORD threadId) __attribute__((unused));
static DWORD WINAPI CheckedWaitForSingleObject(HANDLE handle, DWORD milliseconds) __attribute__((unused));
#define GetProcAddress CheckedGetProcAddress
#define FreeLibrary CheckedFreeLibrary
#define OpenThread CheckedOpenThread
#define WaitForSingleObject CheckedWaitForSingleObject
#include "minimal-host.c"
#undef GetProcAddress
#undef FreeLibrary
#undef OpenThread
#undef WaitForSingleObject

typedef void(__cdecl *CountersFn)(long *outstandingBlocks, unsigned long *outOfMemoryCount);

static KillDropBoxThreadFn realKill;
static HANDLE releasedThreads[64];
static HANDLE sampleHandles[64]; /* the sample's own handle of each released worker, or NULL */
static int released, refused, openedFirst, waited;
static DWORD lastOpenedId; /* the last thread the sample opened, and its handle */
static HANDLE lastOpened;

/* KillDropBoxThread as the sample sees it: the real one, counted. */
static int VELMORA_CALL CountingKill(DWORD threadId) {
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
    int answer = realKill(threadId);
    if (answer == 1 && thread != NULL && released < 64) {
        sampleHandles[released] = lastOpenedId == threadId ? lastOpened : NULL;
        if (lastOpenedId == threadId) ++openedFirst;
        releasedThreads[released++] = thread;
    } else {
        ++refused;
        if (thread != NULL) CloseHandle(thread);
    }
    lastOpenedId = 0;
    lastOpened = NULL;
    return answer;
}

static HANDLE WINAPI CheckedOpenThread(DWORD access, BOOL inherit, DWORD threadId) {
    HANDLE thread = OpenThread(access, inherit, threadId);
    if (thread != NULL) {
        lastOpenedId = threadId;
        lastOpened = thread;
    }
    return thread;
}

/* Counts the sample's waits that saw a released worker end. */
static DWORD WINAPI CheckedWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    DWORD answer = WaitForSingleObject(handle, milliseconds);
    int i;
    for (i = 0; i < released && answer == WAIT_OBJECT_0; ++i)
        if (sampleHandles[i] == handle) {
            ++waited;
            sampleHandles[i] = NULL;
            break;
        }
    return answer;
}

static FARPROC WINAPI CheckedGetProcAddress(HMODULE module, LPCSTR name) {
    FARPROC found = GetProcAddress(module, name);
    if (found == NULL || HIWORD((ULONG_PTR)name) == 0 || lstrcmpA(name, "KillDropBoxThread") != 0) return found;
    realKill = (KillDropBoxThreadFn)(void (*)(void))found;
    return (FARPROC)(void (*)(void))CountingKill;
}

static BOOL WINAPI CheckedFreeLibrary(HMODULE module) {
    CountersFn counters = (CountersFn)(void (*)(void))GetProcAddress(module, "VelmoraDebugCounters");
    long outstanding = -1;
    unsigned long outOfMemory = 0;
    int ended = 0, i;
    wchar_t path[MAX_PATH];
    BOOL freed;
    if (GetModuleFileNameW(module, path, MAX_PATH) == 0) path[0] = L'\0';
    if (counters != NULL) counters(&outstanding, &outOfMemory);
    for (i = 0; i < released; ++i)
        if (WaitForSingleObject(releasedThreads[i], 0) == WAIT_OBJECT_0) ++ended;
    freed = FreeLibrary(module);
    printf("check: released=%d opened_first=%d waited=%d refused=%d ended=%d outstanding_blocks=%ld "
           "out_of_memory=%lu freed=%d unloaded=%d\n",
           released, openedFirst, waited, refused, ended, outstanding, outOfMemory, freed,
           GetModuleHandleW(path) == NULL);
    return freed;
}
