// One round of the concurrency soak: soak-round. Many host threads start mixed operations on one
// window; every message is matched to its operation; the host may destroy the window while they
// run, releases every worker, proves the thread table empty and may unload and reload the library.
#include "../commands.h"
#include "../message_pump.h"
#include "../output.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

int RunSoakRound(CommandContext &context);

const Command kCommands[] = {
    {L"soak-round", "PLAN [--destroy-after MS | --destroy-when-queued] [--unload]", RunSoakRound},
};

const BYTE kPayloadTag[16] = VELMORA_PAYLOAD_TAG_BYTES;
// The thread table's size: the probe of an empty table fills it.
constexpr DWORD kTableSlots = 30;

// One operation of the plan: a line "STARTER<TAB>KIND<TAB>ARGS...", KIND one
// of size FOLDER, ls FOLDER (a size query, then the listing at that size),
// get INDEX NAME LOCAL, rm INDEX NAME, put REMOTE LOCAL, creds, date TEXT.
struct Operation {
    unsigned long starter = 0;
    std::wstring kind;
    std::vector<std::wstring> args;
    // The host's variables (the library writes through them) and what came back.
    BYTE resultByte = 0xFF;
    BYTE cancelByte = 0;
    DWORD size = 0;
    long long returned = -2; // what the export returned (-2: never started)
    int finals = 0;          // final messages that named this operation
    unsigned long long progressBytes = 0;
    std::vector<long long> failureCodes; // kind 24's code * 10 + class
    std::string listing;                 // ls: the listing's text (kept when it came)
    bool listed = false;                 // ls: a listing text came
    unsigned long long value = 0;        // creds: 1 when both texts came; date: the FILETIME
    std::atomic<bool> finished = false;
};

// Transfer messages of a worker whose final message has not come yet.
struct Pending {
    unsigned long long bytes = 0;
    std::vector<long long> codes;
};

// Holds an SRW lock for its scope (the toolchain's threads model has no std::mutex).
class Locked {
  public:
    explicit Locked(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Locked() { ReleaseSRWLockExclusive(&lock_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

  private:
    SRWLOCK &lock_;
};

struct Round {
    Library *library = nullptr;
    std::vector<std::unique_ptr<Operation>> operations;
    std::vector<std::pair<DWORD, Pending>> pending; // by worker id
    std::vector<HANDLE> workers;                    // opened at their final message
    HWND window = nullptr;
    std::atomic<bool> destroyed = false;
    bool destroyWhenQueued = false; // destroy the window in the first message's handler, once
                                    // another worker's message waits in the queue
    bool queuedAtDestroy = false;   // whether one did
    unsigned long strayFinals = 0; // final messages that named no operation
    unsigned long badRecords = 0;  // records without a message or with a wrong tag
    SRWLOCK lock = SRWLOCK_INIT;   // operations, pending, workers (the threads share them)
};

Pending TakePending(Round &round, DWORD threadId) {
    Locked guard(round.lock);
    for (auto it = round.pending.begin(); it != round.pending.end(); ++it)
        if (it->first == threadId) {
            Pending taken = std::move(it->second);
            round.pending.erase(it);
            return taken;
        }
    return {};
}

Pending &PendingOf(Round &round, DWORD threadId) {
    for (auto &entry : round.pending)
        if (entry.first == threadId) return entry.second;
    round.pending.emplace_back(threadId, Pending{});
    return round.pending.back().second;
}

// The operation whose result byte a final payload points at; null for none.
Operation *OperationOf(Round &round, const BYTE *result) {
    Locked guard(round.lock);
    for (auto &operation : round.operations)
        if (&operation->resultByte == result) return operation.get();
    return nullptr;
}

// Takes one final message: notes it on its operation, opens the worker, releases it.
void TakeFinal(Round &round, DWORD threadId, const BYTE *result, const char *listing) {
    Operation *operation = OperationOf(round, result);
    if (operation == nullptr) {
        ++round.strayFinals;
        return;
    }
    Pending pending = TakePending(round, threadId);
    operation->progressBytes += pending.bytes;
    operation->failureCodes.insert(operation->failureCodes.end(), pending.codes.begin(), pending.codes.end());
    if (listing != nullptr) {
        operation->listing = listing;
        operation->listed = true;
    }
    if (HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, threadId)) {
        Locked guard(round.lock);
        round.workers.push_back(worker);
    }
    round.library->killDropBoxThread(threadId);
    ++operation->finals;
    operation->finished = true;
}

// Decodes and gives back one message of the library.
void TakeMessage(Round &round, const HostRecord *record) {
    const Library &library = *round.library;
    HostMessage *message = record->message;
    if (message == nullptr || message->payload == nullptr ||
        std::memcmp(message->payload, kPayloadTag, sizeof kPayloadTag) != 0) {
        ++round.badRecords;
    } else {
        void *payload = message->payload;
        switch (message->kind) {
        case MsgTransferProgress:
        case MsgTransferFailed: {
            const auto *transfer = static_cast<TransferPayload *>(payload);
            Locked guard(round.lock);
            Pending &pending = PendingOf(round, record->threadId);
            if (message->kind == MsgTransferProgress)
                pending.bytes += transfer->count;
            else
                pending.codes.push_back(static_cast<long long>(transfer->code) * 10 + transfer->codeClass);
            break;
        }
        case MsgMetadataListing: {
            const auto *p = static_cast<ListingPayload *>(payload);
            TakeFinal(round, record->threadId, p->result, p->listing);
            library.freeDropBoxMemory(p->listing);
            library.freeDropBoxMemory(p->path);
            break;
        }
        case MsgMetadataSize: {
            const auto *p = static_cast<ListingSizePayload *>(payload);
            TakeFinal(round, record->threadId, p->result, nullptr);
            library.freeDropBoxMemory(p->path);
            break;
        }
        default: // the results of the download, the delete and the upload
            TakeFinal(round, record->threadId, static_cast<ResultPayload *>(payload)->result, nullptr);
            break;
        }
        library.freeDropBoxMemory(payload);
    }
    if (message != nullptr) library.freeDropBoxMemory(message);
    library.freeDropBoxMemory(const_cast<HostRecord *>(record));
}

// Waits (up to 5 s) until another worker's message waits to be handled, then destroys
// the window with that message still queued, as a host closing its window while
// operations run may: a message the window never handled must not be lost.
void DestroyWithMessageQueued(Round &round, HWND window) {
    // The high word: what the queue holds now, not what came since the last look.
    auto queued = [] { return (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0; };
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (!queued() && GetTickCount64() < deadline) Sleep(1);
    round.queuedAtDestroy = queued();
    round.destroyed = true;
    DestroyWindow(window);
}

LRESULT CALLBACK SoakWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *round = reinterpret_cast<Round *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message != HOST_MESSAGE || round == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    if (lParam != 0) TakeMessage(*round, reinterpret_cast<HostRecord *>(lParam));
    if (round->destroyWhenQueued && !round->destroyed) DestroyWithMessageQueued(*round, window);
    return 0;
}

bool ParseNumber(const std::wstring &text, DWORD &value) {
    unsigned long long parsed = 0;
    if (!ParseUnsigned(text.c_str(), parsed) || parsed > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

// Starts one asynchronous operation on the round's window; what its export returned.
long long Start(const Library &library, HWND window, Operation &op) {
    DWORD number = 0;
    std::vector<std::wstring> &a = op.args;
    if (op.kind == L"size" || op.kind == L"ls")
        return library.getDBMetadataBufferSize(window, &op.resultByte, a[0].c_str(), &op.size);
    if (op.kind == L"get" && ParseNumber(a[0], number))
        return library.getRemoteMergeFile(window, a[1].c_str(), number, a[2].c_str(), &op.resultByte, &op.cancelByte,
                                          0);
    if (op.kind == L"rm" && ParseNumber(a[0], number))
        return library.bvDeleteRemote(window, a[1].c_str(), number, &op.resultByte);
    if (op.kind == L"put")
        return library.bvUpdateRemoteWithFeedback(window, a[0].c_str(), a[1].c_str(), 0, &op.resultByte,
                                                  &op.cancelByte);
    return -1;
}

// Waits until the operation's final message came, or (its window gone) its
// result byte was written; false when the deadline passed first.
bool AwaitEnd(const Round &round, const Operation &op, ULONGLONG deadline) {
    while (!op.finished) {
        if (round.destroyed && std::atomic_ref<const BYTE>(op.resultByte).load() != 0xFF) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(5);
    }
    return true;
}

// Runs the small exports, which answer at once on the calling thread.
void RunSmall(const Library &library, Operation &op) {
    if (op.kind == L"creds") {
        wchar_t *token = nullptr;
        wchar_t *secret = nullptr;
        op.returned = library.getAccessCreds(&token, &secret);
        op.value = token != nullptr && secret != nullptr ? 1 : 0;
        library.freeDropBoxMemory(token);
        library.freeDropBoxMemory(secret);
    } else {
        std::string text;
        for (wchar_t c : op.args[0]) text.push_back(static_cast<char>(c));
        op.value = library.convertToFILETIME(text.c_str());
        op.returned = 0;
    }
    op.resultByte = 1;
    op.finished = true;
}

struct Starter {
    Round *round = nullptr;
    std::vector<Operation *> operations;
    ULONGLONG deadline = 0;
    bool hung = false;
};

// One host thread: starts its operations one after another, each once the one
// before has ended; stops starting once the window is gone.
DWORD WINAPI RunStarter(LPVOID parameter) {
    Starter &starter = *static_cast<Starter *>(parameter);
    Round &round = *starter.round;
    for (Operation *op : starter.operations) {
        if (op->kind == L"creds" || op->kind == L"date") {
            RunSmall(*round.library, *op);
            continue;
        }
        if (round.destroyed) break;
        op->returned = Start(*round.library, round.window, *op);
        if (op->returned != 0) continue;
        if (!AwaitEnd(round, *op, starter.deadline)) {
            starter.hung = true;
            break;
        }
        if (op->kind == L"ls" && op->finished && op->resultByte == 1 && !round.destroyed) {
            // The listing at the size just measured: a second operation of its own.
            auto listing = std::make_unique<Operation>();
            listing->starter = op->starter;
            listing->kind = L"ls-listing";
            listing->args = op->args;
            listing->size = op->size;
            Operation *next = listing.get();
            {
                Locked guard(round.lock);
                round.operations.push_back(std::move(listing));
            }
            next->returned = round.library->getDropboxMetadata(round.window, &next->resultByte, next->args[0].c_str(),
                                                               next->size);
            if (next->returned == 0 && !AwaitEnd(round, *next, starter.deadline)) {
                starter.hung = true;
                break;
            }
        }
    }
    return 0;
}

// The plan's lines; false with a reason when one does not parse.
bool ReadPlan(const wchar_t *path, Round &round, std::string &reason) {
    FILE *file = _wfopen(path, L"rb");
    if (file == nullptr) {
        reason = "cannot open the plan";
        return false;
    }
    char line[8192];
    bool ok = true;
    while (ok && std::fgets(line, sizeof line, file) != nullptr) {
        size_t length = std::strlen(line);
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = '\0';
        if (length == 0) continue;
        const int wide = MultiByteToWideChar(CP_UTF8, 0, line, static_cast<int>(length), nullptr, 0);
        std::wstring text(static_cast<size_t>(wide), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, line, static_cast<int>(length), text.data(), wide);
        std::vector<std::wstring> fields;
        for (size_t start = 0;;) {
            const size_t tab = text.find(L'\t', start);
            fields.push_back(text.substr(start, tab == std::wstring::npos ? std::wstring::npos : tab - start));
            if (tab == std::wstring::npos) break;
            start = tab + 1;
        }
        auto op = std::make_unique<Operation>();
        DWORD starter = 0;
        ok = fields.size() >= 2 && ParseNumber(fields[0], starter);
        if (!ok) break;
        op->starter = starter;
        op->kind = fields[1];
        op->args.assign(fields.begin() + 2, fields.end());
        const size_t n = op->args.size();
        const std::wstring &k = op->kind;
        ok = ((k == L"size" || k == L"ls" || k == L"date") && n == 1) || (k == L"get" && n == 3) ||
             ((k == L"rm" || k == L"put") && n == 2) || (k == L"creds" && n == 0);
        round.operations.push_back(std::move(op));
    }
    std::fclose(file);
    if (!ok) reason = "a plan line does not parse";
    return ok;
}

// Releases the workers whose final message never came (the window was gone),
// by the ids the thread table holds, after their end. How many.
long ReleaseUndelivered(Round &round) {
    const DebugThreadIdsFn threadIds = round.library->hooks.threadIds;
    if (threadIds == nullptr) return -1;
    DWORD ids[kTableSlots] = {};
    const DWORD count = threadIds(ids, kTableSlots);
    std::vector<HANDLE> workers;
    for (DWORD i = 0; i < count && i < kTableSlots; ++i)
        if (HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, ids[i])) workers.push_back(worker);
    long released = 0;
    for (DWORD i = 0; i < count && i < kTableSlots; ++i) released += round.library->killDropBoxThread(ids[i]);
    Locked guard(round.lock);
    round.workers.insert(round.workers.end(), workers.begin(), workers.end());
    return released;
}

// Proves the thread table empty: 30 idle workers all get a slot (each release
// finds its id). How many of the 30 releases found theirs (-1 without the hook).
long ProbeEmptyTable(const Library &library, std::vector<HANDLE> &workers) {
    if (library.hooks.startWorkers == nullptr) return -1;
    const std::vector<DWORD> before = ThreadsOfThisProcess();
    DWORD ids[kTableSlots] = {};
    library.hooks.startWorkers(kTableSlots, ids);
    for (HANDLE worker : OpenThreadsStartedSince(before)) workers.push_back(worker);
    long found = 0;
    for (DWORD id : ids) found += library.killDropBoxThread(id);
    return found;
}

void EmitOperation(size_t index, const Operation &op) {
    Event event("op");
    event.Unsigned("index", index).Unsigned("starter", op.starter);
    event.Wide("op", op.kind.c_str());
    const char *const keys[] = {"arg0", "arg1", "arg2"};
    for (size_t i = 0; i < op.args.size() && i < 3; ++i) event.Wide(keys[i], op.args[i].c_str());
    event.Number("return", op.returned).Number("result", op.resultByte).Number("finals", op.finals);
    event.Unsigned("size", op.size).Unsigned("progress_bytes", op.progressBytes);
    event.NumberList("failures", op.failureCodes).Unsigned("value", op.value);
    event.Text("listing", op.listed ? op.listing.c_str() : nullptr);
    event.Emit();
}

// soak-round PLAN [--destroy-after MS] [--unload]: one host thread per starter
// of the plan starts that starter's operations on one window of this thread,
// which pumps. With --destroy-after the window is destroyed MS after the first
// start (starters then start nothing more); with --destroy-when-queued, in the
// first message's handler once another message waits. Then: the workers whose final
// message never came are released by the table's ids, every worker is waited
// for, the table is proven empty, the counters are read; with --unload the
// library is unloaded and loaded again. One "op" event per operation, then
// {"event": "round", ...}.
int RunSoakRound(CommandContext &context) {
    const Command &command = kCommands[0];
    if (context.args.empty()) return UsageError(command);
    DWORD destroyAfter = 0;
    bool destroy = false;
    bool unload = false;
    bool destroyWhenQueued = false;
    for (size_t i = 1; i < context.args.size(); ++i) {
        if (std::wcscmp(context.args[i], L"--unload") == 0)
            unload = true;
        else if (std::wcscmp(context.args[i], L"--destroy-after") == 0 && i + 1 < context.args.size() &&
                 ParseNumber(context.args[i + 1], destroyAfter))
            destroy = true, ++i;
        else if (std::wcscmp(context.args[i], L"--destroy-when-queued") == 0)
            destroyWhenQueued = true;
        else
            return UsageError(command);
    }
    if (destroy && destroyWhenQueued) return UsageError(command);
    Round round;
    round.library = &context.library;
    round.destroyWhenQueued = destroyWhenQueued;
    std::string reason;
    if (!ReadPlan(context.args[0], round, reason)) return HostError(ExitUsage, reason);
    round.window = OpenMessageWindow(L"VelmoraSyncSoakWindow", SoakWindowProc, &round, reason);
    if (round.window == nullptr) return HostError(ExitFailure, reason);

    const ULONGLONG begin = GetTickCount64();
    const ULONGLONG deadline = begin + ULONGLONG{context.timeoutSeconds} * 1000;
    std::vector<std::unique_ptr<Starter>> starters;
    for (auto &op : round.operations) {
        while (starters.size() <= op->starter) starters.push_back(std::make_unique<Starter>());
        starters[op->starter]->operations.push_back(op.get());
    }
    std::vector<HANDLE> threads;
    for (auto &starter : starters) {
        starter->round = &round;
        starter->deadline = deadline;
        if (HANDLE thread = CreateThread(nullptr, 0, RunStarter, starter.get(), 0, nullptr)) threads.push_back(thread);
    }
    // Pumps until every starter has ended (or the window is to go).
    for (;;) {
        MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        DrainMessages();
        if (threads.empty() ||
            WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 0) == WAIT_OBJECT_0)
            break;
        if (destroy && !round.destroyed && GetTickCount64() - begin >= destroyAfter) {
            DestroyWindow(round.window);
            round.destroyed = true;
        }
        if (GetTickCount64() >= deadline + 10000) break;
    }
    bool hung = false;
    for (HANDLE thread : threads) {
        hung = hung || WaitForSingleObject(thread, 0) != WAIT_OBJECT_0;
        CloseHandle(thread);
    }
    for (auto &starter : starters) hung = hung || starter->hung;
    if (!round.destroyed) DestroyWindow(round.window);
    round.destroyed = true;
    const long undelivered = hung ? -1 : ReleaseUndelivered(round);
    std::vector<HANDLE> probeWorkers;
    const long free = hung ? -1 : ProbeEmptyTable(context.library, probeWorkers);
    bool workersEnded = WaitForWorkersEnd(round.workers);
    workersEnded = WaitForWorkersEnd(probeWorkers) && workersEnded;
    long outstanding = -1;
    unsigned long outOfMemory = 0;
    if (context.library.hooks.counters != nullptr) context.library.hooks.counters(&outstanding, &outOfMemory);
    for (size_t i = 0; i < round.operations.size(); ++i) EmitOperation(i, *round.operations[i]);
    bool reloaded = true;
    bool unloaded = false;
    if (unload && !hung) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(context.library.module, path, MAX_PATH);
        FreeLibrary(context.library.module);
        context.library = Library{};
        unloaded = GetModuleHandleW(path) == nullptr;
        reloaded = LoadSyncLibrary(path, context.library, reason);
    }
    Event("round")
        .Unsigned("operations", round.operations.size())
        .Bool("hung", hung)
        .Number("released_undelivered", undelivered)
        .Number("table_free", free)
        .Bool("workers_ended", workersEnded)
        .Number("outstanding_blocks", outstanding)
        .Unsigned("out_of_memory", outOfMemory)
        .Unsigned("stray_finals", round.strayFinals)
        .Unsigned("bad_records", round.badRecords)
        .Bool("destroyed_early", destroy || destroyWhenQueued)
        .Bool("queued_at_destroy", round.queuedAtDestroy)
        .Bool("unloaded", unloaded)
        .Bool("reloaded", reloaded)
        .Emit();
    if (!reloaded) return HostError(ExitFailure, reason);
    return hung ? HostError(ExitTimeout, "an operation did not end") : ExitOk;
}

} // namespace

std::span<const Command> SoakCommands() { return kCommands; }
