// Text conversions for URLs and replies: percent-encoding, UTF-16 to UTF-8, byte widening.
// Portable: every function writes into a buffer the caller sized with the matching length call.
#pragma once
#include <cstddef>
#include <string_view>

// Bytes the percent-encoded form of text takes, without the terminator. Every
// byte outside [0-9A-Za-z] becomes "%" and two upper-case hex digits.
size_t PercentEncodedLength(std::string_view text);

// Writes the percent-encoded text and a terminator into out (capacity in bytes,
// terminator included). Returns false, writing nothing, when it does not fit.
[[nodiscard]] bool PercentEncodeInto(std::string_view text, char *out, size_t capacity);

// Bytes the UTF-8 form of text takes, without the terminator. A lone surrogate
// counts as U+FFFD (3 bytes).
size_t Utf8Length(std::u16string_view text);

// Writes text as UTF-8 and a terminator into out (capacity in bytes, terminator
// included). A lone surrogate is written as U+FFFD (EF BF BD) rather than failing,
// so a damaged path still reaches the service as a visible replacement mark.
// Returns false, writing nothing, when it does not fit.
[[nodiscard]] bool Utf8EncodeInto(std::u16string_view text, char *out, size_t capacity);

// Units the URL component of text takes (UTF-8, then percent-encoded), without
// the terminator.
size_t UrlComponentLength(std::u16string_view text);

// Writes the URL component of text (UTF-8 bytes percent-encoded, one 16-bit unit
// per output character) and a terminator into out (capacity in units, terminator
// included). "a/b" gives "a%2Fb". Returns false, writing nothing, when it does not fit.
[[nodiscard]] bool UrlComponentInto(std::u16string_view text, char16_t *out, size_t capacity);

// Writes each byte of bytes as one 16-bit unit of the same value (no UTF-8
// decoding) and a terminator into out (capacity in units, terminator included).
// Returns false, writing nothing, when it does not fit.
[[nodiscard]] bool WidenBytesInto(std::string_view bytes, char16_t *out, size_t capacity);
