// The NFC trace as the log shows it: frames through the contactless and contact links of a real
// driver talking to the emulated reader, captured from the log's copy on stderr.
#include <gtest/gtest.h>

#include "NFC/Classic.h"
#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/Log.h"
#include "NFC/SAM.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/ScriptedCard.h"
#include "emulators/ScriptedSam.h"

using emulators::Bytes;
using emulators::ElatecReader;
using emulators::fromHex;

namespace {

class NFCTraceTest : public ::testing::TestWithParam<ElatecReader::Mode>
{
protected:
    static void SetUpTestSuite()
    {
        Log::open("tapgate-test", true, false);
        Log::setLevel(Log::LevelDebug);
    }

    void SetUp() override
    {
        reader = std::make_unique<ElatecReader>(GetParam());
        driver = std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs);
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(
            *reader, [&] { return driver->open(reader->devicePath(), 115200, nullptr); }));
    }

    std::unique_ptr<ElatecReader> reader;
    std::shared_ptr<ElatecTWN::Driver> driver;
};

INSTANTIATE_TEST_SUITE_P(Modes, NFCTraceTest,
                         ::testing::Values(ElatecReader::Mode::BinaryCrc, ElatecReader::Mode::Ascii),
                         [](const auto& info) { return ElatecReader::modeName(info.param); });

TEST_P(NFCTraceTest, CardFramesAreTracedBothWaysEvenWhenTheCardIsMute)
{
    auto card = std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity());
    card->expect4(fromHex("60"), fromHex("AF 04 01 01 01 00 1A 05"));
    reader->setCard(card);
    int type = 0;
    Bytes uid, ats;
    ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));

    NFC::ISO14443 link(driver);
    Bytes rx;
    testsupport::StderrCapture capture;
    ASSERT_TRUE(link.TDX4(fromHex("60"), rx));
    EXPECT_FALSE(link.TDX3(fromHex("30 04 26 EE"), rx));  // unscripted: no answer
    const std::string log = capture.text();

    EXPECT_NE(log.find("[ISO14443]  > (  1) 60\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO14443]  < (  8) AF04010101001A05\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO14443]  > (  4) 300426EE\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO14443]  < (  0) \n"), std::string::npos) << log;
}

TEST_P(NFCTraceTest, SamCommandsAreTracedWithHeaderDataAndStatus)
{
    auto sam = std::make_shared<emulators::ScriptedSam>(fromHex("3B 6A 00 00 80 65 A2 01 01 01 3D 72"));
    sam->expectTpdu(fromHex("00 C0 00 00 04"), {}, 0x6A82);
    sam->expectApdu(fromHex("80 60 00 00"), {}, 0x9000);
    sam->expectApdu(fromHex("80 72 00 00 03 01 02 03 08"), fromHex("11 22 33 44 55 66 77 88"), 0x9000);
    reader->setSam(1, sam);
    auto link = std::make_shared<NFC::ISO7816>(driver, 1);
    ASSERT_TRUE(link->powerOn(nullptr));

    testsupport::StderrCapture capture;
    NFC::Driver::TPDUHeader tpdu{0x00, 0xC0, 0x00, 0x00, 0x04};
    int sw = 0;
    ASSERT_TRUE(link->exchangeTPDU(tpdu, nullptr, nullptr, sw));
    EXPECT_EQ(sw, 0x6A82);
    NFC::Driver::APDUHeader plain;
    plain.CLA = 0x80;
    plain.INS = 0x60;
    ASSERT_TRUE(link->exchangeAPDU(plain, nullptr, nullptr, sw));
    NFC::Driver::APDUHeader withData = plain;
    withData.INS = 0x72;
    withData.Lc = 3;
    withData.Le = 8;
    withData.hasLe = true;
    const Bytes data = {0x01, 0x02, 0x03};
    Bytes response;
    ASSERT_TRUE(link->exchangeAPDU(withData, &data, &response, sw));
    EXPECT_TRUE(sam->allUsed()) << sam->report();
    const std::string log = capture.text();

    EXPECT_NE(log.find("[ISO7816]   > (  5) 00C0000004\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO7816]   < (  2) 6A82\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO7816]   > (  5) 8060000000\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO7816]   < (  2) 9000\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO7816]   > (  9) 807200000301020308\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO7816]   < ( 10) 11223344556677889000\n"), std::string::npos) << log;
}

TEST_P(NFCTraceTest, ReaderFramesAreTracedWithTheirLineForm)
{
    testsupport::StderrCapture capture;
    ASSERT_TRUE(driver->beep(50, 2600, 70, 0));
    const std::string log = capture.text();
    if (GetParam() == ElatecReader::Mode::BinaryCrc) {
        EXPECT_NE(log.find("[PRS] > (13) 0B00040732280A46000000BFB9\n"), std::string::npos) << log;
        EXPECT_NE(log.find("[PRS] < (03) 00"), std::string::npos) << log;
    } else {
        EXPECT_NE(log.find("[PRS] > (19) 040732280A46000000\n"), std::string::npos) << log;
        EXPECT_NE(log.find("[PRS] < (02) 00\n"), std::string::npos) << log;
    }
}

TEST(NFCLog, PrefixesNameOneModuleOnly)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelDebug);
    testsupport::StderrCapture capture;
    NFC::Log::print(NFC::Log::Reader, "reader %d", 1);
    NFC::Log::print(NFC::Log::Crypto, "crypto");
    NFC::Log::print(NFC::Log::Card, "card");
    NFC::Log::print(NFC::Log::SAM, "sam");
    NFC::Log::print(static_cast<NFC::Log::Module>(NFC::Log::Reader | NFC::Log::SAM), "two %s", "bits");
    // Data that looks like a format is printed, never interpreted.
    NFC::Log::outgoingPICC(Bytes{'%', 's', '%', 'n'});
    NFC::Log::incomingPDU(nullptr, 0x6A82);
    const std::string log = capture.text();
    EXPECT_NE(log.find("] [NFCReader] reader 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] [NFCCrypto] crypto\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] [Card]      card\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] [SAM]       sam\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] two bits\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO14443]  > (  4) 2573256E\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[ISO7816]   < (  2) 6A82\n"), std::string::npos) << log;
}

TEST(NFCObjects, TagsAndSamsKeepWhatTheyWereGiven)
{
    const Bytes uid = {1, 2, 3, 4};
    auto classic = NFC::Classic::make(nullptr, uid, {});
    ASSERT_NE(classic, nullptr);
    EXPECT_EQ(classic->type(), NFC::Tag::MifareClassic4K);  // whatever the reader said (4 or 8)
    EXPECT_EQ(classic->uid(), uid);
    auto tag = NFC::Tag::make(nullptr, NFC::Tag::MifareDESFire, uid, {0x06, 0x75});
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->type(), 256u);
    EXPECT_EQ(tag->ats(), (Bytes{0x06, 0x75}));

    auto link = std::make_shared<NFC::ISO7816>(nullptr, 1);
    auto sam = NFC::SAM::make(link, {0x3B}, NFC::SAM::Plain);
    ASSERT_NE(sam, nullptr);
    EXPECT_EQ(sam->slot(), 1);
    EXPECT_EQ(sam->logicalChannel(), 0);
    sam->setLogicalChannel(5);
    EXPECT_EQ(sam->logicalChannel(), 1);
    EXPECT_TRUE(sam->check());
    EXPECT_TRUE(sam->setDefaultPPS());
}

}  // namespace
