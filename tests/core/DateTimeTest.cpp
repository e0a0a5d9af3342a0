#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/Clock.h"
#include "core/DateTime.h"

namespace {

// Central European rules written out in POSIX form, so no zone database is needed: +1 in winter,
// +2 from the last Sunday of March 02:00 to the last Sunday of October 03:00.
const char* const kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const std::string& zone)
    {
        if (const char* old = getenv("TZ")) {
            m_hadOld = true;
            m_old = old;
        }
        setenv("TZ", zone.c_str(), 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_hadOld)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadOld = false;
    std::string m_old;
};

// Proleptic Gregorian calendar from a day count (days since 1970-01-01), computed without the
// C library so that it can judge mktime-based arithmetic.
struct CivilDate
{
    int year;
    int month;
    int day;
};

CivilDate civilFromDays(long days)
{
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long dayOfEra = days - era * 146097;
    const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long mp = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

long daysFromCivil(int year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yearOfEra = year - era * 400;
    const long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

uint32_t bcd(int value)
{
    return static_cast<uint32_t>((value / 10) << 4 | value % 10);
}

uint32_t expectedDateBcd(const CivilDate& d)
{
    return bcd(d.year / 100) << 24 | bcd(d.year % 100) << 16 | bcd(d.month) << 8 | bcd(d.day);
}

::testing::AssertionResult sameDate(const Date& date, int year, int month, int day)
{
    if (date.year() == year && date.month() == month && date.day() == day)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << date.toString("%Y-%m-%d %H:%M:%S") << " instead of " << year << "-" << month << "-" << day;
}

class DateTimeInZone : public ::testing::Test
{
protected:
    ScopedTimeZone m_zone{kCentralEurope};
};

TEST_F(DateTimeInZone, DateFieldsOverflowRollOverAndLowFieldsClampToOne)
{
    EXPECT_TRUE(sameDate(Date(2024, 2, 30), 2024, 3, 1));
    EXPECT_TRUE(sameDate(Date(2023, 2, 29), 2023, 3, 1));
    EXPECT_TRUE(sameDate(Date(2024, 0, 0), 2024, 1, 1));
    EXPECT_TRUE(sameDate(Date(2024, -5, -5), 2024, 1, 1));
    EXPECT_TRUE(sameDate(Date(2024, 1, 32), 2024, 2, 1));
    EXPECT_TRUE(sameDate(Date(2024, 13, 1), 2025, 1, 1));
    EXPECT_TRUE(sameDate(Date(), 1970, 1, 1));

    Date date(1999, 1, 1);
    date.set(2000, 2, 30);
    EXPECT_TRUE(sameDate(date, 2000, 3, 1));  // 2000 is a leap year: 29 February exists
    date.set(1900, 2, 29);
    EXPECT_TRUE(sameDate(date, 1900, 3, 1));  // 1900 is not
    EXPECT_EQ(date.toString("%H:%M:%S"), "00:00:00");
}

TEST_F(DateTimeInZone, AddDaysCrossesLeapDaysYearEndsAndDaylightSavingChanges)
{
    Date date(2024, 3, 1);
    date.addDays(-1);
    EXPECT_TRUE(sameDate(date, 2024, 2, 29));
    date.addDays(1);
    EXPECT_TRUE(sameDate(date, 2024, 3, 1));
    date.addDays(-366);
    EXPECT_TRUE(sameDate(date, 2023, 3, 1));
    date.addDays(365);
    EXPECT_TRUE(sameDate(date, 2024, 2, 29));

    // Day by day through two spring and two autumn changes and two leap days: each step moves
    // exactly one calendar day and the time of day stays midnight.
    for (const int startYear : {1999, 2023}) {
        Date walk(startYear, 1, 1);
        long days = daysFromCivil(startYear, 1, 1);
        for (int step = 0; step < 3 * 366; ++step, ++days) {
            const CivilDate expected = civilFromDays(days);
            ASSERT_TRUE(sameDate(walk, expected.year, expected.month, expected.day)) << "step " << step;
            ASSERT_EQ(walk.toString("%H:%M:%S"), "00:00:00") << "step " << step;
            walk.addDays(1);
        }
    }

    Date back(2000, 1, 1);
    back.addDays(-1);
    EXPECT_TRUE(sameDate(back, 1999, 12, 31));
}

TEST_F(DateTimeInZone, DateBcdRoundTripsAcrossTheCenturyChange)
{
    EXPECT_EQ(Date(1999, 7, 5).toBCD(), 0x19990705u);
    EXPECT_EQ(Date(2024, 3, 15).toBCD(), 0x20240315u);

    for (long days = daysFromCivil(1998, 12, 1); days <= daysFromCivil(2001, 2, 1); ++days) {
        const CivilDate civil = civilFromDays(days);
        const Date date(civil.year, civil.month, civil.day);
        ASSERT_EQ(date.toBCD(), expectedDateBcd(civil)) << date.toString("%Y-%m-%d");
        ASSERT_TRUE(sameDate(Date::fromBCD(date.toBCD()), civil.year, civil.month, civil.day));
    }

    Date newYear = Date::fromBCD(0x19991231);
    newYear.addDays(1);
    EXPECT_EQ(newYear.toBCD(), 0x20000101u);
    EXPECT_TRUE(sameDate(Date::fromBCD(0x20000229), 2000, 2, 29));
    EXPECT_TRUE(sameDate(Date::fromBCD(0x19000229), 1900, 3, 1));

    // Zero month and day count as one; nibbles are not checked.
    EXPECT_TRUE(sameDate(Date::fromBCD(0x20240001), 2024, 1, 1));
    EXPECT_TRUE(sameDate(Date::fromBCD(0x20240300), 2024, 3, 1));
    // 0x1A is read as 1 x 10 + 10 = 20, not rejected.
    EXPECT_TRUE(sameDate(Date::fromBCD(0x2024011A), 2024, 1, 20));
    // Month 0x13 = 13 rolls into the next year.
    EXPECT_TRUE(sameDate(Date::fromBCD(0x20231301), 2024, 1, 1));
}

TEST_F(DateTimeInZone, DateTextForms)
{
    EXPECT_TRUE(sameDate(Date::fromString("", "%Y-%m-%d"), 1970, 1, 1));
    EXPECT_TRUE(sameDate(Date::fromString("2024-03-15", "%Y-%m-%d"), 2024, 3, 15));
    EXPECT_TRUE(sameDate(Date::fromString("15.03.2024", "%d.%m.%Y"), 2024, 3, 15));
    EXPECT_EQ(Date(2024, 3, 15).toString("%Y-%m-%d"), "2024-03-15");
    EXPECT_EQ(Date(2024, 3, 15).toString("%d/%m/%y %a"), "15/03/24 Fri");
    // Output past the 127-character limit is not returned half written.
    EXPECT_EQ(Date(2024, 3, 15).toString(std::string(200, 'x')), "");
    EXPECT_EQ(Date(2024, 3, 15).toString(std::string(127, 'x')), std::string(127, 'x'));
}

TEST_F(DateTimeInZone, TimeWrapsRoundMidnightOnItsPinnedDate)
{
    Time late(23, 45, 0);
    late.addMinutes(30);
    EXPECT_EQ(late.toString("%Y-%m-%d %H:%M:%S"), "1970-01-01 00:15:00");
    late.addMinutes(-30);
    EXPECT_EQ(late.toString("%Y-%m-%d %H:%M:%S"), "1970-01-01 23:45:00");
    late.addMinutes(-24 * 60 * 3 - 1);
    EXPECT_EQ(late.toString("%H:%M:%S"), "23:44:00");

    const Time wrapped(25, 0, 0);
    EXPECT_EQ(wrapped.hour(), 1);
    const Time carried(0, 61, 0);
    EXPECT_EQ(carried.hour(), 1);
    EXPECT_EQ(carried.minute(), 1);
    const Time borrowed(1, 0, -1);
    EXPECT_EQ(borrowed.toString("%H:%M:%S"), "00:59:59");
    EXPECT_EQ(Time().toString("%H:%M:%S"), "00:00:00");

    Time reset(5, 6, 7);
    reset.set(8, 9, 10, 30);
    EXPECT_EQ(reset.toString("%H:%M:%S"), "08:09:10");
    EXPECT_EQ(reset.utcOffset(), 30);
}

TEST_F(DateTimeInZone, TimeOffsetIsTheGivenOneOrTheLocalZones)
{
    EXPECT_EQ(Time(12, 0, 0, 120).utcOffset(), 120);
    EXPECT_EQ(Time(12, 0, 0, -330).utcOffset(), -330);
    EXPECT_EQ(Time(12, 0, 0, 120).toString("%z"), "+0200");
    // The pinned date is in winter: the local zone's standard offset.
    EXPECT_EQ(Time(12, 0, 0).utcOffset(), 60);

    Time shifted(23, 0, 0, 120);
    shifted.addMinutes(90);
    EXPECT_EQ(shifted.utcOffset(), 120);
    EXPECT_EQ(shifted.toString("%H:%M"), "00:30");
}

TEST_F(DateTimeInZone, TimeBcdForms)
{
    EXPECT_EQ(Time(13, 5, 9).toBCD(), 0x00130509u);
    EXPECT_EQ(Time(0, 0, 0).toBCD(), 0u);
    EXPECT_EQ(Time(23, 59, 59).toBCD(), 0x00235959u);
    for (int hour = 0; hour < 24; ++hour) {
        for (int minute = 0; minute < 60; minute += 7) {
            const Time time = Time::fromBCD(bcd(hour) << 16 | bcd(minute) << 8 | bcd(59 - minute));
            ASSERT_EQ(time.hour(), hour);
            ASSERT_EQ(time.minute(), minute);
            ASSERT_EQ(time.second(), 59 - minute);
            ASSERT_EQ(time.toBCD(), bcd(hour) << 16 | bcd(minute) << 8 | bcd(59 - minute));
        }
    }
    // The top byte is not part of the time; 0x24 hours wrap to midnight.
    EXPECT_EQ(Time::fromBCD(0xFF130509).toBCD(), 0x00130509u);
    EXPECT_EQ(Time::fromBCD(0x00240000).toBCD(), 0u);
}

TEST_F(DateTimeInZone, DateTimeBcdRoundTripsAcrossTheCenturyChange)
{
    const DateTime example(Date(2024, 3, 15), Time(13, 5, 9));
    EXPECT_EQ(example.toBCD(), 0x0020240315130509ull);

    for (const uint64_t value : {0x0019991231235959ull, 0x0020000101000000ull, 0x0020000229120000ull,
                                 0x0020241027023000ull, 0x0020240315130509ull}) {
        const DateTime dateTime = DateTime::fromBCD(value);
        EXPECT_EQ(dateTime.toBCD(), value) << std::hex << value;
    }

    DateTime lastSecond = DateTime::fromBCD(0x0019991231235959ull);
    Time next = lastSecond.time();
    next.addMinutes(1);
    Date nextDay = lastSecond.date();
    nextDay.addDays(1);
    const DateTime newYear(nextDay, Time(0, 0, 0));
    EXPECT_EQ(newYear.toBCD(), 0x0020000101000000ull);
    EXPECT_EQ(DateTime::diff(newYear, lastSecond), 1.0);
}

TEST_F(DateTimeInZone, DiffCountsRealSecondsAcrossDaylightSavingChanges)
{
    const DateTime start(Date(2024, 1, 1), Time(0, 0, 0));
    const DateTime minuteLater(Date(2024, 1, 1), Time(0, 1, 0));
    EXPECT_EQ(DateTime::diff(minuteLater, start), 60.0);
    EXPECT_EQ(DateTime::diff(start, minuteLater), -60.0);

    // Clocks jump from 02:00 to 03:00: 01:00 to 04:00 local is two hours.
    EXPECT_EQ(DateTime::diff(DateTime(Date(2024, 3, 31), Time(4, 0, 0)),
                             DateTime(Date(2024, 3, 31), Time(1, 0, 0))),
              2 * 3600.0);
    // The day of the autumn change has 25 hours.
    EXPECT_EQ(DateTime::diff(DateTime(Date(2024, 10, 28), Time(0, 0, 0)),
                             DateTime(Date(2024, 10, 27), Time(0, 0, 0))),
              25 * 3600.0);
    EXPECT_EQ(DateTime::diff(DateTime(Date(2025, 1, 1), Time(0, 0, 0)), start), 366 * 86400.0);
}

TEST_F(DateTimeInZone, DateTimeSplitsAndReplacesItsParts)
{
    DateTime dateTime(Date(2024, 3, 15), Time(13, 5, 9));
    EXPECT_TRUE(sameDate(dateTime.date(), 2024, 3, 15));
    EXPECT_EQ(dateTime.time().toBCD(), 0x130509u);

    dateTime.setDate(Date(2024, 2, 29));
    EXPECT_EQ(dateTime.toString("%Y-%m-%d %H:%M:%S"), "2024-02-29 13:05:09");
    dateTime.setTime(Time(7, 8, 9, 120));
    EXPECT_EQ(dateTime.toString("%Y-%m-%d %H:%M:%S %z"), "2024-02-29 07:08:09 +0200");
    dateTime.setDate(Date(2024, 7, 1));
    EXPECT_EQ(dateTime.toString("%Y-%m-%d %H:%M:%S %z"), "2024-07-01 07:08:09 +0200");

    const DateTime epoch;
    EXPECT_EQ(epoch.toString("%Y-%m-%d %H:%M:%S"), "1970-01-01 00:00:00");
}

TEST_F(DateTimeInZone, DateTimeTextForms)
{
    const char* const iso = "%Y-%m-%dT%H:%M:%SZ";
    EXPECT_EQ(DateTime::fromString("", iso).toString(iso), "1970-01-01T00:00:00Z");
    const DateTime parsed = DateTime::fromString("2024-03-15T13:05:09Z", iso);
    EXPECT_EQ(parsed.toBCD(), 0x0020240315130509ull);
    EXPECT_EQ(parsed.toString(iso), "2024-03-15T13:05:09Z");
    // Field overflow in text is normalised like any other change.
    EXPECT_EQ(DateTime::fromString("2024-12-31 23:59:60", "%Y-%m-%d %H:%M:%S").toString(iso),
              "2025-01-01T00:00:00Z");
}

TEST_F(DateTimeInZone, CurrentUtcDiffersFromLocalByTheZoneOffset)
{
    const DateTime local = DateTime::currentDateTime();
    const DateTime utc = DateTime::currentDateTimeUTC();
    const struct tm now = Clock::getTime();
    // The UTC fields are read as local ones, so the difference is the local offset (one or two
    // hours here); a second may tick between the readings.
    EXPECT_NEAR(DateTime::diff(local, utc), static_cast<double>(now.tm_gmtoff), 2.0);
    EXPECT_EQ(utc.toString("%z"), "+0000");
}

// A zone whose clocks jump forward at the current UTC hour: the UTC reading falls into the local
// gap, and must still come back with the UTC fields, not moved an hour by mktime.
TEST(DateTimeCurrentUtc, KeepsItsFieldsWhenTheyFallIntoALocalGap)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const struct tm before = Clock::getTimeUTC();
        // Standard time equals UTC, summer time is one hour ahead; the change happens today at
        // this hour and the return lies half a year away.
        const std::string zone = "AAA0BBB-1," + std::to_string(before.tm_yday) + "/" +
                                 std::to_string(before.tm_hour) + "," +
                                 std::to_string((before.tm_yday + 180) % 365) + "/0";
        ScopedTimeZone scoped(zone);
        const DateTime utc = DateTime::currentDateTimeUTC();
        const struct tm after = Clock::getTimeUTC();
        if (after.tm_hour != before.tm_hour || after.tm_yday != before.tm_yday)
            continue;
        char expected[32];
        strftime(expected, sizeof(expected), "%Y-%m-%d %H", &after);
        EXPECT_EQ(utc.toString("%Y-%m-%d %H"), expected) << zone;
        return;
    }
    FAIL() << "the UTC hour kept changing";
}

// Where daylight saving starts at midnight, midnight does not exist on that day; dates must still
// keep their day.
TEST(DateTimeMidnightChange, DatesKeepTheirDayWhenMidnightIsSkipped)
{
    ScopedTimeZone zone("<-03>3<-02>,M10.3.0/0,M2.3.0/0");
    EXPECT_TRUE(sameDate(Date(2024, 10, 20), 2024, 10, 20));
    Date walk(2024, 10, 18);
    for (int day = 18; day <= 23; ++day) {
        EXPECT_TRUE(sameDate(walk, 2024, 10, day));
        walk.addDays(1);
    }
    EXPECT_EQ(Date::fromBCD(0x20241020).toBCD(), 0x20241020u);
    Date back(2024, 10, 21);
    back.addDays(-1);
    EXPECT_TRUE(sameDate(back, 2024, 10, 20));
}

}  // namespace
