// Fuzz target: FindTokenValue on arbitrary bodies; the first input byte picks the key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "request/oauth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    constexpr std::string_view kKeys[] = {"oauth_token", "oauth_token_secret", "uid"};
    const std::string_view key = kKeys[data[0] % 3];
    const std::string_view body(reinterpret_cast<const char *>(data + 1), size - 1);
    std::string_view value;
    if (!FindTokenValue(body, key, &value)) return 0;
    // The value lies inside the body, right after "key=" that starts the body or follows "&",
    // and holds no "&".
    const size_t at = static_cast<size_t>(value.data() - body.data());
    if (at < key.size() + 1 || at + value.size() > body.size()) std::abort();
    const size_t keyAt = at - key.size() - 1;
    if (body.substr(keyAt, key.size()) != key || body[at - 1] != '=') std::abort();
    if (keyAt != 0 && body[keyAt - 1] != '&') std::abort();
    if (value.find('&') != std::string_view::npos) std::abort();
    return 0;
}
