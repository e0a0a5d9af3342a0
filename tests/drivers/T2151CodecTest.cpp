// The T2151 frame and TLV message against the published frames and CRC check values, and the
// hunt's byte bound. The hunt through what a line brings is proven end to end
// (YarusRemoteDriverTest) and by the fuzz target.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/T2151/Framer.h"
#include "drivers/T2151/Message.h"
#include "emulators/Hex.h"

using Bytes = std::vector<uint8_t>;
using emulators::fromHex;
using emulators::toHex;
using T2151::Framer;
using T2151::Message;

namespace {

TEST(T2151Codec, RequestsFrameAsPublished)
{
    // clang-format off
    struct Case { const char* name; Message::Ptr message; const char* frame; };
    // clang-format on
    Message::Ptr status = Message::make();
    status->pushInt(1, 1, 2);
    Message::Ptr ping = Message::make();
    ping->pushInt(1, 1, 9);
    ping->pushVec(21, {0xDE, 0xAD, 0xBE, 0xEF});
    const Case cases[] = {
        {"getStatus", status, "1A 00 04 01 00 01 02 D9 3A"},
        {"ping", ping, "1A 00 0B 01 00 01 09 15 00 04 DE AD BE EF 05 ED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes frame;
        ASSERT_TRUE(Framer::encode(c.message->serialize(), frame));
        EXPECT_EQ(toHex(frame), toHex(fromHex(c.frame)));
    }

    Message widths;
    widths.pushInt(14, 2, 0x12345);  // only the low two bytes
    widths.pushInt(15, 8, 1);        // cut to four
    widths.pushInt(16, 2, -1);
    widths.pushVec(21, {});
    EXPECT_EQ(toHex(widths.serialize()), "0E000223450F000400000001100002FFFF150000");

    const std::string check = "123456789";
    EXPECT_EQ(Framer::crc(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x29B1);
    const uint8_t start = 0x1A;
    EXPECT_EQ(Framer::crc(&start, 1), 0x528B);

    Bytes frame = {0x77};
    EXPECT_TRUE(Framer::encode(Bytes(Framer::MaxPayload, 0), frame));
    EXPECT_EQ(frame.size(), Framer::MaxPayload + 6);
    EXPECT_FALSE(Framer::encode(Bytes(Framer::MaxPayload + 1, 0), frame));
    EXPECT_EQ(frame.size(), Framer::MaxPayload + 6);
}

TEST(T2151Codec, TheHuntGivesUpAtExactlyItsByteBound)
{
    Bytes frame;
    ASSERT_TRUE(Framer::encode({}, frame));
    for (const size_t strays : {Framer::MaxSkipped - 1, Framer::MaxSkipped}) {
        SCOPED_TRACE(strays);
        Bytes line(strays, 0x55);
        line.insert(line.end(), frame.begin(), frame.end());
        Framer framer;
        Framer::Result result = Framer::Result::NeedMore;
        size_t at = 0;
        for (size_t used = 0; result == Framer::Result::NeedMore && at < line.size(); at += used)
            result = framer.feed(line.data() + at, line.size() - at, used);
        EXPECT_EQ(result, strays < Framer::MaxSkipped ? Framer::Result::Frame : Framer::Result::Overrun);
        EXPECT_EQ(at, strays < Framer::MaxSkipped ? line.size() : strays);
    }
}

TEST(T2151Codec, PayloadsParseAndPopAsTheyCame)
{
    // clang-format off
    struct Case { const char* payload; bool valid; size_t tlvs; };
    // clang-format on
    const Case cases[] = {
        {"", true, 0},
        {"01 00 02 05", false, 0},
        {"02 00 01 00 15 00", false, 1},
        {"02 00 01 00 AA BB", false, 1},
        {"15 00 00 15 00 01 07", true, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        const Message::Ptr m = Message::make(fromHex(c.payload));
        EXPECT_EQ(m->valid(), c.valid);
        EXPECT_EQ(m->tlvs().size(), c.tlvs);
    }

    const Message::Ptr m =
        Message::make(fromHex("03 00 06 01 02 03 04 05 06 04 00 00 08 00 02 FF FF "
                              "15 00 01 AA 15 00 02 BB CC 05 00 03 61 00 62"));
    ASSERT_TRUE(m->valid());
    EXPECT_EQ(m->popInt(9), 0);
    EXPECT_EQ(m->tlvs().size(), 6u);
    EXPECT_EQ(static_cast<uint32_t>(m->popInt(3)), 0x03040506u);
    EXPECT_EQ(m->popInt(4), 0);
    EXPECT_EQ(m->popInt(8), 65535);
    EXPECT_EQ(m->popVec(21), fromHex("AA"));
    EXPECT_EQ(m->popVec(21), fromHex("BB CC"));
    EXPECT_EQ(m->popVec(21), Bytes{});
    EXPECT_EQ(m->popStr(5), std::string("a\0b", 3));
    EXPECT_TRUE(m->tlvs().empty());

    m->setMissing(Message::Missing::Throw);
    EXPECT_THROW(m->popInt(2), std::out_of_range);
}

}  // namespace
