// The exchange core: the WinINet steps every request of the library runs, one function per step.
#include "transport/exchange_win32.h"

#include <cstring>
#include <cwchar>
#include <string_view>

#include "frame/text_win32.h"
#include "velmora_sync.h"

namespace {

// Records the failed step with the thread's last error; returns false for `return Fail(...)`.
bool Fail(Exchange &exchange, ExchangeStep step, DWORD error) {
    exchange.failedStep = step;
    exchange.error = error;
    return false;
}

// Splits the URL into library copies of the host and the path. Asking only for
// host and path (no extra-information part) leaves "?query" at the end of the
// path, which is what the request line needs; flags 0 keep the escapes as sent.
// Null buffers with non-zero lengths make WinINet point into the URL itself.
bool SplitUrl(const wchar_t *url, INTERNET_PORT fixedPort, Exchange &exchange) {
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    if (!InternetCrackUrlW(url, static_cast<DWORD>(std::wcslen(url)), 0, &parts))
        return Fail(exchange, ExchangeStep::SplitUrl, GetLastError());
    if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0)
        return Fail(exchange, ExchangeStep::SplitUrl, ERROR_INTERNET_INVALID_URL);
    exchange.host.reset(CopyWideText(std::wstring_view(parts.lpszHostName, parts.dwHostNameLength)));
    exchange.path.reset(CopyWideText(parts.lpszUrlPath != nullptr
                                         ? std::wstring_view(parts.lpszUrlPath, parts.dwUrlPathLength)
                                         : std::wstring_view()));
    if (!exchange.host || !exchange.path) return Fail(exchange, ExchangeStep::SplitUrl, ERROR_NOT_ENOUGH_MEMORY);
    exchange.port = fixedPort != 0 ? fixedPort : parts.nPort;
    return true;
}

// A session with no user agent and the system's preconfigured settings: the
// fallback when the session made from the user's proxy setting fails or sends fail.
bool OpenPreconfiguredSession(Exchange &exchange) {
    exchange.session.reset();
    exchange.session.reset(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!exchange.session) return Fail(exchange, ExchangeStep::Session, GetLastError());
    return true;
}

// The session from the user's proxy setting; the setting's type is passed on
// unchanged as the access type (WinINet decides whether it opens; the
// preconfigured session is the fallback).
bool OpenSession(const ExchangeProfile &profile, Exchange &exchange) {
    DWORD proxyType = 0;
    LibBlock<wchar_t> proxyServer;
    GetProxyInfo(&proxyType, proxyServer.put());
    if (proxyType == 0 && profile.requireProxySetting)
        return Fail(exchange, ExchangeStep::ProxySetting, ERROR_INTERNET_INTERNAL_ERROR);
    exchange.session.reset(InternetOpenW(profile.userAgent, proxyType, proxyServer.get(), nullptr, 0));
    if (exchange.session) return true;
    return OpenPreconfiguredSession(exchange);
}

// New connection and request on the session, closing the old ones request first.
bool ConnectAndOpenRequest(const ExchangeProfile &profile, Exchange &exchange) {
    exchange.request.reset();
    exchange.connection.reset(InternetConnectW(exchange.session.get(), exchange.host.get(), exchange.port, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!exchange.connection) return Fail(exchange, ExchangeStep::Connect, GetLastError());
    const wchar_t *acceptTypes[] = {L"*/*", nullptr};
    exchange.request.reset(HttpOpenRequestW(exchange.connection.get(), profile.verb, exchange.path.get(), nullptr,
                                            nullptr, acceptTypes, profile.requestFlags, 0));
    if (!exchange.request) return Fail(exchange, ExchangeStep::OpenRequest, GetLastError());
    // Send even when the user has put the system into offline mode; a failure only
    // means the option is unknown, and the send then tells whether the network is there.
    BYTE ignoreOffline = 1;
    InternetSetOptionW(exchange.request.get(), INTERNET_OPTION_IGNORE_OFFLINE, &ignoreOffline, 1);
    return true;
}

// Relaxes only the revocation check: a revocation server that cannot be reached
// says nothing against the certificate, unlike an unknown authority, a wrong
// name or a bad date, which would hand the credentials to an interceptor.
bool IgnoreRevocation(Exchange &exchange) {
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    if (!InternetQueryOptionW(exchange.request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, &size)) flags = 0;
    flags |= SECURITY_FLAG_IGNORE_REVOCATION;
    if (!InternetSetOptionW(exchange.request.get(), INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof(flags)))
        return Fail(exchange, ExchangeStep::SecurityFlags, GetLastError());
    return true;
}

// False when the server closed the connection without a reply. Windows fails
// the send then; Wine reports success with status 0, which must count as the
// same send failure. A status that cannot be read is left to QueryStatus.
bool HasStatusLine(Exchange &exchange) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(exchange.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                        nullptr))
        return true;
    return status != 0;
}

// Sends on the current request, repeating it where the profile allows. False
// with failedStep Send (or SecurityFlags) and the error.
bool SendOnRequest(const ExchangeProfile &profile, Exchange &exchange) {
    bool revocationRelaxed = false;
    unsigned resends = 0;
    for (;;) {
        // HttpSendRequestW takes the body as a non-const pointer but only reads it.
        const bool sent = HttpSendRequestW(exchange.request.get(), profile.headers,
                                           profile.headers != nullptr ? static_cast<DWORD>(-1) : 0,
                                           const_cast<void *>(profile.body), profile.bodyLength) != FALSE;
        if (sent && HasStatusLine(exchange)) return true;
        const DWORD error = sent ? ERROR_HTTP_INVALID_SERVER_RESPONSE : GetLastError();
        if (error == ERROR_INTERNET_SEC_CERT_REV_FAILED && !revocationRelaxed) {
            revocationRelaxed = true;
            if (!IgnoreRevocation(exchange)) return false;
            continue;
        }
        if (error == ERROR_INTERNET_CANNOT_CONNECT && resends < profile.cannotConnectResends) {
            ++resends;
            continue;
        }
        return Fail(exchange, ExchangeStep::Send, error);
    }
}

} // namespace

bool AppendCapped(void *buffer, const char *bytes, DWORD count) {
    CappedBuffer &capped = *static_cast<CappedBuffer *>(buffer);
    const size_t room = capped.capacity - capped.used;
    const size_t take = count < room ? count : room;
    std::memcpy(capped.bytes + capped.used, bytes, take);
    capped.used += take;
    return true;
}

bool CountBytes(void *count, const char *, DWORD length) {
    *static_cast<DWORD *>(count) += length;
    return true;
}

bool OpenExchange(const ExchangeProfile &profile, const wchar_t *url, Exchange &exchange) {
    if (url == nullptr) return Fail(exchange, ExchangeStep::SplitUrl, ERROR_INVALID_PARAMETER);
    return SplitUrl(url, profile.fixedPort, exchange) && OpenSession(profile, exchange);
}

bool SendExchange(const ExchangeProfile &profile, Exchange &exchange) {
    for (;;) {
        if (!ConnectAndOpenRequest(profile, exchange)) return false;
        if (SendOnRequest(profile, exchange)) return true;
        if (exchange.failedStep != ExchangeStep::Send || exchange.reopened) return false;
        // A network failure may come from the proxy the user's setting named:
        // start over once in a session with the system's own settings.
        exchange.reopened = true;
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
    if (!HttpQueryInfoW(exchange.request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status, &size,
                        nullptr))
        return Fail(exchange, ExchangeStep::Status, GetLastError());
    return true;
}

// With these flags the dialog reads the reply's headers itself and asks for
// credentials only where they call for them; a plain refusal (a 403 without an
// authentication header) returns at once without showing anything.
bool AskRefusalRetry(Exchange &exchange) {
    const DWORD answer = InternetErrorDlg(GetDesktopWindow(), exchange.request.get(), ERROR_INTERNET_INCORRECT_PASSWORD,
                                          FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                              FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                          nullptr);
    return answer == ERROR_INTERNET_FORCE_RETRY;
}

bool RunExchange(const ExchangeProfile &profile, const wchar_t *url, Exchange &exchange, DWORD *status) {
    *status = 0;
    if (!OpenExchange(profile, url, exchange)) return false;
    for (;;) {
        if (!SendExchange(profile, exchange) || !QueryStatus(exchange, status)) return false;
        const bool refused = *status == HTTP_STATUS_FORBIDDEN || *status == HTTP_STATUS_PROXY_AUTH_REQ;
        if (!refused || !profile.refusalDialog) return true;
        if (!AskRefusalRetry(exchange)) return Fail(exchange, ExchangeStep::Refused, 0);
    }
}

bool ReadReply(Exchange &exchange, char *chunk, DWORD chunkSize, ReplySink sink, void *context) {
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(exchange.request.get(), chunk, chunkSize, &read))
            return Fail(exchange, ExchangeStep::Read, GetLastError());
        if (read == 0) return true;
        if (!sink(context, chunk, read)) return Fail(exchange, ExchangeStep::Read, GetLastError());
    }
}
