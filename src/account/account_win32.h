// The account's calls on the host's thread: completing a link and creating the application's folders.
#pragma once
#include <windows.h>

// Trades an approved request token and its secret for the access pair and
// stores it for the current Windows user. Returns 0 when the service answered
// 200 with an access token and secret and both were stored; 1 on every
// failure (null argument, no reply, any other status, a pair missing from the
// reply, storing failed). The arguments stay the caller's.
[[nodiscard]] int TradeRequestToken(const wchar_t *requestToken, const wchar_t *requestSecret);

// Creates the application's three folders where missing. Returns 0 when all
// three exist afterwards; 1 without stored credentials (no request then) or
// when a folder could be neither created nor found (later folders are not
// tried; those made so far stay).
[[nodiscard]] int CreateAppFolders();
