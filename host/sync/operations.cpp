// The run's window and its operations: starting them, matching each message
// to its operation, giving every block back, and waiting for the workers.
#include "operations.h"

#include "../message_pump.h"
#include "sync_output.h"

#include <cstring>

namespace twoway {

namespace {

const wchar_t kWindowClass[] = L"VelmoraSyncTwoWayWindow";
const BYTE kPayloadTag[16] = VELMORA_PAYLOAD_TAG_BYTES;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto *operations = reinterpret_cast<Operations *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == HOST_MESSAGE && operations != nullptr) {
        operations->OnMessage(wParam, lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The final messages: the kinds whose payload points at the operation's result byte.
bool IsFinal(DWORD kind, DWORD size) {
    switch (kind) {
    case MsgDeleteFinished:
    case MsgUploadFinished:
    case MsgMetadataListing:
    case MsgMetadataSize:
        return true;
    case MsgFetchFinishedMode0:
    case MsgFetchFinishedMode1:
    case MsgFetchFinishedMode2:
        return size == sizeof(ResultPayload);
    default:
        return false;
    }
}

// The result byte a final payload points at.
const BYTE *ResultOf(DWORD kind, void *payload) {
    switch (kind) {
    case MsgMetadataListing:
        return static_cast<ListingPayload *>(payload)->result;
    case MsgMetadataSize:
        return static_cast<ListingSizePayload *>(payload)->result;
    default:
        return static_cast<ResultPayload *>(payload)->result;
    }
}

} // namespace

const char *OpKindName(OpKind kind) {
    switch (kind) {
    case OpKind::Size:
        return "size";
    case OpKind::Listing:
        return "listing";
    case OpKind::Download:
        return "download";
    case OpKind::Upload:
        return "upload";
    case OpKind::Delete:
        return "delete";
    }
    return "?";
}

bool Operations::Open(std::string &why) {
    window_ = OpenMessageWindow(kWindowClass, WindowProc, this, why);
    if (window_ == nullptr) return false;
    lastMessageTick_ = GetTickCount64();
    return true;
}

void Operations::Close() {
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
}

Op *Operations::Start(OpKind kind, std::string label, void *owner, const std::function<int(HWND, Op &)> &start) {
    ops_.push_back(std::make_unique<Op>());
    Op &op = *ops_.back();
    op.kind = kind;
    op.label = std::move(label);
    op.owner = owner;
    byResult_[&op.result] = &op;
    if (start(window_, op) != 0) {
        byResult_.erase(&op.result);
        return nullptr;
    }
    ++running_;
    lastMessageTick_ = GetTickCount64();
    return &op;
}

void Operations::Pump(DWORD milliseconds) {
    MsgWaitForMultipleObjectsEx(0, nullptr, milliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    std::vector<Final> finals;
    finals.swap(finals_);
    for (const Final &final : finals) {
        if (final.op != nullptr) {
            Finish(*final.op, final.threadId);
        } else {
            // A final message of no operation of ours: its worker is still forgotten.
            if (HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, final.threadId)) workers_.push_back(worker);
            library_.killDropBoxThread(final.threadId);
        }
    }
}

std::vector<Op *> Operations::TakeFinished() {
    std::vector<Op *> done;
    done.swap(finished_);
    return done;
}

unsigned long long Operations::QuietMilliseconds() const { return GetTickCount64() - lastMessageTick_; }

void Operations::CancelAll() {
    for (auto &op : ops_)
        if (!op->finished && (op->kind == OpKind::Download || op->kind == OpKind::Upload)) op->cancel = 1;
}

// Decodes one message, frees every block it carries and, for a final
// message, finishes its operation. Runs while the worker waits in SendMessageW.
void Operations::OnMessage(WPARAM wParam, LPARAM lParam) {
    lastMessageTick_ = GetTickCount64();
    auto *record = reinterpret_cast<HostRecord *>(lParam);
    if (record == nullptr) return;
    const DWORD threadId = record->threadId;
    HostMessage *message = record->message;
    // The message event is built only when it is printed (--json).
    const bool json = JsonEvents();
    Json event;
    const auto note = [&](const char *key, auto value) {
        if (json) event[key] = value;
    };
    note("thread_id", threadId);
    note("wparam_is_window", wParam == reinterpret_cast<WPARAM>(window_));
    Op *finishedOp = nullptr;
    bool final = false;
    if (message != nullptr && message->payload != nullptr) {
        const DWORD kind = message->kind;
        void *payload = message->payload;
        note("kind", kind);
        note("tag_ok", std::memcmp(payload, kPayloadTag, sizeof kPayloadTag) == 0);
        final = IsFinal(kind, message->size);
        if (final) {
            const auto found = byResult_.find(ResultOf(kind, payload));
            Op *op = found != byResult_.end() ? found->second : nullptr;
            if (kind == MsgMetadataListing) {
                auto *listing = static_cast<ListingPayload *>(payload);
                if (op != nullptr && listing->listing != nullptr) op->listing = listing->listing;
                note("length", listing->length);
                library_.freeDropBoxMemory(listing->listing);
                library_.freeDropBoxMemory(listing->path);
            } else if (kind == MsgMetadataSize) {
                auto *sized = static_cast<ListingSizePayload *>(payload);
                if (sized->size != nullptr) note("size", *sized->size);
                library_.freeDropBoxMemory(sized->path);
            }
            if (op != nullptr) {
                note("op", OpKindName(op->kind));
                note("path", op->label);
                note("result", op->result);
                finishedOp = op;
            }
        } else if (message->size == sizeof(TransferPayload)) {
            const auto *transfer = static_cast<TransferPayload *>(payload);
            note("count", transfer->count);
            note("code", transfer->code);
            note("code_class", transfer->codeClass);
            if (kind == MsgTransferProgress) bytesMoved_ += transfer->count;
            if (kind == MsgTransferFailed) stash_[threadId] = Stash{transfer->code, transfer->codeClass};
        }
        library_.freeDropBoxMemory(payload);
    }
    if (message != nullptr) library_.freeDropBoxMemory(message);
    library_.freeDropBoxMemory(record);
    if (json) EmitEvent("message", std::move(event));
    // Released once the window procedure has returned: the worker still holds its record until then.
    if (final) finals_.push_back({finishedOp, threadId});
}

// The worker let go of everything once the window procedure returns; its
// handle is opened now, before KillDropBoxThread lets the library's go.
void Operations::Finish(Op &op, DWORD threadId) {
    if (op.finished) return;
    op.finished = true;
    op.threadId = threadId;
    const auto stashed = stash_.find(threadId);
    if (stashed != stash_.end()) {
        op.failCode = stashed->second.code;
        op.failClass = stashed->second.codeClass;
        stash_.erase(stashed);
    }
    byResult_.erase(&op.result);
    if (HANDLE worker = OpenThread(SYNCHRONIZE, FALSE, threadId)) workers_.push_back(worker);
    library_.killDropBoxThread(threadId);
    --running_;
    finished_.push_back(&op);
    ReapWorkers();
}

void Operations::ReapWorkers() {
    std::vector<HANDLE> still;
    for (HANDLE worker : workers_) {
        if (WaitForSingleObject(worker, 0) == WAIT_OBJECT_0)
            CloseHandle(worker);
        else
            still.push_back(worker);
    }
    workers_.swap(still);
}

bool Operations::WaitForWorkers() { return WaitForWorkersEnd(workers_); }

} // namespace twoway
