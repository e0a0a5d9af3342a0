// The text form of a DESFire card's version. The storage size code comes from the card: a code
// no real card gives must not shift past the width of the size (a fuzzer found 0xA3 doing that),
// and the sizes of real cards must read as before.
#include <gtest/gtest.h>

#include <string>

#include "NFC/Protocols/DESFire.h"

namespace {

std::string textFor(uint8_t storageCode)
{
    NFC::DESFire::Version version;
    version.swMajorVersion = 1;
    version.hwStorageSize = storageCode;
    return version.toString();
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(DESFireVersionTextTest, RealCardSizesReadAsBefore)
{
    const std::string fourK = textFor(0x18);
    EXPECT_TRUE(contains(fourK, "DESFire EV1 (4K)")) << fourK;
    EXPECT_TRUE(contains(fourK, "Storage size : 4096 byte(s)\n")) << fourK;
    // The lowest bit says "somewhat more" and is ignored.
    const std::string eightK = textFor(0x1B);
    EXPECT_TRUE(contains(eightK, "DESFire EV1 (8K)")) << eightK;
    EXPECT_TRUE(contains(eightK, "Storage size : 8192 byte(s)\n")) << eightK;
}

TEST(DESFireVersionTextTest, CodesBeyondAnyCardAreShownWithoutOverflow)
{
    // 2^40 bytes: past 32 bits, still within 64.
    EXPECT_TRUE(contains(textFor(0x50), "Storage size : 1099511627776 byte(s)\n"));
    EXPECT_TRUE(contains(textFor(0x7E), "Storage size : 9223372036854775808 byte(s)\n"));
    for (int code : {0x80, 0xA3, 0xFF}) {
        const std::string text = textFor(static_cast<uint8_t>(code));
        EXPECT_TRUE(contains(text, "(0K)")) << text;
        EXPECT_TRUE(contains(text, "Storage size : 0 byte(s)\n")) << text;
    }
}

}  // namespace
