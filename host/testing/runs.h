// Running one command several times in one process, for tests: --repeat N, and
// --fault-loop KIND (test DLL), which fails the N-th call of KIND in run N.
#pragma once
#include "../commands.h"

#include <string>

struct RunPlan {
    unsigned long repeat = 0;     // --repeat N: N runs (0: not asked for)
    bool faultLoop = false;       // --fault-loop KIND[:ERROR]
    std::string faultKind;        // a kind of VELMORA_FAULTS: alloc, CreateFileW, InternetReadFile, ...
    unsigned long faultError = 0; // the error each injected failure reports (0: the kind's own)
    std::wstring watchFile;       // --watch-file PATH: each run reports the file before and after
};

// Takes the argument of --fault-loop: "KIND" or "KIND:ERROR" (decimal, not 0).
// False when it is neither.
bool ParseFaultLoop(const wchar_t *text, RunPlan &plan);

// Runs the command as the plan says. Every event of run n carries
// "iteration": n, the run's last one being {"event": "run", "code", the open
// handles before and after (--repeat only), and with the test DLL "workers_ended" (its
// workers were waited for), the outstanding blocks before and after, the
// allocations that failed during the run, "injected" (the failures the fault
// switch injected) and "calls" (the calls of each kind the switch counted,
// kinds never called left out); with --watch-file "file_before" and
// "file_after": {"exists", "size", "last_write" (a FILETIME), "fnv1a64" of its
// bytes, "others" (entries of its folder besides it)}}. The fault loop goes on
// while runs meet an injected failure, at most kFaultLoopLimit runs, then emits
// {"event": "fault_loop", "kind", "runs", "clean"}. Returns the last failing
// run's code (ExitOk when every run succeeded); the fault loop returns its last
// run's code, or ExitFailure when no run was clean or the DLL does not know the kind.
int RunRepeatedly(const Command &command, CommandContext &context, const RunPlan &plan);

// Counts failures that a command saw injected before it set the fault rules
// anew (which counts from 0 again, as for a read-back without faults): its run
// still reports them, so a loop never takes a faulted run for a clean one.
void CarryInjectedFailures(unsigned long count);

inline constexpr unsigned long kFaultLoopLimit = 500;
