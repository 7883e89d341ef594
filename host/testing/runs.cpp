// Repeated runs of one command in one process: --repeat and --fault-loop.
#include "runs.h"

#include "../output.h"

#include <cstdio>

namespace {

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
};

Counters ReadCounters(const TestHooks &hooks) {
    Counters counters;
    if (hooks.counters != nullptr) hooks.counters(&counters.outstanding, &counters.outOfMemory);
    return counters;
}

// One run: the command, then (test DLL) its workers' end; the closing "run"
// event. The fault loop (faultRule not null) counts no handles. Returns the
// command's code; *failedAllocations the allocations that failed meanwhile.
int RunOnce(const Command &command, CommandContext &context, const char *faultRule, unsigned long *failedAllocations) {
    const TestHooks &hooks = context.library.hooks;
    const bool countHandles = faultRule == nullptr;
    const Counters before = ReadCounters(hooks);
    const DWORD handlesBefore = countHandles ? CountOpenHandles() : 0;
    if (faultRule != nullptr) hooks.setFaults(faultRule);
    const int code = command.run(context);
    // A worker still running belongs to this run: its allocations, its blocks.
    const bool workersEnded =
        hooks.waitForWorkers != nullptr && hooks.waitForWorkers(context.timeoutSeconds * 1000) == 1;
    if (faultRule != nullptr) hooks.setFaults(nullptr);
    const Counters after = ReadCounters(hooks);
    const DWORD handlesAfter = countHandles ? CountOpenHandles() : 0;

    Event event("run");
    event.Number("code", code);
    if (countHandles) event.Unsigned("handles_before", handlesBefore).Unsigned("handles_after", handlesAfter);
    if (hooks.waitForWorkers != nullptr) event.Bool("workers_ended", workersEnded);
    if (hooks.counters != nullptr) {
        event.Number("outstanding_before", before.outstanding).Number("outstanding_after", after.outstanding);
        event.Unsigned("out_of_memory", after.outOfMemory - before.outOfMemory);
    }
    event.Emit();
    *failedAllocations = after.outOfMemory - before.outOfMemory;
    return code;
}

} // namespace

int RunRepeatedly(const Command &command, CommandContext &context, const RunPlan &plan) {
    const TestHooks &hooks = context.library.hooks;
    if (plan.faultLoop &&
        (!HasExport(hooks.setFaults, "VelmoraDebugSetFaults") || !HasExport(hooks.counters, "VelmoraDebugCounters")))
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
        char rule[32] = {};
        std::snprintf(rule, sizeof rule, "alloc=%lu", n);
        unsigned long failedAllocations = 0;
        SetEventIteration(n);
        const int code = RunOnce(command, context, plan.faultLoop ? rule : nullptr, &failedAllocations);
        SetEventIteration(0);
        if (plan.faultLoop) {
            exitCode = code;
            clean = failedAllocations == 0;
        } else if (code != ExitOk) {
            exitCode = code;
        }
    }
    if (!plan.faultLoop) return exitCode;
    Event("fault_loop").Unsigned("runs", n - 1).Bool("clean", clean).Emit();
    return clean ? exitCode : HostError(ExitFailure, "every run met an allocation failure");
}
