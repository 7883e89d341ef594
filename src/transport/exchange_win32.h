// The exchange core shared by every request of the library: one HTTPS request in a fresh
// WinINet session, split into steps that each member of the family composes.
#pragma once
#include <windows.h>
#include <wininet.h>

#include "frame/heap_win32.h"
#include "transport/handles_win32.h"

// What sets one member of the family apart. Members keep one constant record;
// a member with a body copies it and fills body and headers per call.
struct ExchangeProfile {
    const wchar_t *userAgent;      // of the first session; the fallback session has none
    const wchar_t *verb;           // L"POST", L"GET", L"PUT"
    DWORD requestFlags;            // HttpOpenRequestW flags
    INTERNET_PORT fixedPort;       // 0: the URL's own port; otherwise this port (443)
    bool refusalDialog;            // 403/407 bring the credentials dialog (RunExchange)
    bool requireProxySetting;      // unreadable proxy settings (type 0) fail before opening
    unsigned cannotConnectResends; // sends again at once after 12029, at most this often
    const wchar_t *headers;        // extra request headers (CRLF-separated) or null
    const void *body;              // request body or null
    DWORD bodyLength;
};

// The step that failed, for members that report a code.
enum class ExchangeStep {
    None,
    SplitUrl,     // the URL has no host (error: the WinINet error)
    ProxySetting, // requireProxySetting and the settings could not be read
    Session,      // no session, not even with the preconfigured settings
    Connect,
    OpenRequest,
    SecurityFlags, // the relaxed revocation check could not be set
    Send,          // the last send error, after the single reopen
    Status,
    Refused, // 403/407 and the dialog did not ask for a retry
    Read,    // a read of the reply failed, or the sink refused the bytes
};

// The state of one exchange. Declared empty, filled by the steps; its handles
// close request, connection, session (reverse declaration order) when it goes.
struct Exchange {
    LibBlock<wchar_t> host;
    WipedBlock<wchar_t> path; // path and query: the query holds the signature
    INTERNET_PORT port = 0;
    bool reopened = false; // the single reopen after a send failure is used
    ExchangeStep failedStep = ExchangeStep::None;
    DWORD error = 0; // the thread's last error at the failed step
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
};

// Receives the reply's bytes in order. Returns false to stop reading.
using ReplySink = bool (*)(void *context, const char *bytes, DWORD count);

// A zero-filled buffer of capacity + 1 bytes that keeps the first capacity
// bytes of a reply; the rest is dropped, and the last byte stays zero.
struct CappedBuffer {
    char *bytes;
    size_t capacity;
    size_t used;
};
// ReplySink over a CappedBuffer; never refuses, so the reply is read to its end.
bool AppendCapped(void *buffer, const char *bytes, DWORD count);
// ReplySink over a DWORD that counts the bytes.
bool CountBytes(void *count, const char *bytes, DWORD length);

// Split the URL, ask the proxy setting, open the session (falling back to the
// preconfigured settings when that fails). False with failedStep and error set.
[[nodiscard]] bool OpenExchange(const ExchangeProfile &profile, const wchar_t *url, Exchange &exchange);

// Replaces the request and connection with new ones on the session, sets the
// offline-ignoring option and sends; relaxes a failed revocation check once,
// resends after 12029 as the profile allows, and after any other send failure
// opens one fresh session with the preconfigured settings and starts over.
// Used again after a dialog retry. False with failedStep and error set.
[[nodiscard]] bool SendExchange(const ExchangeProfile &profile, Exchange &exchange);

// Sets *status to 0, then to the reply's HTTP status. False when it cannot be read.
[[nodiscard]] bool QueryStatus(Exchange &exchange, DWORD *status);

// Shows the credentials dialog for a 403/407 reply. True when the user asked for a retry.
[[nodiscard]] bool AskRefusalRetry(Exchange &exchange);

// OpenExchange, SendExchange and QueryStatus, with the dialog and its retries
// for 403/407 when the profile asks for it. True with *status set when a reply
// is ready to read; false otherwise (*status 0, or 403/407 when refused).
[[nodiscard]] bool RunExchange(const ExchangeProfile &profile, const wchar_t *url, Exchange &exchange, DWORD *status);

// Reads the reply into sink through chunk (up to chunkSize bytes a read). True when the reply was read to its end;
// false when a read failed or the sink stopped (failedStep Read).
[[nodiscard]] bool ReadReply(Exchange &exchange, char *chunk, DWORD chunkSize, ReplySink sink, void *context);
