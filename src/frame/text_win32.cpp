// Library-heap copies and joins of texts.
#include "frame/text_win32.h"

#include <cstring>

namespace {

// Writes the parts one after another into a block of their total length + 1.
wchar_t *JoinInto(std::initializer_list<std::wstring_view> parts) {
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

} // namespace

LibBlock<wchar_t> CopyWideText(std::wstring_view text) { return LibBlock<wchar_t>(JoinInto({text})); }

WipedBlock<wchar_t> JoinWideText(std::initializer_list<std::wstring_view> parts) {
    return WipedBlock<wchar_t>(JoinInto(parts));
}
