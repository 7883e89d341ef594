// Decoding of the records, messages and payloads the library sends.
#include "host_message_decoder.h"

#include "output.h"

#include <cstdio>
#include <cstring>

namespace {

const BYTE kPayloadTag[16] = VELMORA_PAYLOAD_TAG_BYTES;

bool TagOk(const void *payload) { return std::memcmp(payload, kPayloadTag, sizeof kPayloadTag) == 0; }

// Frees one library block, counting the calls that did not return 1.
struct Releaser {
    const Library &library;
    int failures = 0;
    void operator()(void *block) {
        if (block != nullptr && library.freeDropBoxMemory(block) != 1) ++failures;
    }
};

// The payload layout a kind carries; kinds 15/17/18 have two, told apart by size.
enum class Layout { Result, Transfer, Listing, ListingSize, LinkStatus, Unknown };

Layout LayoutOf(DWORD kind, DWORD size) {
    switch (kind) {
    case MsgFetchFinishedMode0:
    case MsgFetchFinishedMode1:
    case MsgFetchFinishedMode2:
        if (size == sizeof(ResultPayload)) return Layout::Result;
        return size == sizeof(TransferPayload) ? Layout::Transfer : Layout::Unknown;
    case MsgTransferProgress:
    case MsgTransferFailed:
        return size == sizeof(TransferPayload) ? Layout::Transfer : Layout::Unknown;
    case MsgDeleteFinished:
    case MsgUploadFinished:
        return size == sizeof(ResultPayload) ? Layout::Result : Layout::Unknown;
    case MsgMetadataListing:
        return size == sizeof(ListingPayload) ? Layout::Listing : Layout::Unknown;
    case MsgMetadataSize:
        return size == sizeof(ListingSizePayload) ? Layout::ListingSize : Layout::Unknown;
    case MsgLinkStatus:
        return size == sizeof(LinkStatusPayload) ? Layout::LinkStatus : Layout::Unknown;
    default:
        return Layout::Unknown;
    }
}

bool IsFinal(DWORD kind, DWORD size) {
    switch (kind) {
    case MsgDeleteFinished:
    case MsgUploadFinished:
    case MsgMetadataListing:
    case MsgMetadataSize:
    case MsgLinkStatus:
        return true;
    case MsgFetchFinishedMode0:
    case MsgFetchFinishedMode1:
    case MsgFetchFinishedMode2:
        return size == sizeof(ResultPayload);
    default:
        return false;
    }
}

// ---- the message event (--json only) ----

void ResultByte(Event &event, const BYTE *result, const OperationVariables &variables) {
    if (result == nullptr)
        event.Null("result");
    else
        event.Number("result", *result);
    event.Bool("result_is_host_byte", result == &variables.resultByte);
}

// The payload's fields as the event's "payload" object; read before any block goes back.
Event PayloadEvent(Layout layout, const void *payload, const OperationVariables &variables) {
    Event event;
    switch (layout) {
    case Layout::Result:
        ResultByte(event, static_cast<const ResultPayload *>(payload)->result, variables);
        break;
    case Layout::Transfer: {
        const auto &p = *static_cast<const TransferPayload *>(payload);
        event.Unsigned("count", p.count).Unsigned("code", p.code).Unsigned("code_class", p.codeClass);
        break;
    }
    case Layout::Listing: {
        const auto &p = *static_cast<const ListingPayload *>(payload);
        ResultByte(event, p.result, variables);
        event.Wide("path", p.path).Text("listing", p.listing).Unsigned("length", p.length);
        break;
    }
    case Layout::ListingSize: {
        const auto &p = *static_cast<const ListingSizePayload *>(payload);
        ResultByte(event, p.result, variables);
        event.Wide("path", p.path);
        if (p.size == nullptr)
            event.Null("size");
        else
            event.Unsigned("size", *p.size);
        event.Bool("size_is_host_variable", p.size == &variables.sizeVariable);
        break;
    }
    case Layout::LinkStatus: {
        const auto &p = *static_cast<const LinkStatusPayload *>(payload);
        if (p.status == nullptr)
            event.Null("status");
        else
            event.Number("status", *p.status); // the library's own byte: never freed
        bool zero = true;
        for (BYTE b : p.reserved) zero = zero && b == 0;
        event.Bool("reserved_zero", zero);
        break;
    }
    case Layout::Unknown:
        event.Bool("unknown_layout", true);
        break;
    }
    return event;
}

// ---- what every message does, in both modes ----

// One redrawn line on stderr: bytes so far, percent when the size is known,
// rate. Built and drawn at most every 100 ms (and for the last piece), so that
// drawing never slows the transfer it shows.
void ShowProgress(OperationVariables &variables) {
    const bool last = variables.expectedBytes != 0 && variables.progressBytes >= variables.expectedBytes;
    static ULONGLONG drawn = 0;
    const ULONGLONG now = GetTickCount64();
    if (now - drawn < 100 && !last) return;
    drawn = now;
    const double seconds = static_cast<double>(now - variables.startTick) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(variables.progressBytes) / seconds : 0.0;
    std::string text = variables.progressLabel.empty() ? std::string() : variables.progressLabel + ": ";
    text += SizeText(variables.progressBytes);
    if (variables.expectedBytes != 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " (%.0f%%)",
                      100.0 * static_cast<double>(variables.progressBytes) /
                          static_cast<double>(variables.expectedBytes));
        text += " of " + SizeText(variables.expectedBytes) + percent;
    }
    text += ", " + SizeText(static_cast<unsigned long long>(rate)) + "/s";
    DrawProgress(text, true);
}

// A transfer step's message: progress (counted toward --cancel-after, shown in
// text mode), a failure's code, or the cancel notice.
void NoteTransfer(DWORD kind, const TransferPayload &payload, OperationVariables &variables) {
    if (kind == MsgTransferProgress) {
        variables.progressBytes += payload.count;
        ++variables.progressMessages;
        if (variables.cancelAfter > 0 && variables.progressMessages >= variables.cancelAfter) variables.cancelByte = 1;
        if (ProgressShown()) ShowProgress(variables);
    } else if (kind == MsgTransferFailed) {
        variables.failureReported = true;
        variables.failureCode = payload.code;
        variables.failureClass = payload.codeClass;
    } else {
        variables.cancelNoticed = true;
    }
}

// Takes what the payload carries and gives back the library's blocks it points to.
void TakePayload(Layout layout, DWORD kind, void *payload, OperationVariables &variables, Releaser &release) {
    switch (layout) {
    case Layout::Transfer:
        NoteTransfer(kind, *static_cast<TransferPayload *>(payload), variables);
        break;
    case Layout::Listing: {
        auto &p = *static_cast<ListingPayload *>(payload);
        if (variables.keepListing != nullptr && p.listing != nullptr) *variables.keepListing = p.listing;
        release(p.listing);
        release(p.path);
        break;
    }
    case Layout::ListingSize:
        release(static_cast<ListingSizePayload *>(payload)->path);
        break;
    default:
        break;
    }
}

} // namespace

void EndProgressLine(OperationVariables &) { ClearProgress(); }

bool HandleHostMessage(const Library &library, HWND window, WPARAM wParam, LPARAM lParam, OperationVariables &variables,
                       DWORD &finalThreadId) {
    const bool json = JsonOutput();
    Event event;
    if (json) {
        event = Event("message");
        event.Bool("wparam_is_window", wParam == reinterpret_cast<WPARAM>(window)).Bool("wparam_zero", wParam == 0);
    }
    auto *record = reinterpret_cast<HostRecord *>(lParam);
    if (record == nullptr) {
        if (json)
            event.Null("record").Emit();
        else
            Tell("warning: a message of the library came without its record (the library ran out of memory); "
                 "what it said is lost");
        return false;
    }
    Releaser release{library};
    const DWORD threadId = record->threadId;
    HostMessage *message = record->message;
    bool final = false;
    if (message == nullptr) {
        if (json) event.Unsigned("thread_id", threadId).Null("message");
    } else {
        const DWORD kind = message->kind;
        const DWORD size = message->size;
        void *payload = message->payload;
        final = IsFinal(kind, size);
        if (json) event.Unsigned("kind", kind).Unsigned("size", size).Unsigned("thread_id", threadId);
        if (payload == nullptr) {
            if (json) event.Bool("tag_ok", false).Null("payload");
        } else {
            const Layout layout = LayoutOf(kind, size);
            if (json) event.Bool("tag_ok", TagOk(payload)).Object("payload", PayloadEvent(layout, payload, variables));
            TakePayload(layout, kind, payload, variables, release);
        }
        release(payload);
        release(message);
    }
    release(record);
    finalThreadId = threadId;
    if (json) {
        event.Number("free_failures", release.failures).Emit();
    } else {
        if (message == nullptr)
            Tell("warning: a message of the library came without its contents (the library ran out of memory)");
        if (release.failures != 0)
            Tell("warning: FreeDropBoxMemory refused " + std::to_string(release.failures) + " block(s) of a message");
    }
    return final;
}
