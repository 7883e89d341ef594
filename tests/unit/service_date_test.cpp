// Service date texts to FILETIME counts of download/service_date.
#include "download/service_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

namespace {

// Names each parameterised case after its row.
struct RowName {
    template <class Row> std::string operator()(const testing::TestParamInfo<Row> &row) const { return row.param.name; }
};

constexpr uint64_t kUnset = 4242;
constexpr uint64_t kDay = 86400ULL * kFiletimeTicksPerSecond;
constexpr uint64_t kHour = 3600ULL * kFiletimeTicksPerSecond;

struct DateRow {
    const char *name;
    std::string text;
    bool ok;
    uint64_t expected; // ignored when !ok: the out-value must stay as it was
};

void PrintTo(const DateRow &row, std::ostream *os) { *os << row.name; }

class ServiceDateTest : public testing::TestWithParam<DateRow> {};

TEST_P(ServiceDateTest, Parses) {
    const DateRow &row = GetParam();
    uint64_t value = kUnset;
    EXPECT_EQ(ParseServiceDate(row.text, &value), row.ok);
    EXPECT_EQ(value, row.ok ? row.expected : kUnset);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ServiceDateTest,
    testing::Values(
        DateRow{"Worked2014", "Wed, 29 Oct 2014 19:30:19 +0000", true, 130590846190000000ULL},
        DateRow{"EastOffsetIsEarlierInUtc", "Wed, 29 Oct 2014 19:30:19 +0200", true, 130590846190000000ULL - 2 * kHour},
        DateRow{"WestHalfHourOffset", "Wed, 29 Oct 2014 19:30:19 -0130", true, 130590900190000000ULL},
        DateRow{"ZoneFollowedByText", "Wed, 29 Oct 2014 19:30:19 +0000 (UTC)", true, 130590846190000000ULL},
        DateRow{"Start2040", "Sun, 01 Jan 2040 00:00:00 +0000", true, 138534624000000000ULL},
        DateRow{"EpochParsesSuccessfully", "Thu, 01 Jan 1970 00:00:00 +0000", true, kFiletimeOf1970},
        DateRow{"LastSecondOf1969", "Wed, 31 Dec 1969 23:59:59 +0000", true, kFiletimeOf1970 - kFiletimeTicksPerSecond},
        DateRow{"FirstInstantOf1601", "Mon, 01 Jan 1601 00:00:00 +0000", true, 0},
        DateRow{"LastSecondOf1600Fails", "Sun, 31 Dec 1600 23:59:59 +0000", false, 0},
        DateRow{"OffsetPushesBefore1601Fails", "Mon, 01 Jan 1601 00:30:00 +0100", false, 0},
        DateRow{"DayOfYearSixtyInLeapYear", "Mon, 29 Feb 2016 00:00:00 +0000", true, 131011776000000000ULL},
        DateRow{"March2100AfterFeb28", "Mon, 01 Mar 2100 00:00:00 +0000", true, 157520160000000000ULL},
        DateRow{"Feb28Of2100", "Sun, 28 Feb 2100 00:00:00 +0000", true, 157519296000000000ULL},
        DateRow{"March2000AfterFeb29", "Wed, 01 Mar 2000 00:00:00 +0000", true, 125961696000000000ULL + 2 * kDay},
        DateRow{"March1900AfterFeb28", "Thu, 01 Mar 1900 00:00:00 +0000", true, 94404960000000000ULL + kDay},
        DateRow{"DayZeroIsLastOfPreviousMonth", "Sat, 0 Mar 2014 00:00:00 +0000", true, 130380192000000000ULL},
        DateRow{"HourTwentyFiveCarries", "Wed, 29 Oct 2014 25:30:19 +0000", true, 130591062190000000ULL},
        DateRow{"DigitsThenTextReadToFirstNonDigit", "Wed, 29x Oct 2014 19:30:19 +0000", true, 130590846190000000ULL},
        DateRow{"LongMonthNameUsesFirstThree", "Wed, 29 October 2014 19:30:19 +0000", true, 130590846190000000ULL},
        DateRow{"NoZoneIsUtc", "Wed, 29 Oct 2014 19:30:19", true, 130590846190000000ULL},
        DateRow{"SpaceButNoZoneIsUtc", "Wed, 29 Oct 2014 19:30:19 ", true, 130590846190000000ULL},
        DateRow{"GmtIsUtc", "Wed, 29 Oct 2014 19:30:19 GMT", true, 130590846190000000ULL},
        DateRow{"UtcIsUtc", "Wed, 29 Oct 2014 19:30:19 UTC", true, 130590846190000000ULL},
        DateRow{"ZuluIsUtc", "Wed, 29 Oct 2014 19:30:19 Z", true, 130590846190000000ULL},
        DateRow{"OtherNamedZoneFails", "Wed, 29 Oct 2014 19:30:19 EST", false, 0},
        DateRow{"NamedZoneRunOnFails", "Wed, 29 Oct 2014 19:30:19 GMTX", false, 0},
        DateRow{"SecondsWithoutDigitsAtEndFails", "Wed, 29 Oct 2014 19:30:", false, 0},
        DateRow{"FiveDigitZoneFails", "Wed, 29 Oct 2014 19:30:19 +02000", false, 0},
        DateRow{"ZoneMinutesOutOfRangeFails", "Wed, 29 Oct 2014 19:30:19 +0060", false, 0},
        DateRow{"NoCommaFails", "29 Oct 2014 19:30:19 +0000", false, 0},
        DateRow{"LowerCaseMonthFails", "Wed, 29 oct 2014 19:30:19 +0000", false, 0},
        DateRow{"UnknownMonthFails", "Wed, 29 Xyz 2014 19:30:19 +0000", false, 0},
        DateRow{"ShortMonthFails", "Wed, 29 Oc 2014 19:30:19 +0000", false, 0},
        DateRow{"DayWithoutDigitsFails", "Wed, xx Oct 2014 19:30:19 +0000", false, 0},
        DateRow{"EmptyHourFails", "Wed, 29 Oct 2014 :30:19 +0000", false, 0},
        DateRow{"SignOnlySecondsFails", "Wed, 29 Oct 2014 19:30:- +0000", false, 0},
        DateRow{"TenDigitYearFails", "Wed, 29 Oct 2014000000 19:30:19 +0000", false, 0},
        DateRow{"MissingColonFails", "Wed, 29 Oct 2014 19:30 +0000", false, 0}, DateRow{"EmptyFails", "", false, 0}),
    RowName());

struct SecondsRow {
    const char *name;
    int64_t seconds;
    bool ok;
    uint64_t expected;
};

void PrintTo(const SecondsRow &row, std::ostream *os) { *os << row.name; }

class SecondsToFILETIMETest : public testing::TestWithParam<SecondsRow> {};

TEST_P(SecondsToFILETIMETest, ConvertsWithinRange) {
    const SecondsRow &row = GetParam();
    uint64_t value = kUnset;
    EXPECT_EQ(SecondsToFILETIME(row.seconds, &value), row.ok);
    EXPECT_EQ(value, row.ok ? row.expected : kUnset);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SecondsToFILETIMETest,
    testing::Values(SecondsRow{"Epoch", 0, true, kFiletimeOf1970},
                    SecondsRow{"Worked2014", 1414611019, true, 130590846190000000ULL},
                    SecondsRow{"OneSecondBefore1970", -1, true, kFiletimeOf1970 - kFiletimeTicksPerSecond},
                    SecondsRow{"Start1601", -11644473600LL, true, 0},
                    SecondsRow{"Before1601", -11644473601LL, false, 0},
                    SecondsRow{"LargestSigned", 910692730085LL, true, 9223372036850000000ULL},
                    SecondsRow{"PastSignedRange", 910692730086LL, false, 0},
                    SecondsRow{"Int64Max", INT64_MAX, false, 0}, SecondsRow{"Int64Min", INT64_MIN, false, 0}),
    RowName());

} // namespace
