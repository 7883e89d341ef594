// OAuth 1.0 PLAINTEXT request parameters: nonce, timestamp, signature, token replies, signed query.
// Portable: texts are written into buffers the caller sizes with the matching length call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Characters in a nonce, and the alphabet they are drawn from (62 characters).
constexpr size_t kNonceLength = 17;
constexpr std::u16string_view kNonceAlphabet = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Capacity that holds any timestamp text with its terminator (20 digits + 1).
constexpr size_t kTimestampCapacity = 21;

// Fills bytes[0..count) with random bytes; returns false when it cannot.
using RandomBytesSource = bool (*)(void *context, unsigned char *bytes, size_t count);

// Writes kNonceLength alphabet characters and a terminator into out, drawing
// bytes from source. Bytes of 248 and above are rejected and drawn again, so
// every character is equally likely (248 = 4 x 62). Returns false when the
// source fails or keeps giving rejected bytes; out is then unusable.
[[nodiscard]] bool MakeNonceText(RandomBytesSource source, void *context, char16_t (&out)[kNonceLength + 1]);

// Writes seconds in decimal (no sign, no leading zeros) and a terminator into
// out. Returns false when capacity is too small (kTimestampCapacity always fits).
[[nodiscard]] bool MakeTimestampText(uint64_t seconds, char16_t *out, size_t capacity);

// Units of the PLAINTEXT signature "<consumer secret>%26<token secret>", without
// the terminator.
size_t SignatureLength(std::u16string_view consumerSecret, std::u16string_view tokenSecret);

// Writes the signature and a terminator into out (capacity in units). The "&" of
// the signature is written already escaped as %26 because it travels in a query.
// Returns false, writing nothing, when it does not fit.
[[nodiscard]] bool MakeSignatureText(std::u16string_view consumerSecret, std::u16string_view tokenSecret, char16_t *out,
                                     size_t capacity);

// Finds key's value in a form-encoded reply body ("a=1&b=2"). The key matches
// only at the start of the body or right after "&", so "oauth_token" is not
// found inside "oauth_token_secret=". The value runs to the next "&" or the end
// of the body and is not decoded. Returns false when the key is absent or empty;
// *value then is empty.
[[nodiscard]] bool FindTokenValue(std::string_view body, std::string_view key, std::string_view *value);

// The values of one signed query. hasToken is false only in the request-token
// step, where no oauth_token is sent.
struct SignedQueryValues {
    std::u16string_view consumerKey;
    bool hasToken;
    std::u16string_view token;
    std::u16string_view nonce;
    std::u16string_view timestamp;
    std::u16string_view signature;
};

// Units of the signed query, without the terminator.
size_t SignedQueryLength(const SignedQueryValues &values);

// Writes "oauth_consumer_key=K[&oauth_token=T]&oauth_nonce=N&oauth_timestamp=S
// &oauth_signature_method=PLAINTEXT&oauth_signature=SIG&oauth_version=1.0" and a
// terminator into out (capacity in units); values are inserted as they are.
// Returns false, writing nothing, when it does not fit.
[[nodiscard]] bool MakeSignedQueryText(const SignedQueryValues &values, char16_t *out, size_t capacity);
