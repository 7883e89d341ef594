// The members of the request family: what sets each exchange with the service apart.
#pragma once
#include "transport/exchange_win32.h"

// The flags of every request:
// - INTERNET_FLAG_RELOAD: always from the service, never a cached copy;
// - INTERNET_FLAG_NO_CACHE_WRITE: nothing into the cache (Wine would also copy
//   every body into its cache, at half the speed);
// - INTERNET_FLAG_SECURE: TLS, with the certificate checked;
// - INTERNET_FLAG_KEEP_CONNECTION: keep-alive, so the chunks of an upload share a connection;
// - INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS: a redirect from plain HTTP to HTTPS
//   is followed without an error (every request starts on HTTPS, so none comes);
// - INTERNET_FLAG_PRAGMA_NOCACHE: proxies are asked not to answer from their caches.
// INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP is left out on purpose: without it
// WinINet refuses a redirect from HTTPS to plain HTTP
// (ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, class 3), so nothing from an
// unverified origin becomes the user's file. Wine ignores the flag and follows
// such a redirect anyway; the exchange core refuses its reply itself.
constexpr DWORD kTransferFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                 INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                                 INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kTransferFlags == 0x84C04100);
// The service calls also keep WinINet from answering authentication challenges
// by itself (INTERNET_FLAG_NO_AUTH): the credentials dialog is the library's call.
constexpr DWORD kServiceCallFlags = kTransferFlags | INTERNET_FLAG_NO_AUTH;
static_assert(kServiceCallFlags == 0x84C44100);

// Bound of the immediate resends of a chunk after ERROR_INTERNET_CANNOT_CONNECT.
constexpr unsigned kChunkCannotConnectResends = 3;

// Token calls, folder creation, listings and the revision lookup.
constexpr ExchangeProfile kServiceCallProfile = {
    .userAgent = L"Velmora Dropbox Communication",
    .verb = L"POST",
    .requestFlags = kServiceCallFlags,
    .order = OpeningOrder::ServiceCall,
    .refusalDialog = true,
    .cannotConnectResends = 0,
};

// The download: only a 200 reply counts, so a refusal shows no dialog.
constexpr ExchangeProfile kDownloadProfile = {
    .userAgent = L"Velmora Resilient Download",
    .verb = L"GET",
    .requestFlags = kTransferFlags,
    .order = OpeningOrder::Transfer,
    .refusalDialog = false,
    .cannotConnectResends = 0,
};

// The remote delete.
constexpr ExchangeProfile kDeleteProfile = {
    .userAgent = L"Velmora Resilient Download",
    .verb = L"POST",
    .requestFlags = kTransferFlags,
    .order = OpeningOrder::Transfer,
    .refusalDialog = true,
    .cannotConnectResends = 0,
};

// One chunk of an upload; the chunk is the request's body.
constexpr ExchangeProfile kChunkProfile = {
    .userAgent = L"Velmora Resilient Download",
    .verb = L"PUT",
    .requestFlags = kTransferFlags,
    .order = OpeningOrder::Transfer,
    .refusalDialog = true,
    .cannotConnectResends = kChunkCannotConnectResends,
};

// The commit of an upload.
constexpr ExchangeProfile kCommitProfile = {
    .userAgent = L"Velmora Dropbox Upload",
    .verb = L"POST",
    .requestFlags = kTransferFlags,
    .order = OpeningOrder::Transfer,
    .refusalDialog = true,
    .cannotConnectResends = 0,
};
