// Fuzz target: ParseServiceDate on arbitrary bytes; a success must be a signed 64-bit FILETIME.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/service_date.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    uint64_t value = 7;
    const bool parsed = ParseServiceDate(text, &value);
    if (!parsed && value != 7) std::abort();                              // failure must leave the value alone
    if (parsed && value > static_cast<uint64_t>(INT64_MAX)) std::abort(); // Windows refuses such FILETIMEs
    return 0;
}
