// Running one command several times in one process, for tests: --repeat N, and
// --fault-loop alloc (test DLL), which fails the N-th allocation of run N.
#pragma once
#include "../commands.h"

struct RunPlan {
    unsigned long repeat = 0; // --repeat N: N runs (0: not asked for)
    bool faultLoop = false;   // --fault-loop alloc
};

// Runs the command as the plan says. Every event of run n carries
// "iteration": n, the run's last one being {"event": "run", "code", the open
// handles before and after (--repeat only), and with the test DLL "workers_ended" (its
// workers were waited for), the outstanding blocks before and after and the
// allocations that failed during the run}. The fault loop goes on while runs
// meet an allocation failure, at most kFaultLoopLimit runs, then emits
// {"event": "fault_loop", "runs", "clean"}. Returns the last failing run's code
// (ExitOk when every run succeeded); the fault loop returns its last run's code,
// or ExitFailure when no run was clean.
int RunRepeatedly(const Command &command, CommandContext &context, const RunPlan &plan);

inline constexpr unsigned long kFaultLoopLimit = 500;
