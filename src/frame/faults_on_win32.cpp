// The test DLL's fault switch: an override table with a row per system call of the library
// (faults_win32.h) that fails the N-th call of a chosen kind on demand with the error the test
// chose, and a watch of released blocks for a secret.
//
// VELMORA_FAULTS holds comma-separated rules "kind=N" (only the N-th call fails,
// counting from 1) or "kind=N+" (the N-th and every later call fail), either
// followed by ":ERROR" (decimal): the error the failure reports (the thread's
// last error, or the result of a call that returns a status, as its row says),
// instead of the row's default. Kinds: every row of VELMORA_SYSTEM_CALLS, by the
// call's name ("HttpSendRequestW=1:12057"), and alloc (the library's
// allocations), clock ("clock=N": from the N-th reading on, the library's clock
// stands still at that reading) and ThreadRunsFirst ("ThreadRunsFirst=N": the
// N-th CreateThread of a thread that may run at once returns only when that
// thread has ended, at most 10 s later, as the slowest scheduler could make its
// creator; a thread created suspended cannot run, so its creator goes on at once).
// Read once per process; VelmoraDebugSetFaults replaces the rules later and
// counts calls from 1 again, so one process can run an operation once per N.
// VelmoraDebugFaultCalls tells how often each kind was called and how many
// failures were injected since.
//
// VELMORA_WATCH_SECRET holds a text (at most 127 bytes) that every block of the
// library heap is searched for, as 8-bit bytes and as UTF-16LE (each byte
// widened), just before it is wiped and just before it is freed: a secret that
// reaches the heap's free list unwiped shows up in VelmoraDebugWatchedBlocks.
#include "frame/faults_win32.h"

#include "frame/heap_win32.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// The kinds: one per row of the table, then the three of the switch itself.
enum Kind : int {
#define VELMORA_KIND(name, failure, error) Kind##name,
    VELMORA_SYSTEM_CALLS(VELMORA_KIND)
#undef VELMORA_KIND
        KindAlloc,
    KindClock,
    KindThreadRunsFirst,
    KindCount
};
constexpr const char *kKindNames[KindCount] = {
#define VELMORA_KIND_NAME(name, failure, error) #name,
    VELMORA_SYSTEM_CALLS(VELMORA_KIND_NAME)
#undef VELMORA_KIND_NAME
        "alloc",
    "clock", "ThreadRunsFirst"};
// The error of a row's failure when the rule names none.
constexpr DWORD kDefaultErrors[KindCount] = {
#define VELMORA_KIND_ERROR(name, failure, error) DWORD{error},
    VELMORA_SYSTEM_CALLS(VELMORA_KIND_ERROR)
#undef VELMORA_KIND_ERROR
};
// How long a creator waits for a thread that runs first.
constexpr DWORD kRunsFirstMilliseconds = 10000;

struct FaultRule {
    unsigned long failAt = 0; // 0: never
    bool andLater = false;
    DWORD error = 0; // 0: the row's default
};

constinit FaultRule rules[KindCount];
constinit std::atomic<unsigned long> calls[KindCount];
constinit std::atomic<unsigned long> injected{0};
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

// A decimal number that fills text; false for anything else.
template <class Number> bool ParseNumber(std::string_view text, Number *value) {
    const char *end = text.data() + text.size();
    const auto [stop, failed] = std::from_chars(text.data(), end, *value);
    return failed == std::errc() && stop == end && !text.empty();
}

// Stores one rule "kind=N[+][:ERROR]". False (nothing stored) when it is not one.
bool ParseRule(std::string_view text) {
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string_view name = text.substr(0, equals);
    std::string_view count = text.substr(equals + 1);
    FaultRule rule;
    if (const size_t colon = count.find(':'); colon != std::string_view::npos) {
        if (!ParseNumber(count.substr(colon + 1), &rule.error) || rule.error == 0) return false;
        count = count.substr(0, colon);
    }
    if (count.ends_with('+')) {
        rule.andLater = true;
        count.remove_suffix(1);
    }
    if (!ParseNumber(count, &rule.failAt) || rule.failAt == 0) return false;
    for (int kind = 0; kind < KindCount; ++kind) {
        if (name == kKindNames[kind]) {
            rules[kind] = rule;
            return true;
        }
    }
    return false;
}

// Stores every rule of the comma-separated text. False when one was not understood.
bool ParseRules(std::string_view text) {
    bool understood = true;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        if (!ParseRule(text.substr(0, comma))) understood = false;
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return understood;
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
        char text[1024] = {};
        DWORD length = GetEnvironmentVariableA("VELMORA_FAULTS", text, sizeof text);
        if (length > 0 && length < sizeof text) (void)ParseRules(std::string_view(text, length));
        ReadWatchedText();
        rulesState.store(2);
        return;
    }
    while (rulesState.load() != 2) Sleep(0);
}

// Counts one call of the kind; true when the rules say it must fail.
bool ShouldFail(int kind) {
    ReadRulesOnce();
    const unsigned long call = calls[kind].fetch_add(1) + 1;
    const FaultRule &rule = rules[kind];
    if (rule.failAt == 0) return false;
    return call == rule.failAt || (rule.andLater && call > rule.failAt);
}

// ShouldFail for a call that fails: counts the injected failure and gives its error.
bool Inject(int kind, DWORD *error) {
    if (!ShouldFail(kind)) return false;
    injected.fetch_add(1);
    *error = rules[kind].error != 0 ? rules[kind].error : kDefaultErrors[kind];
    return true;
}

// How an injected failure answers (see VELMORA_SYSTEM_CALLS).
enum class Failure { False, Null, InvalidHandle, Zero, AllOnes, Status, ErrorInstance };

template <Failure how, class Result> Result FailedResult(DWORD error) {
    if constexpr (how == Failure::Status) {
        return static_cast<Result>(error);
    } else if constexpr (how == Failure::ErrorInstance) {
        return reinterpret_cast<Result>(static_cast<INT_PTR>(error));
    } else {
        SetLastError(error);
        if constexpr (how == Failure::InvalidHandle)
            return INVALID_HANDLE_VALUE;
        else if constexpr (how == Failure::AllOnes)
            return static_cast<Result>(-1);
        else if constexpr (how == Failure::Null)
            return nullptr;
        else
            return Result{};
    }
}

// CreateThread, which ThreadRunsFirst may make wait for the thread it made.
HANDLE CreateThreadInTurn(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                          LPVOID parameter, DWORD flags, LPDWORD threadId) {
    const bool runsFirst = ShouldFail(KindThreadRunsFirst) && (flags & CREATE_SUSPENDED) == 0;
    HANDLE thread = ::CreateThread(attributes, stackSize, start, parameter, flags, threadId);
    if (thread != nullptr && runsFirst) WaitForSingleObject(thread, kRunsFirstMilliseconds);
    return thread;
}

// One call of kind's row: the system function, unless the rules fail this call.
template <int kind, Failure how, class Result, class Function, class... Arguments>
Result CallOrFail(Function function, Arguments... arguments) {
    DWORD error = 0;
    if (Inject(kind, &error)) return FailedResult<how, Result>(error);
    if constexpr (kind == KindCreateThread)
        return CreateThreadInTurn(arguments...);
    else
        return function(arguments...);
}

// The row of kind: one instance per row, of the function's own type. Every
// row is a system function, WINAPI: stdcall in the 32-bit build, which the
// wrapper must be too, or the pointer types differ.
template <int kind, auto function, Failure how, class Type = decltype(function)> struct Overridden;
template <int kind, auto function, Failure how, class Result, class... Arguments>
struct Overridden<kind, function, how, Result(WINAPI *)(Arguments...)> {
    static Result WINAPI Call(Arguments... arguments) { return CallOrFail<kind, how, Result>(function, arguments...); }
};

bool Contains(const BYTE *bytes, size_t size, const BYTE *pattern, size_t length) {
    if (length == 0 || size < length) return false;
    for (size_t i = 0; i + length <= size; ++i)
        if (bytes[i] == pattern[0] && std::memcmp(bytes + i, pattern, length) == 0) return true;
    return false;
}

} // namespace

namespace sys {

#define VELMORA_SYSTEM_CALL_OVERRIDDEN(name, failure, error)                                                           \
    decltype(&::name) const name = &Overridden<Kind##name, &::name, Failure::failure>::Call;
VELMORA_SYSTEM_CALLS(VELMORA_SYSTEM_CALL_OVERRIDDEN)
#undef VELMORA_SYSTEM_CALL_OVERRIDDEN

bool AllocationShouldFail() {
    if (!ShouldFail(KindAlloc)) return false;
    injected.fetch_add(1);
    return true;
}

void GetSystemTimeAsFileTime(FILETIME *now) {
    ReadRulesOnce();
    const FaultRule &rule = rules[KindClock];
    const bool hold = rule.failAt != 0 && calls[KindClock].fetch_add(1) + 1 >= rule.failAt;
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
// VELMORA_FAULTS; null or "" for none), counts every kind's calls and the
// injected failures from 0 again and lets a held clock take a new reading.
// Only while no operation runs. Returns 1 when every rule was understood, 0
// when one was not (the others are in force).
extern "C" __declspec(dllexport) int __cdecl VelmoraDebugSetFaults(const char *text) {
    // The environment's rules are read first, so that they cannot land over these later.
    ReadRulesOnce();
    for (int kind = 0; kind < KindCount; ++kind) {
        rules[kind] = FaultRule{};
        calls[kind].store(0);
    }
    injected.store(0);
    heldClock.store(0);
    return text == nullptr || ParseRules(text) ? 1 : 0;
}

// Test DLL only: the calls counted per kind since the rules were last set (or
// the process began), as "kind=calls" items joined by commas, kinds not called
// left out, zero-terminated in out when it fits in capacity bytes; *injected
// (when not null) the failures injected meanwhile. Returns the text's length.
extern "C" __declspec(dllexport) DWORD
    __cdecl VelmoraDebugFaultCalls(char *out, DWORD capacity, unsigned long *injectedFailures) {
    ReadRulesOnce();
    char text[4096] = {};
    size_t length = 0;
    for (int kind = 0; kind < KindCount; ++kind) {
        const unsigned long count = calls[kind].load();
        if (count == 0) continue;
        char item[64] = {};
        const int written = wsprintfA(item, "%s%s=%lu", length == 0 ? "" : ",", kKindNames[kind], count);
        if (written <= 0 || length + static_cast<size_t>(written) >= sizeof text) break;
        std::memcpy(text + length, item, static_cast<size_t>(written));
        length += static_cast<size_t>(written);
    }
    if (out != nullptr && capacity > length) std::memcpy(out, text, length + 1);
    if (injectedFailures != nullptr) *injectedFailures = injected.load();
    return static_cast<DWORD>(length);
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
