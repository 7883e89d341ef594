// Account linking, first step: the request token and the browser's authorization
// page. The export RequestAccessToken is a shim over StartLink.
#pragma once
#include <windows.h>

// Thread procedure of RequestAccessToken; parameter: the host window (may be
// null). Fills the host's two variables, opens the authorization page and
// sends one MsgLinkStatus notice; on failure the variables are null and the
// status is 0.
DWORD WINAPI RequestTokenWorker(LPVOID parameter);

// Fills browser (MAX_PATH characters) with the program registered for ".html"
// files. True when one was found; the temporary file it needs is gone either way.
[[nodiscard]] bool FindDefaultBrowser(wchar_t (&browser)[MAX_PATH]);

// Stores status (1 browser started, 0 failed) in LinkStatusByte and sends
// MsgLinkStatus with a payload pointing at that byte to window (wParam: the
// window). Nothing is sent when window is null or the payload cannot be allocated.
void SendLinkNotice(HWND window, BYTE status);

// Starts the linking worker for window (may be null: no notice then), which
// fills the host's two variables. Returns 0 when it started (its one notice
// follows), 1 when it did not (no notice). One linking at a time: a second
// call redirects the first worker's writes to its own variables.
[[nodiscard]] int StartLink(HWND window, wchar_t **requestToken, wchar_t **requestSecret);
