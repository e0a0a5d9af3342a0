// Calendar values that card layouts read from and write to cards (BCD), print (strftime) and
// compare. Plain values owned by their holder; all arithmetic goes through mktime in the process's
// local time zone, so any thread may use them as long as nobody changes TZ meanwhile.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

class Date
{
public:
    // 1 January 1970.
    Date();
    // Four-digit year, month 1-12, day 1-31; month or day below 1 count as 1, other overflow rolls over.
    Date(int year, int month, int day);

    void set(int year, int month, int day);

    int year() const { return m_tm.tm_year + 1900; }
    int month() const { return m_tm.tm_mon + 1; }
    int day() const { return m_tm.tm_mday; }

    void addDays(int days);

    // strftime; an output that does not fit in 127 characters gives an empty text.
    std::string toString(const std::string& format) const;

    // 0xCCYYMMDD.
    uint32_t toBCD() const;
    // Nibbles are taken at face value; month 0 counts as January and day 0 as 1.
    static Date fromBCD(uint32_t value);

    // Starts from 1 January 1970; a text that does not match keeps whatever was read up to there.
    static Date fromString(const std::string& text, const std::string& format);
    // Today, keeping the current time of day.
    static Date currentDate();

private:
    friend class DateTime;
    void normalise();

    struct tm m_tm;
};

class Time
{
public:
    // The UTC offset (minutes) that means "none given": the local zone's offset applies.
    static constexpr int NoOffset = 65535;

    // 00:00:00, no offset.
    Time();
    // Overflow rolls over and wraps round midnight (25 hours give 01:00).
    Time(int hour, int minute, int second, int utcOffset = NoOffset);

    void set(int hour, int minute, int second, int utcOffset = NoOffset);

    int hour() const { return m_tm.tm_hour; }
    int minute() const { return m_tm.tm_min; }
    int second() const { return m_tm.tm_sec; }
    // The given offset, or the local zone's when none was given.
    int utcOffset() const { return static_cast<int>(m_tm.tm_gmtoff / 60); }

    // May be negative; wraps round midnight.
    void addMinutes(int minutes);

    std::string toString(const std::string& format) const;

    // 0x00HHMMSS.
    uint32_t toBCD() const;
    static Time fromBCD(uint32_t value);

private:
    friend class DateTime;
    // Normalises, then pins the record back to 1 January 1970 and applies the given offset.
    void normalise();

    struct tm m_tm;
    int m_utcOffset;
};

class DateTime
{
public:
    // The offset (seconds) that means "none given".
    static constexpr int NoOffset = 65535;

    // 1 January 1970 00:00:00, no offset.
    DateTime();
    // Takes the offset of the time (the local zone's when the time has none).
    DateTime(const Date& date, const Time& time);

    Date date() const;
    // Without offset.
    Time time() const;

    void setDate(const Date& date);
    void setTime(const Time& time);

    std::string toString(const std::string& format) const;

    // 0x00CCYYMMDDHHMMSS.
    uint64_t toBCD() const;
    static DateTime fromBCD(uint64_t value);

    static DateTime fromString(const std::string& text, const std::string& format);
    static DateTime currentDateTime();
    // The UTC fields, held as if they were local time, with offset 0.
    static DateTime currentDateTimeUTC();

    // Seconds from b to a: positive when a is later.
    static double diff(const DateTime& a, const DateTime& b);

private:
    void normalise();

    struct tm m_tm;
    int m_offset;
};
