// The exchange core shared by every request of the library: one HTTPS request in a fresh
// WinINet session, split into steps that each member of the family composes.
//
// A member is a constant ExchangeProfile (what sets it apart) plus, per call,
// an ExchangeRequest (URL, headers, body) and a sink that judges the reply's
// bytes. The steps record the one that failed and its error in the Exchange.
#pragma once
#include <windows.h>
#include <wininet.h>

#include "frame/heap_win32.h"
#include "transport/handles_win32.h"
#include "transport/proxy_win32.h"

// How a member opens: the order of its first steps.
enum class OpeningOrder {
    // Split the URL (a bad URL fails at once, nothing opened), connect to the
    // URL's own port, then ask the proxy setting, whose type goes to the
    // session unchecked (0 is INTERNET_OPEN_TYPE_PRECONFIG).
    ServiceCall,
    // Ask the proxy setting first (an unreadable one fails before anything is
    // opened), then split the URL without checking: a URL that does not split
    // leaves no host, and the connection fails with its own error. Port 443.
    Transfer,
};

// The constant traits of one member of the family.
struct ExchangeProfile {
    const wchar_t *userAgent; // of the first session; the fallback session has none
    const wchar_t *verb;      // L"POST", L"GET", L"PUT"
    DWORD requestFlags;       // HttpOpenRequestW flags
    OpeningOrder order;
    bool refusalDialog;            // 403/407 bring the credentials dialog (RunExchange)
    unsigned cannotConnectResends; // sends again at once after 12029, at most this often
};

// What one call sends.
struct ExchangeRequest {
    const wchar_t *url;               // complete signed URL
    const wchar_t *headers = nullptr; // extra request headers (CRLF-separated) or null
    const void *body = nullptr;       // request body or null
    DWORD bodyLength = 0;
    // The proxy setting read once for a series of requests (an upload's chunks),
    // or null to read it for this request. Reading it costs milliseconds (Wine
    // looks for an auto-configuration script every time), too much per chunk.
    const ProxySetting *proxy = nullptr;
};

// The step that failed.
enum class ExchangeStep {
    None,
    SplitUrl,     // the URL does not split (error: the WinINet error)
    ProxySetting, // a transfer found the proxy settings unreadable
    Session,      // no session, not even with the preconfigured settings
    Connect,
    OpenRequest,
    SecurityFlags, // the relaxed revocation check could not be set
    Send,          // the last send error, after the single reopen
    Redirected,    // a redirect left HTTPS (error 12040); never sent again
    Status,
    Refused, // 403/407 and the dialog did not ask for a retry
    Headers, // the raw headers could not be read (122: they do not fit)
    Read,    // a read of the reply failed (error: its last error)
    Sink,    // the sink refused the bytes (code and codeClass: its reason)
    Length,  // the reply's length is not proven: it ended before its Content-Length, or named none
};

// The state of one exchange. Declared empty, filled by the steps; its handles
// close request, connection, session (reverse declaration order) when it goes.
struct Exchange {
    UrlParts url;
    ProxySetting proxy;
    bool reopened = false;             // the single reopen after a send failure is used
    unsigned cannotConnectResends = 0; // resends after 12029 so far, across the reopen
    ExchangeStep failedStep = ExchangeStep::None;
    DWORD error = 0;    // the thread's last error at the failed step
    DWORD sinkCode = 0; // failedStep Sink: the sink's code and code class
    DWORD sinkClass = 0;
    ULONGLONG received = 0;        // bytes of the reply body handed to the sink
    bool lengthAnnounced = false;  // set at the reply's end: it named a Content-Length,
    ULONGLONG announcedLength = 0; // this one
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
};

// What a sink says after each piece of the reply.
enum class SinkVerdict {
    Continue, // read on
    Stop,     // enough read: the reply counts as read
    Fail,     // the bytes are refused for the reason in code and codeClass
};
struct SinkAnswer {
    SinkVerdict verdict = SinkVerdict::Continue;
    DWORD code = 0;
    DWORD codeClass = 0;
};
// Receives the reply's bytes in order (never an empty piece).
using ReplySink = SinkAnswer (*)(void *context, const char *bytes, DWORD count);

// How ReadReply ended.
enum class ReadEnd {
    Complete,  // the reply was read to its end
    Stopped,   // the sink said Stop
    Cancelled, // the cancel byte was found set before a read
    Failed,    // failedStep Read (a read failed) or Sink (the sink refused)
};

// Opens the exchange in the profile's order (see OpeningOrder) up to a
// session, falling back to one with the preconfigured settings when the first
// cannot be opened. False with failedStep and error set.
[[nodiscard]] bool OpenExchange(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange);

// Replaces the request and connection with new ones on the session, sets the
// offline-ignoring option and the bounded waits (TransferTimeoutMs) and sends;
// a reply that a redirect brought over plain HTTP fails (Redirected, 12040,
// without a reopen: under Wine WinINet follows such a redirect whatever the
// flags say, so the check is the library's own); relaxes a failed revocation check once,
// resends after 12029 as often as the profile allows in the whole exchange, and
// after any other send failure (12029 beyond that bound included) opens one
// fresh session with the preconfigured settings and starts over.
// Used again after a dialog retry. False with failedStep and error set.
[[nodiscard]] bool SendExchange(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange);

// Sets *status to 0, then to the reply's HTTP status read as a number. False when it cannot be read.
[[nodiscard]] bool QueryStatus(Exchange &exchange, DWORD *status);

// OpenExchange, SendExchange and QueryStatus, with the credentials dialog and
// its retries for 403/407 when the profile asks for it. True with *status set
// when a reply is ready to read; false otherwise (*status 0, or 403/407 when
// the dialog did not ask for a retry: failedStep Refused).
[[nodiscard]] bool RunExchange(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange,
                               DWORD *status);

// Copies the reply's raw headers (status line first, CRLF lines, 8-bit) into
// buffer and zero-terminates them; *length gets their length. False with
// failedStep Headers when they cannot be read, 122 when they do not fit.
[[nodiscard]] bool QueryRawHeaders(Exchange &exchange, char *buffer, DWORD capacity, DWORD *length);

// The reply's Content-Length, when it sent one.
[[nodiscard]] bool QueryContentLength(Exchange &exchange, ULONGLONG *length);

// Reads the reply through chunk (up to chunkSize bytes a read) into sink until
// it ends, the sink stops or refuses, or a read fails. When cancel is not null
// it is looked at before every read (never during one), and a nonzero byte
// ends the reading. The end of the reply counts as Complete only when a reply
// that named a Content-Length brought exactly that many bytes: WinINet ends the
// reading of a connection closed early like the end of the body (failedStep
// Length otherwise). exchange.received, lengthAnnounced and announcedLength
// tell the caller what arrived and what was named.
[[nodiscard]] ReadEnd ReadReply(Exchange &exchange, char *chunk, DWORD chunkSize, ReplySink sink, void *context,
                                const volatile BYTE *cancel = nullptr);

// ReadReply for the service calls, whose replies carry nothing else that tells
// their length: a reply of status (one that may have a body) without a
// Content-Length cannot be proven whole and fails with failedStep Length.
// Chunked and connection-closed replies are such replies: WinINet under Wine
// ends a chunked body cut off between or inside its chunks like a complete one.
[[nodiscard]] ReadEnd ReadProvenReply(Exchange &exchange, DWORD status, char *chunk, DWORD chunkSize, ReplySink sink,
                                      void *context);

// The code and code class a transfer reports for a failed exchange: the
// sink's own code, proxyCode (class 2) for unreadable proxy settings, the HTTP
// status (class 1) of a refused reply, else the failed step's system error (class 3).
struct TransferCode {
    DWORD code;
    DWORD codeClass;
};
[[nodiscard]] TransferCode FailureCode(const Exchange &exchange, DWORD proxyCode, DWORD status);

// The receive and send timeout of every request, in milliseconds: a server that
// stops sending (or taking the body) ends the exchange with a class-3 error
// instead of holding the worker without end (WinINet's own default under Wine
// is to wait for ever). A minute in the shipped DLLs; the test DLL takes
// VELMORA_TRANSFER_TIMEOUT_MS when it is set.
[[nodiscard]] DWORD TransferTimeoutMs();

// Code classes of a TransferPayload.
constexpr DWORD kClassHttpStatus = 1;
constexpr DWORD kClassOperation = 2;
constexpr DWORD kClassSystemError = 3;

// ---- Ready-made sinks ----

// A zero-filled buffer of capacity + 1 bytes that keeps the first capacity
// bytes of a reply; the rest is dropped, and the last byte stays zero.
struct CappedBuffer {
    char *bytes;
    size_t capacity;
    size_t used;
};
// ReplySink over a CappedBuffer; always continues, so the reply is read to its end.
SinkAnswer AppendCapped(void *buffer, const char *bytes, DWORD count);
// ReplySink over a DWORD that counts the bytes.
SinkAnswer CountBytes(void *count, const char *bytes, DWORD length);
