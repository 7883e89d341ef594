// Error markers, header values, quoted values, file sizes and upload offsets of transport/reply_scan.
#include "transport/reply_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

// Names each parameterised case after its row.
struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row> &row) const { return row.param.name; }
};

constexpr std::string_view kStale = "stale";

// The views a scanner returns point into the scanned text.
bool Inside(std::string_view piece, std::string_view whole) {
    return piece.data() >= whole.data() && piece.data() + piece.size() <= whole.data() + whole.size();
}

struct ErrorRow {
    const char *name;
    std::string data;
    bool beginsWithObject;
    bool containsMarker;
};

void PrintTo(const ErrorRow &row, std::ostream *os) { *os << row.name; }

class ErrorMarkerTest : public testing::TestWithParam<ErrorRow> {};

TEST_P(ErrorMarkerTest, Detects) {
    const ErrorRow &row = GetParam();
    EXPECT_EQ(BeginsWithErrorObject(row.data), row.beginsWithObject);
    EXPECT_EQ(ContainsErrorMarker(row.data), row.containsMarker);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ErrorMarkerTest,
    testing::Values(ErrorRow{"ErrorObject", "{\"error\": \"Path '/x' not found\"}", true, true},
                    ErrorRow{"LeadingJsonWhiteSpace", " \r\n\t {\"error\": \"x\"}", true, true},
                    ErrorRow{"OtherLeadingSpaceIsFileText", "\v{\"error\": \"x\"}", false, true},
                    ErrorRow{"ErrorsKeyIsNotTheObject", "{\"errors\": []}", false, true},
                    ErrorRow{"SpaceInsideBraceIsNotTheObject", "{ \"error\": \"x\"}", false, false},
                    ErrorRow{"MarkerLaterInFileBody", "my notes: {\"error\": \"x\"}", false, true},
                    ErrorRow{"MarkerAtEndOfAnswer", "{\"ok\": 1, \"e\": {\"error", false, true},
                    ErrorRow{"ObjectCutShort", "{\"error", false, true},
                    ErrorRow{"OtherObject", "{\"rev\": \"1a\"}", false, false},
                    ErrorRow{"CapitalisedKey", "{\"Error\": \"x\"}", false, false},
                    ErrorRow{"PlainText", "error", false, false}, ErrorRow{"Empty", "", false, false}),
    RowName());

struct HeaderRow {
    const char *name;
    std::string headers;
    std::string header;
    bool found;
    std::string value;
};

void PrintTo(const HeaderRow &row, std::ostream *os) { *os << row.name; }

class HeaderValueTest : public testing::TestWithParam<HeaderRow> {};

TEST_P(HeaderValueTest, FindsWholeNamesAfterTheStatusLine) {
    const HeaderRow &row = GetParam();
    std::string_view value = kStale;
    EXPECT_EQ(FindHeaderValue(row.headers, row.header, &value), row.found);
    EXPECT_EQ(value, row.found ? std::string_view(row.value) : kStale);
    if (row.found) {
        EXPECT_TRUE(Inside(value, row.headers));
    }
}

const std::string kHeaders = "HTTP/1.1 200 OK\r\nDate: Wed, 29 Oct 2014 19:30:19 GMT\r\nContent-Type: text/plain\r\n"
                             "Content-Length: 14\r\nx-file-metadata: {\"rev\": \"7a1c0de2\", \"client_mtime\": "
                             "\"Wed, 29 Oct 2014 19:30:19 +0000\"}\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, HeaderValueTest,
    testing::Values(
        HeaderRow{"Length", kHeaders, "Content-Length", true, "14"},
        HeaderRow{"NameIgnoresCase", kHeaders, "X-FILE-METADATA", true,
                  "{\"rev\": \"7a1c0de2\", \"client_mtime\": \"Wed, 29 Oct 2014 19:30:19 +0000\"}"},
        HeaderRow{"ValueKeepsColons", kHeaders, "date", true, "Wed, 29 Oct 2014 19:30:19 GMT"},
        HeaderRow{"NotInsideAnotherValue", "HTTP/1.1 200 OK\r\nX-Note: Content-Length: 99\r\nContent-Length: 14\r\n",
                  "Content-Length", true, "14"},
        HeaderRow{"OnlyInsideAnotherValue", "HTTP/1.1 200 OK\r\nX-Note: Content-Length: 99\r\n\r\n", "Content-Length",
                  false, ""},
        HeaderRow{"NotAPrefixOfALongerName", "HTTP/1.1 200 OK\r\nContent-Length-Extra: 9\r\n", "Content-Length", false,
                  ""},
        HeaderRow{"NotASuffixOfALongerName", "HTTP/1.1 200 OK\r\nX-Content-Length: 9\r\n", "Content-Length", false, ""},
        HeaderRow{"StatusLineNeverAHeader", "Content-Length: 9\r\nDate: x\r\n\r\n", "Content-Length", false, ""},
        HeaderRow{"NoLineAfterStatusLine", "HTTP/1.1 200 OK", "HTTP/1.1 200 OK", false, ""},
        HeaderRow{"LastLineWithoutCrLf", "HTTP/1.1 200 OK\r\nDate: x\r\nContent-Length: 14", "content-length", true,
                  "14"},
        HeaderRow{"LineFeedOnlyLines", "HTTP/1.1 200 OK\nA: 1\nB: 2\n", "b", true, "2"},
        HeaderRow{"TabsAndSpacesSkipped", "HTTP/1.1 200 OK\r\nA:\t  v w \r\n", "A", true, "v w "},
        HeaderRow{"NoSpaceAfterColon", "HTTP/1.1 200 OK\r\nA:v\r\n", "A", true, "v"},
        HeaderRow{"EmptyValue", "HTTP/1.1 200 OK\r\nA:\r\nB: 2\r\n", "A", true, ""},
        HeaderRow{"FirstOfRepeatedHeaders", "HTTP/1.1 200 OK\r\nA: 1\r\nA: 2\r\n", "A", true, "1"},
        HeaderRow{"SpaceBeforeColonIsAnotherName", "HTTP/1.1 200 OK\r\nA : 1\r\n", "A", false, ""},
        HeaderRow{"NameWithColonNeverMatches", "HTTP/1.1 200 OK\r\nA:B: 1\r\n", "A:B", false, ""},
        HeaderRow{"EmptyNameNeverMatches", "HTTP/1.1 200 OK\r\n: 1\r\n", "", false, ""},
        HeaderRow{"Empty", "", "Date", false, ""}),
    RowName());

struct QuotedRow {
    const char *name;
    std::string text;
    std::string key;
    bool found;
    std::string value;
};

void PrintTo(const QuotedRow &row, std::ostream *os) { *os << row.name; }

class QuotedValueTest : public testing::TestWithParam<QuotedRow> {};

TEST_P(QuotedValueTest, FindsTextBetweenQuotes) {
    const QuotedRow &row = GetParam();
    std::string_view value = kStale;
    EXPECT_EQ(FindQuotedValue(row.text, row.key, &value), row.found);
    EXPECT_EQ(value, row.found ? std::string_view(row.value) : kStale);
    if (row.found) {
        EXPECT_TRUE(Inside(value, row.text));
    }
}

const std::string kMetadata = "{\"revision\": 7, \"rev\": \"7a1c0de2\", \"thumb_exists\": false, \"bytes\": 14, "
                              "\"modified\": \"Wed, 29 Oct 2014 19:30:19 +0000\", \"client_mtime\": \"Thu, 30 Oct "
                              "2014 08:00:01 +0000\", \"path\": \"/User Notes/notes.txt\", \"is_dir\": false}";
const std::string kChunkAnswer =
    "{\"expires\": \"Thu, 30 Oct 2014 19:30:19 +0000\", \"upload_id\": \"u8Hq2LkP0aZ-3w\", \"offset\": 262144}";

INSTANTIATE_TEST_SUITE_P(
    Rows, QuotedValueTest,
    testing::Values(QuotedRow{"RevisionNotRevisionNumber", kMetadata, "rev", true, "7a1c0de2"},
                    QuotedRow{"ClientMtimeNotModified", kMetadata, "client_mtime", true,
                              "Thu, 30 Oct 2014 08:00:01 +0000"},
                    QuotedRow{"UploadId", kChunkAnswer, "upload_id", true, "u8Hq2LkP0aZ-3w"},
                    QuotedRow{"KeyInsideLongerKeyIgnored", "{\"prev\": \"a\", \"rev\": \"b\"}", "rev", true, "b"},
                    QuotedRow{"EscapedKeyInsideValueIgnored",
                              "{\"path\": \"/a\\\"rev\\\": \\\"fake\", \"rev\": \"real\"}", "rev", true, "real"},
                    QuotedRow{"FirstOfRepeatedKeys", "{\"rev\": \"1\", \"rev\": \"2\"}", "rev", true, "1"},
                    QuotedRow{"EmptyValue", "{\"rev\": \"\"}", "rev", true, ""},
                    QuotedRow{"ValueAtEndOfText", "\"rev\": \"1a\"", "rev", true, "1a"},
                    QuotedRow{"ValueStopsAtEscapedQuote", "{\"rev\": \"a\\\"b\"}", "rev", true, "a\\"},
                    QuotedRow{"NumberValueIsNotQuoted", "{\"rev\": 7}", "rev", false, ""},
                    QuotedRow{"NoSpaceAfterColon", "{\"rev\":\"1a\"}", "rev", false, ""},
                    QuotedRow{"TwoSpacesAfterColon", "{\"rev\":  \"1a\"}", "rev", false, ""},
                    QuotedRow{"NoClosingQuote", "{\"rev\": \"1a", "rev", false, ""},
                    QuotedRow{"MissingKey", kChunkAnswer, "rev", false, ""},
                    QuotedRow{"KeyAtStartWithoutQuote", "rev\": \"1\"", "rev", false, ""},
                    QuotedRow{"Empty", "", "rev", false, ""}),
    RowName());

TEST(QuotedValueShorthands, EachReadsItsOwnKey) {
    std::string_view value = kStale;
    ASSERT_TRUE(FindClientMtime(kMetadata, &value));
    EXPECT_EQ(value, "Thu, 30 Oct 2014 08:00:01 +0000");
    ASSERT_TRUE(FindRevision(kMetadata, &value));
    EXPECT_EQ(value, "7a1c0de2");
    ASSERT_TRUE(FindUploadId(kChunkAnswer, &value));
    EXPECT_EQ(value, "u8Hq2LkP0aZ-3w");

    value = kStale;
    EXPECT_FALSE(FindUploadId(kMetadata, &value));
    EXPECT_FALSE(FindRevision(kChunkAnswer, &value));
    EXPECT_FALSE(FindClientMtime(kChunkAnswer, &value));
    EXPECT_EQ(value, kStale);
}

constexpr uint64_t kSizeUnset = 4242;

struct FileSizeRow {
    const char *name;
    std::string metadata;
    bool found;
    uint64_t size;
};

void PrintTo(const FileSizeRow &row, std::ostream *os) { *os << row.name; }

class FileSizeTest : public testing::TestWithParam<FileSizeRow> {};

TEST_P(FileSizeTest, ReadsUnsigned64BitDecimal) {
    const FileSizeRow &row = GetParam();
    uint64_t size = kSizeUnset;
    EXPECT_EQ(FindFileSize(row.metadata, &size), row.found);
    EXPECT_EQ(size, row.found ? row.size : kSizeUnset);
}

// Metadata whose bytes member is written as text, followed by more members.
std::string WithBytes(const std::string &text) {
    return "{\"revision\": 7, \"rev\": \"7a1c0de2\", \"thumb_exists\": false, \"bytes\": " + text +
           ", \"path\": \"/User Notes/notes.txt\", \"is_dir\": false}";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FileSizeTest,
    testing::Values(FileSizeRow{"ServiceMetadata", kMetadata, true, 14}, FileSizeRow{"Zero", WithBytes("0"), true, 0},
                    FileSizeRow{"Past32Bits", WithBytes("4294967296"), true, 4294967296ULL},
                    FileSizeRow{"Uint64Max", WithBytes("18446744073709551615"), true, UINT64_MAX},
                    FileSizeRow{"PastUint64MaxFails", WithBytes("18446744073709551616"), false, 0},
                    FileSizeRow{"LastMember", "{\"path\": \"/a\", \"bytes\": 5}", true, 5},
                    FileSizeRow{"EndOfText", "{\"bytes\": 5", true, 5},
                    FileSizeRow{"WhiteSpaceAfter", "{\"bytes\": 5 }", true, 5},
                    FileSizeRow{"LeadingZeros", WithBytes("0005"), true, 5},
                    FileSizeRow{"FirstKeyWins", "{\"bytes\": 1, \"bytes\": 2}", true, 1},
                    FileSizeRow{"NegativeFails", WithBytes("-5"), false, 0},
                    FileSizeRow{"PlusSignFails", WithBytes("+5"), false, 0},
                    FileSizeRow{"FractionFails", WithBytes("5.0"), false, 0},
                    FileSizeRow{"ExponentFails", WithBytes("5e3"), false, 0},
                    FileSizeRow{"QuotedValueFails", WithBytes("\"5\""), false, 0},
                    FileSizeRow{"TextAfterDigitsFails", WithBytes("12abc"), false, 0},
                    FileSizeRow{"NoSpaceAfterColonFails", "{\"bytes\":5}", false, 0},
                    FileSizeRow{"KeyInsideLongerKeyFails", "{\"xbytes\": 5}", false, 0},
                    FileSizeRow{"KeyAsTextInsideValueFails", "{\"path\": \"/\\\"bytes\\\": 9\"}", false, 0},
                    FileSizeRow{"NoDigitsFails", WithBytes(""), false, 0},
                    FileSizeRow{"MissingKeyFails", kChunkAnswer, false, 0}, FileSizeRow{"EmptyFails", "", false, 0}),
    RowName());

constexpr int64_t kUnset = 4242;

struct OffsetRow {
    const char *name;
    std::string answer;
    bool found;
    int64_t offset;
};

void PrintTo(const OffsetRow &row, std::ostream *os) { *os << row.name; }

class OffsetTest : public testing::TestWithParam<OffsetRow> {};

TEST_P(OffsetTest, ReadsSigned64BitDecimal) {
    const OffsetRow &row = GetParam();
    int64_t offset = kUnset;
    EXPECT_EQ(FindOffset(row.answer, &offset), row.found);
    EXPECT_EQ(offset, row.found ? row.offset : kUnset);
}

// A chunk answer whose offset member is written as text.
std::string Answer(const std::string &text) {
    return "{\"expires\": \"Thu, 30 Oct 2014 19:30:19 +0000\", \"upload_id\": \"u8Hq2LkP0aZ-3w\", \"offset\": " + text +
           "}";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OffsetTest,
    testing::Values(OffsetRow{"Zero", Answer("0"), true, 0}, OffsetRow{"OneChunk", kChunkAnswer, true, 262144},
                    OffsetRow{"Past32Bits", Answer("2147483648"), true, 2147483648LL},
                    OffsetRow{"Int64Max", Answer("9223372036854775807"), true, INT64_MAX},
                    OffsetRow{"PastInt64MaxFails", Answer("9223372036854775808"), false, 0},
                    OffsetRow{"TwentyDigitsFails", Answer("18446744073709551616"), false, 0},
                    OffsetRow{"NegativeReadAsWritten", Answer("-5"), true, -5},
                    OffsetRow{"MostNegativeMagnitude", Answer("-9223372036854775807"), true, -INT64_MAX},
                    OffsetRow{"PlusSign", Answer("+7"), true, 7},
                    OffsetRow{"LeadingZeros", Answer("000000000000000000000042"), true, 42},
                    OffsetRow{"LeadingWhiteSpace", Answer(" \t\r\n8"), true, 8},
                    OffsetRow{"TextAfterNumber", Answer("12abc"), true, 12},
                    OffsetRow{"FractionStopsAtDot", Answer("3.9"), true, 3},
                    OffsetRow{"OtherMembersFollow", "{\"offset\": 65536, \"upload_id\": \"u\"}", true, 65536},
                    OffsetRow{"MissingBraceFails", "{\"offset\": 262144", false, 0},
                    OffsetRow{"MissingKeyFails", "{\"upload_id\": \"u\"}", false, 0},
                    OffsetRow{"KeyInsideLongerKeyFails", "{\"xoffset\": 5}", false, 0},
                    OffsetRow{"NoSpaceAfterColonFails", "{\"offset\":5}", false, 0},
                    OffsetRow{"NoDigitsFails", Answer("\"262144\""), false, 0},
                    OffsetRow{"SignOnlyFails", Answer("-"), false, 0},
                    OffsetRow{"TwoSignsFail", Answer("--5"), false, 0}, OffsetRow{"EmptyFails", "", false, 0}),
    RowName());

} // namespace
