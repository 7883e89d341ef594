// Plain readings of the reply scanners' contracts, written apart from the scanners (index loops, no search
// helpers), so that a target can compare what a scanner finds with what its contract says it must find.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"

namespace fuzz {

// Position of the first pattern in text at or after from, or npos.
inline size_t FirstAt(std::string_view text, std::string_view pattern, size_t from) {
    for (size_t at = from; at <= text.size() && text.size() - at >= pattern.size(); ++at) {
        size_t i = 0;
        while (i < pattern.size() && text[at + i] == pattern[i]) ++i;
        if (i == pattern.size()) return at;
    }
    return std::string_view::npos;
}

// What FindQuotedValue must find: the text after the first  "<key>": "  up to the next quote.
inline bool ReferenceQuoted(std::string_view text, std::string_view key, std::string_view *value) {
    // The opening is  quote, key, quote, colon, space, quote; keys are short, so a fixed buffer holds it.
    TextBuffer<512> opening;
    opening.Append('"');
    opening.Append(key);
    opening.Append("\": \"");
    if (opening.Overflowed()) Fail("key too long for the reference", __FILE__, __LINE__);
    const size_t at = FirstAt(text, opening.View(), 0);
    if (at == std::string_view::npos) return false;
    const size_t start = at + opening.Size();
    const size_t end = FirstAt(text, "\"", start);
    if (end == std::string_view::npos) return false;
    *value = text.substr(start, end - start);
    return true;
}

// Compares a quoted-value scanner's answer on text with the reference's: same verdict, the very same view
// into text, and the out-value untouched on failure.
template <class Scanner> void CheckQuoted(std::string_view text, std::string_view key, Scanner scanner) {
    constexpr std::string_view kUntouched = "untouched";
    std::string_view expected;
    const bool found = ReferenceQuoted(text, key, &expected);
    std::string_view value = kUntouched;
    FUZZ_REQUIRE(scanner(text, &value) == found);
    if (!found) {
        FUZZ_REQUIRE(value.data() == kUntouched.data() && value.size() == kUntouched.size());
        return;
    }
    FUZZ_REQUIRE(Inside(value, text));
    FUZZ_REQUIRE(value.data() == expected.data() && value.size() == expected.size());
    FUZZ_REQUIRE(value.find('"') == std::string_view::npos);
}

} // namespace fuzz
