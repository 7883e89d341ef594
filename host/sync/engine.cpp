// One run of `sync`. The window thread does everything but the library's own
// work: it starts the operations, and as their final messages come it moves
// files into place, records the state and starts what follows. Changes to a
// remote folder (uploads, remote deletes) go in waves: the folder is listed
// again, each file of the wave is checked against that listing just before
// its transfer starts, and once the wave is over the next listing both checks
// what it committed and opens the next wave. Nothing of ours changes a folder
// while it is being listed, so its size query and its listing agree.
#include "engine.h"

#include "listing_reader.h"
#include "local_files.h"
#include "names.h"
#include "operations.h"
#include "planner.h"
#include "state_file.h"
#include "sync_output.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace twoway {

namespace {

// The folders as the listing's path parameter writes them.
const wchar_t *const kListingPaths[kFolderCount] = {L"Highlights", L"User%20Notes", L"User%20Tools"};
// A relisting between waves may meet another client's change between its two
// requests; it is asked again this many times before its files fail.
constexpr int kRelistAttempts = 3;
// ConvertToFILETIME's answer for a text that is no date.
constexpr std::uint64_t kNoDate = 116444736000000000ull;
constexpr std::uint64_t kTicksPerSecond = 10000000ull;

enum class Step { Idle, Downloading, Queued, InWave, Sending, Verifying, Done, Failed };

struct Task {
    int folder = 0;
    std::string key;
    std::string name; // the local name; the remote one is the same file's
    Action action = Action::None;
    std::optional<LocalFile> local;   // as scanned: what a download may replace
    std::optional<RemoteFile> remote; // as last listed: what a download fetches
    // What the remote side must be when the listing before the upload or
    // delete comes: this rev, or no file at all.
    std::string expectRev;
    bool expectRemoteAbsent = false;
    std::wstring staged; // the downloaded copy, before it takes its place
    std::uint64_t sentSize = 0;
    std::uint64_t sentMtime = 0;
    Step step = Step::Idle;
};

// A listing of one folder: the size query, then the listing with that length.
struct ListingJob {
    bool busy = false;
    int attemptsLeft = 0;
    Op *sizeOp = nullptr;
    Op *listOp = nullptr;
    bool done = false;
    bool ok = false;
    std::string text;
};

struct FolderWork {
    std::vector<Task *> queued; // uploads and deletes waiting for the next listing
    std::vector<Task *> wave;   // checked against the last listing, waiting for a slot or running
    std::vector<Task *> verify; // uploads waiting for the next listing to confirm them
    size_t waveOpen = 0;        // members of the wave not finished
    ListingJob listing;
    // The last listing, by key (a key with two names holds both).
    std::map<std::string, std::vector<RemoteFile>> remote;
};

struct Counts {
    size_t up = 0, down = 0, conflicts = 0, same = 0, deletedRemote = 0, trashed = 0, failed = 0, skipped = 0;
};

class Engine {
  public:
    Engine(const CommandContext &context, const SyncOptions &options)
        : context_(context), library_(context.library), options_(options), ops_(context.library) {}
    int Run();

  private:
    // Preparation and the first listings.
    int Prepare();
    int ListAll();
    bool ReadFolderListing(int folder, const std::string &text, std::vector<RemoteFile> &files,
                           std::vector<SkippedName> &skipped, std::string &rev, std::string &why);
    int ScanAll(FolderView (&views)[kFolderCount], std::vector<SkippedName> &skipped);
    int Abort(const std::string &why);

    // The plan's decisions turned into tasks.
    void Announce(const Decision &d);
    void Begin(const Decision &d);
    void TrashNow(Task &task);

    // The loop.
    void Loop();
    bool Finished() const;
    void StartWork();
    bool StartNextTransfer();
    bool StartListing(int folder, int attempts);
    void OnOp(Op &op);
    void OnListingOp(int folder, Op &op);
    void OnRelisted(int folder, bool ok, const std::string &text);
    void CheckQueued(int folder, Task &task);
    void VerifyUpload(int folder, Task &task);
    bool AdoptServiceCopy(int folder, Task &task);

    // Transfers and what follows them.
    void StartDownload(Task &task);
    void StartUpload(Task &task);
    void StartDelete(Task &task);
    void OnDownloaded(Task &task, const Op &op);
    void OnUploaded(Task &task, const Op &op);
    void OnDeleted(Task &task, const Op &op);
    void CompareStaged(Task &task);
    void Conflict(Task &task);
    void QueueRemoteChange(Task &task);
    Task &NewTask(int folder, const std::string &key, const std::string &name);

    // State and outcomes.
    void Record(const Task &task, const RemoteFile &remote, std::uint64_t localSize, std::uint64_t localMtime);
    void Forget(int folder, const std::string &key);
    void SaveIfDirty();
    void Done(Task &task, const char *what, const std::string &to = {});
    void Fail(Task &task, const std::string &why, const Op *op = nullptr);
    void Summary();
    void Phase(const char *name) const;

    // Helpers.
    std::wstring FolderDir(int folder) const { return root_ + L"\\" + Widen(kFolderNames[folder]); }
    std::wstring LocalPath(int folder, const std::string &name) const {
        return FolderDir(folder) + L"\\" + Widen(name);
    }
    std::string Label(int folder, const std::string &name) const {
        return std::string(kFolderNames[folder]) + "/" + name;
    }
    const RemoteFile *Listed(int folder, const std::string &key, bool &collided) const;
    bool SameSecond(const std::string &serviceDate, std::uint64_t filetime) const;
    bool NameTaken(int folder, const std::string &name) const;

    const CommandContext &context_;
    const Library &library_;
    SyncOptions options_;
    Operations ops_;
    std::wstring root_;
    std::wstring statePath_;
    std::wstring staging_;
    std::string host_;
    std::string date_;
    FolderLock lock_;
    SyncState loaded_;
    bool haveState_ = false;
    std::string account_;
    std::map<std::pair<int, std::string>, StateEntry> state_;
    bool dirty_ = false;
    bool saveFailed_ = false;
    bool listingsStarted_ = false; // past the first listings: a listing's end is a relisting's
    FolderWork folders_[kFolderCount];
    std::string listingRev_[kFolderCount];
    std::deque<std::unique_ptr<Task>> tasks_;
    std::deque<Task *> downloads_;
    std::set<std::pair<int, std::string>> reserved_; // conflict names given out this run
    size_t transfers_ = 0;
    unsigned stagedCount_ = 0;
    Counts counts_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// ---- preparation ----

std::string ComputerName() {
    wchar_t name[256] = {};
    DWORD size = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size) || size == 0) {
        size = 256;
        if (!GetComputerNameW(name, &size)) return "HOST";
    }
    // Only what every file name can hold.
    std::string out;
    for (char c : Narrowed(name))
        out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '-';
    return out.empty() ? "HOST" : out;
}

std::string Today() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char text[16] = {};
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

bool SameRoot(const std::string &a, const std::wstring &b) {
    return CompareStringOrdinal(Widen(a).c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

int Engine::Abort(const std::string &why) {
    EmitEvent("abort", {{"reason", why}});
    SayLine("abort: " + why + " (nothing was changed)");
    return SyncAborted;
}

int Engine::Prepare() {
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD length = GetFullPathNameW(options_.localDir.c_str(), MAX_PATH * 2, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 2) return Abort("the local folder's path is not usable");
    root_ = full;
    while (root_.size() > 3 && (root_.back() == L'\\' || root_.back() == L'/')) root_.pop_back();
    if (!IsFolder(root_)) return Abort("the local folder " + Narrowed(root_) + " does not exist");
    statePath_ = options_.statePath.empty() ? root_ + L"\\.velmora-sync.json" : options_.statePath;
    staging_ = root_ + L"\\.velmora-sync.tmp";
    host_ = ComputerName();
    date_ = Today();
    if (!options_.dryRun) {
        DWORD error = 0;
        if (!lock_.Take(root_ + L"\\.velmora-sync.lock", error))
            return Abort(error == ERROR_SHARING_VIOLATION
                             ? "another sync of this folder is running"
                             : "cannot take the lock file (error " + std::to_string(error) + ")");
    }
    std::string note;
    const StateRead read = LoadState(statePath_, loaded_, note);
    haveState_ = read != StateRead::None && !options_.resync;
    if (haveState_ && !SameRoot(loaded_.localRoot, root_)) {
        note = "the state belongs to another local folder";
        haveState_ = false;
    }
    EmitEvent("state", {{"path", Narrowed(statePath_)},
                        {"read", read == StateRead::Read         ? "state"
                                 : read == StateRead::ReadBackup ? "backup"
                                                                 : "none"},
                        {"used", haveState_},
                        {"resync", options_.resync},
                        {"note", note}});
    if (read == StateRead::ReadBackup) SayLine("note: the state file was unusable; its backup was read (" + note + ")");
    if (!options_.dryRun) {
        CreateDirectoryW(staging_.c_str(), nullptr);
        SetFileAttributesW(staging_.c_str(), FILE_ATTRIBUTE_HIDDEN);
        // Copies a killed run left behind.
        WIN32_FIND_DATAW found{};
        HANDLE find = FindFirstFileW((staging_ + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileW((staging_ + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        // Without a state this is a first run: the account gets its folders.
        if (!haveState_ && library_.dbFolderInitialization != nullptr) library_.dbFolderInitialization();
    }
    return -1;
}

// ---- listings ----

// Starts the size query of a listing; false (the job done, not ok) when it did not start.
bool Engine::StartListing(int folder, int attempts) {
    ListingJob &job = folders_[folder].listing;
    job = ListingJob{};
    job.busy = true;
    job.attemptsLeft = attempts;
    job.sizeOp = ops_.Start(OpKind::Size, kFolderNames[folder], &folders_[folder], [&](HWND window, Op &op) {
        return library_.getDBMetadataBufferSize(window, &op.result, kListingPaths[folder], &op.size);
    });
    if (job.sizeOp != nullptr) return true;
    job.busy = false;
    job.done = true;
    return false;
}

void Engine::OnListingOp(int folder, Op &op) {
    ListingJob &job = folders_[folder].listing;
    if (&op == job.sizeOp) {
        if (op.result == 1 && op.size != 0) {
            const DWORD size = op.size;
            job.listOp = ops_.Start(OpKind::Listing, kFolderNames[folder], &folders_[folder], [&](HWND window, Op &o) {
                return library_.getDropboxMetadata(window, &o.result, kListingPaths[folder], size);
            });
            if (job.listOp != nullptr) return;
        }
    } else if (&op == job.listOp && op.result == 1) {
        job.ok = true;
        job.text = std::move(op.listing);
    }
    // This attempt is over.
    if (!job.ok && --job.attemptsLeft > 0 && StartListing(folder, job.attemptsLeft)) return;
    job.busy = false;
    job.done = true;
    if (listingsStarted_) OnRelisted(folder, job.ok, job.text);
}

bool Engine::ReadFolderListing(int folder, const std::string &text, std::vector<RemoteFile> &files,
                               std::vector<SkippedName> &skipped, std::string &rev, std::string &why) {
    FolderListing listing;
    if (!ReadListing(text, kFolderNames[folder], listing, why)) return false;
    rev = listing.rev;
    for (const ListedEntry &entry : listing.entries) {
        const std::string key = FoldKey(entry.name);
        const char *skip = entry.isDir                           ? "remote sub-folder"
                           : IsDownloadTemporaryName(entry.name) ? "temporary file of a download"
                                                                 : UnusableLocalName(entry.name);
        if (skip != nullptr) {
            skipped.push_back({folder, key, entry.name, skip});
            continue;
        }
        files.push_back({entry.name, key, entry.rev, entry.size, entry.clientMtime});
    }
    return true;
}

int Engine::ListAll() {
    for (int folder = 0; folder < kFolderCount; ++folder) StartListing(folder, 1);
    for (;;) {
        bool all = true;
        for (const FolderWork &work : folders_) all = all && work.listing.done;
        if (all) break;
        if (ops_.QuietMilliseconds() > ULONGLONG{context_.timeoutSeconds} * 1000)
            return Abort("no answer to the listings within " + std::to_string(context_.timeoutSeconds) + " s");
        ops_.Pump(100);
        for (Op *op : ops_.TakeFinished())
            for (int folder = 0; folder < kFolderCount; ++folder)
                if (op->owner == &folders_[folder]) OnListingOp(folder, *op);
    }
    for (int folder = 0; folder < kFolderCount; ++folder)
        if (!folders_[folder].listing.ok)
            return Abort(std::string("the listing of ") + kFolderNames[folder] +
                         " failed (no connection, a missing remote folder, or it changed while listed)");
    return -1;
}

int Engine::ScanAll(FolderView (&views)[kFolderCount], std::vector<SkippedName> &skipped) {
    for (int folder = 0; folder < kFolderCount; ++folder) {
        std::vector<RemoteFile> remote;
        std::string why;
        if (!ReadFolderListing(folder, folders_[folder].listing.text, remote, skipped, listingRev_[folder], why))
            return Abort(std::string("the listing of ") + kFolderNames[folder] + " is not usable: " + why);
        for (const RemoteFile &file : remote) folders_[folder].remote[file.key].push_back(file);
        for (const SkippedName &name : skipped)
            if (name.folder == folder) folders_[folder].remote[name.key].push_back({name.name, name.key, "", 0, ""});
        views[folder].remote = std::move(remote);
    }
    // The account: the namespace every rev of it ends with.
    account_ = NamespaceOfRev(listingRev_[0]);
    for (const std::string &rev : listingRev_)
        if (NamespaceOfRev(rev) != account_) account_.clear();
    if (haveState_ && (account_.empty() || loaded_.account != account_)) {
        EmitEvent("state", {{"used", false}, {"note", "the state belongs to another account"}});
        haveState_ = false;
    }
    if (haveState_)
        for (StateEntry entry : loaded_.files) {
            entry.key = FoldKey(entry.name);
            state_[{entry.folder, entry.key}] = entry;
        }
    for (int folder = 0; folder < kFolderCount; ++folder) {
        const std::wstring dir = FolderDir(folder);
        if (!IsFolder(dir)) {
            // With a state a missing folder is more likely a lost drive than a wish.
            if (haveState_) return Abort(std::string("the local folder ") + kFolderNames[folder] + " is missing");
            if (!options_.dryRun && !CreateDirectoryW(dir.c_str(), nullptr))
                return Abort(std::string("cannot create the local folder ") + kFolderNames[folder]);
            continue;
        }
        DWORD error = 0;
        if (!ScanFolder(dir, folder, views[folder].local, skipped, error))
            return Abort(std::string("cannot read the local folder ") + kFolderNames[folder] + " (error " +
                         std::to_string(error) + ")");
        for (const auto &[key, entry] : state_)
            if (key.first == folder) views[folder].state.push_back(entry);
    }
    return -1;
}

// ---- decisions ----

const char *TextVerb(Action action) {
    switch (action) {
    case Action::Upload:
        return "up  ";
    case Action::Download:
        return "down";
    case Action::DeleteRemote:
        return "del ";
    case Action::TrashLocal:
        return "trash";
    case Action::Compare:
        return "compare";
    case Action::Skip:
        return "skip";
    default:
        return nullptr;
    }
}

void Engine::Announce(const Decision &d) {
    Json event{{"folder", kFolderNames[d.folder]},
               {"name", d.Name()},
               {"action", ActionName(d.action)},
               {"reason", d.action == Action::Skip && !d.skipWhy.empty() ? d.skipWhy : ReasonText(d.reason)}};
    EmitEvent("decision", std::move(event));
    const char *verb = TextVerb(d.action);
    if (d.action == Action::Skip) {
        SayLine(std::string("skip ") + Label(d.folder, d.Name()) + " (" +
                (d.skipWhy.empty() ? ReasonText(d.reason) : d.skipWhy) + ")");
    } else if (options_.dryRun && verb != nullptr) {
        SayLine(std::string(verb) + " " + Label(d.folder, d.Name()) + " (" + ReasonText(d.reason) + ")");
    }
}

Task &Engine::NewTask(int folder, const std::string &key, const std::string &name) {
    tasks_.push_back(std::make_unique<Task>());
    Task &task = *tasks_.back();
    task.folder = folder;
    task.key = key;
    task.name = name;
    return task;
}

void Engine::Begin(const Decision &d) {
    switch (d.action) {
    case Action::None:
        return;
    case Action::Skip:
        ++counts_.skipped;
        return;
    case Action::Forget:
        Forget(d.folder, d.key);
        return;
    default:
        break;
    }
    Task &task = NewTask(d.folder, d.key, d.Name());
    task.action = d.action;
    task.local = d.local;
    task.remote = d.remote;
    switch (d.action) {
    case Action::Upload:
        task.expectRemoteAbsent = !d.remote.has_value();
        if (d.remote) task.expectRev = d.remote->rev;
        QueueRemoteChange(task);
        break;
    case Action::DeleteRemote:
        task.expectRev = d.remote->rev;
        QueueRemoteChange(task);
        break;
    case Action::TrashLocal:
        TrashNow(task);
        break;
    case Action::Download:
    case Action::Compare:
        task.step = Step::Downloading;
        downloads_.push_back(&task);
        break;
    default:
        break;
    }
}

// Deleted remotely, unchanged locally: the local file goes into the trash
// folder, never away. Changed since the scan, it goes up instead.
void Engine::TrashNow(Task &task) {
    const std::wstring path = LocalPath(task.folder, task.name);
    if (!Unchanged(path, task.local->size, task.local->mtime)) {
        task.action = Action::Upload;
        task.expectRemoteAbsent = true;
        QueueRemoteChange(task);
        return;
    }
    const std::wstring trash = root_ + L"\\.velmora-trash";
    const std::wstring dir = trash + L"\\" + Widen(kFolderNames[task.folder]);
    CreateDirectoryW(trash.c_str(), nullptr);
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::string name =
        NumberedName(task.name, [&](const std::string &candidate) { return !Missing(dir + L"\\" + Widen(candidate)); });
    DWORD error = 0;
    if (!MoveLocalFile(path, dir + L"\\" + Widen(name), false, error))
        return Fail(task, "cannot move it into the trash (error " + std::to_string(error) + ")");
    CrashPoint("trashed");
    Forget(task.folder, task.key);
    ++counts_.trashed;
    Done(task, "trash", std::string(".velmora-trash/") + kFolderNames[task.folder] + "/" + name);
}

void Engine::QueueRemoteChange(Task &task) {
    task.step = Step::Queued;
    folders_[task.folder].queued.push_back(&task);
}

// ---- the loop ----

bool Engine::Finished() const {
    if (ops_.Running() != 0 || !downloads_.empty()) return false;
    for (const FolderWork &work : folders_)
        if (work.listing.busy || !work.queued.empty() || work.waveOpen != 0 || !work.verify.empty()) return false;
    return true;
}

void Engine::StartWork() {
    for (int folder = 0; folder < kFolderCount; ++folder) {
        FolderWork &work = folders_[folder];
        if (!work.listing.busy && work.waveOpen == 0 && (!work.queued.empty() || !work.verify.empty()) &&
            !StartListing(folder, kRelistAttempts))
            OnRelisted(folder, false, {});
    }
    while (transfers_ < options_.jobs && StartNextTransfer()) {}
}

// The next transfer: a wave's first (its listing is fresh), else a download.
bool Engine::StartNextTransfer() {
    for (FolderWork &work : folders_)
        for (Task *task : work.wave)
            if (task->step == Step::InWave) {
                if (task->action == Action::DeleteRemote)
                    StartDelete(*task);
                else
                    StartUpload(*task);
                return true;
            }
    if (downloads_.empty()) return false;
    Task *task = downloads_.front();
    downloads_.pop_front();
    StartDownload(*task);
    return true;
}

void Engine::Loop() {
    ULONGLONG cancelledAt = 0;
    for (;;) {
        StartWork();
        SaveIfDirty();
        if (Finished()) return;
        ops_.Pump(100);
        for (Op *op : ops_.TakeFinished()) OnOp(*op);
        SaveIfDirty();
        ShowProgress(ops_.Running(), ops_.BytesMoved());
        // Nothing heard for the whole timeout: the transfers are asked to
        // stop; still nothing after another timeout, the run gives up on them.
        const ULONGLONG limit = ULONGLONG{context_.timeoutSeconds} * 1000;
        if (ops_.Running() != 0 && ops_.QuietMilliseconds() > limit) {
            if (cancelledAt == 0) {
                ops_.CancelAll();
                cancelledAt = GetTickCount64();
            } else if (GetTickCount64() - cancelledAt > limit) {
                SayLine("error: the library's workers stopped answering; giving up on the running transfers");
                EmitEvent("error", {{"text", "the library's workers stopped answering"}});
                for (auto &task : tasks_)
                    if (task->step != Step::Done && task->step != Step::Failed) Fail(*task, "no answer");
                return;
            }
        }
    }
}

void Engine::OnOp(Op &op) {
    for (int folder = 0; folder < kFolderCount; ++folder)
        if (op.owner == &folders_[folder]) return OnListingOp(folder, op);
    Task &task = *static_cast<Task *>(op.owner);
    --transfers_;
    switch (op.kind) {
    case OpKind::Download:
        return OnDownloaded(task, op);
    case OpKind::Upload:
        return OnUploaded(task, op);
    case OpKind::Delete:
        return OnDeleted(task, op);
    default:
        return;
    }
}

const RemoteFile *Engine::Listed(int folder, const std::string &key, bool &collided) const {
    collided = false;
    const auto found = folders_[folder].remote.find(key);
    if (found == folders_[folder].remote.end() || found->second.empty()) return nullptr;
    collided = found->second.size() > 1;
    return collided ? nullptr : &found->second.front();
}

// A listing between waves: first it confirms the uploads of the wave before,
// then it checks each queued change against what the folder holds now.
void Engine::OnRelisted(int folder, bool ok, const std::string &text) {
    FolderWork &work = folders_[folder];
    std::vector<RemoteFile> files;
    std::vector<SkippedName> skipped;
    std::string rev;
    std::string why = "the listing failed";
    if (ok && !ReadFolderListing(folder, text, files, skipped, rev, why)) ok = false;
    std::vector<Task *> verify;
    std::vector<Task *> queued;
    verify.swap(work.verify);
    queued.swap(work.queued);
    if (!ok) {
        for (Task *task : verify) Fail(*task, "uploaded, but the listing that confirms it failed; checked next run");
        for (Task *task : queued) Fail(*task, "the listing just before it failed (" + why + ")");
        return;
    }
    work.remote.clear();
    for (const RemoteFile &file : files) work.remote[file.key].push_back(file);
    for (const SkippedName &name : skipped) work.remote[name.key].push_back({name.name, name.key, "", 0, ""});
    for (Task *task : verify) VerifyUpload(folder, *task);
    // A wave holds no more than can run at once, so that each of its files
    // starts right after the listing that checked it; the rest wait for the next.
    work.wave.clear();
    for (Task *task : queued) {
        if (work.waveOpen < options_.jobs)
            CheckQueued(folder, *task);
        else
            work.queued.push_back(task);
    }
}

// The listing just before an upload or a delete: a rev that moved since the
// plan makes the file "changed on both sides" (an upload) or brings the new
// version down (a delete: an edit beats a delete).
void Engine::CheckQueued(int folder, Task &task) {
    FolderWork &work = folders_[folder];
    bool collided = false;
    const RemoteFile *now = Listed(folder, task.key, collided);
    if (collided) return Fail(task, "the remote folder now holds names that differ only in case");
    const bool asExpected = task.expectRemoteAbsent ? now == nullptr : now != nullptr && now->rev == task.expectRev;
    const std::wstring path = LocalPath(folder, task.name);
    if (task.action == Action::DeleteRemote) {
        if (now == nullptr) {
            Forget(folder, task.key);
            return Done(task, "forget");
        }
        if (!asExpected) {
            task.action = Action::Download;
            task.remote = *now;
            task.local.reset();
            task.step = Step::Downloading;
            downloads_.push_back(&task);
            return;
        }
        if (!Missing(path)) return Fail(task, "the local file came back during the run; checked again next run");
    } else {
        if (!asExpected && now != nullptr) {
            task.action = Action::Compare;
            task.remote = *now;
            task.step = Step::Downloading;
            downloads_.push_back(&task);
            return;
        }
        if (Missing(path)) return Fail(task, "the local file went away during the run; checked again next run");
        task.expectRemoteAbsent = now == nullptr;
    }
    task.step = Step::InWave;
    work.wave.push_back(&task);
    ++work.waveOpen;
}

// ---- transfers ----

void Engine::StartDownload(Task &task) {
    task.staged = staging_ + L"\\" + std::to_wstring(++stagedCount_) + L".download";
    const std::wstring remoteName = Widen(task.remote->name);
    ++transfers_;
    const Op *op = ops_.Start(OpKind::Download, Label(task.folder, task.remote->name), &task, [&](HWND window, Op &o) {
        return library_.getRemoteMergeFile(window, remoteName.c_str(), static_cast<DWORD>(task.folder),
                                           task.staged.c_str(), &o.result, &o.cancel, 0);
    });
    if (op == nullptr) {
        --transfers_;
        Fail(task, "the download did not start");
    }
}

void Engine::StartUpload(Task &task) {
    task.step = Step::Sending;
    const std::wstring remotePath = Widen(Label(task.folder, task.name));
    const std::wstring localPath = LocalPath(task.folder, task.name);
    ++transfers_;
    const Op *op = ops_.Start(OpKind::Upload, Label(task.folder, task.name), &task, [&](HWND window, Op &o) {
        return library_.bvUpdateRemoteWithFeedback(window, remotePath.c_str(), localPath.c_str(), 0, &o.result,
                                                   &o.cancel);
    });
    if (op == nullptr) {
        --transfers_;
        --folders_[task.folder].waveOpen;
        Fail(task, "the upload did not start");
    }
}

void Engine::StartDelete(Task &task) {
    task.step = Step::Sending;
    const std::wstring remoteName = Widen(task.remote->name);
    ++transfers_;
    const Op *op = ops_.Start(OpKind::Delete, Label(task.folder, task.name), &task, [&](HWND window, Op &o) {
        return library_.bvDeleteRemote(window, remoteName.c_str(), static_cast<DWORD>(task.folder), &o.result);
    });
    if (op == nullptr) {
        --transfers_;
        --folders_[task.folder].waveOpen;
        Fail(task, "the delete did not start");
    }
}

bool Engine::SameSecond(const std::string &serviceDate, std::uint64_t filetime) const {
    const std::uint64_t date = library_.convertToFILETIME(serviceDate.c_str());
    // A date the library cannot read set no time: only the size can be checked.
    if (date == kNoDate) return true;
    return date / kTicksPerSecond == filetime / kTicksPerSecond;
}

// The download is in the staging folder. It replaces the local file only if
// that is still what the plan saw; otherwise both sides changed.
void Engine::OnDownloaded(Task &task, const Op &op) {
    if (op.result != 1) {
        DeleteFileW(task.staged.c_str());
        return Fail(task, "the download failed", &op);
    }
    if (task.action == Action::Compare) return CompareStaged(task);
    const std::wstring path = LocalPath(task.folder, task.name);
    const bool asPlanned = task.local ? Unchanged(path, task.local->size, task.local->mtime) : Missing(path);
    if (!asPlanned) return CompareStaged(task);
    DWORD error = 0;
    if (!MoveLocalFile(task.staged, path, task.local.has_value(), error)) {
        DeleteFileW(task.staged.c_str());
        return Fail(task, "cannot put the download in place (error " + std::to_string(error) + ")");
    }
    CrashPoint("downloaded");
    std::uint64_t size = 0;
    std::uint64_t mtime = 0;
    if (StatFile(path, size, mtime) == Stat::Present && size == task.remote->size &&
        SameSecond(task.remote->clientMtime, mtime))
        Record(task, *task.remote, size, mtime);
    ++counts_.down;
    Done(task, "down");
}

// Both sides changed: the same bytes are recorded, different ones are kept both.
void Engine::CompareStaged(Task &task) {
    const std::wstring path = LocalPath(task.folder, task.name);
    std::uint64_t size = 0;
    std::uint64_t mtime = 0;
    const Stat stat = StatFile(path, size, mtime);
    DWORD error = 0;
    if (stat == Stat::Absent) {
        if (!MoveLocalFile(task.staged, path, false, error)) {
            DeleteFileW(task.staged.c_str());
            return Fail(task, "cannot put the download in place (error " + std::to_string(error) + ")");
        }
        if (StatFile(path, size, mtime) == Stat::Present && size == task.remote->size &&
            SameSecond(task.remote->clientMtime, mtime))
            Record(task, *task.remote, size, mtime);
        ++counts_.down;
        return Done(task, "down");
    }
    bool same = false;
    if (stat != Stat::Present || !SameBytes(task.staged, path, same)) {
        DeleteFileW(task.staged.c_str());
        return Fail(task, "cannot read the local file to compare it");
    }
    if (!same) return Conflict(task);
    std::uint64_t stagedSize = 0;
    std::uint64_t stagedTime = 0;
    const bool verified = StatFile(task.staged, stagedSize, stagedTime) == Stat::Present &&
                          stagedSize == task.remote->size && SameSecond(task.remote->clientMtime, stagedTime);
    DeleteFileW(task.staged.c_str());
    if (verified) Record(task, *task.remote, size, mtime);
    ++counts_.same;
    Done(task, "same");
}

// The remote keeps the name; the local file becomes its conflicted copy and goes up.
void Engine::Conflict(Task &task) {
    const std::wstring path = LocalPath(task.folder, task.name);
    const std::string copy = ConflictName(
        task.name, host_, date_, [&](const std::string &candidate) { return NameTaken(task.folder, candidate); });
    reserved_.insert({task.folder, FoldKey(copy)});
    DWORD error = 0;
    if (!MoveLocalFile(path, LocalPath(task.folder, copy), false, error)) {
        DeleteFileW(task.staged.c_str());
        return Fail(task, "cannot rename it for the conflict (error " + std::to_string(error) + ")");
    }
    CrashPoint("conflict-renamed");
    if (!MoveLocalFile(task.staged, path, false, error)) {
        DeleteFileW(task.staged.c_str());
        Fail(task, "cannot put the remote version in place (error " + std::to_string(error) + ")");
    } else {
        std::uint64_t size = 0;
        std::uint64_t mtime = 0;
        if (StatFile(path, size, mtime) == Stat::Present && size == task.remote->size &&
            SameSecond(task.remote->clientMtime, mtime))
            Record(task, *task.remote, size, mtime);
        ++counts_.conflicts;
        Done(task, "conflict", copy);
    }
    Task &upload = NewTask(task.folder, FoldKey(copy), copy);
    upload.action = Action::Upload;
    upload.expectRemoteAbsent = true;
    QueueRemoteChange(upload);
}

bool Engine::NameTaken(int folder, const std::string &name) const {
    const std::string key = FoldKey(name);
    return !Missing(LocalPath(folder, name)) || folders_[folder].remote.count(key) != 0 ||
           state_.count({folder, key}) != 0 || reserved_.count({folder, key}) != 0;
}

void Engine::OnUploaded(Task &task, const Op &op) {
    --folders_[task.folder].waveOpen;
    if (op.result != 1) {
        const char *why = op.failCode == 5007   ? "the file changed while it was sent; it goes up next run"
                          : op.failCode == 5008 ? "the service's answers went wrong; it goes up next run"
                                                : "the upload failed";
        return Fail(task, why, &op);
    }
    // The library gave the local file the commit's time: what the state keeps.
    if (StatFile(LocalPath(task.folder, task.name), task.sentSize, task.sentMtime) != Stat::Present)
        return Fail(task, "uploaded, but the local file went away; checked again next run");
    CrashPoint("uploaded");
    task.step = Step::Verifying;
    folders_[task.folder].verify.push_back(&task);
}

// The listing after the wave shows what was committed: the file with the size
// sent and the time the library gave the local file.
void Engine::VerifyUpload(int folder, Task &task) {
    bool collided = false;
    const RemoteFile *now = Listed(folder, task.key, collided);
    if (now != nullptr && now->size == task.sentSize && SameSecond(now->clientMtime, task.sentMtime)) {
        Record(task, *now, task.sentSize, task.sentMtime);
        ++counts_.up;
        return Done(task, "up");
    }
    if (AdoptServiceCopy(folder, task)) return;
    Fail(task, "uploaded, but the listing does not show it as sent; checked again next run");
}

// Another client's commit came between the library's revision lookup and its
// own: the service kept that version at the name and stored ours as its
// conflicted copy. The local file takes the copy's name, and the other
// version comes down on the next run (the name's state stays as it was).
bool Engine::AdoptServiceCopy(int folder, Task &task) {
    const size_t dot = task.name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? task.name : task.name.substr(0, dot);
    const std::string prefix = FoldKey(stem + " (conflicted copy");
    for (const auto &[key, files] : folders_[folder].remote) {
        if (files.size() != 1 || key.compare(0, prefix.size(), prefix) != 0 || state_.count({folder, key}) != 0)
            continue;
        const RemoteFile &copy = files.front();
        if (copy.size != task.sentSize || !SameSecond(copy.clientMtime, task.sentMtime)) continue;
        const std::wstring path = LocalPath(folder, task.name);
        const std::wstring target = LocalPath(folder, copy.name);
        DWORD error = 0;
        if (!Unchanged(path, task.sentSize, task.sentMtime) || !Missing(target) ||
            !MoveLocalFile(path, target, false, error))
            return false;
        Task &adopted = NewTask(folder, key, copy.name);
        Record(adopted, copy, task.sentSize, task.sentMtime);
        ++counts_.conflicts;
        Done(task, "conflict", copy.name);
        adopted.step = Step::Done;
        return true;
    }
    return false;
}

void Engine::OnDeleted(Task &task, const Op &op) {
    --folders_[task.folder].waveOpen;
    if (op.result != 1) return Fail(task, "the remote delete failed", &op);
    CrashPoint("deleted");
    Forget(task.folder, task.key);
    ++counts_.deletedRemote;
    Done(task, "delete_remote");
}

// ---- state and outcomes ----

void Engine::Record(const Task &task, const RemoteFile &remote, std::uint64_t localSize, std::uint64_t localMtime) {
    StateEntry entry;
    entry.folder = task.folder;
    entry.name = task.name;
    entry.key = task.key;
    entry.rev = remote.rev;
    entry.remoteSize = remote.size;
    entry.clientMtime = remote.clientMtime;
    entry.localSize = localSize;
    entry.localMtime = localMtime;
    state_[{task.folder, task.key}] = entry;
    dirty_ = true;
}

void Engine::Forget(int folder, const std::string &key) {
    if (state_.erase({folder, key}) != 0) dirty_ = true;
}

void Engine::SaveIfDirty() {
    if (!dirty_ || options_.dryRun) return;
    SyncState state;
    state.account = account_;
    state.localRoot = Narrowed(root_);
    state.host = host_;
    for (const auto &[key, entry] : state_) state.files.push_back(entry);
    DWORD error = 0;
    if (!SaveState(statePath_, state, error)) {
        if (!saveFailed_) {
            SayLine("error: cannot save the state (error " + std::to_string(error) + "); the next run checks again");
            EmitEvent("error", {{"text", "cannot save the state"}, {"system_error", error}});
        }
        saveFailed_ = true;
        return;
    }
    dirty_ = false;
    CrashPoint("state-saved");
}

void Engine::Done(Task &task, const char *what, const std::string &to) {
    task.step = Step::Done;
    Json event{{"folder", kFolderNames[task.folder]}, {"name", task.name}, {"action", what}};
    if (!to.empty()) event["to"] = to;
    EmitEvent("done", std::move(event));
    const std::string label = Label(task.folder, task.name);
    const std::string verb = what;
    if (verb == "up")
        SayLine("up   " + label);
    else if (verb == "down")
        SayLine("down " + label);
    else if (verb == "conflict")
        SayLine("conflict " + label + " -> " + to);
    else if (verb == "same")
        SayLine("same " + label + " (the same bytes on both sides)");
    else if (verb == "delete_remote")
        SayLine("del  " + label + " (remote)");
    else if (verb == "trash")
        SayLine("trash " + label + " -> " + to);
}

void Engine::Fail(Task &task, const std::string &why, const Op *op) {
    task.step = Step::Failed;
    ++counts_.failed;
    Json event{{"folder", kFolderNames[task.folder]}, {"name", task.name}, {"reason", why}};
    std::string codes;
    if (op != nullptr && op->failClass != 0) {
        event["code"] = op->failCode;
        event["code_class"] = op->failClass;
        codes = " (code " + std::to_string(op->failCode) + ", class " + std::to_string(op->failClass) + ")";
    }
    EmitEvent("failed", std::move(event));
    SayLine("failed " + Label(task.folder, task.name) + ": " + why + codes);
}

void Engine::Summary() {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    EmitEvent("summary", {{"dry_run", options_.dryRun},
                          {"up", counts_.up},
                          {"down", counts_.down},
                          {"conflicts", counts_.conflicts},
                          {"same", counts_.same},
                          {"deleted_remotely", counts_.deletedRemote},
                          {"trashed", counts_.trashed},
                          {"skipped", counts_.skipped},
                          {"failed", counts_.failed},
                          {"seconds", seconds}});
    char text[256] = {};
    std::snprintf(text, sizeof text,
                  "%zu up, %zu down, %zu conflict%s, %zu deleted remotely, %zu to trash, %zu failed in %.1f s",
                  counts_.up, counts_.down, counts_.conflicts, counts_.conflicts == 1 ? "" : "s", counts_.deletedRemote,
                  counts_.trashed, counts_.failed, seconds);
    SayLine(text);
}

// {"event": "phase", "name", "seconds"}: how long the run took to reach each phase (--json).
void Engine::Phase(const char *name) const {
    EmitEvent("phase", {{"name", name},
                        {"seconds", std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()}});
}

int Engine::Run() {
    if (const int exit = Prepare(); exit >= 0) return exit;
    Phase("prepared");
    std::string why;
    if (!ops_.Open(why)) return Abort(why);
    Phase("window");
    int exit = ListAll();
    Phase("listed");
    FolderView views[kFolderCount];
    std::vector<SkippedName> skipped;
    if (exit < 0) exit = ScanAll(views, skipped);
    Phase("scanned");
    if (exit < 0) {
        PlanOptions planOptions;
        planOptions.haveState = haveState_;
        planOptions.maxDeletePercent = options_.maxDeletePercent;
        const Plan plan = MakePlan(views, skipped, planOptions);
        Phase("planned");
        CrashPoint("listed");
        for (const Decision &d : plan.decisions) Announce(d);
        if (plan.guard != Guard::Passed) {
            exit = Abort(std::string(GuardText(plan.guard)) + " (" + std::to_string(plan.deletes) + " deletes of " +
                         std::to_string(plan.stateFiles) + " synced files)");
        } else if (options_.dryRun) {
            Counts planned;
            for (const Decision &d : plan.decisions) {
                planned.up += d.action == Action::Upload;
                planned.down += d.action == Action::Download;
                planned.same += d.action == Action::Compare;
                planned.deletedRemote += d.action == Action::DeleteRemote;
                planned.trashed += d.action == Action::TrashLocal;
                planned.skipped += d.action == Action::Skip;
            }
            EmitEvent("plan", {{"up", planned.up},
                               {"deleted_remotely", planned.deletedRemote},
                               {"down", planned.down},
                               {"trashed", planned.trashed},
                               {"compared", planned.same},
                               {"skipped", planned.skipped}});
            SayLine("dry run, nothing written. remote: " + std::to_string(planned.up) + " up, " +
                    std::to_string(planned.deletedRemote) + " deleted; local: " + std::to_string(planned.down) +
                    " down, " + std::to_string(planned.trashed) + " to trash; " + std::to_string(planned.same) +
                    " to compare, " + std::to_string(planned.skipped) + " skipped");
            exit = SyncDone;
        } else {
            // A first run, or one with another state, writes its state even when nothing moves.
            dirty_ = !haveState_ || account_ != loaded_.account;
            listingsStarted_ = true;
            for (const Decision &d : plan.decisions) Begin(d);
            Loop();
            SaveIfDirty();
            Phase("transferred");
            EndProgress();
            Summary();
            exit = counts_.failed != 0 || saveFailed_ ? SyncSomeFailed : SyncDone;
        }
    }
    EndProgress();
    if (!ops_.WaitForWorkers()) SayLine("error: a worker of the library has not ended");
    ops_.Close();
    return exit;
}

} // namespace

int RunSync(const CommandContext &context, const SyncOptions &options) {
    Engine engine(context, options);
    return engine.Run();
}

} // namespace twoway
