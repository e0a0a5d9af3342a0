// The Elatec TWN driver end to end: the real driver, command set and framing on one side of a
// pseudo-terminal, the emulated reader with scripted cards and SAMs on the other.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
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
using emulators::ScriptedCard;
using emulators::ScriptedSam;

namespace {

using Fault = ElatecReader::Fault;

std::vector<uint16_t> commandsOf(const std::vector<ElatecReader::Received>& received)
{
    std::vector<uint16_t> out;
    for (const auto& r : received) out.push_back(r.command);
    return out;
}

double elapsedMs(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// A 28-byte ATR of the kind a MIFARE SAM AV3 gives.
const Bytes Av3Atr =
    fromHex("3B DF 18 FF 81 F1 FE 43 00 3F 03 83 4D 49 46 41 52 45 20 50 6C 75 73 20 53 41 4D 3B");
// A T=0 SAM.
const Bytes T0Atr = fromHex("3B 6A 00 00 80 65 A2 01 01 01 3D 72 D6 43");

class ElatecDriverTest : public ::testing::TestWithParam<ElatecReader::Mode>
{
protected:
    void SetUp() override
    {
        reader = std::make_unique<ElatecReader>(GetParam());
        driver = std::make_shared<ElatecTWN::Driver>();
    }

    void openDriver()
    {
        std::string error;
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(*reader, [&] {
            return driver->open(reader->devicePath(), 115200, &error);
        })) << error;
        reader->clearReceived();
    }

    std::shared_ptr<ScriptedCard> placeCard(ScriptedCard::Identity id)
    {
        auto card = std::make_shared<ScriptedCard>(std::move(id));
        reader->setCard(card);
        return card;
    }

    static ScriptedCard::Identity isoA(uint8_t sak, uint16_t atqa, Bytes ats)
    {
        ScriptedCard::Identity id;
        id.uid = {0x11, 0x22, 0x33, 0x44};
        id.sak = sak;
        id.atqa = atqa;
        id.ats = std::move(ats);
        return id;
    }

    std::unique_ptr<ElatecReader> reader;
    std::shared_ptr<ElatecTWN::Driver> driver;
};

INSTANTIATE_TEST_SUITE_P(Modes, ElatecDriverTest,
                         ::testing::Values(ElatecReader::Mode::BinaryCrc, ElatecReader::Mode::Ascii),
                         [](const auto& info) { return ElatecReader::modeName(info.param); });

TEST_P(ElatecDriverTest, OpenDetectsModeInitialisesLedsAndReadsIdentity)
{
    std::string error;
    ASSERT_TRUE(driver->open(reader->devicePath(), 9600, &error)) << error;
    const auto received = reader->received();
    ASSERT_FALSE(received.empty());
    // First the detection probe that this variant understood.
    if (GetParam() == ElatecReader::Mode::BinaryCrc)
        EXPECT_EQ(received[0].wire, fromHex("04 00 00 05 15 A7"));
    else
        EXPECT_EQ(received[0].wire, Bytes({'0', '0', '0', '5', '\r'}));
    // Then LED set-up, version, UID and USB type. On a loaded host the reader may answer a probe
    // late: the next probe reaches it as well. The line proves itself in step (a version query for
    // a few characters and one for the whole text) before the first command and after any doubt,
    // and a command sent before any probe was answered goes again once one is. None of that is the
    // open's own.
    std::vector<ElatecReader::Received> own;
    bool proved = false;  // since the open's last own command
    const auto limited = [](const ElatecReader::Received& r) {
        return r.command == 0x0004 && r.params.size() == 1 && r.params[0] < 0xFF;
    };
    for (size_t i = 0; i < received.size(); ++i) {
        const auto& r = received[i];
        const bool probe = r.command == 0x0005 && own.empty();
        const bool again =
            proved && !own.empty() && own.back().command == r.command && own.back().params == r.params;
        if (limited(r) || (i > 0 && r.command == 0x0004 && limited(received[i - 1]))) {
            proved = true;
        } else if (!probe && !again) {
            own.push_back(r);
            proved = false;
        }
    }
    ASSERT_EQ(commandsOf(own), (std::vector<uint16_t>{0x0410, 0x0412, 0x0004, 0x0008, 0x0005}));
    EXPECT_EQ(own[0].params, Bytes{0x07});
    EXPECT_EQ(own[1].params, Bytes{0x07});
    EXPECT_EQ(own[2].params, Bytes{0xFF});

    const NFC::Driver::Info info = driver->info();
    EXPECT_EQ(info.type, NFC::Driver::USB);
    EXPECT_EQ(info.model, "Elatec");
    EXPECT_EQ(info.manufacturer, "TWN4");
    EXPECT_EQ(info.firmware, "TWN4/B1.65/X4.06/PRS1.04");
    EXPECT_EQ(info.infoValue1, 2);
    EXPECT_EQ(info.infoValue2, 2);
    EXPECT_EQ(info.deviceUID, "7E11020344556677");
    EXPECT_EQ(info.appUpdateResult, "n/a");
    EXPECT_EQ(info.sysUpdateResult, "n/a");
    EXPECT_EQ(driver->ISO7816_slots(), 2);
    EXPECT_TRUE(driver->status());
}

TEST_P(ElatecDriverTest, ReaderTypeFollowsUsbTypeAnswer)
{
    reader->setUSBType(0);
    openDriver();
    EXPECT_EQ(driver->info().type, NFC::Driver::Serial);
    driver->close();

    reader->setUSBType(1);
    reader->inject({Fault::Status, 1, 0x0005});  // the probe still answers: only its status fails
    reader->inject({Fault::Status, 1, 0x0005});
    std::string error;
    ASSERT_TRUE(driver->open(reader->devicePath(), 0, &error)) << error;
    EXPECT_EQ(driver->info().type, NFC::Driver::Unknown);
}

TEST_P(ElatecDriverTest, BeepAndLedsGoOutAsTheReaderExpects)
{
    openDriver();
    ASSERT_TRUE(driver->beep(50, 2600, 70, 0));
    ASSERT_TRUE(driver->setLEDs(0x03));
    ASSERT_TRUE(driver->setLEDs(0x02));  // same reader LED: nothing to send
    ASSERT_TRUE(driver->setLEDs(0x08));
    ASSERT_TRUE(driver->setTagTypes(0x11223344, 0x55667788));
    ASSERT_TRUE(driver->disableRF());
    EXPECT_FALSE(driver->setScreen(NFC::Driver::ScreenCardFound));

    const auto received = reader->received();
    ASSERT_EQ(commandsOf(received), (std::vector<uint16_t>{0x0407, 0x0413, 0x0413, 0x0502, 0x0501}));
    if (GetParam() == ElatecReader::Mode::BinaryCrc)
        EXPECT_EQ(received[0].wire, fromHex("0B 00 04 07 32 28 0A 46 00 00 00 BF B9"));
    else
        EXPECT_EQ(emulators::toHex(received[0].wire),
                  emulators::toHex(Bytes({'0', '4', '0', '7', '3', '2', '2', '8', '0', 'A', '4', '6', '0',
                                          '0', '0', '0', '0', '0', '\r'})));
    EXPECT_EQ(received[1].params, Bytes{0x04});
    EXPECT_EQ(received[2].params, Bytes{0x05});  // 0x04 off, 0x01 on
    EXPECT_EQ(received[3].params, fromHex("44 33 22 11 88 77 66 55"));
    EXPECT_EQ(reader->leds(), 0x01);
}

TEST_P(ElatecDriverTest, SearchReportsDesfireWithUidAndAts)
{
    openDriver();
    placeCard(ScriptedCard::desfireIdentity());
    int type = -1;
    Bytes uid, ats;
    ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));
    EXPECT_EQ(type, 256);
    EXPECT_EQ(uid, ScriptedCard::desfireIdentity().uid);
    EXPECT_EQ(ats, ScriptedCard::desfireIdentity().ats);
    EXPECT_EQ(commandsOf(reader->received()), (std::vector<uint16_t>{0x0500, 0x1200, 0x1204, 0x1205}));
    EXPECT_TRUE(driver->ISO14443_checkPresence());
}

TEST_P(ElatecDriverTest, SearchMapsSakAtqaAndAtsToTagTypes)
{
    openDriver();
    const Bytes someAts = {0x05, 0x78, 0x80, 0x70, 0x02};
    struct Case
    {
        uint8_t sak;
        uint16_t atqa;
        Bytes ats;
        int type;
    } cases[] = {
        {0x08, 0x0004, {}, 4},       {0x08, 0x0004, someAts, 16}, {0x18, 0x0002, {}, 8},
        {0x18, 0x0002, someAts, 32}, {0x00, 0x0044, {}, 64},      {0x09, 0x0004, {}, 128},
        {0x10, 0x0004, {}, 16},      {0x11, 0x0002, {}, 32},      {0x20, 0x0304, someAts, 16},
        {0x20, 0x0002, someAts, 32}, {0x20, 0x0008, someAts, 1},  {0x28, 0x0004, {}, 1},
    };
    for (const Case& c : cases) {
        placeCard(isoA(c.sak, c.atqa, c.ats));
        int type = -1;
        Bytes uid, ats;
        ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs)) << int(c.sak);
        EXPECT_EQ(type, c.type) << "SAK " << int(c.sak) << " ATQA " << c.atqa;
        EXPECT_EQ(ats, c.ats);
        EXPECT_EQ(uid, (Bytes{0x11, 0x22, 0x33, 0x44}));
    }
}

TEST_P(ElatecDriverTest, SearchReportsLowFrequencyAndTypeBCards)
{
    openDriver();
    ScriptedCard::Identity lf;
    lf.readerTagType = 0x7F;  // the highest type with no ISO 14443 layer
    lf.uid = {0x01, 0x02, 0x03, 0x04, 0x05};
    placeCard(lf);
    int type = -1;
    Bytes uid, ats;
    ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));
    EXPECT_EQ(type, 32768);
    EXPECT_EQ(uid, lf.uid);
    // Nothing more is asked of a card that has no ISO 14443 layer.
    EXPECT_EQ(commandsOf(reader->received()), (std::vector<uint16_t>{0x0500}));

    ScriptedCard::Identity b;
    b.readerTagType = 0x81;
    b.uid = {0xA1, 0xA2, 0xA3, 0xA4};
    b.atqb = {0x50, 0xA1, 0xA2, 0xA3, 0xA4};
    placeCard(b);
    ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));
    EXPECT_EQ(type, 2);
    Bytes atqb;
    ASSERT_TRUE(driver->ISO14443_getATQB(atqb));
    EXPECT_EQ(atqb, b.atqb);
}

TEST_P(ElatecDriverTest, SearchWithoutCardTimesOutLeavingTypeAlone)
{
    openDriver();
    int type = 77;
    Bytes uid, ats;
    EXPECT_FALSE(driver->searchTag(type, uid, ats, 0));
    EXPECT_EQ(type, 77);
    EXPECT_EQ(commandsOf(reader->received()), (std::vector<uint16_t>{0x0500}));

    reader->clearReceived();
    // Long enough for a second poll even when a loaded machine makes one round trip slow.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(driver->searchTag(type, uid, ats, 600));
    EXPECT_GE(elapsedMs(start), 600);
    EXPECT_GT(reader->received().size(), 1u);
    EXPECT_EQ(type, 77);
    EXPECT_TRUE(uid.empty());
}

TEST_P(ElatecDriverTest, FailedSakOrAtqaQueryFailsTheSearch)
{
    openDriver();
    placeCard(isoA(0x00, 0x0044, {}));
    reader->inject({Fault::Status, 1, 0x1205});
    int type = -1;
    Bytes uid, ats;
    EXPECT_FALSE(driver->searchTag(type, uid, ats, 0));
    EXPECT_NE(type, 64);

    placeCard(ScriptedCard::desfireIdentity());
    reader->inject({Fault::Status, 1, 0x1204});
    EXPECT_FALSE(driver->searchTag(type, uid, ats, 0));
    EXPECT_NE(type, 256);

    // The card is still there: the next search tells it apart.
    ASSERT_TRUE(driver->searchTag(type, uid, ats, 0));
    EXPECT_EQ(type, 256);
}

TEST_P(ElatecDriverTest, CardFramesTravelBothWaysThroughTheLink)
{
    openDriver();
    auto card = placeCard(ScriptedCard::desfireIdentity());
    card->expect4(fromHex("60"), fromHex("AF 04 01 01 01 00 1A 05"));
    card->expect4(fromHex("AF"), fromHex("AF 04 01 01 01 04 1A 05"));
    card->expect3(fromHex("30 04 26 EE"), fromHex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 AA BB"));
    int type = 0;
    Bytes uid, ats;
    ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));

    NFC::ISO14443 link(driver);
    Bytes rx;
    ASSERT_TRUE(link.TDX4(fromHex("60"), rx));
    EXPECT_EQ(rx, fromHex("AF 04 01 01 01 00 1A 05"));
    ASSERT_TRUE(link.TDX4(fromHex("AF"), rx));
    EXPECT_EQ(rx, fromHex("AF 04 01 01 01 04 1A 05"));
    ASSERT_TRUE(link.TDX3(fromHex("30 04 26 EE"), rx));
    EXPECT_EQ(rx, fromHex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 AA BB"));
    EXPECT_TRUE(card->allUsed()) << card->report();

    const auto received = reader->received();
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received[received.size() - 3].params, fromHex("01 60 FF"));
    EXPECT_EQ(received.back().params, fromHex("04 30 04 26 EE FF 30 00"));

    // A card that does not answer fails the exchange rather than returning stale bytes.
    rx = {0x99};
    EXPECT_FALSE(link.TDX4(fromHex("90 6A 00 00 00"), rx));
    EXPECT_FALSE(card->allUsed());
}

TEST_P(ElatecDriverTest, FrameTooLongForTheLengthByteIsRefusedUnsent)
{
    openDriver();
    placeCard(ScriptedCard::desfireIdentity());
    Bytes rx;
    EXPECT_FALSE(driver->ISO14443_TDX4(Bytes(256, 0x5A), rx));
    EXPECT_FALSE(driver->ISO14443_TDX3(Bytes(300, 0x5A), rx));
    EXPECT_EQ(reader->bytesReceived(), 0u);
    (void)driver->ISO14443_TDX4(Bytes(255, 0x5A), rx);
    ASSERT_EQ(reader->received().size(), 1u);
    EXPECT_EQ(reader->received()[0].params.size(), 1u + 255u + 1u);
    EXPECT_EQ(reader->received()[0].params[0], 0xFF);
}

TEST_P(ElatecDriverTest, Av3SamInSlotZeroPowersNegotiatesAndAnswersApdu)
{
    openDriver();
    auto sam = std::make_shared<ScriptedSam>(Av3Atr);
    sam->expectApdu(fromHex("80 60 00 00 00"), fromHex("04 01 01 03 02 1C 01 04 01 01 03 02 1C 01"), 0x9000);
    reader->setSam(0, sam);

    EXPECT_EQ(driver->ISO7816_slotState(0), 2);  // asking powers it on
    Bytes atr;
    ASSERT_TRUE(driver->ISO7816_powerOn(0, &atr));
    EXPECT_EQ(atr, Av3Atr);

    auto link = std::make_shared<NFC::ISO7816>(driver, 0);
    NFC::SAM samObject(link, atr, NFC::SAM::MifareAV);
    const uint8_t pps1 = 0x18;
    ASSERT_TRUE(samObject.setPPS(NFC::SAM::T1, &pps1));
    EXPECT_EQ(sam->ppsRequests().back(), fromHex("FF 11 18 F6"));

    NFC::Driver::CommSettings settings;
    settings.protocol = 1;
    settings.option = 5;
    const uint8_t t1[7] = {0x18, 0x00, 0x00, 0x43, 0x00, 0xFE, 0x00};
    std::copy(t1, t1 + 7, settings.protocolData);
    ASSERT_TRUE(link->setCommSettings(settings));
    ASSERT_FALSE(sam->commSettings().empty());
    // Firmware X4.06 wants one more byte after the protocol data.
    EXPECT_EQ(sam->commSettings().back(), fromHex("01 05 00 00 00 00 18 00 00 43 00 FE 00 00"));

    NFC::Driver::APDUHeader header;
    header.CLA = 0x80;
    header.INS = 0x60;
    header.hasLe = true;
    Bytes response;
    int sw = 0;
    ASSERT_TRUE(link->exchangeAPDU(header, nullptr, &response, sw));
    EXPECT_EQ(sw, 0x9000);
    EXPECT_EQ(response, fromHex("04 01 01 03 02 1C 01 04 01 01 03 02 1C 01"));
    EXPECT_TRUE(sam->allUsed()) << sam->report();

    const auto apdu = reader->received().back();
    EXPECT_EQ(apdu.command, 0x1005);
    EXPECT_EQ(apdu.params, fromHex("20 80 60 00 00 00 00 00 00 01 00 00 FF 00"));

    // With data: Lc, Le and the data's length go least significant byte first, then the data.
    sam->expectApdu(fromHex("80 70 01 02 03 0A 0B 0C 00"), fromHex("C1 C2"), 0x9000);
    NFC::Driver::APDUHeader withData;
    withData.CLA = 0x80;
    withData.INS = 0x70;
    withData.P1 = 0x01;
    withData.P2 = 0x02;
    withData.Lc = 3;
    withData.Le = 0x100;
    withData.hasLe = true;
    const Bytes data = fromHex("0A 0B 0C");
    ASSERT_TRUE(driver->ISO7816_exchangeAPDU(0, withData, &data, &response, sw));
    EXPECT_EQ(response, fromHex("C1 C2"));
    EXPECT_EQ(reader->received().back().params,
              fromHex("20 80 70 01 02 03 00 00 01 01 03 00 0A 0B 0C FF 00"));
    EXPECT_TRUE(sam->allUsed()) << sam->report();

    EXPECT_TRUE(driver->ISO7816_powerOff(0));
    EXPECT_FALSE(sam->powered());
    reader->clearReceived();
    EXPECT_EQ(driver->ISO7816_slotState(0), 1);
    EXPECT_TRUE(reader->received().empty());
}

TEST_P(ElatecDriverTest, T0SamInSlotOneRunsTpdu)
{
    reader->setVersion("TWN4/B1.65/X4.05/PRS1.04");
    openDriver();
    auto sam = std::make_shared<ScriptedSam>(T0Atr);
    sam->expectTpdu(fromHex("00 A4 04 00 07 D4 10 65 09 90 00 10"), {}, 0x9000);
    sam->expectTpdu(fromHex("00 C0 00 00 04"), fromHex("DE AD BE EF"), 0x9000);
    reader->setSam(1, sam);

    auto link = std::make_shared<NFC::ISO7816>(driver, 1);
    Bytes atr;
    ASSERT_TRUE(link->powerOn(&atr));
    EXPECT_EQ(atr, T0Atr);
    NFC::SAM samObject(link, atr, NFC::SAM::LG);
    const uint8_t pps1 = 0x18;
    ASSERT_TRUE(samObject.setPPS(NFC::SAM::T0, &pps1));
    EXPECT_EQ(sam->ppsRequests().back(), fromHex("FF 10 18 F7"));

    NFC::Driver::CommSettings settings;
    settings.protocol = 0;
    settings.option = 5;
    const uint8_t t0[5] = {0x18, 0x00, 0x00, 0x0A, 0x00};
    std::copy(t0, t0 + 5, settings.protocolData);
    ASSERT_TRUE(link->setCommSettings(settings));
    // Firmware before X4.06: no extra byte.
    EXPECT_EQ(sam->commSettings().back(), fromHex("00 05 00 00 00 00 18 00 00 0A 00 00 00"));

    NFC::Driver::TPDUHeader select{0x00, 0xA4, 0x04, 0x00, 0x07};
    const Bytes aid = fromHex("D4 10 65 09 90 00 10");
    int sw = 0;
    ASSERT_TRUE(link->exchangeTPDU(select, &aid, nullptr, sw));
    EXPECT_EQ(sw, 0x9000);
    NFC::Driver::TPDUHeader get{0x00, 0xC0, 0x00, 0x00, 0x04};
    Bytes response;
    ASSERT_TRUE(link->exchangeTPDU(get, nullptr, &response, sw));
    EXPECT_EQ(response, fromHex("DE AD BE EF"));
    EXPECT_EQ(sw, 0x9000);
    EXPECT_TRUE(sam->allUsed()) << sam->report();
    EXPECT_EQ(reader->received().back().params, fromHex("21 00 C0 00 00 04 00 00 80 00"));
}

TEST_P(ElatecDriverTest, SlotsRefuseWhatTheyCannotServe)
{
    openDriver();
    EXPECT_EQ(driver->ISO7816_slotState(0), 0);  // empty slot
    EXPECT_FALSE(driver->ISO7816_powerOn(1, nullptr));
    auto mute = std::make_shared<ScriptedSam>(T0Atr);
    mute->setMute(true);
    reader->setSam(1, mute);
    EXPECT_FALSE(driver->ISO7816_powerOn(1, nullptr));
    EXPECT_EQ(driver->ISO7816_slotState(1), 0);

    reader->clearReceived();
    EXPECT_EQ(driver->ISO7816_slotState(2), 0);
    EXPECT_FALSE(driver->ISO7816_powerOn(-1, nullptr));
    EXPECT_FALSE(driver->ISO7816_powerOff(2));
    EXPECT_EQ(reader->bytesReceived(), 0u);

    // A SAM that confirms only part of a PPS has not accepted it.
    auto partial = std::make_shared<ScriptedSam>(Av3Atr);
    partial->setPpsAnswer(fromHex("FF 11"));
    reader->setSam(0, partial);
    auto link = std::make_shared<NFC::ISO7816>(driver, 0);
    Bytes atr;
    ASSERT_TRUE(link->powerOn(&atr));
    NFC::SAM samObject(link, atr, NFC::SAM::Plain);
    EXPECT_FALSE(samObject.setPPS(NFC::SAM::T1, nullptr));
    EXPECT_EQ(partial->ppsRequests().back(), fromHex("FF 01 FE"));
}

TEST_P(ElatecDriverTest, ClosedDriverSendsNothing)
{
    openDriver();
    placeCard(ScriptedCard::desfireIdentity());
    reader->setSam(0, std::make_shared<ScriptedSam>(Av3Atr));
    ASSERT_TRUE(driver->close());
    EXPECT_FALSE(driver->isOpen());
    reader->clearReceived();

    int type = 0, sw = 0;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    Bytes uid, ats, rx, tx = {0x60};
    NFC::Driver::CommSettings settings;
    EXPECT_FALSE(driver->status());
    EXPECT_FALSE(driver->reset());
    EXPECT_FALSE(driver->setLEDs(0x01));
    EXPECT_FALSE(driver->beep(50, 2600, 70, 0));
    EXPECT_FALSE(driver->setTagTypes(1, 2));
    EXPECT_FALSE(driver->enableRF());
    EXPECT_FALSE(driver->disableRF());
    EXPECT_FALSE(driver->searchTag(type, uid, ats, 0));
    EXPECT_FALSE(driver->ISO14443_checkPresence());
    EXPECT_FALSE(driver->ISO14443_TDX3(tx, rx));
    EXPECT_FALSE(driver->ISO14443_TDX4(tx, rx));
    EXPECT_FALSE(driver->ISO14443_getATS(ats));
    EXPECT_FALSE(driver->ISO14443_getATQA(atqa));
    EXPECT_FALSE(driver->ISO14443_getSAK(sak));
    EXPECT_FALSE(driver->ISO14443_getATQB(rx));
    EXPECT_EQ(driver->ISO7816_slotState(0), 0);
    EXPECT_FALSE(driver->ISO7816_powerOn(0, nullptr));
    EXPECT_FALSE(driver->ISO7816_powerOff(0));
    EXPECT_FALSE(driver->ISO7816_setCommSettings(0, settings));
    EXPECT_FALSE(driver->ISO7816_transceive(0, tx, rx));
    EXPECT_FALSE(driver->ISO7816_exchangeTPDU(0, {}, nullptr, nullptr, sw));
    EXPECT_FALSE(driver->ISO7816_exchangeAPDU(0, {}, nullptr, nullptr, sw));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(reader->bytesReceived(), 0u);
    // Identity survives the close.
    EXPECT_EQ(driver->info().firmware, "TWN4/B1.65/X4.06/PRS1.04");
}

TEST_P(ElatecDriverTest, LateAnswerIsNotTakenForNextCommand)
{
    openDriver();
    placeCard(ScriptedCard::desfireIdentity());
    int type = 0;
    Bytes uid, ats;
    ASSERT_TRUE(driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));

    // The ATQA answer comes only once the driver gave up on it: on the line before the next command
    // goes out, or so late that it comes after that command, ahead of its answer.
    for (const Fault::Kind late : {Fault::Held, Fault::Overtaken}) {
        SCOPED_TRACE(late == Fault::Held ? "before the next command" : "after the next command");
        reader->inject({late, 0, 0x1204});
        uint16_t atqa = 0;
        EXPECT_FALSE(driver->ISO14443_getATQA(atqa));
        if (late == Fault::Held) {
            reader->release();
            ASSERT_TRUE(reader->waitForReleased(1, testsupport::PeerDeadlineMs));
        }
        uint8_t sak = 0;
        ASSERT_TRUE(driver->ISO14443_getSAK(sak));
        EXPECT_EQ(sak, 0x20);
        ASSERT_TRUE(driver->ISO14443_getATQA(atqa));
        EXPECT_EQ(atqa, 0x0344);
    }
}

TEST_P(ElatecDriverTest, SplitAnswerIsReassembled)
{
    openDriver();
    placeCard(ScriptedCard::desfireIdentity());
    int type = 0;
    Bytes uid, ats;
    reader->inject({Fault::Split, 30, 0x0500});
    ASSERT_TRUE(driver->searchTag(type, uid, ats, 0));
    EXPECT_EQ(type, 256);
    EXPECT_EQ(uid, ScriptedCard::desfireIdentity().uid);
}

TEST_P(ElatecDriverTest, StatusRetriesBeforeGivingUp)
{
    openDriver();
    reader->inject({Fault::Drop, 0, 0x0004});
    EXPECT_TRUE(driver->status());
    // The second attempt first proves the line in step (two version queries of its own), then asks.
    EXPECT_EQ(commandsOf(reader->received()), (std::vector<uint16_t>{0x0004, 0x0004, 0x0004, 0x0004}));

    // Three refusals are all it takes.
    reader->clearReceived();
    for (int i = 0; i < 3; ++i) reader->inject({Fault::Status, 1, 0x0004});
    EXPECT_FALSE(driver->status());
    EXPECT_EQ(commandsOf(reader->received()), (std::vector<uint16_t>{0x0004, 0x0004, 0x0004}));
}

// The driver's read time-out is its line's: given a longer one for a slower link, the driver takes
// an answer later than the reader's own second allows, and not one later than the time-out. (The
// line's bounds themselves are judged on a clock of the test's in PRSTest.)
TEST_P(ElatecDriverTest, AnswerWaitFollowsTheDriversReadTimeout)
{
    for (const auto& [lateMs, taken] : {std::pair{2000, true}, std::pair{4000, false}}) {
        SCOPED_TRACE(lateMs);
        driver = std::make_shared<ElatecTWN::Driver>(3000);
        openDriver();
        reader->inject({Fault::Delay, lateMs, 0x0413});
        EXPECT_EQ(driver->setLEDs(0x08), taken);
        ASSERT_TRUE(reader->waitForIdle(testsupport::PeerDeadlineMs));
    }
}

TEST_P(ElatecDriverTest, OctalLookingSdkVersionReadsAsDecimal)
{
    // "04.06" is version 406 and so takes the extra settings byte; read as octal it would not.
    reader->setVersion("TWN4/B1.65/04.06/PRS1.04");
    openDriver();
    EXPECT_EQ(driver->getSdkVersionInt(), 406);
    auto sam = std::make_shared<ScriptedSam>(Av3Atr);
    reader->setSam(0, sam);
    ASSERT_TRUE(driver->ISO7816_powerOn(0, nullptr));
    NFC::Driver::CommSettings settings;
    settings.protocol = 1;
    ASSERT_TRUE(driver->ISO7816_setCommSettings(0, settings));
    EXPECT_EQ(sam->commSettings().back().size(), 14u);
}

// A line that gives no answer fails the open once the probes and the first command went unanswered:
// silent, or flooded from the first probe on with bytes that make no answer, where each wait for a
// probe's answer (the first command's too) ends at its second while the flood goes on.
TEST(ElatecDriverOpen, UnansweredOpenFailsWithinTheProbesWaits)
{
    // The four probes, then the first command in plain ASCII ("041007\r").
    const size_t tries = 4 + 6 + 5 + 9 + 7;
    for (const auto& [mode, faults] :
         {std::pair{ElatecReader::Mode::Silent, std::vector<Fault>{}},
          std::pair{ElatecReader::Mode::Binary,
                    std::vector<Fault>{{Fault::Flood, 0, 0x0005, Bytes{0x00, 0x00}}}}}) {
        SCOPED_TRACE(ElatecReader::modeName(mode));
        ElatecReader reader(mode);
        for (const Fault& fault : faults) reader.inject(fault);
        ElatecTWN::Driver driver;
        std::string error;
        EXPECT_FALSE(driver.open(reader.devicePath(), 115200, &error));
        EXPECT_EQ(error, "Could not initialize device");
        EXPECT_FALSE(driver.isOpen());
        EXPECT_EQ(reader.waitForIdle(0), faults.empty());  // a flood stops only when released
        EXPECT_TRUE(reader.waitForBytes(tries, testsupport::PeerDeadlineMs));
        EXPECT_EQ(reader.bytesReceived(), tries);
        reader.release();
    }
}

TEST(ElatecDriverOpen, MissingDeviceReportsTheSystemError)
{
    ElatecTWN::Driver driver;
    std::string error;
    EXPECT_FALSE(driver.open("/dev/tapgate-no-such-reader", 115200, &error));
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_FALSE(driver.open("/dev/tapgate-no-such-reader", 115200, nullptr));
}

TEST(ElatecDriverOpen, EachVariantIsDetectedAndUsed)
{
    for (auto mode : {ElatecReader::Mode::Binary, ElatecReader::Mode::BinaryCrc, ElatecReader::Mode::Ascii,
                      ElatecReader::Mode::AsciiCrc}) {
        ElatecReader reader(mode);
        ElatecTWN::Driver driver;
        ASSERT_TRUE(driver.open(reader.devicePath(), 115200, nullptr)) << int(mode);
        EXPECT_EQ(driver.info().deviceUID, "7E11020344556677") << int(mode);
        EXPECT_TRUE(driver.beep(10, 1000, 20, 20)) << int(mode);
    }
}

// The line proves itself with the reader's version text as the bytes it is: a text that holds or
// ends in any byte opens the reader; a reader that answers a limit with more than the text's first
// bytes never proves the line, and the line says so once, showing what the reader answered.
TEST(ElatecDriverOpen, AnyVersionTextOpensAndAReaderAnsweringOtherwiseIsSaid)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelWarning);
    const std::string text = "TWN4/B1.65/X4.06/PRS1.04\r\n";
    const std::vector<std::pair<std::string, bool>> rows = {
        {"TWN4/B1.65/X4.06/PRS1.04" + std::string(1, '\0'), false},
        {text, false},
        {"TWN4\x01\xFF/B1.65/X4.06", false},
        {text, true},  // every limit answered with the whole text
    };
    Bytes whole = {static_cast<uint8_t>(text.size())};
    whole.insert(whole.end(), text.begin(), text.end());
    for (auto mode : {ElatecReader::Mode::Binary, ElatecReader::Mode::BinaryCrc, ElatecReader::Mode::Ascii,
                      ElatecReader::Mode::AsciiCrc})
        for (const auto& [version, limitIgnored] : rows) {
            SCOPED_TRACE(ElatecReader::modeName(mode) + ", " +
                         emulators::toHex(Bytes(version.begin(), version.end())));
            ElatecReader reader(mode);
            reader.setVersion(version);
            if (limitIgnored)
                for (int i = 0; i < 2; ++i) reader.inject({Fault::Replace, 0, 0x0004, whole});
            testsupport::StderrCapture log;
            ElatecTWN::Driver driver;
            EXPECT_EQ(driver.open(reader.devicePath(), 115200, nullptr), !limitIgnored);
            const std::string said = log.text();
            EXPECT_EQ(driver.info().firmware, limitIgnored ? "" : version);
            // Once, and with both answers escaped.
            const std::string answer = "\"TWN4/B1.65/X4.06/PRS1.04\\r\\n\"";
            const std::string warning = "WARN: the reader answers, but not as a proof of the line needs";
            const size_t at = said.find(warning + " (");
            EXPECT_EQ(at != std::string::npos, limitIgnored) << said;
            EXPECT_EQ(said.find(warning, at == std::string::npos ? 0 : at + 1), std::string::npos) << said;
            EXPECT_EQ(said.find("answers were " + answer + " and " + answer) != std::string::npos,
                      limitIgnored);
        }
}

// A reader with a card on it stops answering; the program gives up on it and opens it again, and
// only then does the reader work off what it owed the line before, at line speed, right after the
// new open's probe without CRC in the reader's own transport, which must not take an answer with
// CRC for its own. The new open reads the reader's own identity, and once the card has gone a
// search finds none. What went wrong, or nothing.
std::string reopenAfterAStall(ElatecReader::Mode mode)
{
    ElatecReader reader(mode);
    reader.setCard(std::make_shared<ScriptedCard>(ScriptedCard::desfireIdentity()));
    auto driver = std::make_unique<ElatecTWN::Driver>();
    int type = 0;
    Bytes uid, ats;
    if (!driver->open(reader.devicePath(), 115200, nullptr) ||
        !driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs))
        return "the card was not found before the stall";
    // The next answer is held, and every answer after it waits behind it; then they go at the
    // speed of the reader's serial line.
    reader.inject({Fault::Held});
    reader.setLineSpeed(11);
    for (int i = 0; i < 4; ++i)
        if (driver->ISO14443_checkPresence())
            return "an answer came through the stall";
    driver.reset();
    // The binary probes take 4 and 6 bytes, the ASCII one without CRC 5.
    const size_t probed =
        reader.bytesReceived() +
        (mode == ElatecReader::Mode::Binary || mode == ElatecReader::Mode::BinaryCrc ? 4 : 15);
    auto opened = std::async(std::launch::async, [&reader] {
        auto fresh = std::make_unique<ElatecTWN::Driver>();
        return fresh->open(reader.devicePath(), 115200, nullptr) ? std::move(fresh) : nullptr;
    });
    if (reader.waitForBytes(probed, testsupport::PeerDeadlineMs))
        reader.release();
    driver = opened.get();
    if (!driver)
        return "the reader was not opened again";
    const auto info = driver->info();
    std::string failures;
    if (info.firmware != "TWN4/B1.65/X4.06/PRS1.04" || info.deviceUID != "7E11020344556677")
        failures += "opened as " + info.firmware + ", " + info.deviceUID + "; ";
    // No card that is not there, and the card once it is back: the line is in step, not only quiet.
    reader.setCard(nullptr);
    if (driver->searchTag(type, uid, ats, 0))
        failures += "found a card with UID " + emulators::toHex(uid) + "; ";
    reader.setCard(std::make_shared<ScriptedCard>(ScriptedCard::desfireIdentity()));
    if (!driver->searchTag(type, uid, ats, testsupport::PeerDeadlineMs) ||
        uid != ScriptedCard::desfireIdentity().uid)
        failures += "the card back in the field was not found; ";
    return failures;
}

TEST(ElatecDriverOpen, AReopenedLineTakesNothingOwedToTheLineBefore)
{
    std::vector<std::future<std::string>> runs;
    const ElatecReader::Mode modes[] = {ElatecReader::Mode::Binary, ElatecReader::Mode::BinaryCrc,
                                        ElatecReader::Mode::Ascii, ElatecReader::Mode::AsciiCrc};
    for (auto mode : modes) runs.push_back(std::async(std::launch::async, reopenAfterAStall, mode));
    for (size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].get(), "") << ElatecReader::modeName(modes[i]);
}

}  // namespace
