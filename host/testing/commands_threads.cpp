// Commands that exercise the worker-thread table through the test DLL: threads.
#include "../commands.h"
#include "../message_pump.h"
#include "../output.h"

#include <algorithm>
#include <vector>

namespace {

int RunThreads(CommandContext &context);

const Command kCommands[] = {
    {L"threads", "COUNT", RunThreads},
};

// Every KillDropBoxThread return for a list of ids, in order.
std::vector<long long> KillAll(const Library &library, const std::vector<DWORD> &ids) {
    std::vector<long long> returns;
    for (DWORD id : ids) returns.push_back(library.killDropBoxThread(id));
    return returns;
}

// threads COUNT: fills the table from one process (the table lives per process):
// starts COUNT idle workers, releases the first, starts one more (which takes
// the freed slot), then releases every id once more in start order, the extra
// one last, and the first id again. Prints the ids and every release's return,
// then waits for every worker to end.
int RunThreads(CommandContext &context) {
    unsigned long long count = 0;
    if (context.args.size() != 1 || !ParseUnsigned(context.args[0], count) || count == 0 || count > 100)
        return UsageError(kCommands[0]);
    const DebugStartWorkersFn start = context.library.hooks.startWorkers;
    if (!HasExport(start, "VelmoraDebugStartWorkers")) return ExitFailure;

    // Every worker this command starts, opened before its release lets go of the
    // table's handle: the command waits for them all before it returns.
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    std::vector<DWORD> ids(static_cast<size_t>(count));
    const DWORD started = start(static_cast<DWORD>(count), ids.data());
    std::vector<HANDLE> workers = OpenThreadsStartedSince(before);
    const int firstRelease = context.library.killDropBoxThread(ids[0]);
    DWORD extra = 0;
    const std::vector<DWORD> beforeExtra = ThreadsOfThisProcess();
    start(1, &extra);
    for (HANDLE worker : OpenThreadsStartedSince(beforeExtra)) workers.push_back(worker);

    std::vector<DWORD> later(ids.begin() + 1, ids.end());
    later.push_back(extra);
    later.push_back(ids[0]);
    Event event("result");
    event.Text("export", "VelmoraDebugStartWorkers").Unsigned("started", started);
    event.Bool("all_ids_nonzero", std::find(ids.begin(), ids.end(), 0u) == ids.end() && extra != 0);
    event.Number("first_release", firstRelease);
    event.NumberList("later_releases", KillAll(context.library, later));
    event.Emit();
    if (!WaitForWorkersEnd(workers)) return HostError(ExitTimeout, "a worker has not ended");
    return ExitOk;
}

} // namespace

std::span<const Command> ThreadTableCommands() { return kCommands; }
