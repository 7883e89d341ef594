// Service date texts to FILETIME values: a hand-made parser with no locale and no OS calendar.
#include "download/service_date.h"

namespace {

constexpr std::string_view kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Larger magnitudes are refused so that the day and second sums below cannot overflow.
constexpr int kMaxFieldDigits = 9;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads a signed decimal at the start of field (after white space), up to its
// first non-digit. False when there is no digit or more than kMaxFieldDigits.
bool ReadNumber(std::string_view field, int64_t *value) {
    size_t at = 0;
    while (at < field.size() && IsSpace(field[at])) ++at;
    bool negative = false;
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) negative = field[at++] == '-';
    int64_t number = 0;
    int digits = 0;
    for (; at < field.size() && IsDigit(field[at]); ++at) {
        if (++digits > kMaxFieldDigits) return false;
        number = number * 10 + (field[at] - '0');
    }
    if (digits == 0) return false;
    *value = negative ? -number : number;
    return true;
}

// Month number 0..11 from the first three characters of field.
bool ReadMonth(std::string_view field, int *month) {
    if (field.size() < 3) return false;
    for (int i = 0; i < 12; ++i) {
        if (field.substr(0, 3) == kMonthNames[i]) {
            *month = i;
            return true;
        }
    }
    return false;
}

// The zone after the time, in seconds east of UTC: "+hhmm" or "-hhmm" (after
// the four digits only the end or a non-digit may follow, so "+02000" is
// refused, not misread); "GMT", "UTC" or "Z" alone, or nothing at all, read as
// UTC. Any other zone is refused: taking it as UTC could be hours off.
bool ReadZone(std::string_view zone, int64_t *offset) {
    while (!zone.empty() && zone.front() == ' ') zone.remove_prefix(1);
    const std::string_view name = zone.substr(0, zone.find(' '));
    if (name.empty() || name == "GMT" || name == "UTC" || name == "Z") {
        *offset = 0;
        return true;
    }
    if (zone.size() < 5 || (zone[0] != '+' && zone[0] != '-')) return false;
    for (size_t i = 1; i < 5; ++i)
        if (!IsDigit(zone[i])) return false;
    if (zone.size() > 5 && IsDigit(zone[5])) return false;
    const int hours = (zone[1] - '0') * 10 + (zone[2] - '0');
    const int minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
    if (hours > 23 || minutes > 59) return false;
    const int64_t seconds = hours * 3600 + minutes * 60;
    *offset = zone[0] == '-' ? -seconds : seconds;
    return true;
}

// Days from 1970-01-01 to the first of month (0..11) of year, Gregorian rule
// (every 4th year leaps, except centuries not divisible by 400), any year.
int64_t DaysFromCivil(int64_t year, int month) {
    const int64_t m = month + 1;
    const int64_t y = m <= 2 ? year - 1 : year;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

} // namespace

bool SecondsToFILETIME(int64_t seconds, uint64_t *filetime) {
    constexpr int64_t kSecondsBefore1970 = static_cast<int64_t>(kFiletimeOf1970 / kFiletimeTicksPerSecond);
    constexpr int64_t kSecondsLimit =
        static_cast<int64_t>((static_cast<uint64_t>(INT64_MAX) - kFiletimeOf1970) / kFiletimeTicksPerSecond);
    if (seconds < -kSecondsBefore1970 || seconds > kSecondsLimit) return false;
    *filetime = static_cast<uint64_t>(seconds + kSecondsBefore1970) * kFiletimeTicksPerSecond;
    return true;
}

bool ParseServiceDate(std::string_view text, uint64_t *filetime) {
    const size_t comma = text.find(", ");
    if (comma == std::string_view::npos) return false;

    // The six fields after ", " and the character that ends each; the seconds
    // may also end the text (no zone).
    constexpr char kTerminators[6] = {' ', ' ', ' ', ':', ':', ' '};
    std::string_view fields[6];
    size_t start = comma + 2;
    for (int i = 0; i < 6; ++i) {
        size_t end = text.find(kTerminators[i], start);
        if (end == std::string_view::npos && i < 5) return false;
        if (end == std::string_view::npos) end = text.size();
        fields[i] = text.substr(start, end - start);
        start = end < text.size() ? end + 1 : end;
    }

    int64_t day = 0, year = 0, hour = 0, minute = 0, second = 0, offset = 0;
    int month = 0;
    if (!ReadNumber(fields[0], &day) || !ReadMonth(fields[1], &month) || !ReadNumber(fields[2], &year) ||
        !ReadNumber(fields[3], &hour) || !ReadNumber(fields[4], &minute) || !ReadNumber(fields[5], &second) ||
        !ReadZone(text.substr(start), &offset))
        return false;

    const int64_t days = DaysFromCivil(year, month) + day - 1;
    const int64_t seconds = days * kSecondsPerDay + hour * 3600 + minute * 60 + second - offset;
    return SecondsToFILETIME(seconds, filetime);
}
