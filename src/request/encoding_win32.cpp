// Text conversions on library-heap texts: thin allocation layer over request/encoding.
#include "request/encoding_win32.h"

#include <cwchar>

#include "request/encoding.h"

// wchar_t and char16_t are both 16-bit UTF-16 units on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

LibBlock<wchar_t> WidenText(std::string_view text) {
    LibBlock<wchar_t> wide(LibAllocArray<wchar_t>(text.size() + 1));
    if (!wide || !WidenBytesInto(text, reinterpret_cast<char16_t *>(wide.get()), text.size() + 1)) return {};
    return wide;
}

LibBlock<wchar_t> EncodeForUrl(const wchar_t *text) {
    if (text == nullptr) return {};
    const std::u16string_view view(reinterpret_cast<const char16_t *>(text), std::wcslen(text));
    const size_t capacity = UrlComponentLength(view) + 1;
    LibBlock<wchar_t> encoded(LibAllocArray<wchar_t>(capacity));
    if (!encoded || !UrlComponentInto(view, reinterpret_cast<char16_t *>(encoded.get()), capacity)) return {};
    return encoded;
}

LibBlock<wchar_t> EncodeBytesForUrl(std::string_view bytes) {
    const size_t capacity = PercentEncodedLength(bytes) + 1;
    const LibBlock<char> encoded(LibAllocArray<char>(capacity));
    if (!encoded || !PercentEncodeInto(bytes, encoded.get(), capacity)) return {};
    return WidenText(std::string_view(encoded.get(), capacity - 1));
}
