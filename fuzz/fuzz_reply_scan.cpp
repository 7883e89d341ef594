// Fuzz target: the reply scanners on arbitrary bytes; the first input byte picks the scanner and its key.
// Every view found must lie inside the input where its contract puts it; failures leave out-values alone.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "transport/reply_scan.h"

namespace {

constexpr std::string_view kUntouched = "untouched";

void Require(bool condition) {
    if (!condition) std::abort();
}

bool Inside(std::string_view piece, std::string_view whole) {
    return piece.data() >= whole.data() && piece.data() + piece.size() <= whole.data() + whole.size();
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void CheckErrorMarkers(std::string_view text) {
    const bool begins = BeginsWithErrorObject(text);
    const bool contains = ContainsErrorMarker(text);
    const size_t first = text.find_first_not_of(" \t\r\n");
    Require(begins == (first != text.npos && text.substr(first).starts_with("{\"error\"")));
    bool marker = false;
    for (size_t at = 0; !marker && at + 7 <= text.size(); ++at) marker = text.substr(at, 7) == "{\"error";
    Require(contains == marker);
    Require(!begins || contains);
}

void CheckHeader(std::string_view headers, std::string_view name) {
    std::string_view value = kUntouched;
    if (!FindHeaderValue(headers, name, &value)) {
        Require(value.data() == kUntouched.data());
        return;
    }
    Require(Inside(value, headers));
    const size_t start = static_cast<size_t>(value.data() - headers.data());
    const size_t end = start + value.size();
    // The value fills the rest of its line, which is not the first and starts with "name:" and blanks.
    Require(value.find_first_of("\r\n") == value.npos);
    Require(end == headers.size() || headers[end] == '\r' || headers[end] == '\n');
    Require(value.empty() || (value[0] != ' ' && value[0] != '\t'));
    const size_t feed = headers.rfind('\n', start == 0 ? 0 : start - 1);
    Require(feed != headers.npos && start > feed);
    const size_t lineStart = feed + 1;
    const std::string_view head = headers.substr(lineStart, start - lineStart);
    Require(head.size() > name.size() && head[name.size()] == ':');
    for (size_t i = 0; i < name.size(); ++i) Require(Lower(head[i]) == Lower(name[i]));
    Require(head.substr(name.size() + 1).find_first_not_of(" \t") == head.npos);
    // It is the first matching line: the lines before it hold none.
    std::string_view earlier = kUntouched;
    Require(!FindHeaderValue(headers.substr(0, lineStart), name, &earlier));
}

void CheckQuoted(std::string_view text, std::string_view key, bool (*shorthand)(std::string_view, std::string_view *)) {
    std::string_view value = kUntouched;
    const bool found = FindQuotedValue(text, key, &value);
    if (shorthand != nullptr) {
        std::string_view other = kUntouched;
        Require(shorthand(text, &other) == found);
        Require(other.data() == value.data() && other.size() == value.size());
    }
    if (!found) {
        Require(value.data() == kUntouched.data());
        return;
    }
    Require(Inside(value, text));
    const std::string opening = "\"" + std::string(key) + "\": \"";
    const size_t start = static_cast<size_t>(value.data() - text.data());
    const size_t end = start + value.size();
    Require(start >= opening.size() && text.find(opening) == start - opening.size());
    Require(end < text.size() && text[end] == '"' && value.find('"') == value.npos);
}

void CheckOffset(std::string_view answer) {
    int64_t offset = 42;
    const bool found = FindOffset(answer, &offset);
    // What the contract says the answer holds, read with the standard library.
    constexpr std::string_view kKey = "\"offset\": ";
    const size_t key = answer.find(kKey);
    const size_t close = key == answer.npos ? answer.npos : answer.find('}', key + kKey.size());
    if (close == answer.npos) {
        Require(!found && offset == 42);
        return;
    }
    std::string_view field = answer.substr(key + kKey.size(), close - key - kKey.size());
    field.remove_prefix(std::min(field.size(), field.find_first_not_of(" \t\r\n")));
    const bool negative = !field.empty() && field[0] == '-';
    if (!field.empty() && (field[0] == '-' || field[0] == '+')) field.remove_prefix(1);
    uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), magnitude);
    const bool fits = error == std::errc() && magnitude <= static_cast<uint64_t>(INT64_MAX);
    Require(found == fits);
    if (!fits) {
        Require(offset == 42);
        return;
    }
    Require(offset == (negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude)));
}

void CheckFileSize(std::string_view metadata) {
    uint64_t size = 42;
    const bool found = FindFileSize(metadata, &size);
    // What the contract says the metadata holds, read with the standard library.
    constexpr std::string_view kKey = "\"bytes\": ";
    const size_t key = metadata.find(kKey);
    if (key == metadata.npos) {
        Require(!found && size == 42);
        return;
    }
    const std::string_view field = metadata.substr(key + kKey.size());
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    const bool digitsFirst = !field.empty() && field[0] >= '0' && field[0] <= '9';
    const size_t used = static_cast<size_t>(end - field.data());
    const bool ends = used == field.size() || std::string_view(",} \t\r\n").find(field[used]) != field.npos;
    const bool fits = digitsFirst && error == std::errc() && ends;
    Require(found == fits);
    Require(size == (fits ? value : 42));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    constexpr std::string_view kHeaderNames[] = {"Content-Length", "x-file-metadata", "A"};
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    const unsigned pick = data[0];
    switch (pick % 8) {
    case 0:
        CheckErrorMarkers(text);
        break;
    case 1:
        CheckHeader(text, kHeaderNames[(pick / 8) % 3]);
        break;
    case 2:
        CheckQuoted(text, "client_mtime", FindClientMtime);
        break;
    case 3:
        CheckQuoted(text, "upload_id", FindUploadId);
        break;
    case 4:
        CheckQuoted(text, "rev", FindRevision);
        break;
    case 5:
        CheckQuoted(text, "", nullptr);
        break;
    case 7:
        CheckFileSize(text);
        break;
    default:
        CheckOffset(text);
        break;
    }
    return 0;
}
