// The decision table of the two-way sync: what to do with each file, and the
// guards that stop a run before it writes anything. Portable: plain data in,
// plain data out, no file system and no library.
#pragma once
#include "sync_types.h"

#include <optional>
#include <string>
#include <vector>

namespace twoway {

enum class Action {
    None,         // both sides as last synced
    Upload,       // the local side is the newer one
    Download,     // the remote side is the newer one
    DeleteRemote, // deleted locally, unchanged remotely
    TrashLocal,   // deleted remotely, unchanged locally: into the trash folder
    Forget,       // deleted on both sides
    Compare,      // both sides changed or new: same bytes are recorded, different ones kept both
    Skip,         // not synced this run; its state entry stays as it is
};

// Why a decision was taken, for the people and the events that read it.
enum class Reason {
    Unchanged,
    LocalChanged,
    LocalNew,
    RemoteChanged,
    RemoteNew,
    LocalDeleted,
    RemoteDeleted,
    BothChanged,
    BothNew,
    BothDeleted,
    DeletedLocallyChangedRemotely,
    ChangedLocallyDeletedRemotely,
    SkippedByScan,      // the scan's own reason (sub-folder, temporary file, name not usable here)
    LocalCaseCollision, // two local names that differ only in case
    RemoteCaseCollision,
};

// A name one side's scan will not sync; its key is skipped on both sides.
struct SkippedName {
    int folder = 0;
    std::string key;
    std::string name;
    std::string why; // "sub-folder", "temporary file", ...
};

// One folder's three views.
struct FolderView {
    std::vector<LocalFile> local;
    std::vector<RemoteFile> remote;
    std::vector<StateEntry> state; // empty when the run has no state
};

struct Decision {
    int folder = 0;
    std::string key;
    Action action = Action::None;
    Reason reason = Reason::Unchanged;
    std::optional<LocalFile> local;
    std::optional<RemoteFile> remote;
    std::optional<StateEntry> state;
    std::string skipWhy; // Skip only: what the scan said

    // The name shown to people: the local one when there is one.
    const std::string &Name() const;
};

enum class Guard { Passed, LocalEmpty, RemoteEmpty, TooManyDeletes };

struct PlanOptions {
    bool haveState = false;
    unsigned maxDeletePercent = 50; // 100 also lets a side that became empty through
};

struct Plan {
    std::vector<Decision> decisions; // by folder, then by key
    Guard guard = Guard::Passed;
    std::size_t deletes = 0;    // DeleteRemote and TrashLocal decisions
    std::size_t stateFiles = 0; // entries of the state, the base of the delete guard
};

// The decision for every key of the three folders (folders[i] is folder i),
// with the guards applied: a plan whose guard is not Passed must not be run.
Plan MakePlan(const FolderView (&folders)[kFolderCount], const std::vector<SkippedName> &skipped,
              const PlanOptions &options);

// Text of a reason or a guard, as the output shows it.
const char *ReasonText(Reason reason);
const char *GuardText(Guard guard);
const char *ActionName(Action action);

} // namespace twoway
