#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "NFC/BitBuffer.h"
#include "core/String.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string& text)
{
    return String::fromHex(text);
}

TEST(BitBuffer, FieldsPackMostSignificantBitFirst)
{
    BitBuffer buffer;
    buffer.pushInt(5, 3);
    buffer.pushInt(1, 1);
    EXPECT_EQ(buffer.data(), hex("B0"));
    EXPECT_EQ(buffer.unreadBits(), 4u);

    BitBuffer read(hex("ABCD"));
    EXPECT_EQ(read.popInt(4), 0xAu);
    EXPECT_EQ(read.popInt(8), 0xBCu);
    EXPECT_EQ(read.popInt(8), 0xD0u);  // the last four bits lie past the end
    EXPECT_EQ(read.unreadBits(), 0u);

    BitBuffer zeroWidth(hex("FF"));
    zeroWidth.pushInt(0xFFFFFFFF, 0);
    EXPECT_EQ(zeroWidth.popInt(0), 0u);
    EXPECT_EQ(zeroWidth.unreadBits(), 8u);
}

TEST(BitBuffer, RandomFieldsRoundTrip)
{
    std::mt19937 rng(17);
    std::vector<std::pair<uint32_t, unsigned>> fields;
    BitBuffer buffer;
    for (int i = 0; i < 500; ++i) {
        const unsigned width = 1 + rng() % 32;
        const uint32_t value = width == 32 ? rng() : rng() & ((1u << width) - 1);
        fields.emplace_back(value, width);
        buffer.pushInt(value | (width == 32 ? 0 : rng() << width), width);  // high bits are not written
    }
    // Copy through data() part-way to check the packing of an unaligned read position as well.
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i == fields.size() / 2) {
            const unsigned unread = buffer.unreadBits();
            BitBuffer copy(buffer.data());
            EXPECT_EQ(copy.unreadBits(), (unread + 7) / 8 * 8);
            buffer = copy;
        }
        SCOPED_TRACE(i);
        ASSERT_EQ(buffer.popInt(fields[i].second), fields[i].first);
    }
}

TEST(BitBuffer, WidthsAboveThirtyTwoNeverShiftOutOfRange)
{
    BitBuffer buffer;
    buffer.pushInt(0xFFFFFFFF, 40);  // eight zero bits first, then 32 ones
    EXPECT_EQ(buffer.data(), hex("00FFFFFFFF"));
    EXPECT_EQ(buffer.popInt(40), 0xFFFFFFFFu);

    BitBuffer wide(hex("123456789ABC"));
    EXPECT_EQ(wide.popInt(48), 0x56789ABCu);  // only the last 32 bits read land in the result

    BitBuffer past(hex("F0"));
    EXPECT_EQ(past.popInt(100), 0u);
    EXPECT_EQ(past.unreadBits(), 0u);
    EXPECT_EQ(past.popInt(32), 0u);
    EXPECT_EQ(past.popInt(UINT32_MAX), 0u);
    EXPECT_TRUE(past.data().empty());
    EXPECT_EQ(past.popChar6(2), "  ");
}

TEST(BitBuffer, SixBitText)
{
    BitBuffer buffer;
    buffer.pushChar6("Ab", 3);
    BitBuffer codes(buffer.data());
    EXPECT_EQ(codes.popInt(6), 0x21u);
    EXPECT_EQ(codes.popInt(6), 0x00u);
    EXPECT_EQ(codes.popInt(6), 0x00u);
    EXPECT_EQ(buffer.popChar6(3), "A  ");  // no trimming

    // Every character from space to underscore survives; outside that range becomes a space.
    std::string all;
    for (char c = 0x20; c <= 0x5F; ++c) all.push_back(c);
    BitBuffer text;
    text.pushChar6(all, 0);
    EXPECT_EQ(text.unreadBits(), all.size() * 6);
    EXPECT_EQ(text.popChar6(static_cast<int>(all.size())), all);

    BitBuffer odd;
    odd.pushChar6(std::string("\x01\x7F\xC3z_", 5), 0);
    EXPECT_EQ(odd.popChar6(5), "    _");

    BitBuffer none;
    none.pushChar6("ABC", -1);
    EXPECT_EQ(none.unreadBits(), 0u);
    EXPECT_EQ(none.popChar6(0), "");
    EXPECT_EQ(none.popChar6(-3), "");
}

TEST(BitBuffer, BuffersMoveBitsBetweenThem)
{
    BitBuffer source(hex("ABCDEF"));
    source.popInt(4);
    BitBuffer target;
    target.pushInt(1, 1);
    target.pushBuffer(source);
    EXPECT_EQ(source.unreadBits(), 20u);  // unchanged
    EXPECT_EQ(target.unreadBits(), 21u);
    EXPECT_EQ(target.data(), hex("DE6F78"));  // 1 followed by BCDEF, zero-filled

    BitBuffer self(hex("A5"));
    self.pushBuffer(self);
    EXPECT_EQ(self.data(), hex("A5A5"));

    BitBuffer twenty;
    twenty.pushInt(0xABCDE, 20);
    const BitBuffer taken = twenty.popBuffer(100);
    EXPECT_EQ(twenty.unreadBits(), 0u);
    EXPECT_EQ(taken.unreadBits(), 20u);
    EXPECT_EQ(taken.data(), hex("ABCDE0"));

    BitBuffer part(hex("ABCD"));
    BitBuffer head = part.popBuffer(5);
    EXPECT_EQ(head.popInt(5), 0x15u);
    EXPECT_EQ(part.popInt(11), 0x3CDu);
}

TEST(BitBuffer, DataPacksTheUnreadBitsWithoutConsuming)
{
    BitBuffer buffer;
    buffer.pushInt(0xFFF, 12);
    EXPECT_EQ(buffer.data(), hex("FFF0"));
    EXPECT_EQ(buffer.unreadBits(), 12u);

    BitBuffer shifted(hex("0123456789"));
    shifted.popInt(3);
    EXPECT_EQ(shifted.data(), hex("091A2B3C48"));
    EXPECT_EQ(shifted.unreadBits(), 37u);
    EXPECT_TRUE(BitBuffer().data().empty());
}

}  // namespace
