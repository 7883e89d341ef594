// Nonce, timestamp, signature, token reply and signed query texts of request/oauth.
#include "request/oauth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Names each parameterised case after its row.
struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row> &row) const { return row.param.name; }
};

// Serves the scripted bytes in order, then 0xFF (a rejected byte) for ever.
struct ScriptedBytes {
    std::vector<unsigned char> bytes;
    size_t at = 0;
};

bool ServeScript(void *context, unsigned char *bytes, size_t count) {
    auto *script = static_cast<ScriptedBytes *>(context);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = script->at < script->bytes.size() ? script->bytes[script->at++] : 0xFF;
    return true;
}

bool FailingSource(void *, unsigned char *, size_t) { return false; }

std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
    std::vector<unsigned char> bytes;
    for (int v : values) bytes.push_back(static_cast<unsigned char>(v));
    return bytes;
}

struct NonceRow {
    const char *name;
    std::vector<unsigned char> bytes;
    bool ok;
    std::u16string expected;
};

void PrintTo(const NonceRow &row, std::ostream *os) { *os << row.name; }

class NonceTest : public testing::TestWithParam<NonceRow> {};

TEST_P(NonceTest, MapsAcceptedBytesOntoTheAlphabet) {
    const NonceRow &row = GetParam();
    ScriptedBytes script{row.bytes};
    char16_t out[kNonceLength + 1] = {};
    EXPECT_EQ(MakeNonceText(ServeScript, &script, out), row.ok);
    if (row.ok) {
        EXPECT_EQ(std::u16string(out), row.expected);
    }
}

std::vector<unsigned char> Repeated(unsigned char value, size_t count, std::vector<unsigned char> tail) {
    std::vector<unsigned char> bytes(count, value);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NonceTest,
    testing::Values(
        NonceRow{"FirstSeventeen", Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), true,
                 u"abcdefghijklmnopq"},
        NonceRow{"WrapsAtSixtyTwo", Bytes({25, 26, 51, 52, 61, 62, 123, 124, 185, 186, 247, 0, 0, 0, 0, 0, 0}), true,
                 u"zAZ09a9a9a9aaaaaa"},
        NonceRow{"RejectedBytesSkipped",
                 Bytes({248, 0, 255, 1, 250, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 249, 16}), true,
                 u"abcdefghijklmnopq"},
        NonceRow{"RejectionsAcrossBatches",
                 Repeated(0xFE, 40, Bytes({61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61, 61})), true,
                 u"99999999999999999"},
        NonceRow{"OnlyRejectedBytesFails", {}, false, u""},
        NonceRow{"SixteenAcceptedFails", Bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}), false, u""}),
    RowName());

TEST(Nonce, EveryByteValueGivesEachCharacterExactlyFourTimes) {
    // Each byte value leads a script whose other sixteen bytes are accepted, so
    // the nonce succeeds exactly when the leading byte is accepted. Without bias
    // the 248 accepted values give each of the 62 characters 4 times.
    std::array<int, 62> counts = {};
    int failures = 0;
    for (int v = 0; v < 256; ++v) {
        ScriptedBytes script{Repeated(static_cast<unsigned char>(v), 1, std::vector<unsigned char>(16, 61))};
        char16_t out[kNonceLength + 1] = {};
        if (!MakeNonceText(ServeScript, &script, out)) {
            ++failures;
            EXPECT_GE(v, 248) << "byte " << v;
            continue;
        }
        const size_t index = kNonceAlphabet.find(out[0]);
        ASSERT_NE(index, std::u16string_view::npos);
        EXPECT_EQ(index, static_cast<size_t>(v % 62)) << "byte " << v;
        ++counts[index];
    }
    EXPECT_EQ(failures, 8);
    for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], 4) << "character " << i;
}

TEST(Nonce, FailingSourceFails) {
    char16_t out[kNonceLength + 1] = {};
    EXPECT_FALSE(MakeNonceText(FailingSource, nullptr, out));
    EXPECT_FALSE(MakeNonceText(nullptr, nullptr, out));
}

struct TimestampRow {
    const char *name;
    uint64_t seconds;
    std::u16string expected;
};

void PrintTo(const TimestampRow &row, std::ostream *os) { *os << row.name; }

class TimestampTest : public testing::TestWithParam<TimestampRow> {};

TEST_P(TimestampTest, WritesPlainDecimal) {
    const TimestampRow &row = GetParam();
    char16_t out[kTimestampCapacity];
    std::fill(std::begin(out), std::end(out), u'?');
    ASSERT_TRUE(MakeTimestampText(row.seconds, out, kTimestampCapacity));
    EXPECT_EQ(std::u16string(out), row.expected);
    EXPECT_FALSE(MakeTimestampText(row.seconds, out, row.expected.size())) << "no room for the terminator";
}

INSTANTIATE_TEST_SUITE_P(Rows, TimestampTest,
                         testing::Values(TimestampRow{"Zero", 0, u"0"},
                                         TimestampRow{"OneBillion", 1000000000, u"1000000000"},
                                         TimestampRow{"Worked2014", 1414611019, u"1414611019"},
                                         TimestampRow{"Largest", UINT64_MAX, u"18446744073709551615"}),
                         RowName());

struct SignatureRow {
    const char *name;
    std::u16string consumer;
    std::u16string token;
    std::u16string expected;
};

void PrintTo(const SignatureRow &row, std::ostream *os) { *os << row.name; }

class SignatureTest : public testing::TestWithParam<SignatureRow> {};

TEST_P(SignatureTest, JoinsSecretsWithEscapedAmpersand) {
    const SignatureRow &row = GetParam();
    EXPECT_EQ(SignatureLength(row.consumer, row.token), row.expected.size());
    std::u16string out(row.expected.size() + 1, u'?');
    ASSERT_TRUE(MakeSignatureText(row.consumer, row.token, out.data(), out.size()));
    EXPECT_EQ(out.substr(0, out.find(u'\0')), row.expected); // the text up to its terminator
    EXPECT_FALSE(MakeSignatureText(row.consumer, row.token, out.data(), out.size() - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SignatureTest,
    testing::Values(SignatureRow{"EmptyTokenSecretEndsWithEscape", u"s5n8d2f6h1j9l4p", u"", u"s5n8d2f6h1j9l4p%26"},
                    SignatureRow{"BothSecrets", u"s5n8d2f6h1j9l4p", u"tok3n", u"s5n8d2f6h1j9l4p%26tok3n"}),
    RowName());

struct TokenRow {
    const char *name;
    std::string body;
    std::string key;
    bool found;
    std::string value;
};

void PrintTo(const TokenRow &row, std::ostream *os) { *os << row.name; }

class TokenValueTest : public testing::TestWithParam<TokenRow> {};

TEST_P(TokenValueTest, FindsWholeKeyOnly) {
    const TokenRow &row = GetParam();
    std::string_view value = "stale";
    EXPECT_EQ(FindTokenValue(row.body, row.key, &value), row.found);
    EXPECT_EQ(std::string(value), row.value);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TokenValueTest,
    testing::Values(TokenRow{"TokenAfterSecret", "oauth_token_secret=s1&oauth_token=t1", "oauth_token", true, "t1"},
                    TokenRow{"SecretFirst", "oauth_token_secret=s1&oauth_token=t1", "oauth_token_secret", true, "s1"},
                    TokenRow{"TokenFirst", "oauth_token=t1&oauth_token_secret=s1", "oauth_token", true, "t1"},
                    TokenRow{"SecretLast", "oauth_token=t1&oauth_token_secret=s1", "oauth_token_secret", true, "s1"},
                    TokenRow{"MissingKey", "oauth_token_secret=s1&oauth_token=t1", "uid", false, ""},
                    TokenRow{"TokenNotInsideSecret", "oauth_token_secret=s1", "oauth_token", false, ""},
                    TokenRow{"KeyNotInsideLongerKey", "xoauth_token=x&uid=7", "oauth_token", false, ""},
                    TokenRow{"KeyNotInsideValue", "a=oauth_token=v&uid=7", "oauth_token", false, ""},
                    TokenRow{"ValueAtEnd", "oauth_token=t1&uid=12345", "uid", true, "12345"},
                    TokenRow{"EmptyValue", "oauth_token=&uid=1", "oauth_token", true, ""},
                    TokenRow{"KeyWithoutEquals", "oauth_token&uid=1", "oauth_token", false, ""},
                    TokenRow{"EmptyKey", "=v", "", false, ""}, TokenRow{"EmptyBody", "", "uid", false, ""}),
    RowName());

struct QueryRow {
    const char *name;
    SignedQueryValues values;
    std::u16string expected;
};

void PrintTo(const QueryRow &row, std::ostream *os) { *os << row.name; }

class SignedQueryTest : public testing::TestWithParam<QueryRow> {};

TEST_P(SignedQueryTest, ParametersInFixedOrder) {
    const QueryRow &row = GetParam();
    EXPECT_EQ(SignedQueryLength(row.values), row.expected.size());
    std::u16string out(row.expected.size() + 1, u'?');
    ASSERT_TRUE(MakeSignedQueryText(row.values, out.data(), out.size()));
    EXPECT_EQ(out.substr(0, out.find(u'\0')), row.expected); // the text up to its terminator
    EXPECT_FALSE(MakeSignedQueryText(row.values, out.data(), out.size() - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SignedQueryTest,
    testing::Values(
        QueryRow{"RequestTokenStepHasNoToken",
                 {u"k7w2q9x4m1v8r3t", false, u"ignored", u"abcdefghijklmnopq", u"1000000000", u"sec%26"},
                 u"oauth_consumer_key=k7w2q9x4m1v8r3t&oauth_nonce=abcdefghijklmnopq&oauth_timestamp=1000000000"
                 u"&oauth_signature_method=PLAINTEXT&oauth_signature=sec%26&oauth_version=1.0"},
        QueryRow{"TokenSecondValuesAsGiven",
                 {u"k7w2q9x4m1v8r3t", true, u"t/1", u"N", u"7", u"sec%26tok"},
                 u"oauth_consumer_key=k7w2q9x4m1v8r3t&oauth_token=t/1&oauth_nonce=N&oauth_timestamp=7"
                 u"&oauth_signature_method=PLAINTEXT&oauth_signature=sec%26tok&oauth_version=1.0"}),
    RowName());

} // namespace
