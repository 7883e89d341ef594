// The decision table of the two-way sync and its guards. Each side is compared
// only with its own snapshot: a local file changed when its size or last-write
// time differs from the state, a remote file when its rev does.
#include "planner.h"

#include <map>

namespace twoway {

namespace {

// The three views of one key, gathered from a folder.
struct Sides {
    std::vector<const LocalFile *> local;   // cppcheck-suppress unusedStructMember
    std::vector<const RemoteFile *> remote; // cppcheck-suppress unusedStructMember
    const StateEntry *state = nullptr;
};

bool LocalChanged(const LocalFile &local, const StateEntry &state) {
    return local.size != state.localSize || local.mtime != state.localMtime;
}

// The table's rows for a key that one side or the state knows, each side
// holding at most one name for it.
void Decide(Decision &d, bool haveLocal, bool haveRemote) {
    if (!d.state) {
        if (haveLocal && haveRemote) {
            d.action = Action::Compare;
            d.reason = Reason::BothNew;
        } else if (haveLocal) {
            d.action = Action::Upload;
            d.reason = Reason::LocalNew;
        } else {
            d.action = Action::Download;
            d.reason = Reason::RemoteNew;
        }
        return;
    }
    const bool localChanged = haveLocal && LocalChanged(*d.local, *d.state);
    const bool remoteChanged = haveRemote && d.remote->rev != d.state->rev;
    struct Row {
        Action action;
        Reason reason;
    };
    Row row{Action::None, Reason::Unchanged};
    if (haveLocal && haveRemote) {
        if (localChanged && remoteChanged)
            row = {Action::Compare, Reason::BothChanged};
        else if (localChanged)
            row = {Action::Upload, Reason::LocalChanged};
        else if (remoteChanged)
            row = {Action::Download, Reason::RemoteChanged};
    } else if (haveRemote) {
        row = remoteChanged ? Row{Action::Download, Reason::DeletedLocallyChangedRemotely}
                            : Row{Action::DeleteRemote, Reason::LocalDeleted};
    } else if (haveLocal) {
        row = localChanged ? Row{Action::Upload, Reason::ChangedLocallyDeletedRemotely}
                           : Row{Action::TrashLocal, Reason::RemoteDeleted};
    } else {
        row = {Action::Forget, Reason::BothDeleted};
    }
    d.action = row.action;
    d.reason = row.reason;
}

void PlanFolder(int folder, const FolderView &view, const std::map<std::string, const SkippedName *> &skips,
                Plan &plan) {
    std::map<std::string, Sides> keys;
    for (const LocalFile &file : view.local) keys[file.key].local.push_back(&file);
    for (const RemoteFile &file : view.remote) keys[file.key].remote.push_back(&file);
    for (const StateEntry &entry : view.state) keys[entry.key].state = &entry;
    for (const auto &[key, sides] : keys) {
        Decision d;
        d.folder = folder;
        d.key = key;
        if (!sides.local.empty()) d.local = *sides.local.front();
        if (!sides.remote.empty()) d.remote = *sides.remote.front();
        if (sides.state != nullptr) d.state = *sides.state;
        const auto skip = skips.find(key);
        if (skip != skips.end()) {
            d.action = Action::Skip;
            d.reason = Reason::SkippedByScan;
            d.skipWhy = skip->second->why;
        } else if (sides.local.size() > 1 || sides.remote.size() > 1) {
            d.action = Action::Skip;
            d.reason = sides.remote.size() > 1 ? Reason::RemoteCaseCollision : Reason::LocalCaseCollision;
        } else {
            Decide(d, !sides.local.empty(), !sides.remote.empty());
        }
        plan.decisions.push_back(std::move(d));
        // A collision shows each of its names, so that people see all of them.
        for (size_t i = 1; i < sides.local.size() || i < sides.remote.size(); ++i) {
            Decision extra = plan.decisions.back();
            extra.local.reset();
            extra.remote.reset();
            if (i < sides.local.size()) extra.local = *sides.local[i];
            if (i < sides.remote.size()) extra.remote = *sides.remote[i];
            plan.decisions.push_back(std::move(extra));
        }
    }
}

} // namespace

const std::string &Decision::Name() const {
    if (local) return local->name;
    if (remote) return remote->name;
    return state ? state->name : key;
}

Plan MakePlan(const FolderView (&folders)[kFolderCount], const std::vector<SkippedName> &skipped,
              const PlanOptions &options) {
    Plan plan;
    size_t localFiles = 0;
    size_t remoteFiles = 0;
    for (int folder = 0; folder < kFolderCount; ++folder) {
        std::map<std::string, const SkippedName *> skips;
        for (const SkippedName &name : skipped)
            if (name.folder == folder) skips.emplace(name.key, &name);
        FolderView view = folders[folder];
        if (!options.haveState) view.state.clear();
        PlanFolder(folder, view, skips, plan);
        localFiles += view.local.size();
        remoteFiles += view.remote.size();
        plan.stateFiles += view.state.size();
    }
    for (const Decision &d : plan.decisions)
        if (d.action == Action::DeleteRemote || d.action == Action::TrashLocal) ++plan.deletes;
    // A side that is empty while the state is not is more often a missing
    // drive or a wiped account than a person's wish.
    const bool emptyAllowed = options.maxDeletePercent >= 100;
    if (plan.stateFiles > 0 && localFiles == 0 && !emptyAllowed)
        plan.guard = Guard::LocalEmpty;
    else if (plan.stateFiles > 0 && remoteFiles == 0 && !emptyAllowed)
        plan.guard = Guard::RemoteEmpty;
    else if (plan.deletes * 100 > size_t{options.maxDeletePercent} * plan.stateFiles)
        plan.guard = Guard::TooManyDeletes;
    return plan;
}

const char *ReasonText(Reason reason) {
    switch (reason) {
    case Reason::Unchanged:
        return "unchanged";
    case Reason::LocalChanged:
        return "changed locally";
    case Reason::LocalNew:
        return "new local file";
    case Reason::RemoteChanged:
        return "changed remotely";
    case Reason::RemoteNew:
        return "new remote file";
    case Reason::LocalDeleted:
        return "deleted locally";
    case Reason::RemoteDeleted:
        return "deleted remotely";
    case Reason::BothChanged:
        return "changed on both sides";
    case Reason::BothNew:
        return "new on both sides";
    case Reason::BothDeleted:
        return "deleted on both sides";
    case Reason::DeletedLocallyChangedRemotely:
        return "deleted locally, changed remotely";
    case Reason::ChangedLocallyDeletedRemotely:
        return "changed locally, deleted remotely";
    case Reason::SkippedByScan:
        return "skipped";
    case Reason::LocalCaseCollision:
        return "local names that differ only in case";
    case Reason::RemoteCaseCollision:
        return "remote names that differ only in case";
    }
    return "?";
}

const char *GuardText(Guard guard) {
    switch (guard) {
    case Guard::Passed:
        return "passed";
    case Guard::LocalEmpty:
        return "the local folders hold no file while the state lists some";
    case Guard::RemoteEmpty:
        return "the remote folders hold no file while the state lists some";
    case Guard::TooManyDeletes:
        return "the run would delete more files than --max-delete allows";
    }
    return "?";
}

const char *ActionName(Action action) {
    switch (action) {
    case Action::None:
        return "none";
    case Action::Upload:
        return "upload";
    case Action::Download:
        return "download";
    case Action::DeleteRemote:
        return "delete_remote";
    case Action::TrashLocal:
        return "trash";
    case Action::Forget:
        return "forget";
    case Action::Compare:
        return "compare";
    case Action::Skip:
        return "skip";
    }
    return "?";
}

} // namespace twoway
