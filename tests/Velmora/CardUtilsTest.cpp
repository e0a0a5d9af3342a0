// The card-file byte codecs: byte order, iterator advance, and nothing written past the field.
#include <gtest/gtest.h>

#include <cstdint>
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
    EXPECT_TRUE(CardUtils::popVector(in, 0).empty());
    EXPECT_EQ(in, buffer.begin());
    EXPECT_EQ(CardUtils::popVector(in, 4), (Bytes{0x42, 0x01, 0x02, 0x03}));
    EXPECT_EQ(CardUtils::popVector(in, 4), Bytes(4, 0xEE));
    EXPECT_EQ(in, buffer.end());
}

}  // namespace
