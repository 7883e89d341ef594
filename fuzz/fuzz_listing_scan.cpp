// Fuzz target: CountListedFiles on arbitrary bytes; checks bounds of the count and how it reacts to the
// white space, trailing bytes and truncation that decide validity.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "listing/listing_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const uint32_t files = CountListedFiles(text);
    // Every counted file is an object of its own that holds a literal false.
    const auto braces = static_cast<size_t>(std::count(text.begin(), text.end(), '{'));
    if (files > braces) std::abort();
    size_t falses = 0;
    for (size_t at = text.find("false"); at != text.npos; at = text.find("false", at + 1)) ++falses;
    if (files > falses) std::abort();
    if (files == 0) return 0;

    // A counted listing is one valid value: white space around it changes nothing, another byte after it
    // makes it invalid, and so does cutting off its closing brace.
    const std::string copy(text);
    if (CountListedFiles(" \r\n\t" + copy + "\t\n\r ") != files) std::abort();
    if (CountListedFiles(copy + "0") != 0 || CountListedFiles(copy + "}") != 0) std::abort();
    const size_t last = copy.find_last_not_of(" \t\r\n");
    if (last == std::string::npos || copy[last] != '}') std::abort();
    if (CountListedFiles(std::string_view(copy).substr(0, last)) != 0) std::abort();
    return 0;
}
