// Text conversions on library-heap texts: thin allocation layer over request/encoding.
#include "request/encoding_win32.h"

#include <cwchar>

#include "frame/heap_win32.h"
#include "request/encoding.h"

// wchar_t and char16_t are both 16-bit UTF-16 units on Windows.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

bool WidenText(std::string_view text, wchar_t **out) {
    *out = nullptr;
    LibBlock<wchar_t> wide(LibAllocArray<wchar_t>(text.size() + 1));
    if (!wide) return false;
    if (!WidenBytesInto(text, reinterpret_cast<char16_t *>(wide.get()), text.size() + 1)) return false;
    *out = wide.release();
    return true;
}

bool WidenText(const char *text, wchar_t **out) {
    *out = nullptr;
    if (text == nullptr) return false;
    return WidenText(std::string_view(text), out);
}

bool PercentEncode(const char *text, char **out) {
    *out = nullptr;
    if (text == nullptr) return false;
    const std::string_view view(text);
    const size_t capacity = PercentEncodedLength(view) + 1;
    LibBlock<char> encoded(LibAllocArray<char>(capacity));
    if (!encoded) return false;
    if (!PercentEncodeInto(view, encoded.get(), capacity)) return false;
    *out = encoded.release();
    return true;
}

wchar_t *EncodeForUrl(const wchar_t *text) {
    if (text == nullptr) return nullptr;
    const std::u16string_view view(reinterpret_cast<const char16_t *>(text), std::wcslen(text));
    const size_t capacity = UrlComponentLength(view) + 1;
    LibBlock<wchar_t> encoded(LibAllocArray<wchar_t>(capacity));
    if (!encoded) return nullptr;
    if (!UrlComponentInto(view, reinterpret_cast<char16_t *>(encoded.get()), capacity)) return nullptr;
    return encoded.release();
}
