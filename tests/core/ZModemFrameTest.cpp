// The ZMODEM frame encoder and header decoder at byte level, against checksums computed
// bit by bit here and anchored on the published check values and the wire forms of the protocol.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "other/zmodem/libzmodem/Crc.h"
#include "other/zmodem/libzmodem/Encoder.h"
#include "other/zmodem/libzmodem/HeaderDecoder.h"

namespace {

using namespace zmodem;
using Bytes = std::vector<uint8_t>;

uint16_t referenceCrc16(const Bytes& data)
{
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

uint32_t referenceCrc32(const Bytes& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Undoes ZDLE escaping the way a receiver does; stops at a frame end and returns it in `end`.
Bytes unescape(const Bytes& wire, size_t& pos, uint8_t* end = nullptr)
{
    Bytes out;
    while (pos < wire.size()) {
        uint8_t c = wire[pos++];
        if (c != ZDLE) {
            out.push_back(c);
            continue;
        }
        if (pos >= wire.size())
            break;
        c = wire[pos++];
        if (c >= ZCRCE && c <= ZCRCW && end != nullptr) {
            *end = c;
            return out;
        }
        out.push_back(c ^ 0x40);
    }
    return out;
}

TEST(ZModemCrc, ChecksumsMatchIndependentImplementations)
{
    const Bytes check = text("123456789");
    EXPECT_EQ(crc16(check.data(), check.size()), 0x31C3);
    EXPECT_EQ(zmodem::crc32(check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(crc16(nullptr, 0), 0);
    EXPECT_EQ(zmodem::crc32(nullptr, 0), 0u);
    Bytes all(1000);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i * 7 + i / 256);
    EXPECT_EQ(crc16(all.data(), all.size()), referenceCrc16(all));
    EXPECT_EQ(zmodem::crc32(all.data(), all.size()), referenceCrc32(all));
}

TEST(ZModemEncoder, HexHeadersHaveTheProtocolsFixedForm)
{
    Encoder encoder;
    Bytes out;
    encoder.hexHeader(out, ZRQINIT, Header{0, 0, 0, 0});
    EXPECT_EQ(out, text("**\x18"
                        "B00000000000000\r\x8a\x11"));

    // A receiver's usual greeting: ZRINIT with full duplex, overlapped I/O and CRC-32.
    out.clear();
    encoder.hexHeader(out, ZRINIT, Header{0, 0, 0, CANFDX | CANOVIO | CANFC32});
    const Bytes body = {ZRINIT, 0, 0, 0, 0x23};
    const uint16_t crc = referenceCrc16(body);
    char expected[32];
    std::snprintf(expected, sizeof expected,
                  "**\x18"
                  "B0100000023%04x\r\x8a\x11",
                  crc);
    EXPECT_EQ(out, text(expected));

    // No XON after ZFIN and ZACK: the receiver may already be gone.
    for (int type : {ZFIN, ZACK}) {
        out.clear();
        encoder.hexHeader(out, type, Header{1, 2, 3, 4});
        ASSERT_EQ(out.size(), 20u);
        EXPECT_EQ(out[18], '\r');
        EXPECT_EQ(out[19], 0x8A);
    }
}

TEST(ZModemEncoder, EscapingTables)
{
    // Control escaping on (what this sender always uses): 0x00-0x1F and 0x80-0x9F, nothing else.
    Encoder on(true);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    Bytes wire;
    on.dataSubpacket(wire, all.data(), all.size(), ZCRCG);
    size_t pos = 0;
    uint8_t end = 0;
    EXPECT_EQ(unescape(wire, pos, &end), all);
    EXPECT_EQ(end, ZCRCG);
    size_t escapes = 0;
    for (size_t i = 0; i + 2 < pos; ++i)
        if (wire[i] == ZDLE) {
            const uint8_t original = wire[i + 1] ^ 0x40;
            EXPECT_TRUE((original & 0x7F) < 0x20) << int(original);
            ++escapes;
            ++i;
        }
    EXPECT_EQ(escapes, 64u);

    Bytes one;
    const uint8_t xon = 0x11, a = 0x41;
    on.dataSubpacket(one, &xon, 1, ZCRCE);
    ASSERT_GE(one.size(), 2u);
    EXPECT_EQ(Bytes(one.begin(), one.begin() + 2), (Bytes{0x18, 0x51}));
    one.clear();
    on.dataSubpacket(one, &a, 1, ZCRCE);
    ASSERT_FALSE(one.empty());
    EXPECT_EQ(one[0], 0x41);

    // Escaping off: only the link's own control bytes, and CR after '@'.
    Encoder off(false);
    const Bytes sample = {0x18, 0x10, 0x11, 0x13, 0x90, 0x91, 0x93, 0x00,
                          0x0D, 0x8D, '@',  0x0D, 0xC0, 0x8D, 0x7F};
    Bytes plain;
    off.dataSubpacket(plain, sample.data(), sample.size(), ZCRCE);
    const Bytes expectedStart = {0x18, 0x58, 0x18, 0x50, 0x18, 0x51, 0x18, 0x53, 0x18, 0xD0, 0x18, 0xD1, 0x18,
                                 0xD3, 0x00, 0x0D, 0x8D, '@',  0x18, 0x4D, 0xC0, 0x18, 0xCD, 0x7F, 0x18, 'h'};
    ASSERT_GE(plain.size(), expectedStart.size());
    EXPECT_EQ(Bytes(plain.begin(), plain.begin() + expectedStart.size()), expectedStart);
}

TEST(ZModemEncoder, SubpacketChecksumsCoverDataAndFrameEnd)
{
    // Empty, short and full-length blocks, every byte value among them, under both escaping rules.
    Bytes full(1024);
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<uint8_t>(i * 167 + 13);
    const Bytes blocks[] = {Bytes(), text("firmware\x11\x18\x93 block"), text("@\r@\x8d\x18"), full};
    for (const Bytes& data : blocks)
    for (bool escapeControl : {true, false})
    for (bool wide : {false, true}) {
        Encoder encoder(escapeControl);
        encoder.setCrc32(wide);
        for (uint8_t endType : {ZCRCE, ZCRCG, ZCRCQ, ZCRCW}) {
            Bytes wire;
            encoder.dataSubpacket(wire, data.data(), data.size(), endType);
            size_t pos = 0;
            uint8_t end = 0;
            EXPECT_EQ(unescape(wire, pos, &end), data);
            ASSERT_EQ(end, endType);
            Bytes covered = data;
            covered.push_back(endType);
            Bytes trailer = unescape(wire, pos);
            if (endType == ZCRCW) {
                ASSERT_FALSE(trailer.empty());
                EXPECT_EQ(trailer.back(), 0x11) << "an XON follows ZCRCW";
                trailer.pop_back();
            }
            if (wide) {
                const uint32_t crc = referenceCrc32(covered);
                EXPECT_EQ(trailer,
                          (Bytes{uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
            } else {
                const uint16_t crc = referenceCrc16(covered);
                EXPECT_EQ(trailer, (Bytes{uint8_t(crc >> 8), uint8_t(crc)}));
            }
        }
    }
}

TEST(ZModemEncoder, BinaryHeadersAreEscapedAndCarryTheChosenChecksum)
{
    Encoder encoder;
    Bytes wire;
    const Header position = positionHeader(0x13111811u);  // every byte needs escaping
    encoder.binaryHeader(wire, ZDATA, position);
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 3), (Bytes{'*', 0x18, 'A'}));
    size_t pos = 3;
    Bytes body = unescape(wire, pos);
    ASSERT_EQ(body.size(), 7u);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 5), (Bytes{ZDATA, 0x11, 0x18, 0x11, 0x13}));
    EXPECT_EQ(referenceCrc16(body), 0) << "CRC-16 high byte first leaves no remainder";

    encoder.setCrc32(true);
    wire.clear();
    encoder.binaryHeader(wire, ZEOF, positionHeader(100000));
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(wire[2], 'C');
    pos = 3;
    body = unescape(wire, pos);
    ASSERT_EQ(body.size(), 9u);
    const uint32_t crc = referenceCrc32(Bytes(body.begin(), body.begin() + 5));
    EXPECT_EQ(Bytes(body.begin() + 5, body.end()),
              (Bytes{uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
}

struct Decoded
{
    std::vector<HeaderDecoder::Result> results;
    std::vector<int> types;
    std::vector<Header> headers;
};

Decoded decodeAll(HeaderDecoder& decoder, const Bytes& wire)
{
    Decoded d;
    for (uint8_t b : wire) {
        const auto r = decoder.feed(b);
        if (r == HeaderDecoder::Result::None)
            continue;
        d.results.push_back(r);
        if (r == HeaderDecoder::Result::Header) {
            d.types.push_back(decoder.type());
            d.headers.push_back(decoder.header());
        }
    }
    return d;
}

TEST(ZModemDecoder, EveryHeaderFormRoundTripsThroughTheEncoder)
{
    for (int form = 0; form < 3; ++form) {
        Encoder encoder;
        encoder.setCrc32(form == 2);
        Bytes wire = text("rz waiting to receive.");
        std::vector<int> sentTypes;
        std::vector<Header> sentHeaders;
        for (int type = ZRQINIT; type <= ZSTDERR; ++type) {
            const Header h{static_cast<uint8_t>(type * 13), 0x18, 0x11, static_cast<uint8_t>(0xFF - type)};
            if (form == 0)
                encoder.hexHeader(wire, type, h);
            else
                encoder.binaryHeader(wire, type, h);
            sentTypes.push_back(type);
            sentHeaders.push_back(h);
        }
        HeaderDecoder decoder;
        const Decoded d = decodeAll(decoder, wire);
        EXPECT_EQ(d.types, sentTypes) << form;
        EXPECT_EQ(d.headers, sentHeaders) << form;
        EXPECT_EQ(d.results.size(), sentTypes.size()) << form;
    }
}

TEST(ZModemDecoder, DamageIsReportedAndTheNextHeaderStillFound)
{
    Encoder encoder;
    encoder.setCrc32(true);
    Bytes good;
    encoder.hexHeader(good, ZRPOS, positionHeader(4096));
    ASSERT_GT(good.size(), 8u);

    Bytes corrupt = good;
    corrupt[8] = corrupt[8] == '0' ? '1' : '0';  // one hex digit of the header
    Bytes bin;
    encoder.binaryHeader(bin, ZACK, positionHeader(77));
    ASSERT_GT(bin.size(), 4u);
    Bytes binCorrupt = bin;
    binCorrupt[4] ^= 0x01;
    Bytes badEscape = {'*', 0x18, 'A', 0x18, 0x05};  // 0x05 after ZDLE is no escape
    Bytes brokenHex = {'*', '*', 0x18, 'B', '0', 'g'};

    Bytes wire;
    for (const Bytes* piece : {&corrupt, &good, &binCorrupt, &badEscape, &brokenHex, &bin})
        wire.insert(wire.end(), piece->begin(), piece->end());
    HeaderDecoder decoder;
    const Decoded d = decodeAll(decoder, wire);
    using R = HeaderDecoder::Result;
    EXPECT_EQ(d.results,
              (std::vector<R>{R::BadCrc, R::Header, R::BadCrc, R::BadHeader, R::BadHeader, R::Header}));
    ASSERT_EQ(d.types, (std::vector<int>{ZRPOS, ZACK}));
    EXPECT_EQ(headerPosition(d.headers[0]), 4096u);
    EXPECT_EQ(headerPosition(d.headers[1]), 77u);
}

TEST(ZModemDecoder, FlowControlInsideAHeaderIsIgnored)
{
    Encoder encoder;
    Bytes wire;
    encoder.binaryHeader(wire, ZRPOS, positionHeader(0x0102));
    ASSERT_GE(wire.size(), 7u);
    wire.insert(wire.begin() + 5, 0x13);  // XOFF and XON from the line, not from the frame
    wire.insert(wire.begin() + 7, 0x91);
    HeaderDecoder decoder;
    const Decoded d = decodeAll(decoder, wire);
    ASSERT_EQ(d.types, std::vector<int>{ZRPOS});
    EXPECT_EQ(headerPosition(d.headers[0]), 0x0102u);
}

TEST(ZModemDecoder, CancelRunAndIntroLimit)
{
    HeaderDecoder decoder;
    Bytes cancel(5, CAN);
    EXPECT_EQ(decodeAll(decoder, cancel).results,
              std::vector<HeaderDecoder::Result>{HeaderDecoder::Result::Cancel});
    Bytes four(4, CAN);
    EXPECT_TRUE(decodeAll(decoder, four).results.empty());

    HeaderDecoder limited(10);
    Bytes chatter = text("0123456789");  // exactly the limit: accepted
    EXPECT_TRUE(decodeAll(limited, chatter).results.empty());
    EXPECT_EQ(decodeAll(limited, text("x")).results,
              std::vector<HeaderDecoder::Result>{HeaderDecoder::Result::IntroTooLong});
    // A header resets the count.
    limited.reset();
    Encoder encoder;
    Bytes wire = text("012345678");
    encoder.hexHeader(wire, ZRINIT, Header{0, 0, 0, 0});
    wire.insert(wire.end(), {'a', 'b', 'c', 'd', 'e', 'f', 'g'});
    EXPECT_EQ(decodeAll(limited, wire).types, std::vector<int>{ZRINIT});
}

}  // namespace
