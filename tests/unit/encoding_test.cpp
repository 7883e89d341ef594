// Percent-encoding, UTF-16 to UTF-8 and byte widening of request/encoding.
#include "request/encoding.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

// Names each parameterised case after its row.
struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row> &row) const { return row.param.name; }
};

struct PercentRow {
    const char *name;
    std::string input;
    std::string expected;
};

void PrintTo(const PercentRow &row, std::ostream *os) { *os << row.name; }

class PercentEncodeTest : public testing::TestWithParam<PercentRow> {};

TEST_P(PercentEncodeTest, WritesEscapedTextAndLength) {
    const PercentRow &row = GetParam();
    EXPECT_EQ(PercentEncodedLength(row.input), row.expected.size());
    std::string out(row.expected.size() + 1, '?');
    ASSERT_TRUE(PercentEncodeInto(row.input, out.data(), out.size()));
    EXPECT_EQ(out.substr(0, out.find('\0')), row.expected); // the text up to its terminator
    EXPECT_EQ(out.back(), '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PercentEncodeTest,
    testing::Values(PercentRow{"UnreservedUnchanged", "abcXYZ019", "abcXYZ019"}, PercentRow{"Space", "a b", "a%20b"},
                    PercentRow{"MarksOutsideTheSetEscaped", "a-b_c.d~e", "a%2Db%5Fc%2Ed%7Ee"},
                    PercentRow{"Slash", "a/b", "a%2Fb"}, PercentRow{"Empty", "", ""},
                    PercentRow{"HighBytesUpperCaseHex", "\xC3\xA9\xFF", "%C3%A9%FF"},
                    PercentRow{"AllEscapedThreeTimesLength", "/:?#\x01", "%2F%3A%3F%23%01"},
                    PercentRow{"BoundaryBytesAroundRanges", std::string("/:@[`{\0", 7), "%2F%3A%40%5B%60%7B%00"}),
    RowName());

TEST(PercentEncodeCapacity, RefusesBufferOneShortAndLeavesItUntouched) {
    char out[5] = {'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(PercentEncodeInto("a b", out, sizeof out)); // needs 5 + 1
    EXPECT_EQ(out[0], 'x');
    EXPECT_FALSE(PercentEncodeInto("", nullptr, 1));
}

struct UrlRow {
    const char *name;
    std::u16string input;
    std::u16string expected;
    std::string utf8;
};

void PrintTo(const UrlRow &row, std::ostream *os) { *os << row.name; }

class UrlComponentTest : public testing::TestWithParam<UrlRow> {};

TEST_P(UrlComponentTest, EncodesUtf8BytesAsEscapes) {
    const UrlRow &row = GetParam();
    EXPECT_EQ(UrlComponentLength(row.input), row.expected.size());
    std::u16string out(row.expected.size() + 1, u'?');
    ASSERT_TRUE(UrlComponentInto(row.input, out.data(), out.size()));
    EXPECT_EQ(out.substr(0, out.find(u'\0')), row.expected); // the text up to its terminator

    EXPECT_EQ(Utf8Length(row.input), row.utf8.size());
    std::string bytes(row.utf8.size() + 1, '?');
    ASSERT_TRUE(Utf8EncodeInto(row.input, bytes.data(), bytes.size()));
    EXPECT_EQ(std::string(bytes.c_str(), row.utf8.size()), row.utf8);
    EXPECT_EQ(bytes.back(), '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UrlComponentTest,
    testing::Values(UrlRow{"TwoByteCharacter", u"\u00E9", u"%C3%A9", "\xC3\xA9"},
                    UrlRow{"SlashEscaped", u"a/b", u"a%2Fb", "a/b"},
                    UrlRow{"FolderPath", u"User Notes/a.txt", u"User%20Notes%2Fa%2Etxt", "User Notes/a.txt"},
                    UrlRow{"ThreeByteCharacter", u"\u20AC", u"%E2%82%AC", "\xE2\x82\xAC"},
                    UrlRow{"LastTwoByteCharacter", u"\u07FF", u"%DF%BF", "\xDF\xBF"},
                    UrlRow{"SurrogatePairFourEscapes", u"\U0001F600", u"%F0%9F%98%80", "\xF0\x9F\x98\x80"},
                    UrlRow{"LastCodePoint", u"\U0010FFFF", u"%F4%8F%BF%BF", "\xF4\x8F\xBF\xBF"},
                    UrlRow{"LoneHighSurrogateAtEnd", std::u16string(u"a") + char16_t(0xD800), u"a%EF%BF%BD",
                           "a\xEF\xBF\xBD"},
                    UrlRow{"LoneLowSurrogate", std::u16string(1, char16_t(0xDC00)) + u"b", u"%EF%BF%BDb",
                           "\xEF\xBF\xBD"
                           "b"},
                    UrlRow{"HighSurrogateBeforeLetter", std::u16string(1, char16_t(0xDBFF)) + u"z", u"%EF%BF%BDz",
                           "\xEF\xBF\xBD"
                           "z"},
                    UrlRow{"Empty", u"", u"", ""}),
    RowName());

TEST(UrlComponentCapacity, RefusesBufferOneShort) {
    char16_t out[6] = {};
    EXPECT_FALSE(UrlComponentInto(u"\u00E9", out, sizeof out / sizeof out[0])); // needs 6 + 1
    char bytes[2] = {};
    EXPECT_FALSE(Utf8EncodeInto(u"\u00E9", bytes, sizeof bytes)); // needs 2 + 1
}

TEST(WidenBytes, EachByteBecomesOneUnitOfTheSameValue) {
    const std::string bytes = "\x63\x61\x66\xC3\xA9";
    char16_t out[6] = {u'?', u'?', u'?', u'?', u'?', u'?'};
    ASSERT_TRUE(WidenBytesInto(bytes, out, 6));
    EXPECT_EQ(std::u16string(out, 6), (std::u16string{0x0063, 0x0061, 0x0066, 0x00C3, 0x00A9, 0}));
    EXPECT_FALSE(WidenBytesInto(bytes, out, 5));
}

} // namespace
