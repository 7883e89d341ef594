// Byte scanners of the service's replies: error objects, response header values, quoted JSON values, the
// file size and the upload offset. Portable: nothing is allocated; every view found points into the scanned text, and
// out-values are written only when the scanner returns true.
#pragma once
#include <cstdint>
#include <string_view>

// True when data begins, after optional JSON white space (space, tab, CR, LF), with {"error"  which is how
// the service answers with an error object in place of a file's bytes. {"errors" does not count.
bool BeginsWithErrorObject(std::string_view data);

// True when text contains the marker {"error  anywhere (how the service's JSON answers show a failure).
bool ContainsErrorMarker(std::string_view text);

// The value of header name in raw response headers (lines ending in CRLF; the first line is the status line
// and never a header). A header line matches when its text before the first ":" equals name ignoring ASCII
// case, so only a whole name at a line start matches, never "name:" inside another header's value. The value
// starts after the colon and any spaces or tabs and runs to the line's CR or LF, or the end of rawHeaders.
// The first matching line wins. False when no line matches or name is empty.
[[nodiscard]] bool FindHeaderValue(std::string_view rawHeaders, std::string_view name, std::string_view *value);

// The text after the first  "<key>": "  (quote, key, quote, colon, one space, quote) up to the next quote,
// as it stands (escapes are not decoded). False when that text is absent or no closing quote follows.
[[nodiscard]] bool FindQuotedValue(std::string_view text, std::string_view key, std::string_view *value);

// FindQuotedValue with "client_mtime", the file's modification time in a metadata answer.
[[nodiscard]] bool FindClientMtime(std::string_view metadata, std::string_view *value);

// FindQuotedValue with "upload_id", the chunked upload's identifier in a chunk answer.
[[nodiscard]] bool FindUploadId(std::string_view answer, std::string_view *value);

// FindQuotedValue with "rev", the revision in a metadata or commit answer.
[[nodiscard]] bool FindRevision(std::string_view answer, std::string_view *value);

// The file's size in a metadata answer (the download's metadata header): after the first  "bytes":  (quote,
// bytes, quote, colon, one space) an unsigned decimal integer, digits only, that ends at a comma, a "}",
// JSON white space or the end of the text. False when the key text is absent, no digit follows, anything
// else ends the digits (a sign, a fraction, an exponent, a quote), or the value exceeds UINT64_MAX.
[[nodiscard]] bool FindFileSize(std::string_view metadata, uint64_t *size);

// The offset of a chunk answer. After the first  "offset":  (quote, offset, quote, colon, one space) takes
// the text up to the next "}" and reads its leading decimal integer: JSON white space, one optional sign,
// then digits up to the first non-digit. False when the key text is absent, no "}" follows it, there is no
// digit, or the magnitude exceeds INT64_MAX. Negative values are returned as read; the caller rejects
// offsets outside 0..file size.
[[nodiscard]] bool FindOffset(std::string_view answer, int64_t *offset);
