// Repeated runs of one command in one process: --repeat and --fault-loop.
#include "runs.h"

#include "../output.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

namespace {

// Failures injected in the current run before its command set the rules anew.
unsigned long carriedInjected = 0;

// Handles open in this process. GetProcessHandleCount reports 0 under Wine, so
// handle values are probed instead: they are multiples of 4 handed out from
// the lowest free one, so the probe stops after a long run of unused values.
// Each probe asks the wineserver, so a count takes some milliseconds.
DWORD CountOpenHandles() {
    constexpr ULONG_PTR kGiveUpAfter = 512; // unused values in a row
    DWORD count = 0;
    ULONG_PTR unused = 0;
    for (ULONG_PTR value = 4; unused < kGiveUpAfter && value < (ULONG_PTR{1} << 26); value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            unused = 0;
        } else {
            ++unused;
        }
    }
    return count;
}

struct Counters {
    long outstanding = -1;
    unsigned long outOfMemory = 0;
    unsigned long injected = 0;
    std::map<std::string, unsigned long> calls; // per kind of the fault switch
};

// Reads "kind=calls,kind=calls" as the test DLL writes it.
std::map<std::string, unsigned long> ParseCalls(std::string_view text) {
    std::map<std::string, unsigned long> calls;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        if (const size_t equals = item.find('='); equals != std::string_view::npos)
            calls[std::string(item.substr(0, equals))] =
                std::strtoul(std::string(item.substr(equals + 1)).c_str(), nullptr, 10);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return calls;
}

Counters ReadCounters(const TestHooks &hooks) {
    Counters counters;
    if (hooks.counters != nullptr) hooks.counters(&counters.outstanding, &counters.outOfMemory);
    if (hooks.faultCalls != nullptr) {
        char text[4096] = {};
        const DWORD length = hooks.faultCalls(text, sizeof text, &counters.injected);
        if (length < sizeof text) counters.calls = ParseCalls(text);
    }
    return counters;
}

// A file as a run left it: whether it is there, its size, last-write time and
// bytes (as FNV-1a), and how many other entries its folder holds.
Event FileState(const std::wstring &path) {
    Event state;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const bool exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
    state.Bool("exists", exists);
    if (exists) {
        state.Unsigned("size", (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        state.Unsigned("last_write", (static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                         data.ftLastWriteTime.dwLowDateTime);
        unsigned long long hash = 14695981039346656037ull;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            unsigned char buffer[65536];
            DWORD read = 0;
            while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read != 0)
                for (DWORD i = 0; i < read; ++i) hash = (hash ^ buffer[i]) * 1099511628211ull;
            CloseHandle(file);
            state.Unsigned("fnv1a64", hash);
        } else {
            state.Null("fnv1a64");
        }
    }
    const size_t separator = path.find_last_of(L"\\/");
    const std::wstring folder = separator == std::wstring::npos ? L"." : path.substr(0, separator);
    const std::wstring name = separator == std::wstring::npos ? path : path.substr(separator + 1);
    unsigned long others = 0;
    WIN32_FIND_DATAW found = {};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring_view entry = found.cFileName;
            if (entry != L"." && entry != L".." &&
                CompareStringOrdinal(entry.data(), -1, name.c_str(), -1, TRUE) != CSTR_EQUAL)
                ++others;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    state.Unsigned("others", others);
    return state;
}

// One run: the command, then (test DLL) its workers' end; the closing "run"
// event. The fault loop (faultRule not null) counts no handles. Returns the
// command's code; *injected the failures injected meanwhile.
int RunOnce(const Command &command, CommandContext &context, const RunPlan &plan, const char *faultRule,
            unsigned long *injected) {
    const TestHooks &hooks = context.library.hooks;
    const bool countHandles = faultRule == nullptr;
    const bool watching = !plan.watchFile.empty();
    Event fileBefore;
    if (watching) fileBefore = FileState(plan.watchFile);
    const Counters before = ReadCounters(hooks);
    const DWORD handlesBefore = countHandles ? CountOpenHandles() : 0;
    // The rules replace the counts too: the run's own start from 0.
    const Counters &start = faultRule != nullptr ? Counters{} : before;
    if (faultRule != nullptr) hooks.setFaults(faultRule);
    carriedInjected = 0;
    const int code = command.run(context);
    // A worker still running belongs to this run: its allocations, its blocks.
    const bool workersEnded =
        hooks.waitForWorkers != nullptr && hooks.waitForWorkers(context.timeoutSeconds * 1000) == 1;
    Counters after = ReadCounters(hooks);
    after.injected += carriedInjected;
    if (faultRule != nullptr) hooks.setFaults(nullptr);
    const DWORD handlesAfter = countHandles ? CountOpenHandles() : 0;

    Event event("run");
    event.Number("code", code);
    if (countHandles) event.Unsigned("handles_before", handlesBefore).Unsigned("handles_after", handlesAfter);
    if (hooks.waitForWorkers != nullptr) event.Bool("workers_ended", workersEnded);
    if (hooks.counters != nullptr) {
        event.Number("outstanding_before", before.outstanding).Number("outstanding_after", after.outstanding);
        event.Unsigned("out_of_memory", after.outOfMemory - before.outOfMemory);
    }
    if (hooks.faultCalls != nullptr) {
        event.Unsigned("injected", after.injected - start.injected);
        Event calls;
        for (const auto &[kind, count] : after.calls) {
            const auto earlier = start.calls.find(kind);
            const unsigned long delta = count - (earlier != start.calls.end() ? earlier->second : 0);
            if (delta != 0) calls.Unsigned(kind.c_str(), delta);
        }
        event.Object("calls", calls);
    }
    if (watching) event.Object("file_before", fileBefore).Object("file_after", FileState(plan.watchFile));
    event.Emit();
    *injected = after.injected - start.injected;
    return code;
}

} // namespace

void CarryInjectedFailures(unsigned long count) { carriedInjected += count; }

bool ParseFaultLoop(const wchar_t *text, RunPlan &plan) {
    const std::string option = Narrow(text);
    const size_t colon = option.find(':');
    plan.faultKind = option.substr(0, colon);
    plan.faultError = 0;
    if (colon != std::string::npos) {
        char *end = nullptr;
        plan.faultError = std::strtoul(option.c_str() + colon + 1, &end, 10);
        if (end == option.c_str() + colon + 1 || *end != '\0' || plan.faultError == 0) return false;
    }
    if (plan.faultKind.empty() || plan.faultKind.find_first_of("=,+") != std::string::npos) return false;
    plan.faultLoop = true;
    return true;
}

int RunRepeatedly(const Command &command, CommandContext &context, const RunPlan &plan) {
    const TestHooks &hooks = context.library.hooks;
    if (plan.faultLoop &&
        (!HasExport(hooks.setFaults, "VelmoraDebugSetFaults") || !HasExport(hooks.counters, "VelmoraDebugCounters") ||
         !HasExport(hooks.faultCalls, "VelmoraDebugFaultCalls")))
        return ExitFailure;
    // This thread's message queue handle, made before the first count: Wine
    // opens it when the thread first waits for messages, and keeps it for the
    // thread's life, which would show as one more handle after run 1.
    MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, 0);
    const unsigned long runs = plan.faultLoop ? kFaultLoopLimit : plan.repeat;
    int exitCode = ExitOk;
    bool clean = false;
    unsigned long n = 1;
    for (; n <= runs && !clean; ++n) {
        std::string rule;
        if (plan.faultLoop) {
            rule = plan.faultKind + "=" + std::to_string(n);
            if (plan.faultError != 0) rule += ":" + std::to_string(plan.faultError);
            // A kind the DLL does not know would make a loop of one clean run that proves nothing.
            if (n == 1 && hooks.setFaults(rule.c_str()) != 1) {
                hooks.setFaults(nullptr);
                return HostError(ExitFailure, "the library knows no fault kind " + plan.faultKind);
            }
        }
        unsigned long injected = 0;
        SetEventIteration(n);
        const int code = RunOnce(command, context, plan, plan.faultLoop ? rule.c_str() : nullptr, &injected);
        SetEventIteration(0);
        if (plan.faultLoop) {
            exitCode = code;
            clean = injected == 0;
        } else if (code != ExitOk) {
            exitCode = code;
        }
    }
    if (!plan.faultLoop) return exitCode;
    Event("fault_loop").Text("kind", plan.faultKind.c_str()).Unsigned("runs", n - 1).Bool("clean", clean).Emit();
    return clean ? exitCode : HostError(ExitFailure, "every run met an injected failure");
}
