// File counts of folder listings of listing/listing_scan.
#include "listing/listing_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

// Names each parameterised case after its row.
struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row> &row) const { return row.param.name; }
};

// One entry as the service writes it; folder entries carry "is_dir": true.
std::string Entry(const std::string &path, bool isDir) {
    return "{\"revision\": 7, \"rev\": \"7a1c0de2\", \"thumb_exists\": false, \"bytes\": " +
           std::string(isDir ? "0" : "14") +
           ", \"modified\": \"Wed, 29 Oct 2014 19:30:19 +0000\", \"client_mtime\": \"Wed, 29 Oct 2014 19:30:19 "
           "+0000\", \"path\": \"" +
           path + "\", \"is_dir\": " + (isDir ? "true" : "false") + ", \"icon\": \"" +
           (isDir ? "folder" : "page_white_text") + "\", \"root\": \"app_folder\", " +
           (isDir ? "" : "\"mime_type\": \"text/plain\", ") + "\"size\": \"14 bytes\"}";
}

// A folder's listing with the given entries (already joined with ", ").
std::string Listing(const std::string &entries) {
    return "{\"hash\": \"5d1f0c2e\", \"revision\": 5, \"rev\": \"5a1c0de2\", \"thumb_exists\": false, \"bytes\": 0, "
           "\"modified\": \"Wed, 29 Oct 2014 19:29:40 +0000\", \"path\": \"/User Notes\", \"is_dir\": true, "
           "\"icon\": \"folder\", \"root\": \"app_folder\", \"contents\": [" +
           entries + "], \"size\": \"0 bytes\"}";
}

const std::string kFile = Entry("/User Notes/notes.txt", false);
const std::string kFolder = Entry("/User Notes/Trip 2014", true);

struct ListingRow {
    const char *name;
    std::string listing;
    uint32_t files;
};

void PrintTo(const ListingRow &row, std::ostream *os) { *os << row.name; }

class CountListedFilesTest : public testing::TestWithParam<ListingRow> {};

TEST_P(CountListedFilesTest, Counts) {
    const ListingRow &row = GetParam();
    EXPECT_EQ(CountListedFiles(row.listing), row.files);
}

INSTANTIATE_TEST_SUITE_P(
    Listings, CountListedFilesTest,
    testing::Values(
        ListingRow{"TwoFilesOneFolder", Listing(kFile + ", " + kFolder + ", " + Entry("/User Notes/b.txt", false)), 2},
        ListingRow{"OnlyFolders", Listing(kFolder + ", " + kFolder), 0}, ListingRow{"EmptyContents", Listing(""), 0},
        ListingRow{"WhiteSpaceAroundEverything", " \r\n\t{ \"contents\" :\t[ {\n\"is_dir\"\r: false } ] }\r\n", 1},
        ListingRow{"NoSpaces", "{\"contents\":[{\"is_dir\":false},{\"is_dir\":false},{\"is_dir\":true}]}", 2},
        ListingRow{"ContentsBeforeOtherMembers", "{\"contents\": [{\"is_dir\": false}], \"is_dir\": true}", 1},
        ListingRow{"NameWithBracket", Listing(Entry("/User Notes/a]b", false) + ", " + kFile), 2},
        ListingRow{"NameWithEscapedQuotes", Listing(Entry("/User Notes/\\\"q\\\"", false) + ", " + kFolder), 1},
        ListingRow{"FolderNamedLikeContentsMarker",
                   Listing(Entry("/x contents\\\": [{\\\"is_dir\\\": false}, {\\\"is_dir\\\": false}", true)), 0},
        ListingRow{"FolderNamedLikeIsDirMarker", Listing(Entry("/x \\\"is_dir\\\": false", true)), 0},
        ListingRow{"ValueSpellingOutTheNames",
                   "{\"contents\": [{\"is_dir\": true, \"a\": \"is_dir\"}], \"b\": "
                   "\"contents\"}",
                   0},
        ListingRow{"AllEscapesInNames",
                   Listing(Entry("/\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\uD83D\\uDE00\\u005D", false)), 1},
        ListingRow{"RawUtf8AndHighBytesInNames", Listing(Entry("/Caf\xC3\xA9 \xE2\x82\xAC \x80\xFF", false)), 1},
        ListingRow{"EscapedMemberNamesDecoded", "{\"cont\\u0065nts\": [{\"is_\\u0064ir\": false}]}", 1},
        ListingRow{"NamesCompareWhole", "{\"contents\": [{\"is_dir \": false, \"is_di\": false}], \"content\": []}", 0},
        ListingRow{"EmptyNameIsNeither", "{\"\": [{\"\": false}], \"contents\": [{\"\": false}]}", 0},
        ListingRow{"NestedContentsIgnored",
                   Listing(Entry("/a", true).insert(1, "\"contents\": [{\"is_dir\": false}, {\"is_dir\": false}], ")),
                   0},
        ListingRow{"MemberObjectOfEntryIgnored", Listing("{\"is_dir\": true, \"meta\": {\"is_dir\": false}}"), 0},
        ListingRow{"MemberObjectsAfterOwnIsDir",
                   Listing("{\"is_dir\": false, \"meta\": {\"is_dir\": true}, \"more\": [{}]}"), 1},
        ListingRow{"MemberObjectBeforeOwnIsDir", Listing("{\"meta\": {\"is_dir\": true}, \"is_dir\": false}"), 1},
        ListingRow{"ObjectInsideArrayEntryIgnored", Listing("[{\"is_dir\": false}], [[{\"is_dir\": false}]]"), 0},
        ListingRow{"NonObjectEntriesIgnored", Listing("\"is_dir\", false, null, 3, [], {}, " + kFile), 1},
        ListingRow{"IsDirMustBeLiteralFalse",
                   Listing("{\"is_dir\": \"false\"}, {\"is_dir\": 0}, {\"is_dir\": null}, {\"is_dir\": []}, {}"), 0},
        ListingRow{"FirstIsDirDecidesFolder", Listing("{\"is_dir\": true, \"is_dir\": false}"), 0},
        ListingRow{"FirstIsDirDecidesFile", Listing("{\"is_dir\": false, \"is_dir\": true}"), 1},
        ListingRow{"FirstContentsTakenLaterIgnored",
                   "{\"contents\": [{\"is_dir\": false}], \"contents\": [{\"is_dir\": false}, {\"is_dir\": false}]}",
                   1},
        ListingRow{"EmptyFirstContentsWins", "{\"contents\": [], \"contents\": [{\"is_dir\": false}]}", 0},
        ListingRow{"FirstContentsNotAnArray", "{\"contents\": null, \"contents\": [{\"is_dir\": false}]}", 0},
        ListingRow{"ContentsObjectIsNotAList", "{\"contents\": {\"x\": {\"is_dir\": false}, \"is_dir\": false}}", 0},
        ListingRow{"NumberForms", Listing("{\"a\": [0, -0, 1.5, -12.25e+10, 3E-2, 7e9, 0.0e0], \"is_dir\": false}"), 1},
        ListingRow{"FileMetadataHasNoContents", Entry("/User Notes/notes.txt", false), 0},
        ListingRow{"ErrorObject", "{\"error\": \"Path '/x' not found\"}", 0},
        // Each malformed text below would count a file if it were read leniently.
        ListingRow{"Truncated", "{\"contents\": [{\"is_dir\": false}]", 0},
        ListingRow{"TrailingGarbage", "{\"contents\": [{\"is_dir\": false}]} x", 0},
        ListingRow{"SecondValue", "{\"contents\": [{\"is_dir\": false}]} {}", 0},
        ListingRow{"TrailingNul", std::string("{\"contents\": [{\"is_dir\": false}]}\0", 34), 0},
        ListingRow{"BadEscape", Listing(Entry("/a\\x", false)), 0},
        ListingRow{"ShortUnicodeEscape", Listing(Entry("/a\\u12", false)), 0},
        ListingRow{"NonHexUnicodeEscape", Listing(Entry("/a\\u12G4", false)), 0},
        ListingRow{"EscapeAtEnd", "{\"contents\": [{\"is_dir\": false}], \"a\": \"\\", 0},
        ListingRow{"UnterminatedString", "{\"contents\": [{\"is_dir\": false}], \"a\": \"b}", 0},
        ListingRow{"ControlByteInString", Listing(Entry("/a\tb", false)), 0},
        ListingRow{"MismatchedBrackets", "{\"contents\": [{\"is_dir\": false}}}", 0},
        ListingRow{"ArrayClosedByBrace", "{\"contents\": [{\"is_dir\": false}, [}]}", 0},
        ListingRow{"ObjectClosedByBracket", "{\"contents\": [{\"is_dir\": false]]}", 0},
        ListingRow{"MissingColon", "{\"contents\" [{\"is_dir\": false}]}", 0},
        ListingRow{"MissingComma", "{\"contents\": [{\"is_dir\": false} {\"is_dir\": false}]}", 0},
        ListingRow{"TrailingCommaInArray", "{\"contents\": [{\"is_dir\": false},]}", 0},
        ListingRow{"TrailingCommaInObject", "{\"contents\": [{\"is_dir\": false,}]}", 0},
        ListingRow{"NameNotAString", "{\"contents\": [{\"is_dir\": false}], 1: 2}", 0},
        ListingRow{"SingleQuotes", "{\"contents\": [{\"is_dir\": false}], 'a': 1}", 0},
        ListingRow{"MisspelledLiteral", "{\"contents\": [{\"is_dir\": fals}]}", 0},
        ListingRow{"CapitalisedLiteral", "{\"contents\": [{\"is_dir\": False}]}", 0},
        ListingRow{"LiteralRunOn", "{\"contents\": [{\"is_dir\": falsey}]}", 0},
        ListingRow{"LeadingZero", "{\"contents\": [{\"is_dir\": false, \"n\": 01}]}", 0},
        ListingRow{"BareMinus", "{\"contents\": [{\"is_dir\": false, \"n\": -}]}", 0},
        ListingRow{"PlusSign", "{\"contents\": [{\"is_dir\": false, \"n\": +1}]}", 0},
        ListingRow{"DotWithoutDigits", "{\"contents\": [{\"is_dir\": false, \"n\": 1.}]}", 0},
        ListingRow{"ExponentWithoutDigits", "{\"contents\": [{\"is_dir\": false, \"n\": 1e+}]}", 0},
        ListingRow{"OtherWhiteSpaceRejected", "{\"contents\": [{\"is_dir\":\vfalse}]}", 0},
        ListingRow{"TopLevelArray", "[{\"contents\": [{\"is_dir\": false}]}]", 0},
        ListingRow{"TopLevelString", "\"contents\"", 0}, ListingRow{"WhiteSpaceOnly", " \r\n", 0},
        ListingRow{"Empty", "", 0}),
    RowName());

// A listing with one file whose entry holds arrays nested so that the deepest reaches depth.
std::string ListingOfDepth(int depth) {
    const size_t arrays = static_cast<size_t>(depth - 3);
    return "{\"contents\": [{\"is_dir\": false, \"deep\": " + std::string(arrays, '[') + std::string(arrays, ']') +
           "}]}";
}

TEST(CountListedFilesDepth, AcceptsTheLimitAndRefusesOneMore) {
    EXPECT_EQ(CountListedFiles(ListingOfDepth(kMaxJsonDepth)), 1u);
    EXPECT_EQ(CountListedFiles(ListingOfDepth(kMaxJsonDepth + 1)), 0u);
}

TEST(CountListedFilesDepth, VeryDeepInputIsRefused) {
    std::string deep = "{\"contents\": [{\"is_dir\": false}], \"a\": ";
    deep += std::string(1000000, '[') + std::string(1000000, ']') + "}";
    EXPECT_EQ(CountListedFiles(deep), 0u);
}

TEST(CountListedFilesLarge, CountsAServiceSizedListing) {
    // Every third entry is a folder: 25,000 entries hold 16,667 files.
    constexpr int kEntries = 25000;
    std::string entries;
    uint32_t files = 0;
    for (int i = 0; i < kEntries; ++i) {
        const bool isDir = i % 3 == 2;
        if (!isDir) ++files;
        if (i != 0) entries += ", ";
        entries += Entry("/User Notes/Highlights 2014/entry " + std::to_string(i) + (isDir ? "" : ".txt"), isDir);
    }
    const std::string listing = Listing(entries);
    EXPECT_GT(listing.size(), 8000000u);
    EXPECT_EQ(files, 16667u);
    EXPECT_EQ(CountListedFiles(listing), files);
    EXPECT_EQ(CountListedFiles(listing.substr(0, listing.size() - 1)), 0u);
}

} // namespace
