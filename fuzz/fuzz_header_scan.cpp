// Fuzz target: FindHeaderValue on arbitrary raw headers, and the download's reading of the file's time
// from them (the metadata header's value, its "client_mtime", the date). The first byte picks the header
// name; each answer is compared with a plain reading of the scanner's contract.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "download/service_date.h"
#include "fuzz_support.h"
#include "reply_reference.h"
#include "transport/reply_scan.h"

namespace {

using fuzz::Inside;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// What FindHeaderValue must find: lines start after each line feed (the status line before the first is
// never a header) and end at their first CR or LF; the first whose text before its first colon is name,
// case aside, gives the text after the colon and its blanks.
bool ReferenceHeader(std::string_view headers, std::string_view name, std::string_view *value) {
    if (name.empty()) return false;
    for (size_t feed = 0; feed < headers.size(); ++feed) {
        if (headers[feed] != '\n') continue;
        size_t end = feed + 1;
        while (end < headers.size() && headers[end] != '\r' && headers[end] != '\n') ++end;
        const std::string_view line = headers.substr(feed + 1, end - feed - 1);
        size_t colon = 0;
        while (colon < line.size() && line[colon] != ':') ++colon;
        if (colon == line.size() || !SameIgnoringCase(line.substr(0, colon), name)) continue;
        size_t start = colon + 1;
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
        *value = line.substr(start);
        return true;
    }
    return false;
}

// What FindFileSize must find: after the first  "bytes":  a decimal number that fits 64 bits and ends
// the member (a comma, a brace, white space or the text's end).
void CheckFileSize(std::string_view metadata) {
    uint64_t size = 42;
    const bool found = FindFileSize(metadata, &size);
    constexpr std::string_view kKey = "\"bytes\": ";
    const size_t key = metadata.find(kKey);
    if (key == metadata.npos) {
        FUZZ_REQUIRE(!found && size == 42);
        return;
    }
    const std::string_view field = metadata.substr(key + kKey.size());
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    const bool digitsFirst = !field.empty() && field[0] >= '0' && field[0] <= '9';
    const size_t used = static_cast<size_t>(end - field.data());
    const bool ends = used == field.size() || std::string_view(",} \t\r\n").find(field[used]) != field.npos;
    const bool fits = digitsFirst && error == std::errc() && ends;
    FUZZ_REQUIRE(found == fits);
    FUZZ_REQUIRE(size == (fits ? value : 42));
}

// The download's steps: the metadata header, an object, its client_mtime, a date that parses; and
// the file's size it names.
void CheckModificationTime(std::string_view metadata) {
    if (!metadata.starts_with('{')) return;
    CheckFileSize(metadata);
    fuzz::CheckQuoted(metadata, "client_mtime", FindClientMtime);
    std::string_view clientMtime;
    if (!FindClientMtime(metadata, &clientMtime)) return;
    uint64_t modified = 7;
    if (ParseServiceDate(clientMtime, &modified)) {
        FUZZ_REQUIRE(modified <= static_cast<uint64_t>(INT64_MAX));
    } else {
        FUZZ_REQUIRE(modified == 7);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr std::string_view kNames[] = {"x-file-metadata", "Content-Length", "A", "x-file-metadata-"};
    fuzz::Input input(data, size);
    const uint8_t pick = input.Byte();
    // Names from the list, or one the input gives (which may be empty or hold a colon).
    const std::string_view name = pick < 0xC0 ? kNames[pick % 4] : input.Text();
    const std::string_view headers = input.Rest();

    constexpr std::string_view kUntouched = "untouched";
    std::string_view expected;
    const bool found = ReferenceHeader(headers, name, &expected);
    std::string_view value = kUntouched;
    FUZZ_REQUIRE(FindHeaderValue(headers, name, &value) == found);
    if (!found) {
        FUZZ_REQUIRE(value.data() == kUntouched.data());
        return 0;
    }
    FUZZ_REQUIRE(Inside(value, headers));
    FUZZ_REQUIRE(value.data() == expected.data() && value.size() == expected.size());
    if (name == kNames[0]) CheckModificationTime(value);
    return 0;
}
