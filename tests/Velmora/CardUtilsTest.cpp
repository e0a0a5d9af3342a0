// The card-file byte codecs: byte order, packed dates at their edges, hex text, iterator advance,
// and nothing written past the field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velmora/Cards/ZodezuDES/CardUtils.h"

using Bytes = std::vector<uint8_t>;

namespace {

TEST(CardUtils, ReverseLongIsBigEndianBothWays)
{
    const struct
    {
        uint32_t value;
        Bytes bytes;
    } cases[] = {
        {0x00000000, {0x00, 0x00, 0x00, 0x00}}, {0x12345678, {0x12, 0x34, 0x56, 0x78}},
        {0x000000FF, {0x00, 0x00, 0x00, 0xFF}}, {0xFF000000, {0xFF, 0x00, 0x00, 0x00}},
        {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        Bytes buffer(6, 0xEE);
        auto out = buffer.begin() + 1;
        CardUtils::pushReverseLong(out, c.value);
        EXPECT_EQ(out - buffer.begin(), 5);
        EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.begin() + 5), c.bytes);
        EXPECT_EQ(buffer.front(), 0xEE);  // untouched on both sides
        EXPECT_EQ(buffer.back(), 0xEE);

        const Bytes& in = buffer;
        auto it = in.begin() + 1;
        EXPECT_EQ(CardUtils::popReverseLong(it), c.value);
        EXPECT_EQ(it - in.begin(), 5);
    }
}

TEST(CardUtils, VectorsAndBytesAdvanceByWhatTheyMove)
{
    Bytes buffer(8, 0xEE);
    auto out = buffer.begin();
    CardUtils::pushByte(out, 0x42);
    CardUtils::pushVector(out, {});
    EXPECT_EQ(out - buffer.begin(), 1);
    CardUtils::pushVector(out, {0x01, 0x02, 0x03});
    EXPECT_EQ(out - buffer.begin(), 4);
    EXPECT_EQ(buffer, (Bytes{0x42, 0x01, 0x02, 0x03, 0xEE, 0xEE, 0xEE, 0xEE}));

    auto in = buffer.begin();
    EXPECT_EQ(CardUtils::popReverseVector(in, 3), (Bytes{0x02, 0x01, 0x42}));
    in = buffer.begin();
    EXPECT_TRUE(CardUtils::popVector(in, 0).empty());
    EXPECT_EQ(in, buffer.begin());
    EXPECT_EQ(CardUtils::popVector(in, 4), (Bytes{0x42, 0x01, 0x02, 0x03}));
    EXPECT_EQ(CardUtils::popVector(in, 4), Bytes(4, 0xEE));
    EXPECT_EQ(in, buffer.end());
}

// A codec under test: writes a value given as text, reads one back as text.
struct Codec
{
    std::function<void(Bytes::iterator&, const std::string&)> push;
    std::function<std::string(Bytes::const_iterator&)> pop;
};

const char* const DateFormat = "%Y-%m-%d";
const char* const DateTimeFormat = "%Y-%m-%dT%H:%M:%SZ";

template <typename It>
Codec date(void (*push)(Bytes::iterator&, const Date&), Date (*pop)(It&))
{
    return {[push](Bytes::iterator& it, const std::string& v) { push(it, Date::fromString(v, DateFormat)); },
            [pop](Bytes::const_iterator& it) { return pop(it).toString(DateFormat); }};
}

template <typename It>
Codec dateTime(void (*push)(Bytes::iterator&, const DateTime&), DateTime (*pop)(It&))
{
    return {[push](Bytes::iterator& it, const std::string& v) {
                push(it, DateTime::fromString(v, DateTimeFormat));
            },
            [pop](Bytes::const_iterator& it) { return pop(it).toString(DateTimeFormat); }};
}

Codec hex(unsigned n)
{
    return {[n](Bytes::iterator& it, const std::string& v) { CardUtils::pushHexString(it, v, n); },
            [n](Bytes::const_iterator& it) { return CardUtils::popHexString(it, n); }};
}

TEST(CardUtils, PackedDatesAndHexAtTheirEdges)
{
    using namespace CardUtils;
    using W = Bytes::iterator;
    using R = Bytes::const_iterator;
    const Codec dateC = date(pushDateC<W>, popDateC<R>);
    const Codec dateTimeC = dateTime(pushDateTimeC<W>, popDateTimeC<R>);
    const Codec dateC2 = date(pushDateC2<W>, popDateC2<R>);
    const Codec dateC2BE = date(pushReverseDateC2<W>, popReverseDateC2<R>);
    const Codec dateTimeC2 = dateTime(pushReverseDateTimeC2<W>, popReverseDateTimeC2<R>);
    // clang-format off
    const struct
    {
        const char* name;
        const Codec codec;
        std::string value;     // empty: bytes as a card may hold them, only read
        Bytes bytes;
        std::string readBack;  // empty: the value itself, a round trip
    } cases[] = {
        {"DateC epoch", dateC, "1990-01-01", {0x00, 0x00}, ""},
        {"DateC null date clamps to the epoch", dateC, "1970-01-01", {0x00, 0x00}, "1990-01-01"},
        {"DateC leap day", dateC, "2024-02-29", {0x5D, 0x44}, ""},
        {"DateC last", dateC, "2117-12-31", {0x9F, 0xFF}, ""},
        {"DateC year clamps to 127", dateC, "2200-06-15", {0xCF, 0xFE}, "2117-06-15"},
        {"DateC day 0", dateC, "", {0x40, 0x44}, "2024-02-01"},
        {"DateC month 0", dateC, "", {0x05, 0x44}, "2024-01-05"},
        {"DateTimeC odd second", dateTimeC, "2024-02-29T13:45:31Z", {0x5D, 0x44, 0xAF, 0x6D}, "2024-02-29T13:45:30Z"},
        {"DateTimeC epoch", dateTimeC, "1990-01-01T00:00:00Z", {0x00, 0x00, 0x00, 0x00}, ""},
        {"DateC2 epoch is null", dateC2BE, "2010-01-01", {0x00, 0x00}, "1970-01-01"},
        {"DateC2 before the epoch", dateC2BE, "2009-12-31", {0x00, 0x00}, "1970-01-01"},
        {"DateC2 null date", dateC2BE, "1970-01-01", {0x00, 0x00}, ""},
        {"DateC2 day after the epoch has year 0", dateC2BE, "2010-01-02", {0x00, 0x22}, "1970-01-01"},
        {"DateC2 leap day", dateC2BE, "2024-02-29", {0x1C, 0x5D}, ""},
        {"DateC2 low byte first", dateC2, "2024-02-29", {0x5D, 0x1C}, ""},
        {"DateC2 bit 15 is not the date's", dateC2BE, "", {0x9C, 0x5D}, "2024-02-29"},
        {"DateC2 last", dateC2BE, "2073-12-31", {0x7F, 0x9F}, ""},
        {"DateC2 year clamps to 63", dateC2BE, "2080-01-01", {0x7E, 0x21}, "2073-01-01"},
        {"DateTimeC2 odd second", dateTimeC2, "2024-02-29T13:45:31Z", {0x38, 0xBA, 0xDB, 0x5F}, ""},
        {"DateTimeC2 epoch", dateTimeC2, "2010-01-01T00:00:00Z", {0x00, 0x00, 0x00, 0x00}, "1970-01-01T00:00:00Z"},
        {"DateTimeC2 before the epoch", dateTimeC2, "2009-12-31T23:59:59Z", {0x00, 0x00, 0x00, 0x00}, "1970-01-01T00:00:00Z"},
        {"DateTimeC2 null date", dateTimeC2, "1970-01-01T00:00:00Z", {0x00, 0x00, 0x00, 0x00}, ""},
        {"DateTimeC2 year 0 keeps its time", dateTimeC2, "2010-01-01T00:00:01Z", {0x00, 0x42, 0x00, 0x01}, "1970-01-01T00:00:01Z"},
        {"DateTimeC2 month and day 0", dateTimeC2, "", {0x38, 0x00, 0xD0, 0x00}, "2024-01-01T13:00:00Z"},
        {"DateTimeC2 last", dateTimeC2, "2073-12-31T23:59:59Z", {0xFF, 0x3F, 0x7E, 0xFB}, ""},
        {"DateTimeC2 year clamps to 63", dateTimeC2, "2074-01-01T00:00:00Z", {0xFC, 0x42, 0x00, 0x00}, "2073-01-01T00:00:00Z"},
        {"hex", hex(3), "0AB0FF", {0x0A, 0xB0, 0xFF}, ""},
        {"hex in lower case", hex(3), "0ab0ff", {0x0A, 0xB0, 0xFF}, "0AB0FF"},
        {"hex of nothing", hex(0), "", {}, ""},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string readBack = c.readBack.empty() ? c.value : c.readBack;
        // Written between two guard bytes that must stay, then read back.
        Bytes buffer(c.bytes.size() + 2, 0xEE);
        auto out = buffer.begin() + 1;
        if (!c.value.empty()) {
            c.codec.push(out, c.value);
            EXPECT_EQ(out - buffer.begin(), static_cast<long>(c.bytes.size()) + 1);
            EXPECT_EQ(Bytes(buffer.begin() + 1, buffer.end() - 1), c.bytes);
            EXPECT_EQ(buffer.front(), 0xEE);
            EXPECT_EQ(buffer.back(), 0xEE);
        }
        std::copy(c.bytes.begin(), c.bytes.end(), buffer.begin() + 1);
        auto in = buffer.cbegin() + 1;
        EXPECT_EQ(c.codec.pop(in), readBack);
        EXPECT_EQ(in - buffer.cbegin(), static_cast<long>(c.bytes.size()) + 1);
    }
}

TEST(CardUtils, HexTextIsRefusedWholeBeforeAnyByteIsWritten)
{
    const struct
    {
        std::string text;
        bool outOfRange;  // else std::invalid_argument
    } cases[] = {{"0AB0F", true}, {"0AB0FF00", true}, {"0A", true}, {"0AG0FF", false}, {"0A B0F", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Bytes buffer(4, 0xEE);
        auto out = buffer.begin();
        if (c.outOfRange)
            EXPECT_THROW(CardUtils::pushHexString(out, c.text, 3), std::out_of_range);
        else
            EXPECT_THROW(CardUtils::pushHexString(out, c.text, 3), std::invalid_argument);
        EXPECT_EQ(buffer, Bytes(4, 0xEE));
        EXPECT_EQ(out, buffer.begin());
    }
}

}  // namespace
