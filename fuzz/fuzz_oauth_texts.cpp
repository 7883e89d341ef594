// Fuzz target: the OAuth text writers of request/oauth (nonce, timestamp, signature, signed query) with
// values and capacities from the input, and a random source that gives the input's bytes. Each must write
// exactly the text its contract describes, refuse a short buffer, and never write past what it was given.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "request/oauth.h"

namespace {

// The capacity to hand over for an output that needs needed units with its terminator.
size_t Capacity(uint8_t choice, size_t needed) {
    const auto slack = static_cast<int>(choice % 7) - 3;
    if (slack < 0 && needed < static_cast<size_t>(-slack)) return 0;
    return slack < 0 ? needed - static_cast<size_t>(-slack) : needed + static_cast<size_t>(slack);
}

// A UTF-16 text of the next byte's value in units, from the input's bytes in pairs.
std::u16string_view Units(fuzz::Input &input, char16_t *storage) {
    const std::string_view bytes = input.Text();
    const size_t count = bytes.size() / 2;
    for (size_t i = 0; i < count; ++i)
        storage[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                           static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return {storage, count};
}

bool Holds(const char16_t *at, std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (at[i] != text[i]) return false;
    return true;
}

// The random source: the input's bytes until a chosen call fails or the bytes run out.
struct Source {
    fuzz::Input *input;
    int failingCall; // 0: none
    int calls;
};

bool GiveBytes(void *context, unsigned char *bytes, size_t count) {
    auto &source = *static_cast<Source *>(context);
    if (++source.calls == source.failingCall || source.input->Empty()) return false;
    for (size_t i = 0; i < count; ++i) bytes[i] = source.input->Byte();
    return true;
}

// What the nonce must be: each source byte below 248 in turn picks alphabet[byte % 62], in batches of 32
// bytes for at most 16 batches, until 17 are picked; false when a call fails or too few bytes pass.
void CheckNonce(fuzz::Input &input) {
    static fuzz::GuardedBuffer<char16_t, 64> out;
    const int failingCall = input.Byte() % 20;
    // A copy of the input's reader replays the bytes the source will give.
    fuzz::Input replay = input;
    char16_t expected[kNonceLength] = {};
    size_t picked = 0;
    bool fails = false;
    for (int call = 1; call <= 16 && picked < kNonceLength; ++call) {
        if (call == failingCall || replay.Empty()) {
            fails = true;
            break;
        }
        for (int i = 0; i < 32; ++i) {
            const uint8_t byte = replay.Byte();
            if (byte < 248 && picked < kNonceLength) expected[picked++] = kNonceAlphabet[byte % 62];
        }
    }
    Source source{&input, failingCall, 0};
    char16_t *buffer = out.Give(kNonceLength + 1);
    auto &nonce = *reinterpret_cast<char16_t(*)[kNonceLength + 1]>(buffer);
    const bool made = MakeNonceText(GiveBytes, &source, nonce);
    FUZZ_REQUIRE(made == (!fails && picked == kNonceLength));
    FUZZ_REQUIRE(!MakeNonceText(nullptr, nullptr, nonce));
    if (!made) return;
    FUZZ_REQUIRE(Holds(buffer, std::u16string_view(expected, kNonceLength)) && buffer[kNonceLength] == u'\0');
}

void CheckTimestamp(fuzz::Input &input) {
    static fuzz::GuardedBuffer<char16_t, kTimestampCapacity + 8> out;
    uint64_t seconds = input.Bits(8);
    const uint8_t choice = input.Byte();
    if ((choice & 0x80) != 0) seconds >>= (choice & 0x3F); // shorter numbers, down to 0
    char16_t expected[kTimestampCapacity] = {};
    size_t digits = 0;
    char16_t reversed[kTimestampCapacity] = {};
    for (uint64_t rest = seconds;; rest /= 10) {
        reversed[digits++] = static_cast<char16_t>(u'0' + rest % 10);
        if (rest < 10) break;
    }
    for (size_t i = 0; i < digits; ++i) expected[i] = reversed[digits - 1 - i];
    const size_t capacity = Capacity(choice, digits + 1);
    char16_t *buffer = out.Give(capacity);
    FUZZ_REQUIRE(buffer != nullptr);
    const bool made = MakeTimestampText(seconds, buffer, capacity);
    FUZZ_REQUIRE(made == (capacity >= digits + 1));
    FUZZ_REQUIRE(MakeTimestampText(seconds, out.Give(kTimestampCapacity), kTimestampCapacity));
    FUZZ_REQUIRE(!MakeTimestampText(seconds, nullptr, kTimestampCapacity));
    const char16_t *whole = out.Data();
    FUZZ_REQUIRE(Holds(whole, std::u16string_view(expected, digits)) && whole[digits] == u'\0');
}

void CheckSignature(fuzz::Input &input) {
    static fuzz::GuardedBuffer<char16_t, 512> out;
    static char16_t consumerUnits[128];
    static char16_t tokenUnits[128];
    const std::u16string_view consumer = Units(input, consumerUnits);
    const std::u16string_view token = Units(input, tokenUnits);
    const size_t length = SignatureLength(consumer, token);
    FUZZ_REQUIRE(length == consumer.size() + 3 + token.size());
    const size_t capacity = Capacity(input.Byte(), length + 1);
    char16_t *buffer = out.Give(capacity);
    FUZZ_REQUIRE(buffer != nullptr);
    const bool made = MakeSignatureText(consumer, token, buffer, capacity);
    FUZZ_REQUIRE(made == (capacity >= length + 1));
    FUZZ_REQUIRE(!MakeSignatureText(consumer, token, nullptr, length + 1));
    if (!made) {
        FUZZ_REQUIRE(out.Untouched());
        return;
    }
    FUZZ_REQUIRE(Holds(buffer, consumer) && Holds(buffer + consumer.size(), u"%26") &&
                 Holds(buffer + consumer.size() + 3, token) && buffer[length] == u'\0');
}

void CheckSignedQuery(fuzz::Input &input) {
    static fuzz::GuardedBuffer<char16_t, 2048> out;
    static char16_t storage[5][128];
    SignedQueryValues values{};
    values.consumerKey = Units(input, storage[0]);
    values.hasToken = (input.Byte() & 1) != 0;
    values.token = Units(input, storage[1]);
    values.nonce = Units(input, storage[2]);
    values.timestamp = Units(input, storage[3]);
    values.signature = Units(input, storage[4]);

    // The query as its contract spells it, built here part by part.
    static char16_t expected[2048];
    size_t used = 0;
    const auto put = [&](std::u16string_view text) {
        for (char16_t unit : text) expected[used++] = unit;
    };
    put(u"oauth_consumer_key=");
    put(values.consumerKey);
    if (values.hasToken) {
        put(u"&oauth_token=");
        put(values.token);
    }
    put(u"&oauth_nonce=");
    put(values.nonce);
    put(u"&oauth_timestamp=");
    put(values.timestamp);
    put(u"&oauth_signature_method=PLAINTEXT&oauth_signature=");
    put(values.signature);
    put(u"&oauth_version=1.0");

    const size_t length = SignedQueryLength(values);
    FUZZ_REQUIRE(length == used);
    const size_t capacity = Capacity(input.Byte(), length + 1);
    char16_t *buffer = out.Give(capacity);
    FUZZ_REQUIRE(buffer != nullptr);
    const bool made = MakeSignedQueryText(values, buffer, capacity);
    FUZZ_REQUIRE(made == (capacity >= length + 1));
    FUZZ_REQUIRE(!MakeSignedQueryText(values, nullptr, length + 1));
    if (!made) {
        FUZZ_REQUIRE(out.Untouched());
        return;
    }
    FUZZ_REQUIRE(Holds(buffer, std::u16string_view(expected, used)) && buffer[length] == u'\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    switch (input.Byte() % 4) {
    case 0:
        CheckNonce(input);
        break;
    case 1:
        CheckTimestamp(input);
        break;
    case 2:
        CheckSignature(input);
        break;
    default:
        CheckSignedQuery(input);
        break;
    }
    return 0;
}
