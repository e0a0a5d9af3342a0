// The fuzzing driver and the recording driver that makes its seeds: what one writes the other must
// read back call for call, an input that runs out must fail every later call as a dead line does,
// and a run recorded against the emulated reader must replay to the same results, or the seeds
// would not take the fuzz targets where the recorded runs went.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NFC/ISO14443.h"
#include "NFC/ISO7816.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/MifareSAM.h"
#include "TestSupport.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/DesfireCard.h"
#include "emulators/ElatecReader.h"
#include "emulators/MifareSam.h"
#include "support/FuzzDriver.h"
#include "support/RecordingDriver.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fuzzing::AnswerWriter;
using fuzzing::FuzzDriver;
using fuzzing::FuzzInput;

TEST(FuzzDriverTest, ReadsEachKindOfAnswerInTheFormTheWriterGivesIt)
{
    Bytes script;
    AnswerWriter out(script);
    out.flags(true);
    out.u16be(0x0100);
    out.block({0x04, 0x52, 0x7A});
    out.block({0x06, 0x75});
    out.flags(true);
    out.block({0x91, 0x00});
    out.flags(true);
    out.block({0xAA, 0xBB});
    out.u16be(0x6985);
    out.flags(true);
    out.u16be(0x0344);
    out.flags(true);
    out.u8(0x20);
    out.u8(2);
    out.flags(false);
    out.flags(true);
    out.u16be(static_cast<uint16_t>(-3));
    out.u8(2);
    out.text("token");
    out.text("");

    FuzzInput input(script.data(), script.size());
    FuzzDriver driver(input);
    int type = 0;
    Bytes uid, ats, rx, response;
    ASSERT_TRUE(driver.searchTag(type, uid, ats, 100));
    EXPECT_EQ(type, 0x0100);
    EXPECT_EQ(uid, (Bytes{0x04, 0x52, 0x7A}));
    EXPECT_EQ(ats, (Bytes{0x06, 0x75}));
    ASSERT_TRUE(driver.ISO14443_TDX4({0x6A}, rx));
    EXPECT_EQ(rx, (Bytes{0x91, 0x00}));
    int sw = 0;
    ASSERT_TRUE(driver.ISO7816_exchangeAPDU(0, {}, nullptr, &response, sw));
    EXPECT_EQ(response, (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(sw, 0x6985);
    uint16_t atqa = 0;
    ASSERT_TRUE(driver.ISO14443_getATQA(atqa));
    EXPECT_EQ(atqa, 0x0344);
    uint8_t sak = 0;
    ASSERT_TRUE(driver.ISO14443_getSAK(sak));
    EXPECT_EQ(sak, 0x20);
    EXPECT_EQ(driver.ISO7816_slotState(0), 2);
    EXPECT_FALSE(driver.enableRF());
    std::vector<std::string> token;
    int code = 0;
    ASSERT_TRUE(driver.EMV_getToken(token, code));
    EXPECT_EQ(code, -3);
    EXPECT_EQ(token, (std::vector<std::string>{"token", ""}));
    EXPECT_TRUE(input.empty());
}

TEST(FuzzDriverTest, EveryCallFailsOnceTheInputIsUsedUp)
{
    const Bytes script = {0x01, 0x00, 0x05, 0x01, 0x02};  // a TDX4 answer promising 5 bytes, 2 there
    FuzzInput input(script.data(), script.size());
    FuzzDriver driver(input);
    EXPECT_TRUE(driver.open("any", 0, nullptr));
    Bytes rx;
    ASSERT_TRUE(driver.ISO14443_TDX4({}, rx));
    EXPECT_EQ(rx, (Bytes{0x01, 0x02}));

    EXPECT_FALSE(driver.ISO14443_TDX3({}, rx));
    EXPECT_FALSE(driver.ISO14443_checkPresence());
    EXPECT_FALSE(driver.beep(1, 2, 3, 4));
    int sw = 0;
    EXPECT_FALSE(driver.ISO7816_exchangeTPDU(0, {}, nullptr, &rx, sw));
    EXPECT_FALSE(driver.ISO7816_powerOn(0, &rx));
    EXPECT_EQ(driver.ISO7816_slotState(1), 0);
    std::vector<std::string> fields;
    EXPECT_FALSE(driver.EMV_getToken(fields, sw));
    EXPECT_TRUE(driver.isOpen());
}

TEST(FuzzDriverTest, AFailedCallLeavesTheOutputsAlone)
{
    const Bytes script = {0x00, 0x00};
    FuzzInput input(script.data(), script.size());
    FuzzDriver driver(input);
    Bytes rx = {0xEE};
    int sw = 0x1234;
    EXPECT_FALSE(driver.ISO14443_TDX4({}, rx));
    EXPECT_FALSE(driver.ISO7816_exchangeAPDU(0, {}, nullptr, &rx, sw));
    EXPECT_EQ(rx, Bytes{0xEE});
    EXPECT_EQ(sw, 0x1234);
}

TEST(FuzzDriverTest, LongBlocksAreCutToWhatALengthFieldCanSay)
{
    Bytes script;
    AnswerWriter(script).block(Bytes(0x10005, 0x77));
    ASSERT_EQ(script.size(), 2u + 0xFFFF);
    EXPECT_EQ(script[0], 0xFF);
    EXPECT_EQ(script[1], 0xFF);
}

// The emulated reader with a MIFARE SAM in slot 0 and a DESFire card in the field, reached
// through the real driver with the recording driver in front.
class RecordedRunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        reader.setRecording(false);
        auto sam = std::make_shared<emulators::MifareSam>(emulators::MifareSam::Generation::AV3);
        sam->setKeyEntry(
            10, emulators::MifareSam::KeyEntry::make(emulators::MifareSam::DesfireNative,
                                                     emulators::MifareSam::Picc, Bytes(16, 0x3C), 2));
        reader.setSam(0, sam);
        reader.setCard(std::make_shared<emulators::DesfireCard>());
        real = std::make_shared<ElatecTWN::Driver>();
        ASSERT_TRUE(real->open(reader.devicePath(), 115200, nullptr));
        int type = 0;
        Bytes uid, ats;
        ASSERT_TRUE(real->searchTag(type, uid, ats, testsupport::PeerDeadlineMs));
    }

    struct Results
    {
        int versionCode = -1;
        NFC::MifareSAM::Version version;
        int entryCode = -1;
        NFC::MifareSAM::KeyEntry entry;
        int randomCode = -1;
        int random = 0;
        NFC::DESFire::Version card;
        int aidsCode = -1;
        std::vector<uint32_t> aids;
    };

    // Only operations whose commands do not depend on fresh random bytes, so that the replay
    // sends what the recording sent.
    static Results run(const std::shared_ptr<NFC::Driver>& driver)
    {
        Results r;
        auto link = std::make_shared<NFC::ISO7816>(driver, 0);
        Bytes atr;
        link->powerOn(&atr);
        NFC::MifareSAM sam(link, atr);
        r.versionCode = sam.getVersion(r.version);
        r.entryCode = sam.getKeyEntry(10, r.entry);
        r.randomCode = sam.getRandom(r.random);
        auto field = std::make_shared<NFC::ISO14443>(driver);
        r.card = NFC::DESFire::version(field);
        NFC::DESFire desfire(field, r.card.uid, {});
        r.aidsCode = desfire.getApplicationIDs(r.aids);
        return r;
    }

    emulators::ElatecReader reader{emulators::ElatecReader::Mode::BinaryCrc};
    std::shared_ptr<ElatecTWN::Driver> real;
};

TEST_F(RecordedRunTest, ReplayThroughTheFuzzDriverGivesTheRecordedResults)
{
    auto recorder = std::make_shared<fuzzing::RecordingDriver>(real);
    const Results recorded = run(recorder);
    ASSERT_EQ(recorded.versionCode, 0);
    ASSERT_EQ(recorded.entryCode, 0);
    ASSERT_EQ(recorded.randomCode, 0);
    ASSERT_EQ(recorded.aidsCode, 0);
    ASSERT_EQ(recorded.card.uid.size(), 7u);

    const Bytes seed = recorder->answers();
    FuzzInput input(seed.data(), seed.size());
    const Results replayed = run(std::make_shared<FuzzDriver>(input));
    EXPECT_TRUE(input.empty()) << input.remaining() << " bytes of the seed were not asked for";
    EXPECT_EQ(replayed.versionCode, 0);
    EXPECT_EQ(replayed.version.uid, recorded.version.uid);
    EXPECT_EQ(replayed.version.mode, recorded.version.mode);
    EXPECT_EQ(replayed.entryCode, 0);
    EXPECT_EQ(replayed.entry.verA, 2);
    EXPECT_EQ(replayed.entry.SET, recorded.entry.SET);
    EXPECT_EQ(replayed.randomCode, 0);
    EXPECT_EQ(replayed.random, recorded.random);
    EXPECT_EQ(replayed.card.uid, recorded.card.uid);
    EXPECT_EQ(replayed.card.toString(), recorded.card.toString());
    EXPECT_EQ(replayed.aidsCode, 0);
    EXPECT_EQ(replayed.aids, recorded.aids);
}

TEST_F(RecordedRunTest, ACutSeedEndsTheReplayWithFailuresNotWithMadeUpAnswers)
{
    auto recorder = std::make_shared<fuzzing::RecordingDriver>(real);
    run(recorder);
    Bytes seed = recorder->answers();
    // Everything up to the SAM's version answer only.
    seed.resize(seed.size() / 4);
    FuzzInput input(seed.data(), seed.size());
    const Results replayed = run(std::make_shared<FuzzDriver>(input));
    EXPECT_NE(replayed.randomCode, 0);
    EXPECT_NE(replayed.aidsCode, 0);
    EXPECT_TRUE(replayed.card.uid.empty());
}

}  // namespace
