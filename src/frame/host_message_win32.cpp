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
    // The window procedure runs on the window's thread, so nothing it does can
    // set this thread's last error: a 0 with this error is the library's own
    // SendMessageW that found no window.
    SetLastError(ERROR_SUCCESS);
    const LRESULT answer = sys::SendMessageW(window, HOST_MESSAGE, wParam, reinterpret_cast<LPARAM>(record));
    if (answer != 0 || GetLastError() != ERROR_INVALID_WINDOW_HANDLE || record == nullptr) return;
    // Not delivered: the blocks never became the host's.
    if (record->message != nullptr) {
        release(payload);
        LibFree(record->message);
    }
    LibFree(record);
}
