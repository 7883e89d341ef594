// The members of the request family: what sets each exchange with the service apart.
#pragma once
#include "transport/exchange_win32.h"

// Every request: never from or into the cache (Wine would also copy every body
// into its cache at half the speed), keep-alive, HTTPS only, no redirect to
// another scheme.
constexpr DWORD kTransferFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                 INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                                 INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_PRAGMA_NOCACHE;
static_assert(kTransferFlags == 0x84C0C100);
// The service calls also keep WinINet from answering authentication challenges by itself.
constexpr DWORD kServiceCallFlags = kTransferFlags | INTERNET_FLAG_NO_AUTH;
static_assert(kServiceCallFlags == 0x84C4C100);

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
