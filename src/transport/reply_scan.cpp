// Byte scanners of the service's replies: fixed markers and key texts found by plain search, no JSON parse.
#include "transport/reply_scan.h"

#include <cstddef>

namespace {

constexpr std::string_view kErrorObject = "{\"error\"";
constexpr std::string_view kErrorMarker = "{\"error";

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// Index just past the first  "<key><tail>  in text (a quote, key, then tail), or npos when there is none.
size_t FindAfterKey(std::string_view text, std::string_view key, std::string_view tail) {
    for (size_t at = text.find(key, 1); at != std::string_view::npos; at = text.find(key, at + 1)) {
        const size_t end = at + key.size();
        if (text[at - 1] == '"' && text.substr(end, tail.size()) == tail) return end + tail.size();
    }
    return std::string_view::npos;
}

// Reads the decimal integer at the start of field: JSON white space, one optional sign, digits up to the
// first non-digit. False when there is no digit or the magnitude exceeds INT64_MAX.
bool ReadInt64(std::string_view field, int64_t *value) {
    size_t at = 0;
    while (at < field.size() && IsJsonSpace(field[at])) ++at;
    bool negative = false;
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) negative = field[at++] == '-';
    constexpr uint64_t kLimit = static_cast<uint64_t>(INT64_MAX);
    uint64_t magnitude = 0;
    const size_t first = at;
    for (; at < field.size() && IsDigit(field[at]); ++at) {
        const auto digit = static_cast<uint64_t>(field[at] - '0');
        if (magnitude > (kLimit - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
    }
    if (at == first) return false;
    *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// Reads the unsigned decimal integer that field starts with: digits only, up to the end of field or a
// character that may follow a JSON number (comma, "}", white space). False when there is no digit, another
// character follows the digits, or the value exceeds UINT64_MAX.
bool ReadUint64(std::string_view field, uint64_t *value) {
    uint64_t read = 0;
    size_t at = 0;
    for (; at < field.size() && IsDigit(field[at]); ++at) {
        const auto digit = static_cast<uint64_t>(field[at] - '0');
        if (read > (UINT64_MAX - digit) / 10) return false;
        read = read * 10 + digit;
    }
    if (at == 0) return false;
    if (at < field.size() && field[at] != ',' && field[at] != '}' && !IsJsonSpace(field[at])) return false;
    *value = read;
    return true;
}

} // namespace

bool BeginsWithErrorObject(std::string_view data) {
    size_t at = 0;
    while (at < data.size() && IsJsonSpace(data[at])) ++at;
    return data.substr(at, kErrorObject.size()) == kErrorObject;
}

bool ContainsErrorMarker(std::string_view text) { return text.find(kErrorMarker) != std::string_view::npos; }

bool FindHeaderValue(std::string_view rawHeaders, std::string_view name, std::string_view *value) {
    if (name.empty()) return false;
    // Each pass looks at the line after the line feed found; the status line before the first is skipped.
    for (size_t feed = rawHeaders.find('\n'); feed != std::string_view::npos; feed = rawHeaders.find('\n', feed + 1)) {
        const size_t start = feed + 1;
        const size_t end = rawHeaders.find_first_of("\r\n", start);
        const std::string_view line = rawHeaders.substr(start, end == std::string_view::npos ? end : end - start);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !EqualsIgnoringCase(line.substr(0, colon), name)) continue;
        size_t at = colon + 1;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        *value = line.substr(at);
        return true;
    }
    return false;
}

bool FindQuotedValue(std::string_view text, std::string_view key, std::string_view *value) {
    const size_t start = FindAfterKey(text, key, "\": \"");
    if (start == std::string_view::npos) return false;
    const size_t end = text.find('"', start);
    if (end == std::string_view::npos) return false;
    *value = text.substr(start, end - start);
    return true;
}

bool FindClientMtime(std::string_view metadata, std::string_view *value) {
    return FindQuotedValue(metadata, "client_mtime", value);
}

bool FindUploadId(std::string_view answer, std::string_view *value) {
    return FindQuotedValue(answer, "upload_id", value);
}

bool FindRevision(std::string_view answer, std::string_view *value) { return FindQuotedValue(answer, "rev", value); }

bool FindFileSize(std::string_view metadata, uint64_t *size) {
    const size_t start = FindAfterKey(metadata, "bytes", "\": ");
    if (start == std::string_view::npos) return false;
    return ReadUint64(metadata.substr(start), size);
}

bool FindOffset(std::string_view answer, int64_t *offset) {
    const size_t start = FindAfterKey(answer, "offset", "\": ");
    if (start == std::string_view::npos) return false;
    const size_t end = answer.find('}', start);
    if (end == std::string_view::npos) return false;
    return ReadInt64(answer.substr(start, end - start), offset);
}
