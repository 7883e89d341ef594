// Reports to the host window: records, tagged payloads and the one sending helper.
#pragma once
#include "velmora_sync.h"

// A new HostRecord with its HostMessage (library blocks). Null when the record
// cannot be allocated; a record with a null message when the message cannot.
// Both failures are counted.
[[nodiscard]] HostRecord *MakeHostRecord(DWORD threadId, DWORD kind, DWORD size, void *payload);

// Sends an already filled payload (it becomes the host's): wraps it in a record
// carrying the calling thread's id and delivers it with SendMessageW.
void SendHostMessage(HWND window, WPARAM wParam, DWORD kind, void *payload, DWORD size);

// Allocates a zero-filled payload of type P with PayloadTag in front (unless
// tagged is false), lets fill set its fields, and sends it. Sends nothing when
// window is null; when the payload cannot be allocated the failure is counted,
// nothing is sent and false is returned.
template <class P, class Fill> bool SendPayload(HWND window, WPARAM wParam, DWORD kind, Fill fill, bool tagged = true);

// ---- implementation of the template ----
#include "heap_win32.h"
void WritePayloadTag(void *payload);

template <class P, class Fill> bool SendPayload(HWND window, WPARAM wParam, DWORD kind, Fill fill, bool tagged) {
    if (window == nullptr) return true;
    P *payload = LibNew<P>();
    if (payload == nullptr) return false;
    if (tagged) WritePayloadTag(payload);
    fill(*payload);
    SendHostMessage(window, wParam, kind, payload, static_cast<DWORD>(sizeof(P)));
    return true;
}
