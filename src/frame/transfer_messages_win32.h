// The messages of the transfer steps of a download or an upload: progress, cancel notice, failure.
#pragma once
#include <windows.h>

#include "frame/host_message_win32.h"

// Sends kind with a TransferPayload of count, code and codeClass to window
// (wParam 0, as every transfer-step message). True when sent or when window is
// null; false (counted) when the payload cannot be allocated.
[[nodiscard]] inline bool SendTransferMessage(HWND window, DWORD kind, ULONGLONG count, DWORD code = 0,
                                              DWORD codeClass = 0) {
    return SendPayload<TransferPayload>(window, 0, kind, [&](TransferPayload &payload) {
        payload.count = count;
        payload.code = code;
        payload.codeClass = codeClass;
    });
}
