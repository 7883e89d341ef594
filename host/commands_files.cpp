// Commands for the operations on files: size, ls, count, get, rm, put. Each prints one
// line for people (ls a table), or with --json the library's messages and the export's result.
#include "commands.h"
#include "host_message_decoder.h"
#include "human_text.h"
#include "listing_table.h"
#include "message_pump.h"
#include "output.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

int RunSize(CommandContext &context);
int RunLs(CommandContext &context);
int RunCount(CommandContext &context);
int RunGet(CommandContext &context);
int RunRm(CommandContext &context);
int RunPut(CommandContext &context);

// Every command also takes --null-window: the operation runs without a window
// (no messages), and the host waits for the result byte instead; and
// --destroyed-window: the operation gets the handle of a window that the host
// has already destroyed, as a host whose window closed before the operation
// ended (no message can be delivered), and the host waits the same way.
const Command kCommands[] = {
    {L"size", "FOLDER", RunSize, "the length of a folder's listing (FOLDER as in a URL: User%20Notes)"},
    {L"ls", "FOLDER [--raw] [--length BYTES]", RunLs,
     "a folder's files and folders as a table (--raw: the listing text as received)"},
    {L"count", "FOLDER | --file PATH", RunCount, "the files of a folder's listing (or of a listing saved in PATH)"},
    {L"get", "INDEX NAME LOCAL [--mode N] [--cancel-after K] [--size BYTES] [--hold-target MS]", RunGet,
     "downloads NAME of folder INDEX (0 Highlights, 1 User Notes, 2 User Tools) into LOCAL"},
    {L"rm", "INDEX NAME", RunRm, "deletes NAME of folder INDEX"},
    {L"put", "REMOTE LOCAL [--cancel-after K] [--keep-open]", RunPut, "uploads LOCAL as REMOTE (\"User Notes/a.txt\")"},
};
const Command &kSize = kCommands[0];
const Command &kLs = kCommands[1];
const Command &kCount = kCommands[2];
const Command &kGet = kCommands[3];
const Command &kRm = kCommands[4];
const Command &kPut = kCommands[5];

// The window an operation reports to.
enum class WindowChoice { Own, Null, Destroyed };

// The command's arguments without --null-window and --destroyed-window, and the window they chose.
struct FileArgs {
    std::vector<wchar_t *> args;
    WindowChoice window = WindowChoice::Own;
};

FileArgs SplitArgs(const CommandContext &context) {
    FileArgs split;
    for (wchar_t *arg : context.args) {
        if (std::wcscmp(arg, L"--null-window") == 0)
            split.window = WindowChoice::Null;
        else if (std::wcscmp(arg, L"--destroyed-window") == 0)
            split.window = WindowChoice::Destroyed;
        else
            split.args.push_back(arg);
    }
    return split;
}

// The handle of a message-only window that no longer exists; null when none could be made.
HWND DestroyedWindow() {
    std::string failure;
    HWND window = OpenMessageWindow(L"VelmoraSyncDestroyedWindow", DefWindowProcW, nullptr, failure);
    if (window == nullptr) {
        HostError(ExitFailure, failure);
        return nullptr;
    }
    DestroyWindow(window);
    return window;
}

// Runs one operation: with a window, pumping messages until the final one; or
// without one that takes messages, waiting for the result byte (the library
// writes it last) and then for the worker's end, which no message tells: the
// worker is the thread the export started, and it is waited for so that the
// process never exits under it (and, with the test DLL, so that its counters
// are final).
int RunFileOperation(const CommandContext &context, OperationVariables &variables, WindowChoice choice,
                     const std::function<bool(HWND window)> &start) {
    if (choice == WindowChoice::Own) return RunOperation(context, variables, start);
    HWND window = nullptr;
    if (choice == WindowChoice::Destroyed && (window = DestroyedWindow()) == nullptr) return ExitFailure;
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    if (!start(window)) return ExitOk;
    std::vector<HANDLE> workers = OpenThreadsStartedSince(before);
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG{context.timeoutSeconds} * 1000;
    // The worker writes the byte from its own thread.
    while (std::atomic_ref<BYTE>(variables.resultByte).load() == 0xFF) {
        if (GetTickCount64() >= deadline) {
            for (HANDLE worker : workers) CloseHandle(worker);
            return HostError(ExitTimeout, "no result within " + std::to_string(context.timeoutSeconds) + " s");
        }
        Sleep(10);
    }
    if (!WaitForWorkersEnd(workers))
        return HostError(ExitTimeout,
                         "the worker has not ended " + std::to_string(kWorkerEndSeconds) + " s after its result");
    return ExitOk;
}

// What a starting export returned (-1: not called) and the exit code of its run.
struct Outcome {
    int exitCode;
    int returned;
    bool Succeeded(const OperationVariables &variables) const {
        return exitCode == ExitOk && returned == 0 && variables.resultByte == 1;
    }
};

// Runs one operation through its starting export (start calls it with the
// window, or null, and returns what it returned); with --json then emits the
// export's result event.
Outcome RunExport(const CommandContext &context, OperationVariables &variables, WindowChoice choice,
                  const char *exportName, const std::function<int(HWND window)> &start) {
    int returned = -1;
    variables.startTick = GetTickCount64();
    const int exitCode = RunFileOperation(context, variables, choice, [&](HWND window) {
        returned = start(window);
        return returned == 0;
    });
    EndProgressLine(variables);
    if (JsonOutput())
        Event("result")
            .Text("export", exportName)
            .Number("return", returned)
            .Number("result_byte", variables.resultByte)
            .Emit();
    return {exitCode, returned};
}

// The exit code of a finished run: its own when it timed out, else 0 or 1.
int ExitOf(const Outcome &outcome, const OperationVariables &variables) {
    if (outcome.exitCode != ExitOk) return outcome.exitCode;
    return outcome.Succeeded(variables) ? ExitOk : ExitFailure;
}

// Says in text mode why an operation failed: not linked (the usual reason when
// nothing more is known), or what and hint. Returns ExitFailure.
int SayFailed(const Library &library, const std::string &what, const std::string &hint) {
    if (JsonOutput()) return ExitFailure;
    if (!AccountLinked(library)) return HostError(ExitFailure, "not linked", "run velmora-sync link");
    return HostError(ExitFailure, what, hint);
}

// The library refused to start (it returns 1 for refused arguments and when
// no thread can be started).
int SayNotStarted(const char *exportName) {
    if (JsonOutput()) return ExitFailure;
    return HostError(ExitFailure, std::string(exportName) + " did not start (it returned 1)",
                     "check the arguments; the library starts nothing for a folder index outside 0-2");
}

// The folder argument of size, ls and count as people read it, and a hint for
// one written with spaces instead of as it stands in a URL.
std::string FolderHint(const std::string &folder) {
    if (folder.find(' ') != std::string::npos) return "write the folder as it stands in a URL, e.g. User%20Notes";
    return "check the folder (Highlights, User%20Notes or User%20Tools; velmora-sync init creates them)";
}

// getDBMetadataBufferSize on folder; *size gets the length the library reported.
int QuerySize(CommandContext &context, const wchar_t *folder, WindowChoice choice, DWORD *size) {
    const Library &library = context.library;
    if (!HasExport(library.getDBMetadataBufferSize, "getDBMetadataBufferSize")) return ExitFailure;
    OperationVariables variables;
    const Outcome outcome = RunExport(context, variables, choice, "getDBMetadataBufferSize", [&](HWND window) {
        return library.getDBMetadataBufferSize(window, &variables.resultByte, folder, &variables.sizeVariable);
    });
    *size = variables.sizeVariable;
    if (outcome.exitCode != ExitOk) return outcome.exitCode;
    if (outcome.returned != 0) return SayNotStarted("getDBMetadataBufferSize");
    if (variables.resultByte != 1)
        return SayFailed(library, "the service did not list " + PathFromUrlForm(Narrow(folder)),
                         FolderHint(Narrow(folder)));
    return ExitOk;
}

// size FOLDER: the listing's length, as a host asks for it before the listing itself.
int RunSize(CommandContext &context) {
    const FileArgs split = SplitArgs(context);
    if (split.args.size() != 1) return UsageError(kSize);
    DWORD size = 0;
    const int exitCode = QuerySize(context, split.args[0], split.window, &size);
    if (exitCode == ExitOk)
        Say(PathFromUrlForm(Narrow(split.args[0])) + ": the listing is " + std::to_string(size) + " bytes");
    return exitCode;
}

// The listing of folder, sized first as the real host does (length: the length
// to ask for instead, -1 for the size query's). *listing gets the text when the
// library handed it over.
int FetchListing(CommandContext &context, const wchar_t *folder, WindowChoice choice, long long length,
                 std::string *listing) {
    DWORD size = static_cast<DWORD>(length);
    if (length < 0) {
        const int sized = QuerySize(context, folder, choice, &size);
        if (sized != ExitOk) return sized;
    }
    const Library &library = context.library;
    if (!HasExport(library.getDropboxMetadata, "getDropboxMetadata")) return ExitFailure;
    OperationVariables variables;
    variables.keepListing = listing;
    const Outcome outcome = RunExport(context, variables, choice, "getDropboxMetadata", [&](HWND window) {
        return library.getDropboxMetadata(window, &variables.resultByte, folder, size);
    });
    if (outcome.exitCode != ExitOk) return outcome.exitCode;
    if (outcome.returned != 0) return SayNotStarted("getDropboxMetadata");
    if (variables.resultByte != 1)
        return SayFailed(library,
                         "the listing of " + PathFromUrlForm(Narrow(folder)) + " did not come (it was not " +
                             std::to_string(size) + " bytes long, or the service refused)",
                         length < 0 ? "the folder changed meanwhile: run ls again" : FolderHint(Narrow(folder)));
    return ExitOk;
}

// ls FOLDER [--raw]: the size query, then the listing with that length, shown
// as a table (--raw: the text as received); --length asks for another length
// without the size query.
int RunLs(CommandContext &context) {
    FileArgs split = SplitArgs(context);
    std::vector<wchar_t *> &args = split.args;
    const auto raw =
        std::find_if(args.begin(), args.end(), [](const wchar_t *a) { return std::wcscmp(a, L"--raw") == 0; });
    const bool rawText = raw != args.end();
    if (rawText) args.erase(raw);
    unsigned long long length = 0;
    const bool lengthGiven = args.size() == 3 && std::wcscmp(args[1], L"--length") == 0 &&
                             ParseUnsigned(args[2], length) && length <= 0xFFFFFFFFull;
    if (args.size() != 1 && !lengthGiven) return UsageError(kLs);
    std::string listing;
    const int exitCode =
        FetchListing(context, args[0], split.window, lengthGiven ? static_cast<long long>(length) : -1, &listing);
    if (exitCode != ExitOk || JsonOutput()) return exitCode;
    if (rawText) {
        Say(listing);
        return ExitOk;
    }
    const std::string folder = PathFromUrlForm(Narrow(args[0]));
    std::vector<std::string> lines;
    std::string why;
    if (!ListingTable(context.library, listing, folder, lines, why))
        return HostError(ExitFailure, "the listing of " + folder + " cannot be shown as a table: " + why,
                         "velmora-sync ls --raw shows it as received");
    for (const std::string &line : lines) Say(line);
    return ExitOk;
}

// GetNumberOfRemoteFiles on a listing, with the time it took. name: what the
// text line calls the listing.
int EmitCount(const Library &library, const std::string &listing, const std::string &name) {
    if (!HasExport(library.getNumberOfRemoteFiles, "GetNumberOfRemoteFiles")) return ExitFailure;
    LARGE_INTEGER frequency = {}, before = {}, after = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    const int files = library.getNumberOfRemoteFiles(listing.c_str());
    QueryPerformanceCounter(&after);
    if (JsonOutput())
        Event("result")
            .Text("export", "GetNumberOfRemoteFiles")
            .Number("return", files)
            .Unsigned("microseconds", static_cast<unsigned long long>((after.QuadPart - before.QuadPart) * 1000000 /
                                                                      frequency.QuadPart))
            .Emit();
    else
        Say(name + ": " + std::to_string(files) + (files == 1 ? " file" : " files"));
    return ExitOk;
}

// count FOLDER: the files of the folder's listing; count --file PATH: of a listing text on disk.
int RunCount(CommandContext &context) {
    const std::vector<wchar_t *> &args = SplitArgs(context).args;
    if (args.size() == 2 && std::wcscmp(args[0], L"--file") == 0) {
        std::ifstream file(args[1], std::ios::binary);
        if (!file) return HostError(ExitFailure, "cannot read " + Narrow(args[1]), "check the path");
        const std::string listing((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return EmitCount(context.library, listing, Narrow(args[1]));
    }
    if (args.size() != 1) return UsageError(kCount);
    std::string listing;
    const int fetched = FetchListing(context, args[0], WindowChoice::Own, -1, &listing);
    if (fetched != ExitOk) return fetched;
    return EmitCount(context.library, listing, PathFromUrlForm(Narrow(args[0])));
}

// Reads the "--name VALUE" options of the transfer commands from args[first...]:
// --cancel-after K (set the cancel byte after K progress messages, 0: before
// the call), and for get --mode N and --size BYTES (the size the listing gave,
// for the progress line's percent).
bool ParseTransferOptions(const std::vector<wchar_t *> &args, size_t first, OperationVariables &variables,
                          unsigned long long *mode) {
    for (size_t i = first; i < args.size(); i += 2) {
        unsigned long long value = 0;
        if (i + 1 >= args.size() || !ParseUnsigned(args[i + 1], value)) return false;
        if (std::wcscmp(args[i], L"--cancel-after") == 0 && value <= 0xFFFFFFFFull)
            variables.cancelAfter = static_cast<long long>(value);
        else if (mode != nullptr && std::wcscmp(args[i], L"--mode") == 0 && value <= 0xFFFFFFFFull)
            *mode = value;
        else if (mode != nullptr && std::wcscmp(args[i], L"--size") == 0)
            variables.expectedBytes = value;
        else
            return false;
    }
    if (variables.cancelAfter == 0) variables.cancelByte = 1;
    return true;
}

// The size of a local file (0 when unknown).
unsigned long long LocalFileSize(const wchar_t *path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// " (6.0 MiB in 0.2 s)" of a transfer of bytes that began at startTick.
std::string Moved(unsigned long long bytes, const OperationVariables &variables) {
    return " (" + SizeText(bytes) + " in " + DurationText(GetTickCount64() - variables.startTick) + ")";
}

// Text mode: what a finished transfer did. label names the remote file, local the local one.
int SayTransfer(const Library &library, bool download, const Outcome &outcome, const OperationVariables &variables,
                const std::string &label, const wchar_t *local) {
    if (outcome.exitCode != ExitOk) return outcome.exitCode;
    const char *exportName = download ? "getRemoteMergeFile" : "BVUpdateRemoteWithFeedback";
    if (outcome.returned != 0) return SayNotStarted(exportName);
    if (outcome.Succeeded(variables)) {
        Say(std::string(download ? "downloaded " : "uploaded ") + label + Moved(LocalFileSize(local), variables));
        return ExitOk;
    }
    if (JsonOutput()) return ExitFailure;
    const std::string failed = std::string(download ? "the download of " : "the upload of ") + label;
    const std::string kept = download ? " (" + Narrow(local) + " is as it was)" : "";
    if (variables.cancelByte != 0 && (variables.cancelNoticed || !variables.failureReported))
        return HostError(ExitFailure, failed + " was cancelled" + kept);
    if (variables.failureReported) {
        const FailureText text = TransferFailure(download, variables.failureCode, variables.failureClass);
        return HostError(ExitFailure, failed + " failed: " + text.what + kept, text.hint);
    }
    if (!download && GetFileAttributesW(local) == INVALID_FILE_ATTRIBUTES)
        return HostError(ExitFailure, "cannot read " + Narrow(local), "check the path of the local file");
    return SayFailed(library, failed + " failed" + kept,
                     download ? "check the name: velmora-sync ls FOLDER lists the folder"
                              : "try again; velmora-sync ls FOLDER shows what the folder holds");
}

// A holder of the download's target, as another program that has the file
// open for reading (sharing only reads) would be: it blocks the target's
// replacement while it holds. Held from construction; with a release delay,
// let go that many milliseconds after the first progress message, else when
// the holder goes.
class TargetHolder {
  public:
    TargetHolder(const wchar_t *path, unsigned long long releaseMs, OperationVariables &variables)
        : file_(
              CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
          releaseMs_(releaseMs), variables_(variables) {
        if (file_ != INVALID_HANDLE_VALUE && releaseMs_ != 0)
            releaser_ = CreateThread(nullptr, 0, ReleaseLater, this, 0, nullptr);
    }
    TargetHolder(const TargetHolder &) = delete;
    TargetHolder &operator=(const TargetHolder &) = delete;
    ~TargetHolder() {
        stop_.store(true);
        if (releaser_ != nullptr) {
            WaitForSingleObject(releaser_, INFINITE);
            CloseHandle(releaser_);
        }
        Release();
    }
    bool Holding() const { return file_ != INVALID_HANDLE_VALUE && (releaseMs_ == 0 || releaser_ != nullptr); }

  private:
    static DWORD WINAPI ReleaseLater(LPVOID parameter) {
        auto &holder = *static_cast<TargetHolder *>(parameter);
        // The window procedure counts the messages on the host's thread.
        while (std::atomic_ref<long long>(holder.variables_.progressMessages).load() == 0 && !holder.stop_.load())
            Sleep(1);
        if (!holder.stop_.load()) Sleep(static_cast<DWORD>(holder.releaseMs_));
        holder.Release();
        return 0;
    }
    void Release() {
        const HANDLE file = file_.exchange(INVALID_HANDLE_VALUE);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }

    std::atomic<HANDLE> file_;
    unsigned long long releaseMs_;
    OperationVariables &variables_;
    std::atomic<bool> stop_{false};
    HANDLE releaser_ = nullptr;
};

// get INDEX NAME LOCAL: getRemoteMergeFile. --hold-target MS: LOCAL (which
// must exist) is held open as a reader would hold it, until MS milliseconds
// after the first progress message, or (0) until the download has ended.
int RunGet(CommandContext &context) {
    FileArgs split = SplitArgs(context);
    std::vector<wchar_t *> &args = split.args;
    unsigned long long holdMs = 0;
    const auto hold = std::find_if(args.begin(), args.end(),
                                   [](const wchar_t *arg) { return std::wcscmp(arg, L"--hold-target") == 0; });
    const bool holdTarget = hold != args.end();
    if (holdTarget) {
        if (hold + 1 == args.end() || !ParseUnsigned(*(hold + 1), holdMs) || holdMs > 600000) return UsageError(kGet);
        args.erase(hold, hold + 2);
    }
    unsigned long long index = 0;
    unsigned long long mode = 0;
    OperationVariables variables;
    if (args.size() < 3 || !ParseUnsigned(args[0], index) || index > 0xFFFFFFFFull ||
        !ParseTransferOptions(args, 3, variables, &mode))
        return UsageError(kGet);
    const Library &library = context.library;
    if (!HasExport(library.getRemoteMergeFile, "getRemoteMergeFile")) return ExitFailure;
    std::optional<TargetHolder> holder;
    if (holdTarget) {
        holder.emplace(args[2], holdMs, variables);
        if (!holder->Holding()) return HostError(ExitFailure, "cannot hold " + Narrow(args[2]) + " open");
    }
    const std::string folder = FolderOfIndex(index);
    if (!JsonOutput() && folder.empty())
        Tell("note: the folder index is 0 (Highlights), 1 (User Notes) or 2 (User Tools); the library refuses others");
    const std::string label = (folder.empty() ? "folder " + std::to_string(index) : folder) + "/" + Narrow(args[1]);
    variables.progressLabel = Narrow(args[1]);
    const Outcome outcome = RunExport(context, variables, split.window, "getRemoteMergeFile", [&](HWND window) {
        return library.getRemoteMergeFile(window, args[1], static_cast<DWORD>(index), args[2], &variables.resultByte,
                                          &variables.cancelByte, static_cast<DWORD>(mode));
    });
    if (JsonOutput()) return ExitOf(outcome, variables);
    return SayTransfer(library, true, outcome, variables, label, args[2]);
}

// rm INDEX NAME: BVDeleteRemote.
int RunRm(CommandContext &context) {
    const FileArgs split = SplitArgs(context);
    const std::vector<wchar_t *> &args = split.args;
    unsigned long long index = 0;
    if (args.size() != 2 || !ParseUnsigned(args[0], index) || index > 0xFFFFFFFFull) return UsageError(kRm);
    const Library &library = context.library;
    if (!HasExport(library.bvDeleteRemote, "BVDeleteRemote")) return ExitFailure;
    OperationVariables variables;
    const Outcome outcome = RunExport(context, variables, split.window, "BVDeleteRemote", [&](HWND window) {
        return library.bvDeleteRemote(window, args[1], static_cast<DWORD>(index), &variables.resultByte);
    });
    if (JsonOutput() || outcome.exitCode != ExitOk) return ExitOf(outcome, variables);
    const std::string folder = FolderOfIndex(index);
    if (outcome.returned != 0)
        return folder.empty() ? HostError(ExitFailure, "no folder has index " + std::to_string(index),
                                          "the folder index is 0 (Highlights), 1 (User Notes) or 2 (User Tools)")
                              : SayNotStarted("BVDeleteRemote");
    const std::string label = folder + "/" + Narrow(args[1]);
    if (variables.resultByte != 1)
        return SayFailed(library, "could not delete " + label + " (it is not there, or the service refused)",
                         "velmora-sync ls FOLDER lists the folder");
    Say("deleted " + label);
    return ExitOk;
}

// put REMOTE LOCAL: BVUpdateRemoteWithFeedback. --cancel-after as for get.
// --keep-open: the host holds LOCAL open for reading during the upload and lets
// others only read it, as a reader that has the file open would; the upload must
// still run, since it only reads the file and sets its time.
int RunPut(CommandContext &context) {
    FileArgs split = SplitArgs(context);
    std::vector<wchar_t *> &args = split.args;
    const auto keepOpen = std::find_if(args.begin(), args.end(),
                                       [](const wchar_t *arg) { return std::wcscmp(arg, L"--keep-open") == 0; });
    const bool holdLocal = keepOpen != args.end();
    if (holdLocal) args.erase(keepOpen);
    OperationVariables variables;
    if (args.size() < 2 || !ParseTransferOptions(args, 2, variables, nullptr)) return UsageError(kPut);
    const Library &library = context.library;
    if (!HasExport(library.bvUpdateRemoteWithFeedback, "BVUpdateRemoteWithFeedback")) return ExitFailure;
    variables.expectedBytes = LocalFileSize(args[1]);
    const std::string remote = Narrow(args[0]);
    variables.progressLabel = remote.substr(remote.find_last_of('/') + 1);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (holdLocal) {
        held =
            CreateFileW(args[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return HostError(ExitFailure, "cannot open " + Narrow(args[1]) + " to keep it open");
    }
    const Outcome outcome = RunExport(context, variables, split.window, "BVUpdateRemoteWithFeedback", [&](HWND window) {
        return library.bvUpdateRemoteWithFeedback(window, args[0], args[1], 0, &variables.resultByte,
                                                  &variables.cancelByte);
    });
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    if (JsonOutput()) return ExitOf(outcome, variables);
    return SayTransfer(library, false, outcome, variables, remote, args[1]);
}

} // namespace

std::span<const Command> FileCommands() { return kCommands; }
