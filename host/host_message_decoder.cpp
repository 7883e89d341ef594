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

void ResultByte(Event &event, const BYTE *result, const OperationVariables &variables) {
    if (result == nullptr)
        event.Null("result");
    else
        event.Number("result", *result);
    event.Bool("result_is_host_byte", result == &variables.resultByte);
}

Event DecodeResult(const ResultPayload &p, const OperationVariables &variables) {
    Event event;
    ResultByte(event, p.result, variables);
    return event;
}

Event DecodeTransfer(const TransferPayload &p) {
    return Event().Unsigned("count", p.count).Unsigned("code", p.code).Unsigned("code_class", p.codeClass);
}

Event DecodeListing(const ListingPayload &p, const OperationVariables &variables, Releaser &release) {
    Event event;
    ResultByte(event, p.result, variables);
    event.Wide("path", p.path).Text("listing", p.listing).Unsigned("length", p.length);
    if (variables.keepListing != nullptr && p.listing != nullptr) *variables.keepListing = p.listing;
    release(p.listing);
    release(p.path);
    return event;
}

Event DecodeListingSize(const ListingSizePayload &p, const OperationVariables &variables, Releaser &release) {
    Event event;
    ResultByte(event, p.result, variables);
    event.Wide("path", p.path);
    if (p.size == nullptr)
        event.Null("size");
    else
        event.Unsigned("size", *p.size);
    event.Bool("size_is_host_variable", p.size == &variables.sizeVariable);
    release(p.path);
    return event;
}

Event DecodeLinkStatus(const LinkStatusPayload &p) {
    Event event;
    if (p.status == nullptr)
        event.Null("status");
    else
        event.Number("status", *p.status); // the library's own byte: never freed
    bool zero = true;
    for (BYTE b : p.reserved) zero = zero && b == 0;
    return event.Bool("reserved_zero", zero);
}

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

// One updating line on stderr: bytes so far, percent when the size is known,
// rate. Drawn at most every 100 ms (and for the last piece) so that drawing
// never slows the transfer it shows.
void ShowProgress(OperationVariables &variables) {
    const ULONGLONG now = GetTickCount64();
    const bool last = variables.expectedBytes != 0 && variables.progressBytes >= variables.expectedBytes;
    if (variables.progressLineOpen && now - variables.drawnTick < 100 && !last) return;
    variables.drawnTick = now;
    variables.progressLineOpen = true;
    const double seconds = static_cast<double>(now - variables.startTick) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(variables.progressBytes) / seconds / 1e6 : 0.0;
    if (variables.expectedBytes != 0)
        std::fprintf(stderr, "\r%llu of %llu bytes (%.0f%%), %.1f MB/s   ", variables.progressBytes,
                     variables.expectedBytes,
                     100.0 * static_cast<double>(variables.progressBytes) / static_cast<double>(variables.expectedBytes),
                     rate);
    else
        std::fprintf(stderr, "\r%llu bytes, %.1f MB/s   ", variables.progressBytes, rate);
}

// Progress of a transfer: counted toward --cancel-after and shown in text mode.
// True when the message needs no event line of its own.
bool NoteProgress(const TransferPayload &payload, OperationVariables &variables) {
    variables.progressBytes += payload.count;
    ++variables.progressMessages;
    if (variables.cancelAfter > 0 && variables.progressMessages >= variables.cancelAfter) variables.cancelByte = 1;
    if (JsonOutput()) return false;
    ShowProgress(variables);
    return true;
}

} // namespace

void EndProgressLine(OperationVariables &variables) {
    if (!variables.progressLineOpen) return;
    std::fputs("\n", stderr);
    variables.progressLineOpen = false;
}

bool HandleHostMessage(const Library &library, HWND window, WPARAM wParam, LPARAM lParam,
                       OperationVariables &variables, DWORD &finalThreadId) {
    Event event("message");
    event.Bool("wparam_is_window", wParam == reinterpret_cast<WPARAM>(window)).Bool("wparam_zero", wParam == 0);
    auto *record = reinterpret_cast<HostRecord *>(lParam);
    if (record == nullptr) {
        event.Null("record").Emit();
        return false;
    }
    Releaser release{library};
    DWORD threadId = record->threadId;
    HostMessage *message = record->message;
    bool final = false;
    bool quiet = false;
    if (message == nullptr) {
        event.Unsigned("thread_id", threadId).Null("message");
    } else {
        DWORD kind = message->kind;
        DWORD size = message->size;
        void *payload = message->payload;
        final = IsFinal(kind, size);
        event.Unsigned("kind", kind).Unsigned("size", size).Unsigned("thread_id", threadId);
        if (payload == nullptr) {
            event.Bool("tag_ok", false).Null("payload");
        } else {
            event.Bool("tag_ok", TagOk(payload));
            switch (LayoutOf(kind, size)) {
            case Layout::Result:
                event.Object("payload", DecodeResult(*static_cast<ResultPayload *>(payload), variables));
                break;
            case Layout::Transfer:
                event.Object("payload", DecodeTransfer(*static_cast<TransferPayload *>(payload)));
                if (kind == MsgTransferProgress && NoteProgress(*static_cast<TransferPayload *>(payload), variables))
                    quiet = true;
                break;
            case Layout::Listing:
                event.Object("payload", DecodeListing(*static_cast<ListingPayload *>(payload), variables, release));
                break;
            case Layout::ListingSize:
                event.Object("payload",
                             DecodeListingSize(*static_cast<ListingSizePayload *>(payload), variables, release));
                break;
            case Layout::LinkStatus:
                event.Object("payload", DecodeLinkStatus(*static_cast<LinkStatusPayload *>(payload)));
                break;
            case Layout::Unknown:
                event.Object("payload", Event().Bool("unknown_layout", true));
                break;
            }
        }
        release(payload);
        release(message);
    }
    release(record);
    event.Number("free_failures", release.failures);
    finalThreadId = threadId;
    if (quiet && release.failures == 0) return final;
    EndProgressLine(variables);
    event.Emit();
    return final;
}
