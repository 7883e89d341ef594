// Fuzz target: the error checks of replies (BeginsWithErrorObject, ContainsErrorMarker) on arbitrary bytes,
// each against a plain byte-by-byte reading of its contract.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "transport/reply_scan.h"

namespace {

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Whether text holds pattern at position at.
bool HoldsAt(std::string_view text, size_t at, std::string_view pattern) {
    if (at > text.size() || text.size() - at < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i)
        if (text[at + i] != pattern[i]) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    size_t first = 0;
    while (first < text.size() && IsJsonSpace(text[first])) ++first;
    const bool begins = HoldsAt(text, first, "{\"error\"");
    bool contains = false;
    for (size_t at = 0; at < text.size() && !contains; ++at) contains = HoldsAt(text, at, "{\"error");

    FUZZ_REQUIRE(BeginsWithErrorObject(text) == begins);
    FUZZ_REQUIRE(ContainsErrorMarker(text) == contains);
    // A download looks at its first piece only: any cut that keeps the object's start keeps the answer.
    if (begins) FUZZ_REQUIRE(BeginsWithErrorObject(text.substr(0, first + 8)));
    return 0;
}
