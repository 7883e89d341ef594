// The service's calls as complete signed URLs: the one place that knows their paths.
#pragma once
#include <windows.h>

// Every function returns a new library-heap text that holds a signature (free it
// with LibWipeAndFree), or null when an allocation fails (counted) or an
// argument is null. Each call makes a fresh nonce and timestamp.

// POST api "/1/oauth/request_token" (no token).
[[nodiscard]] wchar_t *RequestTokenUrl();
// POST api "/1/oauth/access_token", signed with the request token and its secret.
[[nodiscard]] wchar_t *AccessTokenUrl(const wchar_t *requestToken, const wchar_t *requestSecret);
// The browser's page: web "/1/oauth/authorize?oauth_token=<token>" (unsigned).
[[nodiscard]] wchar_t *AuthorizeUrl(const wchar_t *requestToken);
// POST api "/1/fileops/create_folder?root=sandbox&path=%2F<folder>", where
// encodedFolder is already percent-encoded, signed with the access pair.
[[nodiscard]] wchar_t *CreateFolderUrl(const wchar_t *encodedFolder, const wchar_t *accessToken,
                                       const wchar_t *accessSecret);
