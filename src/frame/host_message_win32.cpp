// Records and payloads of HOST_MESSAGE, and the one place that sends it.
#include "frame/host_message_win32.h"

#include <cstring>

#include "frame/faults_win32.h"

namespace {
constexpr BYTE kPayloadTag[16] = VELMORA_PAYLOAD_TAG_BYTES;
}

void WritePayloadTag(void *payload) { std::memcpy(payload, kPayloadTag, sizeof kPayloadTag); }

HostRecord *MakeHostRecord(DWORD threadId, DWORD kind, DWORD size, void *payload) {
    HostRecord *record = LibNew<HostRecord>();
    if (record == nullptr) return nullptr;
    record->threadId = threadId;
    record->message = LibNew<HostMessage>();
    if (record->message != nullptr) {
        record->message->kind = kind;
        record->message->size = size;
        record->message->payload = payload;
    }
    return record;
}

void SendHostMessage(HWND window, WPARAM wParam, DWORD kind, void *payload, DWORD size,
                     void (*release)(void *payload)) {
    HostRecord *record = MakeHostRecord(GetCurrentThreadId(), kind, size, payload);
    // Without a message to carry it the payload can reach nobody: release it here.
    if (record == nullptr || record->message == nullptr) release(payload);
    // Sent without a time-out, so the worker waits for the window procedure as long
    // as it runs, as with SendMessageW; but this answer tells a message that reached
    // the window procedure (nonzero, whatever the procedure returned) from one that
    // reached none: the window was gone, or went while the message waited in its
    // thread's queue. SendMessageW answers 0 in both cases and for a procedure's 0.
    DWORD_PTR answer = 0;
    const LRESULT delivered = sys::SendMessageTimeoutW(window, HOST_MESSAGE, wParam, reinterpret_cast<LPARAM>(record),
                                                       SMTO_NORMAL, INFINITE, &answer);
    if (delivered != 0 || record == nullptr) return;
    // A message that timed out stays queued and may still be handled: its blocks
    // go with it. (With no time-out it does not happen.)
    if (GetLastError() == ERROR_TIMEOUT) return;
    // Not delivered: the blocks never became the host's.
    if (record->message != nullptr) {
        release(payload);
        LibFree(record->message);
    }
    LibFree(record);
}
