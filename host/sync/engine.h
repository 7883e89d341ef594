// One run of `sync`: the guards, the listings, the plan, and the transfers it
// asks for, several at once, until every file is done or has failed.
#pragma once
#include "../commands.h"

#include <string>

namespace twoway {

// Exit codes of the sync command.
enum SyncExit : int { SyncDone = 0, SyncSomeFailed = 1, SyncAborted = 2, SyncUsage = 3 };

struct SyncOptions {
    std::wstring localDir;
    std::wstring statePath; // empty: LOCALDIR\.velmora-sync.json
    unsigned jobs = 4;
    bool dryRun = false;
    unsigned maxDeletePercent = 50;
    bool resync = false;
};

int RunSync(const CommandContext &context, const SyncOptions &options);

} // namespace twoway
