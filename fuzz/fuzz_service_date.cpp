// Fuzz target: ParseServiceDate and SecondsToFILETIME. Inputs whose first byte is even are arbitrary texts,
// compared with a plain reading of the parser's contract (its own field cutting, number reading and a
// calendar computed another way); odd ones describe a date that the target writes, and the parser must
// give back the instant written.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "download/service_date.h"
#include "fuzz_support.h"

namespace {

constexpr std::string_view kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0); }

bool IsLeap(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// Days from 0001-01-01 to January 1 of year, proleptic Gregorian: 365 a year plus the leap days before it.
int64_t DaysBeforeYear(int64_t year) {
    const int64_t y = year - 1;
    return 365 * y + FloorDiv(y, 4) - FloorDiv(y, 100) + FloorDiv(y, 400);
}

// Seconds since 1970-01-01 00:00:00 UTC of the fields as given (out-of-range values carry over), minus the
// zone's offset east of UTC.
int64_t ReferenceSeconds(int64_t year, int month, int64_t day, int64_t hour, int64_t minute, int64_t second,
                         int64_t offset) {
    constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int64_t days = DaysBeforeYear(year) - DaysBeforeYear(1970) + kDaysBeforeMonth[month] +
                         (month >= 2 && IsLeap(year) ? 1 : 0) + day - 1;
    return days * 86400 + hour * 3600 + minute * 60 + second - offset;
}

// What SecondsToFILETIME must give: 100-ns ticks since 1601, when they are neither negative nor beyond INT64_MAX.
bool ReferenceFiletime(int64_t seconds, uint64_t *filetime) {
    const __int128 ticks = (static_cast<__int128>(seconds) + 11644473600) * 10000000;
    if (ticks < 0 || ticks > INT64_MAX) return false;
    *filetime = static_cast<uint64_t>(ticks);
    return true;
}

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A number field: white space, one optional sign, then 1 to 9 digits read up to the first non-digit.
bool ReferenceNumber(std::string_view field, int64_t *value) {
    size_t at = 0;
    while (at < field.size() && IsCSpace(field[at])) ++at;
    const bool negative = at < field.size() && field[at] == '-';
    if (at < field.size() && (field[at] == '-' || field[at] == '+')) ++at;
    size_t end = at;
    while (end < field.size() && IsDigit(field[end])) ++end;
    if (end == at || end - at > 9) return false;
    int64_t number = 0;
    for (size_t i = at; i < end; ++i) number = number * 10 + (field[i] - '0');
    *value = negative ? -number : number;
    return true;
}

// The zone after the seconds: spaces, then up to the next space "GMT", "UTC", "Z" or nothing for UTC, or
// a sign and four digits (no fifth) with hours to 23 and minutes to 59.
bool ReferenceZone(std::string_view zone, int64_t *offset) {
    size_t at = 0;
    while (at < zone.size() && zone[at] == ' ') ++at;
    zone.remove_prefix(at);
    size_t end = 0;
    while (end < zone.size() && zone[end] != ' ') ++end;
    const std::string_view name = zone.substr(0, end);
    if (name.empty() || name == "GMT" || name == "UTC" || name == "Z") {
        *offset = 0;
        return true;
    }
    if (zone.size() < 5 || (zone[0] != '+' && zone[0] != '-')) return false;
    for (size_t i = 1; i <= 4; ++i)
        if (!IsDigit(zone[i])) return false;
    if (zone.size() > 5 && IsDigit(zone[5])) return false;
    const int hours = (zone[1] - '0') * 10 + (zone[2] - '0');
    const int minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
    if (hours > 23 || minutes > 59) return false;
    *offset = (zone[0] == '-' ? -1 : 1) * (int64_t{hours} * 3600 + int64_t{minutes} * 60);
    return true;
}

// What ParseServiceDate must give for text: after the first ", " the day to a space, the month to a space,
// the year to a space, the hour to ":", the minute to ":", the second to a space or the end, then the zone.
bool ReferenceDate(std::string_view text, uint64_t *filetime) {
    size_t at = 0;
    while (at + 1 < text.size() && !(text[at] == ',' && text[at + 1] == ' ')) ++at;
    if (at + 1 >= text.size()) return false;
    at += 2;
    std::string_view fields[6];
    constexpr char kEnds[6] = {' ', ' ', ' ', ':', ':', ' '};
    for (int i = 0; i < 6; ++i) {
        size_t end = at;
        while (end < text.size() && text[end] != kEnds[i]) ++end;
        if (end == text.size() && i < 5) return false;
        fields[i] = text.substr(at, end - at);
        at = end == text.size() ? end : end + 1;
    }
    int month = -1;
    for (int i = 0; i < 12; ++i)
        if (fields[1].substr(0, 3) == kMonths[i]) month = i;
    int64_t day = 0, year = 0, hour = 0, minute = 0, second = 0, offset = 0;
    if (month < 0 || !ReferenceNumber(fields[0], &day) || !ReferenceNumber(fields[2], &year) ||
        !ReferenceNumber(fields[3], &hour) || !ReferenceNumber(fields[4], &minute) ||
        !ReferenceNumber(fields[5], &second) || !ReferenceZone(text.substr(at), &offset))
        return false;
    return ReferenceFiletime(ReferenceSeconds(year, month, day, hour, minute, second, offset), filetime);
}

void CheckText(std::string_view text) {
    uint64_t expected = 0;
    const bool parsed = ReferenceDate(text, &expected);
    uint64_t value = 7;
    FUZZ_REQUIRE(ParseServiceDate(text, &value) == parsed);
    FUZZ_REQUIRE(value == (parsed ? expected : 7));
}

void CheckSeconds(int64_t seconds) {
    uint64_t expected = 0;
    const bool fits = ReferenceFiletime(seconds, &expected);
    uint64_t value = 7;
    FUZZ_REQUIRE(SecondsToFILETIME(seconds, &value) == fits);
    FUZZ_REQUIRE(value == (fits ? expected : 7));
}

// A count of seconds: anywhere, or a little off either end of the FILETIME range.
int64_t SecondsNearEdges(fuzz::Input &input) {
    constexpr int64_t kFirst = -11644473600; // 1601-01-01
    constexpr int64_t kLast = 910692730085;  // the last whole second below INT64_MAX ticks
    const uint8_t where = input.Byte();
    const int64_t delta = int64_t{input.Byte()} - 128;
    if (where % 3 == 0) return kFirst + delta;
    if (where % 3 == 1) return kLast + delta;
    return static_cast<int64_t>(input.Bits(8));
}

// A field value of at most nine digits, signed: from the whole range or, more often, a usual one.
int64_t FieldValue(fuzz::Input &input, int64_t usual) {
    const uint8_t how = input.Byte();
    const auto bits = static_cast<int64_t>(input.Bits(4) % 1000000000);
    if ((how & 3) == 0) return (how & 4) != 0 ? -bits : bits;
    return bits % usual;
}

// Writes "<weekday>, <day> <Mon> <year> <hh>:<mm>:<ss> <zone>" from the input's choices; the parser must
// give the instant of the numbers written, the FILETIME range aside.
void CheckWrittenDate(fuzz::Input &input) {
    const uint8_t shape = input.Byte();
    const int64_t day = FieldValue(input, 32);
    const int month = input.Byte() % 12;
    const int64_t year = FieldValue(input, 10000);
    const int64_t hour = FieldValue(input, 24);
    const int64_t minute = FieldValue(input, 60);
    const int64_t second = FieldValue(input, 61);
    const uint8_t zoneKind = input.Byte();
    const int zoneHours = input.Byte() % 24;
    const int zoneMinutes = input.Byte() % 60;
    const std::string_view weekday = input.Text();
    CheckSeconds(SecondsNearEdges(input));

    fuzz::TextBuffer<512> text;
    text.AppendWithout(weekday, ",");
    text.Append(", ");
    const auto number = [&](int64_t value, bool pad) {
        if (pad && value >= 0 && value < 10) text.Append('0');
        text.AppendNumber(value);
    };
    number(day, (shape & 1) != 0);
    text.Append(' ');
    text.Append(kMonths[month]);
    if ((shape & 2) != 0) text.Append("ember"); // only the first three letters count
    text.Append(' ');
    number(year, false);
    text.Append(' ');
    number(hour, true);
    text.Append(':');
    number(minute, true);
    text.Append(':');
    number(second, true);
    int64_t offset = 0;
    switch (zoneKind % 5) {
    case 0:
        break; // no zone at all
    case 1:
        text.Append(" GMT");
        break;
    case 2:
        text.Append((shape & 4) != 0 ? " UTC" : " Z");
        break;
    default: {
        const bool east = zoneKind % 5 == 3;
        const int64_t zoneSeconds = int64_t{zoneHours} * 3600 + int64_t{zoneMinutes} * 60;
        offset = east ? zoneSeconds : -zoneSeconds;
        text.Append(east ? " +" : " -");
        text.Append(static_cast<char>('0' + zoneHours / 10));
        text.Append(static_cast<char>('0' + zoneHours % 10));
        text.Append(static_cast<char>('0' + zoneMinutes / 10));
        text.Append(static_cast<char>('0' + zoneMinutes % 10));
        break;
    }
    }
    if (text.Overflowed()) return;

    uint64_t expected = 0;
    const bool fits = ReferenceFiletime(ReferenceSeconds(year, month, day, hour, minute, second, offset), &expected);
    uint64_t value = 7;
    FUZZ_REQUIRE(ParseServiceDate(text.View(), &value) == fits);
    FUZZ_REQUIRE(value == (fits ? expected : 7));
    CheckText(text.View());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input input(data, size);
    if ((input.Byte() & 1) != 0) {
        CheckWrittenDate(input);
        return 0;
    }
    CheckText(input.Rest());
    return 0;
}
