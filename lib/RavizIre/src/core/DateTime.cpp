#include "core/DateTime.h"

#include <iomanip>
#include <sstream>

#include "core/Clock.h"

namespace {

// The flag is cleared on every change so that mktime decides daylight saving from the fields
// themselves; a stale flag would shift the hour when a change crosses a transition.
void normaliseLocal(struct tm& tm)
{
    tm.tm_isdst = -1;
    mktime(&tm);
}

std::string formatTm(const struct tm& tm, const std::string& format)
{
    char buffer[128] = {};
    const size_t length = strftime(buffer, sizeof(buffer), format.c_str(), &tm);
    return std::string(buffer, length);
}

uint32_t toBcdByte(int value)
{
    return static_cast<uint32_t>((value / 10) * 16 + value % 10) & 0xFF;
}

uint32_t centuryToBcd(int year)
{
    return static_cast<uint32_t>((year / 1000) * 16 + (year / 100) % 10) & 0xFF;
}

int fromBcdByte(uint32_t value)
{
    return static_cast<int>(((value >> 4) & 0x0F) * 10 + (value & 0x0F));
}

uint32_t dateToBcd(const struct tm& tm)
{
    const int year = tm.tm_year + 1900;
    return centuryToBcd(year) << 24 | toBcdByte(year % 100) << 16 | toBcdByte(tm.tm_mon + 1) << 8 |
           toBcdByte(tm.tm_mday);
}

uint32_t timeToBcd(const struct tm& tm)
{
    return toBcdByte(tm.tm_hour) << 16 | toBcdByte(tm.tm_min) << 8 | toBcdByte(tm.tm_sec);
}

void readTime(struct tm& tm, const std::string& text, const std::string& format)
{
    std::istringstream in(text);
    in >> std::get_time(&tm, format.c_str());
}

}  // namespace

// --- Date ---------------------------------------------------------------------------------------

Date::Date()
{
    set(1970, 1, 1);
}

Date::Date(int year, int month, int day)
{
    set(year, month, day);
}

void Date::set(int year, int month, int day)
{
    m_tm = {};
    m_tm.tm_year = year - 1900;
    m_tm.tm_mon = month < 1 ? 0 : month - 1;
    m_tm.tm_mday = day < 1 ? 1 : day;
    normalise();
}

void Date::normalise()
{
    normaliseLocal(m_tm);
}

void Date::addDays(int days)
{
    m_tm.tm_mday += days;
    normalise();
}

std::string Date::toString(const std::string& format) const
{
    return formatTm(m_tm, format);
}

uint32_t Date::toBCD() const
{
    return dateToBcd(m_tm);
}

Date Date::fromBCD(uint32_t value)
{
    const int year = fromBcdByte(value >> 24) * 100 + fromBcdByte(value >> 16);
    return Date(year, fromBcdByte(value >> 8), fromBcdByte(value));
}

Date Date::fromString(const std::string& text, const std::string& format)
{
    Date date;
    if (text.empty())
        return date;
    readTime(date.m_tm, text, format);
    date.normalise();
    return date;
}

Date Date::currentDate()
{
    Date date;
    date.m_tm = Clock::getTime();
    date.normalise();
    return date;
}

// --- Time ---------------------------------------------------------------------------------------

Time::Time()
{
    set(0, 0, 0, NoOffset);
}

Time::Time(int hour, int minute, int second, int utcOffset)
{
    set(hour, minute, second, utcOffset);
}

void Time::set(int hour, int minute, int second, int utcOffset)
{
    m_tm = {};
    m_tm.tm_year = 70;
    m_tm.tm_mday = 1;
    m_tm.tm_hour = hour;
    m_tm.tm_min = minute;
    m_tm.tm_sec = second;
    m_utcOffset = utcOffset;
    normalise();
}

void Time::normalise()
{
    normaliseLocal(m_tm);
    m_tm.tm_year = 70;
    m_tm.tm_mon = 0;
    m_tm.tm_mday = 1;
    m_tm.tm_wday = 0;
    m_tm.tm_yday = 0;
    if (m_utcOffset != NoOffset)
        m_tm.tm_gmtoff = static_cast<long>(m_utcOffset) * 60;
}

void Time::addMinutes(int minutes)
{
    m_tm.tm_min += minutes;
    normalise();
}

std::string Time::toString(const std::string& format) const
{
    return formatTm(m_tm, format);
}

uint32_t Time::toBCD() const
{
    return timeToBcd(m_tm);
}

Time Time::fromBCD(uint32_t value)
{
    return Time(fromBcdByte(value >> 16), fromBcdByte(value >> 8), fromBcdByte(value));
}

// --- DateTime -----------------------------------------------------------------------------------

DateTime::DateTime() : m_tm{}, m_offset(NoOffset)
{
    m_tm.tm_year = 70;
    m_tm.tm_mday = 1;
    normalise();
}

DateTime::DateTime(const Date& date, const Time& time) : m_tm{}, m_offset(time.utcOffset() * 60)
{
    m_tm.tm_year = date.m_tm.tm_year;
    m_tm.tm_mon = date.m_tm.tm_mon;
    m_tm.tm_mday = date.m_tm.tm_mday;
    m_tm.tm_hour = time.m_tm.tm_hour;
    m_tm.tm_min = time.m_tm.tm_min;
    m_tm.tm_sec = time.m_tm.tm_sec;
    normalise();
}

void DateTime::normalise()
{
    normaliseLocal(m_tm);
    if (m_offset != NoOffset)
        m_tm.tm_gmtoff = m_offset;
}

Date DateTime::date() const
{
    return Date(m_tm.tm_year + 1900, m_tm.tm_mon + 1, m_tm.tm_mday);
}

Time DateTime::time() const
{
    return Time(m_tm.tm_hour, m_tm.tm_min, m_tm.tm_sec);
}

void DateTime::setDate(const Date& date)
{
    m_tm.tm_year = date.m_tm.tm_year;
    m_tm.tm_mon = date.m_tm.tm_mon;
    m_tm.tm_mday = date.m_tm.tm_mday;
    normalise();
}

void DateTime::setTime(const Time& time)
{
    m_tm.tm_hour = time.m_tm.tm_hour;
    m_tm.tm_min = time.m_tm.tm_min;
    m_tm.tm_sec = time.m_tm.tm_sec;
    m_offset = time.utcOffset() * 60;
    normalise();
}

std::string DateTime::toString(const std::string& format) const
{
    return formatTm(m_tm, format);
}

uint64_t DateTime::toBCD() const
{
    return static_cast<uint64_t>(dateToBcd(m_tm)) << 24 | timeToBcd(m_tm);
}

DateTime DateTime::fromBCD(uint64_t value)
{
    return DateTime(Date::fromBCD(static_cast<uint32_t>(value >> 24)),
                    Time::fromBCD(static_cast<uint32_t>(value & 0xFFFFFF)));
}

DateTime DateTime::fromString(const std::string& text, const std::string& format)
{
    DateTime dateTime;
    if (text.empty())
        return dateTime;
    readTime(dateTime.m_tm, text, format);
    dateTime.normalise();
    return dateTime;
}

DateTime DateTime::currentDateTime()
{
    DateTime dateTime;
    dateTime.m_tm = Clock::getTime();
    return dateTime;
}

DateTime DateTime::currentDateTimeUTC()
{
    const struct tm utc = Clock::getTimeUTC();
    DateTime dateTime;
    dateTime.m_tm = utc;
    dateTime.m_offset = 0;
    dateTime.normalise();
    // A UTC reading that falls into the local zone's spring-forward gap would be moved an hour
    // by mktime; the UTC fields are what the caller asked for, so they win.
    if (dateTime.m_tm.tm_hour != utc.tm_hour || dateTime.m_tm.tm_mday != utc.tm_mday) {
        dateTime.m_tm.tm_year = utc.tm_year;
        dateTime.m_tm.tm_mon = utc.tm_mon;
        dateTime.m_tm.tm_mday = utc.tm_mday;
        dateTime.m_tm.tm_hour = utc.tm_hour;
        dateTime.m_tm.tm_min = utc.tm_min;
        dateTime.m_tm.tm_sec = utc.tm_sec;
        dateTime.m_tm.tm_wday = utc.tm_wday;
        dateTime.m_tm.tm_yday = utc.tm_yday;
    }
    return dateTime;
}

double DateTime::diff(const DateTime& a, const DateTime& b)
{
    // The stored daylight-saving flags are kept so that a time in the repeated autumn hour keeps
    // the side of the transition it was normalised to.
    struct tm first = a.m_tm;
    struct tm second = b.m_tm;
    return difftime(mktime(&first), mktime(&second));
}
