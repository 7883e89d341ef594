// Reports to the host window: records, tagged payloads and the one sending helper.
#pragma once
#include "velmora_sync.h"

#include "frame/heap_win32.h"

// A new HostRecord with its HostMessage (library blocks). Null when the record
// cannot be allocated; a record with a null message when the message cannot.
// Both failures are counted.
[[nodiscard]] HostRecord *MakeHostRecord(DWORD threadId, DWORD kind, DWORD size, void *payload);

// The library blocks a payload points to, which travel with it to the host
// (the listing text and the path copy). Released here only when no record
// can carry the payload, or no window takes it.
inline void ReleasePayloadBlocks(void *) {}
inline void ReleasePayloadBlocks(ListingPayload *payload) {
    LibFree(payload->listing);
    LibFree(payload->path);
}
inline void ReleasePayloadBlocks(ListingSizePayload *payload) { LibFree(payload->path); }

// Sends an already filled payload (it becomes the host's): wraps it in a record
// carrying the calling thread's id and delivers it synchronously (SendMessageTimeoutW
// without a time-out: the worker waits until the window procedure returns). When no
// record or message can be allocated the message still goes (lParam 0, or a
// record without message) and the payload is released here with release(payload).
// When no window procedure took the message (the window did not exist, or was
// destroyed while the message waited in its queue) the record, the message and the
// payload with release(payload) are released here: nobody else could.
void SendHostMessage(HWND window, WPARAM wParam, DWORD kind, void *payload, DWORD size,
                     void (*release)(void *payload));

// Allocates a zero-filled payload of type P with PayloadTag in front (unless
// tagged is false), lets fill set its fields, and sends it. Sends nothing when
// window is null; when the payload cannot be allocated the failure is counted,
// nothing is sent, fill is not called and false is returned.
template <class P, class Fill> bool SendPayload(HWND window, WPARAM wParam, DWORD kind, Fill fill, bool tagged = true);

// ---- implementation of the template ----
void WritePayloadTag(void *payload);

template <class P, class Fill> bool SendPayload(HWND window, WPARAM wParam, DWORD kind, Fill fill, bool tagged) {
    if (window == nullptr) return true;
    P *payload = LibNew<P>();
    if (payload == nullptr) return false;
    if (tagged) WritePayloadTag(payload);
    fill(*payload);
    SendHostMessage(window, wParam, kind, payload, static_cast<DWORD>(sizeof(P)), [](void *sent) {
        ReleasePayloadBlocks(static_cast<P *>(sent));
        LibFree(sent);
    });
    return true;
}
