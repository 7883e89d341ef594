// Fuzz target: the revision of a metadata answer (FindRevision) and the quoted-value scan under it
// (FindQuotedValue with any key). Inputs whose first byte is even are arbitrary answers, compared with a
// plain reading of the contract; odd ones describe a file's metadata that the target writes the way the
// service does, and the scanners must give back the revision and client_mtime written.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "reply_reference.h"
#include "transport/reply_scan.h"

namespace {

using fuzz::Inside;

// Writes a file's metadata with the service's key order; the path (as JSON escapes it) comes after "rev"
// and "client_mtime" and may hold their key texts, which must not be taken for them.
void CheckWrittenMetadata(fuzz::Input &input) {
    const std::string_view rev = input.Text();
    const std::string_view date = input.Text();
    const std::string_view path = input.Text();
    const auto revision = static_cast<int64_t>(input.Bits(4));

    static fuzz::TextBuffer<8 * fuzz::kMaxInput> metadata;
    metadata.Clear();
    metadata.Append("{\"revision\": ");
    metadata.AppendNumber(revision);
    metadata.Append(", \"rev\": \"");
    const size_t revStart = metadata.Size();
    metadata.AppendWithout(rev, "\"\\");
    const size_t revSize = metadata.Size() - revStart;
    metadata.Append("\", \"thumb_exists\": false, \"bytes\": 14, \"modified\": \"Wed, 29 Oct 2014 19:30:19 +0000\", "
                    "\"client_mtime\": \"");
    const size_t dateStart = metadata.Size();
    metadata.AppendWithout(date, "\"\\");
    const size_t dateSize = metadata.Size() - dateStart;
    metadata.Append("\", \"path\": \"");
    for (char c : path) {
        if (c == '"' || c == '\\') metadata.Append('\\');
        metadata.Append(c);
    }
    metadata.Append("\", \"is_dir\": false, \"icon\": \"page_white_text\", \"root\": \"app_folder\"}");
    if (metadata.Overflowed()) return;
    const std::string_view text = metadata.View();

    std::string_view found;
    FUZZ_REQUIRE(FindRevision(text, &found));
    FUZZ_REQUIRE(Inside(found, text) && fuzz::OffsetIn(found, text) == revStart && found.size() == revSize);
    FUZZ_REQUIRE(FindClientMtime(text, &found));
    FUZZ_REQUIRE(Inside(found, text) && fuzz::OffsetIn(found, text) == dateStart && found.size() == dateSize);
    FUZZ_REQUIRE(!ContainsErrorMarker(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    const uint8_t pick = input.Byte();
    if ((pick & 1) != 0) {
        CheckWrittenMetadata(input);
        return 0;
    }
    // A key from the input for the general scan; "rev" itself otherwise.
    const std::string_view key = (pick & 2) != 0 ? input.Text() : std::string_view("rev");
    const std::string_view answer = input.Rest();
    fuzz::CheckQuoted(answer, "rev", FindRevision);
    fuzz::CheckQuoted(answer, key, [key](std::string_view text, std::string_view *value) {
        return FindQuotedValue(text, key, value);
    });
    return 0;
}
