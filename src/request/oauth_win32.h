// OAuth 1.0 PLAINTEXT parameters as library-heap texts, and the signed query every request carries.
#pragma once
#include <windows.h>

#include "frame/heap_win32.h"

// A new 17-character nonce drawn from the system's cryptographic generator.
// Empty when the generator or the allocation fails (the latter counted).
[[nodiscard]] LibBlock<wchar_t> MakeNonce();

// The current time as decimal seconds since 1970-01-01 00:00:00 UTC. Empty
// when the clock stands before 1970 or the allocation fails (counted).
[[nodiscard]] LibBlock<wchar_t> MakeTimestamp();

// The PLAINTEXT signature "<consumerSecret>%26<tokenSecret>" (tokenSecret L""
// when there is none). Empty when an argument is null or the allocation fails
// (counted). It holds both secrets, so it is wiped when released.
[[nodiscard]] WipedBlock<wchar_t> MakeSignature(const wchar_t *consumerSecret, const wchar_t *tokenSecret);

// The value of key in a form-encoded token reply (e.g.
// "oauth_token_secret=s&oauth_token=t"), one wide character per byte. Empty
// when an argument is null, the key is absent or the allocation fails
// (counted). The value may be a secret, so it is wiped when released.
[[nodiscard]] WipedBlock<wchar_t> ParseTokenValue(const char *body, const char *key);

// The whole OAuth parameter string of one request, with a fresh nonce,
// timestamp and signature made from the application key and secret:
// "oauth_consumer_key=K&oauth_token=T&oauth_nonce=N&oauth_timestamp=S
// &oauth_signature_method=PLAINTEXT&oauth_signature=SIG&oauth_version=1.0".
// token is null in the request-token step (oauth_token is then left out);
// tokenSecret is L"" when there is none (null is taken as L""). Empty on any
// failure (allocation failures counted). It holds the signature, so it is
// wiped when released.
[[nodiscard]] WipedBlock<wchar_t> MakeSignedQuery(const wchar_t *token, const wchar_t *tokenSecret);
