// Fuzz target: the chunk answer of an upload (FindUploadId, FindOffset). Inputs whose first byte is even are
// arbitrary answers, compared with plain readings of the contracts; odd ones describe an answer that the
// target writes the way the service does, and the scanners must give back the identifier and offset written.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "reply_reference.h"
#include "transport/reply_scan.h"

namespace {

using fuzz::Inside;

bool IsJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// What FindOffset must find: after the first  "offset":  the text up to the next "}", read with the
// standard library as JSON white space, one optional sign and a decimal magnitude of at most INT64_MAX.
bool ReferenceOffset(std::string_view answer, int64_t *offset) {
    constexpr std::string_view kKey = "\"offset\": ";
    const size_t key = fuzz::FirstAt(answer, kKey, 0);
    if (key == std::string_view::npos) return false;
    const size_t close = fuzz::FirstAt(answer, "}", key + kKey.size());
    if (close == std::string_view::npos) return false;
    std::string_view field = answer.substr(key + kKey.size(), close - key - kKey.size());
    while (!field.empty() && IsJsonSpace(field.front())) field.remove_prefix(1);
    const bool negative = field.starts_with('-');
    if (field.starts_with('-') || field.starts_with('+')) field.remove_prefix(1);
    // A sign may not be followed by another: from_chars would take "-5" after "+".
    if (field.starts_with('-')) return false;
    uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), magnitude);
    if (error != std::errc() || magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    *offset = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

void CheckOffset(std::string_view answer) {
    int64_t expected = 0;
    const bool found = ReferenceOffset(answer, &expected);
    int64_t offset = 42;
    FUZZ_REQUIRE(FindOffset(answer, &offset) == found);
    FUZZ_REQUIRE(offset == (found ? expected : 42));
}

// Writes a chunk answer from the input's choices, as the service does ("expires", then "upload_id" and
// "offset" in either order), and checks that the scanners read back what was written.
void CheckWrittenAnswer(fuzz::Input &input) {
    const uint8_t shape = input.Byte();
    const std::string_view expires = input.Text();
    const std::string_view id = input.Text();
    const auto written = static_cast<int64_t>(input.Bits(8));
    const std::string_view blanks = input.Text();

    static fuzz::TextBuffer<4 * fuzz::kMaxInput> answer;
    answer.Clear();
    answer.Append("{\"expires\": \"");
    answer.AppendWithout(expires, "\"");
    answer.Append('"');
    size_t idStart = 0;
    size_t idSize = 0;
    const auto writeId = [&] {
        answer.Append(", \"upload_id\": \"");
        idStart = answer.Size();
        answer.AppendWithout(id, "\"");
        idSize = answer.Size() - idStart;
        answer.Append('"');
    };
    const auto writeOffset = [&] {
        answer.Append(", \"offset\": ");
        for (char c : blanks) answer.Append(" \t\r\n"[static_cast<unsigned char>(c) % 4]);
        if (written < 0) answer.Append('-');
        if (written >= 0 && (shape & 2) != 0) answer.Append('+');
        if ((shape & 4) != 0) answer.Append("000");
        answer.AppendDecimal(written < 0 ? 0 - static_cast<uint64_t>(written) : static_cast<uint64_t>(written));
    };
    if ((shape & 1) != 0) {
        writeOffset();
        writeId();
    } else {
        writeId();
        writeOffset();
    }
    if ((shape & 8) != 0) answer.Append(", \"error\": \"Submitted input out of alignment\"");
    answer.Append('}');
    if (answer.Overflowed()) return;
    const std::string_view text = answer.View();

    std::string_view foundId;
    FUZZ_REQUIRE(FindUploadId(text, &foundId));
    FUZZ_REQUIRE(Inside(foundId, text) && fuzz::OffsetIn(foundId, text) == idStart && foundId.size() == idSize);
    int64_t offset = 42;
    // The one offset no answer can carry: its magnitude is beyond INT64_MAX.
    const bool fits = written != INT64_MIN;
    FUZZ_REQUIRE(FindOffset(text, &offset) == fits);
    FUZZ_REQUIRE(offset == (fits ? written : 42));
    FUZZ_REQUIRE(!ContainsErrorMarker(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    if ((input.Byte() & 1) != 0) {
        CheckWrittenAnswer(input);
        return 0;
    }
    const std::string_view answer = input.Rest();
    fuzz::CheckQuoted(answer, "upload_id", FindUploadId);
    CheckOffset(answer);
    return 0;
}
