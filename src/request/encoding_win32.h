// Text conversions on library-heap texts: reply values widened, texts escaped for URLs.
#pragma once
#include <windows.h>

#include <string_view>

// Sets *out to null, then to a library-heap copy of text with each byte widened
// to one wide character of the same value (no UTF-8 decoding). Returns false
// with *out null when text is null or the allocation fails (counted). The
// caller frees *out with LibFree.
[[nodiscard]] bool WidenText(const char *text, wchar_t **out);

// The same for a text that is not zero-terminated (a value cut out of a reply).
[[nodiscard]] bool WidenText(std::string_view text, wchar_t **out);

// Sets *out to null, then to a library-heap copy of text with every byte
// outside [0-9A-Za-z] written as "%XX" (upper-case hex). Returns false with
// *out null when text is null or the allocation fails (counted). The caller
// frees *out with LibFree.
[[nodiscard]] bool PercentEncode(const char *text, char **out);

// The URL component of a wide text: UTF-8 bytes, percent-encoded as above, one
// wide character each; "User Notes/a.txt" gives "User%20Notes%2Fa%2Etxt". Lone
// surrogates are encoded as U+FFFD. Returns a library-heap text the caller
// frees with LibFree, or null when text is null or the allocation fails (counted).
[[nodiscard]] wchar_t *EncodeForUrl(const wchar_t *text);
