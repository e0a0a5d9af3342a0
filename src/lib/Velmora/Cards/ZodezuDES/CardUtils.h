// Byte codecs for the fixed-width fields of card files and reader frames: each writes or reads
// at an iterator that it advances past the field. The caller owns the vector and sizes it first:
// nothing here checks bounds or grows the vector, except that pushHexString checks its text.
// Stateless; any thread may call.
//
// Dates: the packed forms count from 1990 (DateC) or from 2010 (DateC2, DateTimeC2). A packed
// value of 0 in the 2010-based forms is the null date, which reads as the default Date
// (1970-01-01); any date before 2010 writes as 0, so a null date read back writes back as 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/DateTime.h"

namespace CardUtils {

// Iterators are templates so that both a vector's iterator and its const_iterator can be read.

template <typename It>
void pushByte(It& it, uint8_t value)
{
    *it++ = value;
}

template <typename It>
uint8_t popByte(It& it)
{
    return static_cast<uint8_t>(*it++);
}

// Two bytes, least significant first.
template <typename It>
void pushShort(It& it, uint16_t value)
{
    *it++ = static_cast<uint8_t>(value);
    *it++ = static_cast<uint8_t>(value >> 8);
}

template <typename It>
uint16_t popShort(It& it)
{
    uint16_t value = static_cast<uint8_t>(*it++);
    value = static_cast<uint16_t>(value | static_cast<uint8_t>(*it++) << 8);
    return value;
}

// Four bytes, least significant first.
template <typename It>
void pushLong(It& it, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) *it++ = static_cast<uint8_t>(value >> shift);
}

template <typename It>
uint32_t popLong(It& it)
{
    uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8)
        value |= static_cast<uint32_t>(static_cast<uint8_t>(*it++)) << shift;
    return value;
}

// Two bytes, most significant first.
template <typename It>
void pushReverseShort(It& it, uint16_t value)
{
    *it++ = static_cast<uint8_t>(value >> 8);
    *it++ = static_cast<uint8_t>(value);
}

template <typename It>
uint16_t popReverseShort(It& it)
{
    uint16_t value = static_cast<uint8_t>(*it++);
    value = static_cast<uint16_t>(value << 8 | static_cast<uint8_t>(*it++));
    return value;
}

// Four bytes, most significant first.
template <typename It>
void pushReverseLong(It& it, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) *it++ = static_cast<uint8_t>(value >> shift);
}

template <typename It>
uint32_t popReverseLong(It& it)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(*it++);
    return value;
}

template <typename It>
void pushVector(It& it, const std::vector<uint8_t>& v)
{
    for (uint8_t b : v) *it++ = b;
}

template <typename It>
std::vector<uint8_t> popVector(It& it, unsigned n)
{
    std::vector<uint8_t> out(it, std::next(it, n));
    std::advance(it, n);
    return out;
}

// n bytes, last one first.
template <typename It>
std::vector<uint8_t> popReverseVector(It& it, unsigned n)
{
    std::vector<uint8_t> out(it, std::next(it, n));
    std::reverse(out.begin(), out.end());
    std::advance(it, n);
    return out;
}

// n bytes as upper-case hex, two digits per byte.
template <typename It>
std::string popHexString(It& it, unsigned n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * n);
    for (unsigned i = 0; i < n; ++i) {
        const uint8_t b = static_cast<uint8_t>(*it++);
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

namespace detail {

inline int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Date fields clamped to what a packed form can hold: the year as an offset from base.
struct Fields
{
    int year, month, day;
};

inline Fields fields(const Date& date, int base, int maxYear)
{
    return {std::clamp(date.year() - base, 0, maxYear), date.month(), date.day()};
}

}  // namespace detail

// n bytes from exactly 2n hex digits of either case. The whole text is checked before anything
// is written: a wrong digit count throws std::out_of_range, any other character
// std::invalid_argument, and the bytes at the iterator stay as they were.
template <typename It>
void pushHexString(It& it, const std::string& text, unsigned n)
{
    if (text.size() != 2 * static_cast<size_t>(n))
        throw std::out_of_range("Hex text of " + std::to_string(text.size()) + " digits for " +
                                std::to_string(n) + " bytes");
    for (char c : text)
        if (detail::hexValue(c) < 0)
            throw std::invalid_argument("Not a hex digit!");
    for (unsigned i = 0; i < n; ++i)
        *it++ = static_cast<uint8_t>(detail::hexValue(text[2 * i]) << 4 | detail::hexValue(text[2 * i + 1]));
}

// DateC: 16 bits, least significant byte first: year - 1990 (bits 15-9, clamped to 0..127),
// month (8-5), day (4-0). 1990-01-01 and anything clamped to it is 0x0000; a month or day of 0
// reads as 1.
inline uint16_t dateCWord(const Date& date)
{
    const detail::Fields f = detail::fields(date, 1990, 127);
    if (f.year == 0 && f.month == 1 && f.day == 1)
        return 0;
    return static_cast<uint16_t>(f.year << 9 | (f.month & 0x0F) << 5 | (f.day & 0x1F));
}

inline Date dateCFromWord(uint16_t word)
{
    return Date(1990 + (word >> 9), (word >> 5) & 0x0F, word & 0x1F);
}

template <typename It>
void pushDateC(It& it, const Date& date)
{
    pushShort(it, dateCWord(date));
}

template <typename It>
Date popDateC(It& it)
{
    return dateCFromWord(popShort(it));
}

// DateTimeC: the DateC word, then 16 bits, least significant byte first: hour (15-11), minute
// (10-5), seconds / 2 (4-0). An odd second reads back one lower.
template <typename It>
void pushDateTimeC(It& it, const DateTime& dateTime)
{
    const Time t = dateTime.time();
    pushShort(it, dateCWord(dateTime.date()));
    pushShort(it, static_cast<uint16_t>(t.hour() << 11 | t.minute() << 5 | t.second() / 2));
}

template <typename It>
DateTime popDateTimeC(It& it)
{
    const Date date = popDateC(it);
    const uint16_t word = popShort(it);
    return DateTime(date, Time(word >> 11, (word >> 5) & 0x3F, (word & 0x1F) * 2));
}

// DateC2: 15 bits: year - 2010 (bits 14-9, clamped to 63), month (8-5), day (4-0). Bit 15 is
// written 0 and ignored on reading: the layouts keep a flag of their own there.
inline uint16_t dateC2Word(const Date& date)
{
    if (date.year() < 2010 || (date.year() == 2010 && date.month() == 1 && date.day() == 1))
        return 0;
    const detail::Fields f = detail::fields(date, 2010, 63);
    return static_cast<uint16_t>(f.year << 9 | (f.month & 0x0F) << 5 | (f.day & 0x1F));
}

inline Date dateC2FromWord(uint16_t word)
{
    const int year = (word >> 9) & 0x3F;
    if (year == 0)
        return Date();
    return Date(2010 + year, (word >> 5) & 0x0F, word & 0x1F);
}

// Least significant byte first.
template <typename It>
void pushDateC2(It& it, const Date& date)
{
    pushShort(it, dateC2Word(date));
}

template <typename It>
Date popDateC2(It& it)
{
    return dateC2FromWord(popShort(it));
}

// Most significant byte first.
template <typename It>
void pushReverseDateC2(It& it, const Date& date)
{
    pushReverseShort(it, dateC2Word(date));
}

template <typename It>
Date popReverseDateC2(It& it)
{
    return dateC2FromWord(popReverseShort(it));
}

// DateTimeC2: 32 bits, most significant byte first: year - 2010 (31-26, clamped to 63), month
// (25-22), day (21-17), hour (16-12), minute (11-6), second (5-0). A time before 2010, or
// exactly 2010-01-01T00:00:00, is 0; a year field of 0 reads as the null date with the stored time.
inline uint32_t dateTimeC2Word(const DateTime& dateTime)
{
    const Date d = dateTime.date();
    const Time t = dateTime.time();
    if (d.year() < 2010)
        return 0;
    const detail::Fields f = detail::fields(d, 2010, 63);
    if (f.year == 0 && f.month == 1 && f.day == 1 && t.hour() == 0 && t.minute() == 0 && t.second() == 0)
        return 0;
    return static_cast<uint32_t>(f.year) << 26 | static_cast<uint32_t>(f.month & 0x0F) << 22 |
           static_cast<uint32_t>(f.day & 0x1F) << 17 | static_cast<uint32_t>(t.hour() & 0x1F) << 12 |
           static_cast<uint32_t>(t.minute() & 0x3F) << 6 | static_cast<uint32_t>(t.second() & 0x3F);
}

inline DateTime dateTimeC2FromWord(uint32_t word)
{
    const int year = static_cast<int>(word >> 26);
    const Time time(static_cast<int>((word >> 12) & 0x1F), static_cast<int>((word >> 6) & 0x3F),
                    static_cast<int>(word & 0x3F));
    const Date date = year == 0 ? Date()
                                : Date(2010 + year, static_cast<int>((word >> 22) & 0x0F),
                                       static_cast<int>((word >> 17) & 0x1F));
    return DateTime(date, time);
}

template <typename It>
void pushReverseDateTimeC2(It& it, const DateTime& dateTime)
{
    pushReverseLong(it, dateTimeC2Word(dateTime));
}

template <typename It>
DateTime popReverseDateTimeC2(It& it)
{
    return dateTimeC2FromWord(popReverseLong(it));
}

}  // namespace CardUtils
