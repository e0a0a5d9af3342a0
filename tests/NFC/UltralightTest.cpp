// The Ultralight command set end to end: the reader facade and the real Elatec driver over a
// pseudo-terminal to the emulated reader, with the Ultralight EV1 and Ultralight C card models in
// its field. The host half of the Ultralight C authentication uses our own cryptography; the card
// model uses OpenSSL's, so the two sides are independent.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "NFC/Common/NFCCrypto.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

using emulators::Bytes;
using emulators::ElatecReader;
using emulators::fromHex;
using emulators::UltralightC;
using emulators::UltralightCard;
using emulators::UltralightEV1;
using UL = NFC::Ultralight;

namespace {

const uint16_t ReaderTDX3 = 0x1207;

class UltralightTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        nfc = std::make_shared<NFC::Reader>(
            NFC::Reader::DriverFactories{{NFC::Reader::DriverFactory::Serial, "ElatecTWN",
                                          [] { return std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs); }}},
            testsupport::lockDirectory());
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(
            emulator, [&] { return nfc->open(emulator.devicePath(), 115200); }))
            << nfc->error().what();
    }

    // Puts the card in the field and selects it.
    std::shared_ptr<UL> present(std::shared_ptr<emulators::FieldCard> card)
    {
        emulator.setCard(std::move(card));
        return reselect();
    }

    std::shared_ptr<UL> reselect()
    {
        auto tag = std::dynamic_pointer_cast<UL>(nfc->searchTag(testsupport::PeerDeadlineMs));
        // Every caller goes on to use the tag: without one the test ends here, as a failure.
        if (!tag)
            throw std::runtime_error("no Ultralight card selected in the emulated field");
        emulator.clearReceived();
        return tag;
    }

    // The raw frame of the last card exchange, CRC included, as it reached the reader.
    Bytes lastFrame()
    {
        const auto received = emulator.received();
        for (auto it = received.rbegin(); it != received.rend(); ++it) {
            if (it->command != ReaderTDX3)
                continue;
            // Parameters: length, frame, maximum answer, bit count and flags.
            if (it->params.empty() || it->params.size() < 1u + it->params[0]) {
                ADD_FAILURE() << "card frame shorter than its length byte: " << emulators::toHex(it->params);
                return {};
            }
            return Bytes(it->params.begin() + 1, it->params.begin() + 1 + it->params[0]);
        }
        return {};
    }

    ElatecReader emulator{ElatecReader::Mode::BinaryCrc};
    std::shared_ptr<NFC::Reader> nfc;
};

Bytes head(const Bytes& bytes, size_t n)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(std::min(n, bytes.size())));
}

Bytes pages(int first, int count)
{
    Bytes out;
    for (int i = 0; i < count * 4; ++i) out.push_back(static_cast<uint8_t>(first * 4 + i));
    return out;
}

TEST_F(UltralightTest, PagesAreReadWrittenAndFastReadWithCrcOnEveryFrame)
{
    auto card = std::make_shared<UltralightEV1>();
    for (int p = 4; p < 16; ++p) card->setPage(p, pages(p, 1));
    auto ul = present(card);

    Bytes data;
    ASSERT_EQ(ul->read(4, data), UL::None);
    EXPECT_EQ(lastFrame(), fromHex("30 04 26 EE"));  // CRC_A low byte first
    EXPECT_EQ(data, pages(4, 4));

    ASSERT_EQ(ul->write(5, fromHex("DE AD BE EF")), UL::None);
    EXPECT_EQ(card->page(5), fromHex("DE AD BE EF"));
    ASSERT_EQ(ul->read(5, data), UL::None);
    EXPECT_EQ(head(data, 4), fromHex("DE AD BE EF"));

    ASSERT_EQ(ul->fastRead(8, 8, data), UL::None);
    EXPECT_EQ(head(lastFrame(), 3), fromHex("3A 08 0F"));
    EXPECT_EQ(data, pages(8, 8));

    // Reading across the last page rolls over to page 0; the password and PACK read as zeros.
    ASSERT_EQ(ul->read(0x27, data), UL::None);
    EXPECT_EQ(head(data, 8), Bytes(8, 0x00));
    ASSERT_GE(data.size(), 8u);
    EXPECT_EQ(Bytes(data.begin() + 8, data.end()), head(card->memory(), 8));
}

TEST_F(UltralightTest, OtpAndLockBitsOnlyEverGetSet)
{
    auto card = std::make_shared<UltralightEV1>();
    auto ul = present(card);
    ASSERT_EQ(ul->write(3, fromHex("0F 00 00 01")), UL::None);
    ASSERT_EQ(ul->write(3, fromHex("F0 00 00 00")), UL::None);
    EXPECT_EQ(card->page(3), fromHex("FF 00 00 01"));

    // Lock page 4 (static lock byte 0, bit 4); the card then refuses it with a NAK.
    ASSERT_EQ(ul->write(2, fromHex("00 00 10 00")), UL::None);
    ASSERT_EQ(ul->write(2, fromHex("00 00 00 00")), UL::None);
    EXPECT_EQ(card->page(2)[2], 0x10);
    EXPECT_EQ(ul->write(4, fromHex("01 02 03 04")), UL::InvalidArgument);
    EXPECT_EQ(card->page(4), Bytes(4, 0x00));
}

TEST_F(UltralightTest, VersionAndOneWayCounters)
{
    auto card = std::make_shared<UltralightEV1>();
    auto ul = present(card);
    Bytes version;
    ASSERT_EQ(ul->getVersion(version), UL::None);
    EXPECT_EQ(version, fromHex("00 04 03 01 01 00 0E 03"));

    ASSERT_EQ(ul->incrCounter(2, 0x010203), UL::None);
    EXPECT_EQ(head(lastFrame(), 6), fromHex("A5 02 03 02 01 00"));
    ASSERT_EQ(ul->incrCounter(2, 5), UL::None);
    int value = -1;
    ASSERT_EQ(ul->readCounter(2, value), UL::None);
    EXPECT_EQ(value, 0x010208);
    ASSERT_EQ(ul->readCounter(0, value), UL::None);
    EXPECT_EQ(value, 0);

    // A counter does not wrap: the card refuses with its overflow NAK and keeps the value.
    card->setCounter(1, 0xFFFFFE);
    ul = reselect();
    EXPECT_EQ(ul->incrCounter(1, 2), UL::CounterOverflow);
    EXPECT_EQ(card->counter(1), 0xFFFFFEu);
    ul = reselect();
    ASSERT_EQ(ul->readCounter(1, value), UL::None);
    EXPECT_EQ(value, 0xFFFFFE);
}

TEST_F(UltralightTest, PasswordOpensTheProtectedPages)
{
    auto card = std::make_shared<UltralightEV1>();
    card->setPage(0x10, fromHex("C0 FF EE 00"));
    card->protect(0x12345678, 0xABCD, 0x10, UltralightEV1::AccessProt);
    auto ul = present(card);

    Bytes data;
    EXPECT_EQ(ul->read(0x10, data), UL::InvalidArgument);  // read protection
    ul = reselect();
    EXPECT_EQ(ul->write(0x11, fromHex("01 02 03 04")), UL::InvalidArgument);
    ul = reselect();

    uint16_t pack = 0;
    EXPECT_EQ(ul->authenticatePass(0x12345679, pack), UL::InvalidArgument);
    EXPECT_EQ(pack, 0);
    ul = reselect();
    ASSERT_EQ(ul->authenticatePass(0x12345678, pack), UL::None);
    EXPECT_EQ(head(lastFrame(), 5), fromHex("1B 12 34 56 78"));
    EXPECT_EQ(pack, 0xABCD);

    ASSERT_EQ(ul->read(0x10, data), UL::None);
    EXPECT_EQ(head(data, 4), fromHex("C0 FF EE 00"));
    ASSERT_EQ(ul->write(0x11, fromHex("01 02 03 04")), UL::None);
    EXPECT_EQ(card->page(0x11), fromHex("01 02 03 04"));
}

TEST_F(UltralightTest, CardFaultsBecomeTheirCodesAndLeaveOutValuesAlone)
{
    auto card = std::make_shared<UltralightEV1>();
    auto ul = present(card);
    const Bytes untouched = fromHex("AA BB");

    Bytes data = untouched;
    card->inject({UltralightCard::Fault::BadCrc});
    EXPECT_EQ(ul->read(4, data), UL::InvalidCrc);
    EXPECT_EQ(data, untouched);

    card->inject({UltralightCard::Fault::ShortAnswer, 17});
    EXPECT_EQ(ul->read(4, data), UL::InvalidResponseSize);
    EXPECT_EQ(data, untouched);

    // A bare ACK where data was expected is no success.
    card->inject({UltralightCard::Fault::AckOnly});
    EXPECT_EQ(ul->read(4, data), UL::InvalidResponseSize);
    EXPECT_EQ(data, untouched);
    card->inject({UltralightCard::Fault::AckOnly});
    uint16_t pack = 0x1111;
    EXPECT_EQ(ul->authenticatePass(0xFFFFFFFF, pack), UL::InvalidResponseSize);
    EXPECT_EQ(pack, 0x1111);
    card->inject({UltralightCard::Fault::AckOnly});
    int value = -7;
    EXPECT_EQ(ul->readCounter(0, value), UL::InvalidResponseSize);
    EXPECT_EQ(value, -7);

    struct
    {
        int nak;
        UL::Error error;
    } naks[] = {{0x0, UL::InvalidArgument},  {0x1, UL::InvalidCrc},       {0x2, UL::EEPROMWriteError},
                {0x4, UL::CounterOverflow},  {0x5, UL::EEPROMWriteError}, {0x6, UL::OtherError},
                {0x7, UL::EEPROMWriteError}, {0x9, UL::OtherError},       {0x3, UL::Unknown},
                {0x0B, UL::Unknown}};
    for (const auto& n : naks) {
        ul = reselect();
        card->inject({UltralightCard::Fault::Nak, n.nak});
        EXPECT_EQ(ul->write(6, fromHex("01 02 03 04")), n.error) << n.nak;
        EXPECT_EQ(card->page(6), Bytes(4, 0x00)) << n.nak;
    }

    ul = reselect();
    card->inject({UltralightCard::Fault::Mute});
    EXPECT_EQ(ul->read(4, data), UL::Timeout);
}

TEST_F(UltralightTest, AnswerLengthsAtTheBoundaries)
{
    auto ul = present(std::make_shared<UltralightEV1>());
    using Fault = ElatecReader::Fault;
    // The reader's TDX answer: success flag, length, the card's bytes.
    struct
    {
        Bytes cardAnswer;
        UL::Error write;
    } cases[] = {
        {fromHex("0A"), UL::None},
        {fromHex("63 63"), UL::None},  // the CRC of an empty frame stands for an ACK
        {fromHex("63 64"), UL::InvalidCrc},
        {fromHex("63 63 00"), UL::InvalidResponseSize},
        {fromHex("03"), UL::Unknown},
        {{}, UL::InvalidResponseSize},
    };
    for (const auto& c : cases) {
        Bytes answer = {0x01, static_cast<uint8_t>(c.cardAnswer.size())};
        answer.insert(answer.end(), c.cardAnswer.begin(), c.cardAnswer.end());
        emulator.inject({Fault::Replace, 0, ReaderTDX3, answer});
        EXPECT_EQ(ul->write(7, fromHex("01 02 03 04")), c.write) << emulators::toHex(c.cardAnswer);
    }

    // Exactly 18 bytes with a good CRC is a read; one byte less is not.
    Bytes eighteen = pages(4, 4);
    const uint16_t crc = UL::crcA(eighteen.data(), eighteen.size());
    eighteen.push_back(static_cast<uint8_t>(crc));
    eighteen.push_back(static_cast<uint8_t>(crc >> 8));
    for (size_t cut : {0, 1}) {
        Bytes answer = {0x01, static_cast<uint8_t>(eighteen.size() - cut)};
        answer.insert(answer.end(), eighteen.begin(), eighteen.end() - static_cast<long>(cut));
        emulator.inject({Fault::Replace, 0, ReaderTDX3, answer});
        Bytes data;
        EXPECT_EQ(ul->read(4, data), cut == 0 ? UL::None : UL::InvalidResponseSize);
        EXPECT_EQ(data, cut == 0 ? pages(4, 4) : Bytes{});
    }

    // A reader that stands for a missing GET_VERSION answer with eight 0x99.
    emulator.inject({Fault::Replace, 0, ReaderTDX3, fromHex("00 08 99 99 99 99 99 99 99 99")});
    Bytes version;
    EXPECT_EQ(ul->getVersion(version), UL::Timeout);  // the Elatec driver keeps no failed answer
}

TEST_F(UltralightTest, FastReadEndPageIsOneByteAndBadCountsSendNothing)
{
    auto ul = present(std::make_shared<UltralightEV1>());
    Bytes data;
    // 250 + 10 - 1 = 259: the end page goes out as 3, and the card refuses the range.
    EXPECT_EQ(ul->fastRead(250, 10, data), UL::InvalidArgument);
    EXPECT_EQ(head(lastFrame(), 3), fromHex("3A FA 03"));

    ul = reselect();
    EXPECT_EQ(ul->fastRead(4, 0, data), UL::InvalidArgument);
    EXPECT_EQ(ul->fastRead(4, -3, data), UL::InvalidArgument);
    EXPECT_TRUE(lastFrame().empty());
}

TEST_F(UltralightTest, TornWriteLeavesAHalfWrittenPageAndNoAnswer)
{
    auto card = std::make_shared<UltralightEV1>();
    auto ul = present(card);
    card->tearAfterWrites(1);
    ASSERT_EQ(ul->write(4, fromHex("11 11 11 11")), UL::None);
    EXPECT_EQ(ul->write(5, fromHex("22 22 22 22")), UL::Timeout);
    EXPECT_EQ(card->page(5), fromHex("22 22 00 00"));

    // A torn counter increment keeps the old value and raises the tearing flag.
    ul = reselect();
    card->tearAfterWrites(0);
    EXPECT_EQ(ul->incrCounter(0, 9), UL::Timeout);
    EXPECT_EQ(card->counter(0), 0u);
    EXPECT_TRUE(card->tearingFlag(0));
}

// The host side of the Ultralight C mutual authentication, on our own 3DES.
UL::Error authenticateC(UL& ul, const Bytes& key, const Bytes& rndA, bool& cardProved)
{
    Bytes ekRndB;
    UL::Error result = ul.authenticatePart1(ekRndB);
    if (result != UL::None)
        return result;
    NFC::Crypto crypto(NFC::Crypto::CBC_3DES, key);
    const Bytes rndB = crypto.decrypt(ekRndB);
    if (rndB.size() != 8) {
        ADD_FAILURE() << "RndB of " << rndB.size() << " bytes from the card's answer "
                      << emulators::toHex(ekRndB);
        return UL::InvalidResponseSize;
    }
    Bytes rndBRotated(rndB.begin() + 1, rndB.end());
    rndBRotated.push_back(rndB.front());
    Bytes ekRndA;
    result = ul.authenticatePart2(crypto.encrypt(NFC::Crypto::concat(rndA, rndBRotated)), ekRndA);
    if (result != UL::None)
        return result;
    const Bytes rndARotated = crypto.decrypt(ekRndA);
    Bytes expected(rndA.begin() + 1, rndA.end());
    expected.push_back(rndA.front());
    cardProved = rndARotated == expected;
    return result;
}

TEST_F(UltralightTest, UltralightCMutualAuthenticationOpensProtectedPages)
{
    const Bytes key = fromHex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    auto card = std::make_shared<UltralightC>();
    card->setKey(key);
    card->setPage(0x20, fromHex("5A 5A 5A 5A"));
    card->protect(0x20, false);
    auto ul = present(card);

    // No GET_VERSION on an Ultralight C: it stays silent.
    Bytes version;
    EXPECT_EQ(ul->getVersion(version), UL::Timeout);
    ul = reselect();
    Bytes data;
    EXPECT_EQ(ul->read(0x20, data), UL::InvalidArgument);

    // The wrong key: the card does not find its RndB and refuses.
    ul = reselect();
    bool cardProved = false;
    EXPECT_EQ(authenticateC(*ul, fromHex("49 45 4D 4B 41 45 52 42 21 4E 41 43 55 4F 59 46"),
                            fromHex("01 02 03 04 05 06 07 08"), cardProved),
              UL::InvalidArgument);
    EXPECT_FALSE(card->authenticated());

    ul = reselect();
    card->setNextRndB(fromHex("A1 A2 A3 A4 A5 A6 A7 A8"));
    ASSERT_EQ(authenticateC(*ul, key, fromHex("01 02 03 04 05 06 07 08"), cardProved), UL::None);
    EXPECT_TRUE(cardProved);
    EXPECT_TRUE(card->authenticated());
    ASSERT_EQ(ul->read(0x20, data), UL::None);
    EXPECT_EQ(head(data, 4), fromHex("5A 5A 5A 5A"));
}

TEST_F(UltralightTest, UltralightCTransportKeyCounterAndKeyPages)
{
    auto card = std::make_shared<UltralightC>();
    auto ul = present(card);
    bool cardProved = false;
    ASSERT_EQ(authenticateC(*ul, fromHex("49 45 4D 4B 41 45 52 42 21 4E 41 43 55 4F 59 46"),
                            fromHex("F0 E1 D2 C3 B4 A5 96 87"), cardProved),
              UL::None);
    EXPECT_TRUE(cardProved);

    // The counter page adds what is written to it.
    ASSERT_EQ(ul->write(UltralightC::CounterPage, fromHex("05 00 00 00")), UL::None);
    ASSERT_EQ(ul->write(UltralightC::CounterPage, fromHex("03 01 00 00")), UL::None);
    EXPECT_EQ(card->counter(), 0x0108);
    Bytes data;
    ASSERT_EQ(ul->read(UltralightC::CounterPage, data), UL::None);
    EXPECT_EQ(head(data, 2), fromHex("08 01"));

    // The key is written but never read back.
    ASSERT_EQ(ul->write(UltralightC::KeyPage, fromHex("01 02 03 04")), UL::None);
    EXPECT_EQ(ul->read(UltralightC::KeyPage, data), UL::InvalidArgument);
}

TEST(UltralightErrors, NamesAreTheSystemsOwn)
{
    EXPECT_EQ(UL::errorToStr(UL::Timeout), "Timeout");
    EXPECT_EQ(UL::errorToStr(UL::InvalidResponseSize), "InvalidResponseSize");
    EXPECT_EQ(UL::errorToStr(UL::Unknown), "Unknown");
    EXPECT_EQ(UL::errorToStr(UL::GetVersionFailed), "Unkown");
    EXPECT_EQ(UL::errorToStr(static_cast<UL::Error>(7)), "Unkown");
}

}  // namespace
