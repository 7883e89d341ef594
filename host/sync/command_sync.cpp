// The `sync` command: keeps LOCALDIR's three folders in step with the account's.
#include "../commands.h"
#include "../output.h"
#include "engine.h"

#include <string_view>

namespace {

int RunSyncCommand(CommandContext &context);

const Command kCommands[] = {
    {L"sync", "LOCALDIR [--state FILE] [--jobs N] [--dry-run] [--max-delete PERCENT] [--resync]", RunSyncCommand,
     "keeps LOCALDIR's Highlights, User Notes and User Tools in step with the account, both ways"},
};

// Exit code 3 with the usage line.
int SyncUsageError() { return HostError(twoway::SyncUsage, "usage: sync " + std::string(kCommands[0].usage)); }

bool ParseSyncOptions(std::span<wchar_t *const> args, twoway::SyncOptions &options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring_view arg = args[i];
        unsigned long long value = 0;
        const bool hasValue = i + 1 < args.size();
        if (arg == L"--state" && hasValue) {
            options.statePath = args[++i];
        } else if (arg == L"--jobs" && hasValue && ParseUnsigned(args[i + 1], value) && value >= 1 && value <= 16) {
            options.jobs = static_cast<unsigned>(value);
            ++i;
        } else if (arg == L"--max-delete" && hasValue && ParseUnsigned(args[i + 1], value) && value <= 100) {
            options.maxDeletePercent = static_cast<unsigned>(value);
            ++i;
        } else if (arg == L"--dry-run") {
            options.dryRun = true;
        } else if (arg == L"--resync") {
            options.resync = true;
        } else if (!arg.starts_with(L"--") && options.localDir.empty() && !arg.empty()) {
            options.localDir = args[i];
        } else {
            return false;
        }
    }
    return !options.localDir.empty();
}

// sync LOCALDIR ...: exit 0 done, 1 some files failed (the next run retries
// them), 2 aborted by a guard before anything was written, 3 usage.
int RunSyncCommand(CommandContext &context) {
    twoway::SyncOptions options;
    if (!ParseSyncOptions(context.args, options)) return SyncUsageError();
    const Library &library = context.library;
    if (!HasExport(library.getDBMetadataBufferSize, "getDBMetadataBufferSize") ||
        !HasExport(library.getDropboxMetadata, "getDropboxMetadata") ||
        !HasExport(library.getRemoteMergeFile, "getRemoteMergeFile") ||
        !HasExport(library.bvDeleteRemote, "BVDeleteRemote") ||
        !HasExport(library.bvUpdateRemoteWithFeedback, "BVUpdateRemoteWithFeedback") ||
        !HasExport(library.convertToFILETIME, "ConvertToFILETIME"))
        return twoway::SyncAborted;
    return twoway::RunSync(context, options);
}

} // namespace

std::span<const Command> SyncCommands() { return kCommands; }
