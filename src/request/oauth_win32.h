// OAuth 1.0 PLAINTEXT parameters as library-heap texts, and the signed query every request carries.
#pragma once
#include <windows.h>

// Sets *out to null, then to a new 17-character nonce drawn from the system's
// cryptographic generator. Returns false with *out null when the generator or
// the allocation fails (the latter counted). The caller frees *out with LibFree.
[[nodiscard]] bool MakeNonce(wchar_t **out);

// Sets *out to null, then to the current time as decimal seconds since
// 1970-01-01 00:00:00 UTC. Returns false with *out null when the clock stands
// before 1970 or the allocation fails (counted). The caller frees *out with LibFree.
[[nodiscard]] bool MakeTimestamp(wchar_t **out);

// Sets *out to null, then to the PLAINTEXT signature "<consumerSecret>%26<tokenSecret>"
// (tokenSecret L"" when there is none). Returns false with *out null when an
// argument is null or the allocation fails (counted). The text holds both
// secrets: the caller frees *out with LibWipeAndFree.
[[nodiscard]] bool MakeSignature(const wchar_t *consumerSecret, const wchar_t *tokenSecret, wchar_t **out);

// Sets *out to null, then to the value of key in a form-encoded token reply
// (e.g. "oauth_token_secret=s&oauth_token=t"), one wide character per byte.
// Returns false with *out null when an argument is null, the key is absent or
// the allocation fails (counted). The value may be a secret: the caller frees
// *out with LibWipeAndFree.
[[nodiscard]] bool ParseTokenValue(const char *body, const char *key, wchar_t **out);

// The whole OAuth parameter string of one request, with a fresh nonce,
// timestamp and signature made from the application key and secret:
// "oauth_consumer_key=K&oauth_token=T&oauth_nonce=N&oauth_timestamp=S
// &oauth_signature_method=PLAINTEXT&oauth_signature=SIG&oauth_version=1.0".
// token is null in the request-token step (oauth_token is then left out);
// tokenSecret is L"" when there is none (null is taken as L"").
// Returns a library-heap text, or null on any failure (allocation failures
// counted). It holds the signature: the caller frees it with LibWipeAndFree.
[[nodiscard]] wchar_t *MakeSignedQuery(const wchar_t *token, const wchar_t *tokenSecret);
