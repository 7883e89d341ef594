// OAuth 1.0 PLAINTEXT request parameters: nonce, timestamp, signature, token replies, signed query.
#include "request/oauth.h"

namespace {

// Bytes drawn per request to the source; a nonce usually needs 17 of them.
constexpr size_t kRandomBatch = 32;
// Batches tried before giving up: a working source rejects 1 byte in 32, so
// only a broken one (say, all 0xFF) gets this far, and then it must not hang us.
constexpr int kRandomBatchLimit = 16;
// Largest multiple of the alphabet size that fits a byte: bytes below it map
// evenly onto the alphabet.
constexpr unsigned kAcceptedBytes = 256 - 256 % kNonceAlphabet.size();

// Appends texts to a 16-bit buffer; with a null buffer it only counts.
struct UnitWriter {
    char16_t *out;
    size_t used;

    void Put(std::u16string_view text) {
        if (out != nullptr)
            for (char16_t unit : text) out[used++] = unit;
        else
            used += text.size();
    }
};

// Writes the query parts through writer (see MakeSignedQueryText).
void WriteSignedQuery(const SignedQueryValues &values, UnitWriter &writer) {
    writer.Put(u"oauth_consumer_key=");
    writer.Put(values.consumerKey);
    if (values.hasToken) {
        writer.Put(u"&oauth_token=");
        writer.Put(values.token);
    }
    writer.Put(u"&oauth_nonce=");
    writer.Put(values.nonce);
    writer.Put(u"&oauth_timestamp=");
    writer.Put(values.timestamp);
    writer.Put(u"&oauth_signature_method=PLAINTEXT&oauth_signature=");
    writer.Put(values.signature);
    writer.Put(u"&oauth_version=1.0");
}

} // namespace

bool MakeNonceText(RandomBytesSource source, void *context, char16_t (&out)[kNonceLength + 1]) {
    static_assert(kAcceptedBytes == 248);
    size_t filled = 0;
    for (int batch = 0; batch < kRandomBatchLimit && filled < kNonceLength; ++batch) {
        unsigned char bytes[kRandomBatch] = {};
        if (source == nullptr || !source(context, bytes, kRandomBatch)) return false;
        for (size_t i = 0; i < kRandomBatch && filled < kNonceLength; ++i) {
            if (bytes[i] >= kAcceptedBytes) continue;
            out[filled++] = kNonceAlphabet[bytes[i] % kNonceAlphabet.size()];
        }
    }
    out[filled] = u'\0';
    return filled == kNonceLength;
}

bool MakeTimestampText(uint64_t seconds, char16_t *out, size_t capacity) {
    char16_t digits[kTimestampCapacity] = {};
    size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + seconds % 10);
        seconds /= 10;
    } while (seconds != 0);
    if (out == nullptr || capacity < count + 1) return false;
    for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    out[count] = u'\0';
    return true;
}

size_t SignatureLength(std::u16string_view consumerSecret, std::u16string_view tokenSecret) {
    return consumerSecret.size() + 3 + tokenSecret.size();
}

bool MakeSignatureText(std::u16string_view consumerSecret, std::u16string_view tokenSecret, char16_t *out,
                       size_t capacity) {
    if (out == nullptr || capacity < SignatureLength(consumerSecret, tokenSecret) + 1) return false;
    UnitWriter writer{out, 0};
    writer.Put(consumerSecret);
    writer.Put(u"%26");
    writer.Put(tokenSecret);
    out[writer.used] = u'\0';
    return true;
}

bool FindTokenValue(std::string_view body, std::string_view key, std::string_view *value) {
    *value = {};
    if (key.empty()) return false;
    size_t start = 0;
    while (start < body.size()) {
        const size_t end = body.find('&', start);
        const std::string_view pair = body.substr(start, end == std::string_view::npos ? body.npos : end - start);
        if (pair.size() > key.size() && pair.substr(0, key.size()) == key && pair[key.size()] == '=') {
            *value = pair.substr(key.size() + 1);
            return true;
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return false;
}

size_t SignedQueryLength(const SignedQueryValues &values) {
    UnitWriter counter{nullptr, 0};
    WriteSignedQuery(values, counter);
    return counter.used;
}

bool MakeSignedQueryText(const SignedQueryValues &values, char16_t *out, size_t capacity) {
    if (out == nullptr || capacity < SignedQueryLength(values) + 1) return false;
    UnitWriter writer{out, 0};
    WriteSignedQuery(values, writer);
    out[writer.used] = u'\0';
    return true;
}
