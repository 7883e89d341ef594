// Wide texts in library-heap blocks: copies and concatenation for URLs.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string_view>

// A copy of text (length + 1 wide characters) in a library block, or null
// (counted). The caller frees it with LibFree.
[[nodiscard]] wchar_t *CopyWideText(std::wstring_view text);

// The parts joined into one zero-terminated library block, sized from their
// lengths; null when the allocation fails (counted). The caller frees it.
[[nodiscard]] wchar_t *JoinWideText(std::initializer_list<std::wstring_view> parts);
