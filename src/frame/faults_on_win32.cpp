// The test DLL's fault switch: fails the N-th call of a chosen kind on demand.
//
// VELMORA_FAULTS holds comma-separated rules "kind=N" (only the N-th call fails,
// counting from 1) or "kind=N+" (the N-th and every later call fail). Kinds:
// alloc, CreateThread, RegSetValueExW, CryptProtectData, and clock ("clock=N":
// from the N-th reading on, the library's clock stands still at that reading).
// Read once per process.
#include "frame/faults_win32.h"

#include "frame/heap_win32.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

enum FaultKind { FaultAlloc, FaultCreateThread, FaultRegSetValue, FaultCryptProtect, FaultClock, FaultKinds };
constexpr const char *kFaultNames[FaultKinds] = {"alloc", "CreateThread", "RegSetValueExW", "CryptProtectData",
                                                 "clock"};

struct FaultRule {
    unsigned long failAt = 0; // 0: never
    bool andLater = false;
};

constinit FaultRule rules[FaultKinds];
constinit std::atomic<unsigned long> calls[FaultKinds];
constinit std::atomic<int> rulesState{0}; // 0 unread, 1 reading, 2 read
// The clock reading that a held clock keeps returning; 0 until it is taken.
constinit std::atomic<ULONGLONG> heldClock{0};

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

void ReadRulesOnce() {
    int state = 0;
    if (rulesState.compare_exchange_strong(state, 1)) {
        char text[256] = {};
        DWORD length = GetEnvironmentVariableA("VELMORA_FAULTS", text, sizeof text);
        if (length > 0 && length < sizeof text) ParseRules(text);
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

} // namespace

namespace sys {

bool AllocationShouldFail() { return ShouldFail(FaultAlloc); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD threadId) {
    if (ShouldFail(FaultCreateThread)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return ::CreateThread(attributes, stackSize, start, parameter, flags, threadId);
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

} // namespace sys

// Test DLL only: blocks of the library heap not yet released, and failed allocations.
extern "C" __declspec(dllexport) void __cdecl VelmoraDebugCounters(long *outstandingBlocks,
                                                                   unsigned long *outOfMemoryCount) {
    if (outstandingBlocks != nullptr) *outstandingBlocks = OutstandingBlocks();
    if (outOfMemoryCount != nullptr) *outOfMemoryCount = OutOfMemoryTotal();
}
