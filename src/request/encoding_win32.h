// Text conversions on library-heap texts: reply values widened, texts escaped for URLs.
#pragma once
#include <windows.h>

#include <string_view>

#include "frame/heap_win32.h"

// A library-heap copy of text with each byte widened to one wide character of
// the same value (no UTF-8 decoding). Empty when the allocation fails (counted).
[[nodiscard]] LibBlock<wchar_t> WidenText(std::string_view text);

// The URL component of a wide text: UTF-8 bytes, every byte outside
// [0-9A-Za-z] written as "%XX" (upper-case hex), one wide character each;
// "User Notes/a.txt" gives "User%20Notes%2Fa%2Etxt". Lone surrogates are
// encoded as U+FFFD. Empty when text is null or the allocation fails (counted).
[[nodiscard]] LibBlock<wchar_t> EncodeForUrl(const wchar_t *text);

// The URL component of bytes as the service sent them (an upload id, a rev):
// every byte outside [0-9A-Za-z] written as "%XX", one wide character each, no
// UTF-8 step, so the service gets back exactly the bytes it gave. Empty when
// an allocation fails (counted).
[[nodiscard]] LibBlock<wchar_t> EncodeBytesForUrl(std::string_view bytes);
