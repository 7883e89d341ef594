// The download of one file into a local file, reporting to the host window as it goes.
#pragma once
#include <windows.h>

// Fetches url (a complete signed GET URL on the content endpoint) into
// localPath. The body goes into a hidden temporary file in the target's folder
// ("~vs" and 8 hex digits), which replaces the target only once the whole body
// is on disk, proven whole (by the metadata's size, else by the
// Content-Length), flushed and stamped with the service's modification time
// (when the reply names one that parses). An existing target is replaced with
// ReplaceFileW and keeps its attributes; a replace that a holder of the file
// refuses is tried again for about a second. On any failure or cancellation the
// temporary file is removed and an existing target stays exactly as it was.
// Messages to window (none when it is null; wParam 0): MsgTransferProgress
// per piece written; on cancellation the notice of the mode (kind 17, 18 or 15
// for mode 0, 1 or 2) before the failure; MsgTransferFailed with the failure's
// code and class as the last act of a failed download.
// Returns 0 when the target holds the whole file, 1 on any failure or cancellation.
[[nodiscard]] int ResilientDownload(const wchar_t *url, const wchar_t *localPath, DWORD mode, HWND window,
                                    const volatile BYTE *cancel);

// The message kind that ends a fetch of mode (0: 17, 1: 18, 2: 15; any other value: 17).
[[nodiscard]] DWORD FetchFinishedKind(DWORD mode);
