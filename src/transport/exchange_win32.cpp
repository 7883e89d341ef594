// The exchange core: the WinINet steps every request of the library runs, one function per step.
#include "transport/exchange_win32.h"

#include <cstring>
#include <string_view>

#include "frame/faults_win32.h"
#include "frame/text_win32.h"
#include "request/oauth.h"
#include "request/oauth_win32.h"

namespace {

constexpr INTERNET_PORT kTransferPort = INTERNET_DEFAULT_HTTPS_PORT;
// The receive and send timeout of the shipped DLLs: long enough for a slow
// network, short enough that a silent server ends the transfer.
constexpr DWORD kTransferTimeoutMs = 60000;

// Records the failed step with its error; returns false for `return Fail(...)`.
bool Fail(Exchange &exchange, ExchangeStep step, DWORD error) {
    exchange.failedStep = step;
    exchange.error = error;
    return false;
}

// A session with no user agent and the system's preconfigured settings: the
// fallback when the session made from the user's proxy setting fails or sends fail.
bool OpenPreconfiguredSession(Exchange &exchange) {
    exchange.session.reset();
    exchange.session.reset(sys::InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!exchange.session) return Fail(exchange, ExchangeStep::Session, GetLastError());
    return true;
}

// The session from the user's proxy setting; the setting's type is passed on
// unchanged as the access type (WinINet decides whether it opens; the
// preconfigured session is the fallback).
bool OpenSession(const ExchangeProfile &profile, Exchange &exchange) {
    exchange.session.reset(
        sys::InternetOpenW(profile.userAgent, exchange.proxy.type, exchange.proxy.server.get(), nullptr, 0));
    exchange.proxy.server.reset();
    if (exchange.session) return true;
    return OpenPreconfiguredSession(exchange);
}

// Gives the request's signed query a new nonce, in place: a send that failed
// may still have reached the service, which refuses a nonce it has seen (a
// replay). True when the path holds no nonce or its nonce was replaced; false
// when no new one could be made.
bool RenewNonce(Exchange &exchange) {
    constexpr std::wstring_view kKey = L"oauth_nonce=";
    if (!exchange.url.path) return true;
    const std::wstring_view path(exchange.url.path.get());
    const size_t at = path.find(kKey);
    if (at == std::wstring_view::npos || path.size() - at - kKey.size() < kNonceLength) return true;
    const LibBlock<wchar_t> nonce = MakeNonce();
    if (!nonce) return false;
    std::memcpy(exchange.url.path.get() + at + kKey.size(), nonce.get(), kNonceLength * sizeof(wchar_t));
    return true;
}

// New connection and request on the session, closing the old ones request first.
bool ConnectAndOpenRequest(const ExchangeProfile &profile, Exchange &exchange) {
    exchange.request.reset();
    exchange.connection.reset(sys::InternetConnectW(exchange.session.get(), exchange.url.host.get(), exchange.url.port,
                                                    nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!exchange.connection) return Fail(exchange, ExchangeStep::Connect, GetLastError());
    const wchar_t *acceptTypes[] = {L"*/*", nullptr};
    exchange.request.reset(sys::HttpOpenRequestW(exchange.connection.get(), profile.verb, exchange.url.path.get(),
                                                 nullptr, nullptr, acceptTypes, profile.requestFlags, 0));
    if (!exchange.request) return Fail(exchange, ExchangeStep::OpenRequest, GetLastError());
    // Send even when the user has put the system into offline mode; a failure only
    // means the option is unknown, and the send then tells whether the network is there.
    BYTE ignoreOffline = 1;
    sys::InternetSetOptionW(exchange.request.get(), INTERNET_OPTION_IGNORE_OFFLINE, &ignoreOffline, 1);
    // Bounded waits for every read and write of the request. A failure leaves
    // WinINet's own (unbounded under Wine) waits, which is no reason to give up.
    DWORD timeout = TransferTimeoutMs();
    sys::InternetSetOptionW(exchange.request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof(timeout));
    sys::InternetSetOptionW(exchange.request.get(), INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout));
    return true;
}

// Relaxes only the revocation check: a revocation server that cannot be reached
// says nothing against the certificate, unlike an unknown authority, a wrong
// name or a bad date, which would hand the credentials to an interceptor.
bool IgnoreRevocation(Exchange &exchange) {
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    if (!sys::InternetQueryOptionW(exchange.request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) flags = 0;
    flags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (!sys::InternetSetOptionW(exchange.request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)))
        return Fail(exchange, ExchangeStep::SecurityFlags, GetLastError());
    return true;
}

// False when the server closed the connection without a reply. Windows fails
// the send then; Wine reports success with status 0, which must count as the
// same send failure. A status that cannot be read is left to QueryStatus.
bool HasStatusLine(Exchange &exchange) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!sys::HttpQueryInfoW(exchange.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                             nullptr))
        return true;
    return status != 0;
}

// 0 when the reply came from an https URL, else why not. Every request starts
// on HTTPS, so a reply from anywhere else came through a redirect to plain
// HTTP: Windows refuses one itself (ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR,
// since the requests do not carry INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP), but
// Wine follows it whatever the flags say (without the request's body). The
// URL is what tells: the security flags of a reply whose connection already
// went back to the pool (an empty body) no longer say TLS under Wine. A URL
// that cannot be read counts as plain: nothing from an unproven origin reaches
// the user's files.
DWORD ReplyOriginError(Exchange &exchange) {
    constexpr std::wstring_view kHttps = L"https://";
    wchar_t inPlace[1024] = {};
    DWORD size = sizeof(inPlace);
    LibBlock<wchar_t> grown;
    const wchar_t *url = inPlace;
    if (!sys::InternetQueryOptionW(exchange.request.get(), INTERNET_OPTION_URL, inPlace, &size)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= sizeof(inPlace))
            return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
        grown.reset(LibAllocArray<wchar_t>(size / sizeof(wchar_t) + 1));
        if (!grown) return ERROR_NOT_ENOUGH_MEMORY;
        if (!sys::InternetQueryOptionW(exchange.request.get(), INTERNET_OPTION_URL, grown.get(), &size))
            return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
        url = grown.get();
    }
    return sys::CompareStringOrdinal(url, static_cast<int>(kHttps.size()), kHttps.data(),
                                     static_cast<int>(kHttps.size()), TRUE) == CSTR_EQUAL
               ? 0
               : ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
}

// Sends on the current request, repeating it where the profile allows. False
// with failedStep Send, Redirected (or SecurityFlags) and the error.
bool SendOnRequest(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange) {
    bool revocationRelaxed = false;
    for (;;) {
        // HttpSendRequestW takes the body as a non-const pointer but only reads it.
        const bool sent = sys::HttpSendRequestW(exchange.request.get(), request.headers,
                                                request.headers != nullptr ? static_cast<DWORD>(-1) : 0,
                                                const_cast<void *>(request.body), request.bodyLength) != FALSE;
        if (sent && HasStatusLine(exchange)) {
            const DWORD originError = ReplyOriginError(exchange);
            if (originError == 0) return true;
            return Fail(exchange, ExchangeStep::Redirected, originError);
        }
        const DWORD error = sent ? ERROR_HTTP_INVALID_SERVER_RESPONSE : GetLastError();
        // A redirect is the server's answer, not a network failure: sending again cannot change it.
        if (error == ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR) return Fail(exchange, ExchangeStep::Redirected, error);
        if (error == ERROR_INTERNET_SEC_CERT_REV_FAILED && !revocationRelaxed) {
            revocationRelaxed = true;
            if (!IgnoreRevocation(exchange)) return false;
            continue;
        }
        // The bound holds for the exchange, not per session: the reopen must not
        // start a second round of resends.
        if (error == ERROR_INTERNET_CANNOT_CONNECT && exchange.cannotConnectResends < profile.cannotConnectResends) {
            ++exchange.cannotConnectResends;
            continue;
        }
        return Fail(exchange, ExchangeStep::Send, error);
    }
}

// Service calls: a URL that does not split fails before anything is opened.
// The request's proxy setting: the one it brings, copied, or one read now.
ProxySetting ProxyFor(const ExchangeRequest &request) {
    if (request.proxy == nullptr) return QueryProxySetting();
    ProxySetting copy;
    copy.type = request.proxy->type;
    if (request.proxy->server) copy.server = CopyWideText(request.proxy->server.get());
    return copy;
}

bool OpenServiceCall(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange) {
    const DWORD split = SplitUrl(request.url, &exchange.url);
    if (split != 0) return Fail(exchange, ExchangeStep::SplitUrl, split);
    exchange.proxy = ProxyFor(request);
    return OpenSession(profile, exchange);
}

// Transfers: unreadable proxy settings fail first; the URL is split without
// checking, so a bad one shows as a connection without a host.
bool OpenTransfer(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange) {
    exchange.proxy = ProxyFor(request);
    if (exchange.proxy.type == 0) return Fail(exchange, ExchangeStep::ProxySetting, 0);
    (void)SplitUrl(request.url, &exchange.url);
    exchange.url.port = kTransferPort;
    return OpenSession(profile, exchange);
}

// With these flags the dialog reads the reply's headers itself and asks for
// credentials only where they call for them; a plain refusal (a 403 without an
// authentication header) returns at once without showing anything.
bool AskRefusalRetry(Exchange &exchange) {
    const DWORD answer = sys::InternetErrorDlg(
        GetDesktopWindow(), exchange.request.get(), ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
        nullptr);
    return answer == ERROR_INTERNET_FORCE_RETRY;
}

} // namespace

bool OpenExchange(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange) {
    if (profile.order == OpeningOrder::Transfer) return OpenTransfer(profile, request, exchange);
    return OpenServiceCall(profile, request, exchange);
}

bool SendExchange(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange) {
    for (;;) {
        if (!ConnectAndOpenRequest(profile, exchange)) return false;
        if (SendOnRequest(profile, request, exchange)) return true;
        if (exchange.failedStep != ExchangeStep::Send || exchange.reopened) return false;
        // A network failure may come from the proxy the user's setting named:
        // start over once in a session with the system's own settings.
        exchange.reopened = true;
        if (!RenewNonce(exchange)) return false;
        exchange.request.reset();
        exchange.connection.reset();
        if (!OpenPreconfiguredSession(exchange)) return false;
        exchange.failedStep = ExchangeStep::None;
        exchange.error = 0;
    }
}

bool QueryStatus(Exchange &exchange, DWORD *status) {
    *status = 0;
    DWORD size = sizeof(*status);
    if (!sys::HttpQueryInfoW(exchange.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &size,
                             nullptr))
        return Fail(exchange, ExchangeStep::Status, GetLastError());
    return true;
}

bool RunExchange(const ExchangeProfile &profile, const ExchangeRequest &request, Exchange &exchange, DWORD *status) {
    *status = 0;
    if (!OpenExchange(profile, request, exchange)) return false;
    for (;;) {
        if (!SendExchange(profile, request, exchange) || !QueryStatus(exchange, status)) return false;
        const bool refused = *status == HTTP_STATUS_FORBIDDEN || *status == HTTP_STATUS_PROXY_AUTH_REQ;
        if (!refused || !profile.refusalDialog) return true;
        if (!AskRefusalRetry(exchange)) return Fail(exchange, ExchangeStep::Refused, 0);
    }
}

bool QueryRawHeaders(Exchange &exchange, char *buffer, DWORD capacity, DWORD *length) {
    *length = 0;
    // The size goes in as the buffer's capacity and comes back as the text's
    // length; headers that do not fit fail with ERROR_INSUFFICIENT_BUFFER.
    DWORD size = capacity;
    if (!sys::HttpQueryInfoA(exchange.request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, buffer, &size, nullptr))
        return Fail(exchange, ExchangeStep::Headers, GetLastError());
    if (size >= capacity) return Fail(exchange, ExchangeStep::Headers, ERROR_INSUFFICIENT_BUFFER);
    buffer[size] = '\0';
    *length = size;
    return true;
}

bool QueryContentLength(Exchange &exchange, ULONGLONG *length) {
    // As text: a number query is limited to 32 bits, and files may be larger.
    wchar_t text[32] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    if (!sys::HttpQueryInfoW(exchange.request.get(), HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return false;
    ULONGLONG value = 0;
    int digits = 0;
    for (const wchar_t *c = text; *c >= L'0' && *c <= L'9'; ++c, ++digits) {
        if (value > (~0ULL - 9) / 10) return false;
        value = value * 10 + static_cast<ULONGLONG>(*c - L'0');
    }
    if (digits == 0) return false;
    *length = value;
    return true;
}

ReadEnd ReadReply(Exchange &exchange, char *chunk, DWORD chunkSize, ReplySink sink, void *context,
                  const volatile BYTE *cancel) {
    for (;;) {
        if (cancel != nullptr && *cancel != 0) return ReadEnd::Cancelled;
        DWORD read = 0;
        if (!sys::InternetReadFile(exchange.request.get(), chunk, chunkSize, &read)) {
            Fail(exchange, ExchangeStep::Read, GetLastError());
            return ReadEnd::Failed;
        }
        if (read == 0) {
            exchange.lengthAnnounced = QueryContentLength(exchange, &exchange.announcedLength);
            if (exchange.lengthAnnounced && exchange.received != exchange.announcedLength) {
                Fail(exchange, ExchangeStep::Length, 0);
                return ReadEnd::Failed;
            }
            return ReadEnd::Complete;
        }
        exchange.received += read;
        const SinkAnswer answer = sink(context, chunk, read);
        if (answer.verdict == SinkVerdict::Stop) return ReadEnd::Stopped;
        if (answer.verdict == SinkVerdict::Fail) {
            Fail(exchange, ExchangeStep::Sink, 0);
            exchange.sinkCode = answer.code;
            exchange.sinkClass = answer.codeClass;
            return ReadEnd::Failed;
        }
    }
}

ReadEnd ReadProvenReply(Exchange &exchange, DWORD status, char *chunk, DWORD chunkSize, ReplySink sink, void *context) {
    const ReadEnd end = ReadReply(exchange, chunk, chunkSize, sink, context);
    // Replies of these statuses never have a body, so an empty one is whole.
    const bool bodiless =
        status == HTTP_STATUS_NO_CONTENT || status == HTTP_STATUS_NOT_MODIFIED || (status >= 100 && status < 200);
    if (end != ReadEnd::Complete || exchange.lengthAnnounced || (bodiless && exchange.received == 0)) return end;
    Fail(exchange, ExchangeStep::Length, 0);
    return ReadEnd::Failed;
}

DWORD TransferTimeoutMs() { return sys::TransferTimeout(kTransferTimeoutMs); }

TransferCode FailureCode(const Exchange &exchange, DWORD proxyCode, DWORD status) {
    switch (exchange.failedStep) {
    case ExchangeStep::Sink:
        return {exchange.sinkCode, exchange.sinkClass};
    case ExchangeStep::ProxySetting:
        return {proxyCode, kClassOperation};
    case ExchangeStep::Refused:
        return {status, kClassHttpStatus};
    default:
        return {exchange.error, kClassSystemError};
    }
}

SinkAnswer AppendCapped(void *buffer, const char *bytes, DWORD count) {
    CappedBuffer &capped = *static_cast<CappedBuffer *>(buffer);
    const size_t room = capped.capacity - capped.used;
    const size_t take = count < room ? count : room;
    std::memcpy(capped.bytes + capped.used, bytes, take);
    capped.used += take;
    return {};
}

SinkAnswer CountBytes(void *count, const char *, DWORD length) {
    *static_cast<DWORD *>(count) += length;
    return {};
}
