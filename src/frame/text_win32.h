// Wide texts in library-heap blocks: copies and concatenation for URLs.
#pragma once
#include <windows.h>

#include <initializer_list>
#include <string_view>

#include "frame/heap_win32.h"

// A copy of text (length + 1 wide characters) in a library block; empty when
// the allocation fails (counted).
[[nodiscard]] LibBlock<wchar_t> CopyWideText(std::wstring_view text);

// The parts joined into one zero-terminated library block, sized from their
// lengths; empty when the allocation fails (counted). Joined texts are URLs
// that carry signatures, so the block is wiped when it is released.
[[nodiscard]] WipedBlock<wchar_t> JoinWideText(std::initializer_list<std::wstring_view> parts);
