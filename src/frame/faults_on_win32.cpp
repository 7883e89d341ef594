// The test DLL's fault switch: fails the N-th call of a chosen kind on demand,
// and watches released blocks for a secret.
//
// VELMORA_FAULTS holds comma-separated rules "kind=N" (only the N-th call fails,
// counting from 1) or "kind=N+" (the N-th and every later call fail). Kinds:
// alloc, CreateThread, ResumeThread, RegSetValueExW, CryptProtectData, clock
// ("clock=N": from the N-th reading on, the library's clock stands still at that
// reading) and ThreadRunsFirst ("ThreadRunsFirst=N": the N-th CreateThread of a
// thread that may run at once returns only when that thread has ended, at most
// 10 s later, as the slowest scheduler could make its creator; a thread created
// suspended cannot run, so its creator goes on at once).
// Read once per process; VelmoraDebugSetFaults replaces the rules later and
// counts calls from 1 again, so one process can run an operation once per N.
//
// VELMORA_WATCH_SECRET holds a text (at most 127 bytes) that every block of the
// library heap is searched for, as 8-bit bytes and as UTF-16LE (each byte
// widened), just before it is wiped and just before it is freed: a secret that
// reaches the heap's free list unwiped shows up in VelmoraDebugWatchedBlocks.
#include "frame/faults_win32.h"

#include "frame/heap_win32.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

enum FaultKind {
    FaultAlloc,
    FaultCreateThread,
    FaultResumeThread,
    FaultRegSetValue,
    FaultCryptProtect,
    FaultClock,
    FaultThreadRunsFirst,
    FaultKinds
};
constexpr const char *kFaultNames[FaultKinds] = {
    "alloc", "CreateThread", "ResumeThread", "RegSetValueExW", "CryptProtectData", "clock", "ThreadRunsFirst"};
// How long a creator waits for a thread that runs first.
constexpr DWORD kRunsFirstMilliseconds = 10000;

struct FaultRule {
    unsigned long failAt = 0; // 0: never
    bool andLater = false;
};

constinit FaultRule rules[FaultKinds];
constinit std::atomic<unsigned long> calls[FaultKinds];
constinit std::atomic<int> rulesState{0}; // 0 unread, 1 reading, 2 read
// The clock reading that a held clock keeps returning; 0 until it is taken.
constinit std::atomic<ULONGLONG> heldClock{0};

constexpr size_t kWatchCapacity = 128;
// The watched text as read (8-bit) and widened; length 0: nothing watched.
constinit BYTE watched[kWatchCapacity] = {};
constinit BYTE watchedWide[2 * kWatchCapacity] = {};
constinit size_t watchedLength = 0;
// Released blocks that held the watched text just before their wipe, and just before their free.
constinit std::atomic<long> watchedAtWipe{0};
constinit std::atomic<long> watchedAtFree{0};

void ParseRules(const char *text) {
    while (*text != '\0') {
        const char *end = std::strchr(text, ',');
        size_t length = end ? static_cast<size_t>(end - text) : std::strlen(text);
        for (int kind = 0; kind < FaultKinds; ++kind) {
            size_t nameLength = std::strlen(kFaultNames[kind]);
            if (length > nameLength && std::strncmp(text, kFaultNames[kind], nameLength) == 0 &&
                text[nameLength] == '=') {
                char *after = nullptr;
                rules[kind].failAt = std::strtoul(text + nameLength + 1, &after, 10);
                rules[kind].andLater = after != nullptr && *after == '+';
            }
        }
        text += length;
        if (*text == ',') ++text;
    }
}

void ReadWatchedText() {
    char text[kWatchCapacity] = {};
    DWORD length = GetEnvironmentVariableA("VELMORA_WATCH_SECRET", text, sizeof text);
    if (length == 0 || length >= sizeof text) return;
    for (DWORD i = 0; i < length; ++i) {
        watched[i] = static_cast<BYTE>(text[i]);
        watchedWide[2 * i] = static_cast<BYTE>(text[i]);
    }
    watchedLength = length;
}

void ReadRulesOnce() {
    int state = 0;
    if (rulesState.compare_exchange_strong(state, 1)) {
        char text[256] = {};
        DWORD length = GetEnvironmentVariableA("VELMORA_FAULTS", text, sizeof text);
        if (length > 0 && length < sizeof text) ParseRules(text);
        ReadWatchedText();
        rulesState.store(2);
        return;
    }
    while (rulesState.load() != 2) Sleep(0);
}

// Counts one call of the kind; true when the rules say it must fail.
bool ShouldFail(FaultKind kind) {
    ReadRulesOnce();
    unsigned long call = calls[kind].fetch_add(1) + 1;
    const FaultRule &rule = rules[kind];
    if (rule.failAt == 0) return false;
    return call == rule.failAt || (rule.andLater && call > rule.failAt);
}

bool Contains(const BYTE *bytes, size_t size, const BYTE *pattern, size_t length) {
    if (length == 0 || size < length) return false;
    for (size_t i = 0; i + length <= size; ++i)
        if (bytes[i] == pattern[0] && std::memcmp(bytes + i, pattern, length) == 0) return true;
    return false;
}

} // namespace

namespace sys {

bool AllocationShouldFail() { return ShouldFail(FaultAlloc); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
    if (ShouldFail(FaultCreateThread)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const bool runsFirst = ShouldFail(FaultThreadRunsFirst) && (flags & CREATE_SUSPENDED) == 0;
    HANDLE thread = ::CreateThread(attributes, stackSize, start, parameter, flags, threadId);
    if (thread != nullptr && runsFirst) WaitForSingleObject(thread, kRunsFirstMilliseconds);
    return thread;
}

DWORD ResumeThread(HANDLE thread) {
    if (ShouldFail(FaultResumeThread)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return static_cast<DWORD>(-1);
    }
    return ::ResumeThread(thread);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size) {
    if (ShouldFail(FaultRegSetValue)) return ERROR_ACCESS_DENIED;
    return ::RegSetValueExW(key, name, reserved, type, data, size);
}

BOOL CryptProtectData(DATA_BLOB *in, LPCWSTR description, DATA_BLOB *entropy, PVOID reserved,
                      CRYPTPROTECT_PROMPTSTRUCT *prompt, DWORD flags, DATA_BLOB *out) {
    if (ShouldFail(FaultCryptProtect)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return ::CryptProtectData(in, description, entropy, reserved, prompt, flags, out);
}

void GetSystemTimeAsFileTime(FILETIME *now) {
    ReadRulesOnce();
    const FaultRule &rule = rules[FaultClock];
    const bool hold = rule.failAt != 0 && calls[FaultClock].fetch_add(1) + 1 >= rule.failAt;
    ULONGLONG held = heldClock.load();
    if (hold && held == 0) {
        ::GetSystemTimeAsFileTime(now);
        ULONGLONG reading = (static_cast<ULONGLONG>(now->dwHighDateTime) << 32) | now->dwLowDateTime;
        // The first thread to hold the clock fixes its value; the others take that one.
        heldClock.compare_exchange_strong(held, reading);
        held = heldClock.load();
    }
    if (!hold) {
        ::GetSystemTimeAsFileTime(now);
        return;
    }
    now->dwLowDateTime = static_cast<DWORD>(held & 0xFFFFFFFFu);
    now->dwHighDateTime = static_cast<DWORD>(held >> 32);
}

void NoteReleasedBlock(HANDLE heap, const void *block, bool beforeWipe) {
    ReadRulesOnce();
    if (watchedLength == 0) return;
    const SIZE_T size = HeapSize(heap, 0, block);
    if (size == static_cast<SIZE_T>(-1)) return;
    const BYTE *bytes = static_cast<const BYTE *>(block);
    if (Contains(bytes, size, watched, watchedLength) || Contains(bytes, size, watchedWide, 2 * watchedLength))
        (beforeWipe ? watchedAtWipe : watchedAtFree).fetch_add(1);
}

} // namespace sys

// ---- The test DLL's request timeout ----
//
// VELMORA_TRANSFER_TIMEOUT_MS (decimal milliseconds, 1 or more) replaces the
// shipped receive and send timeout of every request; read at each request.
namespace sys {

DWORD TransferTimeout(DWORD shipped) {
    char text[16] = {};
    const DWORD length = GetEnvironmentVariableA("VELMORA_TRANSFER_TIMEOUT_MS", text, sizeof text);
    if (length == 0 || length >= sizeof text) return shipped;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value <= 0xFFFFFFFFul ? static_cast<DWORD>(value) : shipped;
}

} // namespace sys

// Test DLL only: blocks of the library heap not yet released, and failed allocations.
extern "C" __declspec(dllexport) void __cdecl VelmoraDebugCounters(long *outstandingBlocks,
                                                                   unsigned long *outOfMemoryCount) {
    if (outstandingBlocks != nullptr) *outstandingBlocks = OutstandingBlocks();
    if (outOfMemoryCount != nullptr) *outOfMemoryCount = OutOfMemoryTotal();
}

// Test DLL only: replaces every fault rule with those of text (the syntax of
// VELMORA_FAULTS; null or "" for none), counts every kind's calls from 1 again
// and lets a held clock take a new reading. Only while no operation runs.
extern "C" __declspec(dllexport) void __cdecl VelmoraDebugSetFaults(const char *text) {
    // The environment's rules are read first, so that they cannot land over these later.
    ReadRulesOnce();
    for (int kind = 0; kind < FaultKinds; ++kind) {
        rules[kind] = FaultRule{};
        calls[kind].store(0);
    }
    heldClock.store(0);
    if (text != nullptr) ParseRules(text);
}

// Test DLL only: how many released blocks held the VELMORA_WATCH_SECRET text
// just before they were wiped (*atWipe) and just before they were freed
// (*atFree: a secret left for the heap's free list). Both -1 when nothing is watched.
extern "C" __declspec(dllexport) void __cdecl VelmoraDebugWatchedBlocks(long *atWipe, long *atFree) {
    ReadRulesOnce();
    const bool watching = watchedLength != 0;
    if (atWipe != nullptr) *atWipe = watching ? watchedAtWipe.load() : -1;
    if (atFree != nullptr) *atFree = watching ? watchedAtFree.load() : -1;
}
