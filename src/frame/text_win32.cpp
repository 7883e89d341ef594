// Library-heap copies and joins of texts.
#include "frame/text_win32.h"

#include "frame/heap_win32.h"

#include <cstring>

wchar_t *CopyWideText(std::wstring_view text) { return JoinWideText({text}); }

wchar_t *JoinWideText(std::initializer_list<std::wstring_view> parts) {
    size_t length = 0;
    for (std::wstring_view part : parts) length += part.size();
    wchar_t *joined = LibAllocArray<wchar_t>(length + 1);
    if (joined == nullptr) return nullptr;
    wchar_t *cursor = joined;
    for (std::wstring_view part : parts) {
        std::memcpy(cursor, part.data(), part.size() * sizeof(wchar_t));
        cursor += part.size();
    }
    return joined;
}
