// Service date texts ("Wed, 29 Oct 2014 19:30:19 +0000") to FILETIME values.
// Portable: the FILETIME is a plain 64-bit count here.
#pragma once
#include <cstdint>
#include <string_view>

// FILETIME of 1970-01-01 00:00:00 UTC (100-nanosecond intervals since 1601-01-01 UTC).
constexpr uint64_t kFiletimeOf1970 = 116444736000000000ULL;
// 100-nanosecond intervals per second.
constexpr uint64_t kFiletimeTicksPerSecond = 10000000ULL;
// Seconds per day.
constexpr int64_t kSecondsPerDay = 86400;

// Converts seconds since 1970-01-01 00:00:00 UTC (negative before it) to a
// FILETIME count. Returns false, leaving *filetime alone, for an instant before
// 1601-01-01 or one whose count would not fit a signed 64-bit value (Windows
// rejects FILETIMEs with the top bit set).
[[nodiscard]] bool SecondsToFILETIME(int64_t seconds, uint64_t *filetime);

// Parses "<weekday>, <day> <Mon> <year> <hh>:<mm>:<ss> [zone]" into a
// FILETIME count, with the Gregorian calendar and the zone applied: "+hhmm" or
// "-hhmm" ("+0200" is two hours ahead of UTC, so the result is two hours
// earlier), "GMT", "UTC", "Z" or no zone at all as UTC.
// Fields are cut as: after the first ", ", day to a space, month to a space,
// year to a space, hour to ":", minute to ":", second to a space (or the end),
// then the zone.
// A number field may have leading white space and a sign and is read up to its
// first non-digit; out-of-range values carry over (day 0 is the last day of the
// month before). The month's first three characters must be one of Jan..Dec,
// case as written. Returns false, leaving *filetime alone, when a separator is
// missing, the zone is another text, a number field has no digits or more than
// nine, the month is unknown, or the instant lies outside SecondsToFILETIME's range.
[[nodiscard]] bool ParseServiceDate(std::string_view text, uint64_t *filetime);
