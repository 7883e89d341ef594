// Fuzz target: FindTokenValue on arbitrary form-encoded bodies; the first byte picks the key (one of the
// token reply's, or one the input gives), and each answer is compared with a plain reading of the contract.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "request/oauth.h"

namespace {

// What FindTokenValue must find: the first place at the body's start or right after "&" that holds
// "key=", and the text after it up to the next "&" or the body's end.
bool ReferenceToken(std::string_view body, std::string_view key, std::string_view *value) {
    if (key.empty()) return false;
    for (size_t at = 0; at < body.size(); ++at) {
        if (at != 0 && body[at - 1] != '&') continue;
        if (body.size() - at < key.size() + 1) return false;
        size_t i = 0;
        while (i < key.size() && body[at + i] == key[i]) ++i;
        if (i < key.size() || body[at + i] != '=') continue;
        const size_t start = at + key.size() + 1;
        size_t end = start;
        while (end < body.size() && body[end] != '&') ++end;
        *value = body.substr(start, end - start);
        return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr std::string_view kKeys[] = {"oauth_token", "oauth_token_secret", "uid"};
    fuzz::Input input(data, size);
    const uint8_t pick = input.Byte();
    // A key from the input may be empty or hold "="; the library's keys are names, so one with "&" is skipped.
    const std::string_view key = pick < 0xC0 ? kKeys[pick % 3] : input.Text();
    if (key.find('&') != std::string_view::npos) return 0;
    const std::string_view body = input.Rest();

    std::string_view expected;
    const bool found = ReferenceToken(body, key, &expected);
    std::string_view value = "stale";
    FUZZ_REQUIRE(FindTokenValue(body, key, &value) == found);
    if (!found) {
        FUZZ_REQUIRE(value.empty());
        return 0;
    }
    FUZZ_REQUIRE(fuzz::Inside(value, body));
    FUZZ_REQUIRE(value.data() == expected.data() && value.size() == expected.size());
    return 0;
}
