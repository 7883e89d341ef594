// The service calls' request: a POST with an empty body, in a fresh WinINet session per call.
#pragma once
#include <windows.h>

#include "frame/heap_win32.h"

// Runs one POST with an empty body on a complete signed URL. Returns true when a
// reply with a status other than 403 and 407 was received and read whole: it
// named a Content-Length and brought exactly that many bytes (only a status
// without a body, such as 304, may name none). *body then holds the reply (at
// most 65535 bytes, zero-terminated) and *status the HTTP status. On false
// *body is empty; *status is 0 when no status was read, 403/407 when the
// service refused, else the status of a reply that could not be read whole.
[[nodiscard]] bool ExecuteRequest(const wchar_t *url, LibBlock<char> *body, DWORD *status);

// The same exchange, counting the reply's bytes instead of keeping them. True
// only for status 200 with the reply read whole, as above, and not the
// service's error object (a reply that begins with {"error"); *count then
// holds its length.
[[nodiscard]] bool MeasureResponse(const wchar_t *url, DWORD *count);
