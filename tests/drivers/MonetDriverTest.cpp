// The Monet driver end to end: the real driver on the emulated reader's B, N and side-channel
// endpoints on loopback, a platform that records instead of running anything, and the reader
// facade on top where the claim is about what the program sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "MonetFake.h"
#include "NFC/EMV.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "LogOnFailure.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "drivers/Monet/Factory.h"
#include "emulators/CardCrypto.h"
#include "emulators/DesfireCard.h"
#include "emulators/Hex.h"
#include "emulators/LGSamResponder.h"
#include "emulators/MifareSam.h"
#include "emulators/PseudoTerminal.h"
#include "emulators/UltralightEV1.h"

using emulators::Bytes;
using emulators::fromHex;
using emulators::toHex;
using Fault = emulators::MonetSideChannel::Fault;
using testsupport::MonetFake;
using testsupport::RecordingPlatform;

namespace {

[[maybe_unused]] const bool logHeld = testsupport::LogOnFailure::install();

using testsupport::openDescriptors;
using testsupport::PeerDeadlineMs;

const uint8_t TapModeStart = 0x85, TapModeStop = 0x86, TapModePoll = 0x87;
const uint8_t PassThrough = 0x41, Iso14443_3 = 0x4F, NonEMVcardOver = 0x39, SamPowerOn = 0x60;

// The emulated reader closes its end once it sees ours closed: waits for the count.
bool descriptorsBackTo(size_t count)
{
    return testsupport::eventually([&] { return openDescriptors() == count; });
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Sends a card event or a bank-card tap once the driver is listening for it; error is the tap
// result's error bytes.
void tap(MonetFake& fake, const std::string& token = "AABBCCDD", const std::string& error = "00 00")
{
    fake.side.sendEvent(0x50, {});
    Bytes result = fromHex("00 " + error + " 04 " + token);
    fake.side.sendEvent(0x53, result);
}

class MonetDriverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Log::open("tapgate-test", true, false);
        Log::setLevel(getenv("MONET_DEBUG") ? Log::LevelDebug : Log::LevelWarning);
        for (const std::string& host : {fake.endpoints.host, fake.endpoints.bindAddress, fake.side.host()})
            ASSERT_TRUE(testsupport::isLoopback(host)) << host;
    }

    // The facade on a pseudo-terminal with only the Monet family.
    std::shared_ptr<NFC::Reader> openReader()
    {
        auto reader =
            std::make_shared<NFC::Reader>(NFC::Reader::DriverFactories{Monet::driverFactory(fake.setup())},
                                          testsupport::lockDirectory());
        EXPECT_TRUE(reader->open(pty.path(), 115200)) << reader->error().message;
        return reader;
    }

    std::shared_ptr<Monet::Driver> openDriver()
    {
        auto driver = fake.driver();
        EXPECT_TRUE(driver->open("/dev/ttyMONET", 115200, nullptr));
        return driver;
    }

    // The first enable only arms a delayed one, which drains the side channel before it starts the
    // tap mode: a tap sent before that has run would be drained with it.
    template <typename Reader>
    bool enabledAfterTheDelay(Reader& reader)
    {
        const size_t before = fake.b.requests().size();
        return reader.enableRF() && fake.b.waitForRequests(before + 1, PeerDeadlineMs);
    }

    MonetFake fake;
    emulators::PseudoTerminal pty;
};

TEST_F(MonetDriverTest, DefaultFamilyRunsOnTheNullPlatformAndFailsAtOnce)
{
    NFC::Reader::DriverFactories families = NFC::Reader::defaultDriverFactories();
    ASSERT_EQ(families.back().name, "Monet");
    std::shared_ptr<NFC::Driver> driver = families.back().make();
    EXPECT_FALSE(driver->open(pty.path(), 115200, nullptr));  // the logger's own socket opens here
    const size_t before = openDescriptors();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(driver->open(pty.path(), 115200, nullptr));
    // Any bring-up costs a link check's 200 ms sleep at the least; nothing else here waits.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_FALSE(families.back().claims(pty.path()));
}

TEST_F(MonetDriverTest, FacadeEndsOnMonetAfterTheSerialProbesAndNeverProbesItsOwnLine)
{
    const struct
    {
        const char* name;
        int upAfter;  // flag reads after pppd started; -1: never
        bool held;    // our pppd already runs on the device
        bool opens;
        size_t sleeps;  // 200 ms apart, one after each check of the flags
    } rows[] = {
        {"link up after some polls", 3, false, true, 4},
        {"link never up", -1, false, false, 25},
        {"our pppd holds the device", 0, true, true, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto platform = std::make_shared<RecordingPlatform>(row.upAfter);
        fake.platform = platform;
        if (row.held) {
            platform->startPppd(pty.path(), 115200);
            platform->setLink(true);
        }
        NFC::Reader::DriverFactories families = NFC::Reader::defaultDriverFactories();
        families.erase(families.begin());  // the networked family has no place on a line
        families = Monet::withDriverFactory(families, fake.setup());
        NFC::Reader reader(families, testsupport::lockDirectory());
        Bytes onLine;
        const std::vector<int64_t> sleeps = fake.clock->sleeps();
        EXPECT_EQ(reader.open(pty.path(), 115200), row.opens);
        const std::vector<int64_t> after = fake.clock->sleeps();
        EXPECT_EQ(std::vector<int64_t>(after.begin() + static_cast<long>(sleeps.size()), after.end()),
                  std::vector<int64_t>(row.sleeps, 200));
        pty.readAvailable(onLine);
        EXPECT_EQ(platform->count("pppd "), 1u);
        EXPECT_EQ(platform->count("pppd " + pty.path() + " 115200"), 1u);
        EXPECT_EQ(platform->count("stop"), row.opens ? 0u : 1u);
        EXPECT_EQ(onLine.empty(), row.held);
        if (row.opens) {
            EXPECT_EQ(reader.model(), "Monet");
        }
        Monet::Driver::resetTMSupdateSucceeded();
    }
}

TEST_F(MonetDriverTest, FailedBringUpsBackOffWithoutTouchingThePlatform)
{
    fake.platform = std::make_shared<RecordingPlatform>(-1);
    fake.timing.linkChecks = 1;
    const struct
    {
        int64_t waitMs;  // moved on the manual clock before the open
        bool tried;      // the open reached the platform
    } rows[] = {{0, true},      {0, false},     {1999, false},   {1, true},     {3999, false},
                {1, true},      {600000, true}, {16000, true},   {32000, true}, {64000, true},
                {128000, true}, {256000, true}, {299999, false}, {1, true},     {299999, false},
                {1, true}};  // doubling stops at five minutes
    for (const auto& row : rows) {
        SCOPED_TRACE(row.waitMs);
        fake.clock->sleepMillis(row.waitMs);
        const size_t calls = fake.platform->calls().size();
        EXPECT_FALSE(fake.driver()->open("/dev/ttyMONET", 115200, nullptr));
        EXPECT_EQ(fake.platform->calls().size() != calls, row.tried);
    }
}

TEST_F(MonetDriverTest, FailedOpenAtEachStepLeavesNoSocketOpen)
{
    using Edit = void (*)(MonetFake&);
    const struct
    {
        const char* name;
        Edit edit;
        bool opens;
        int repeat;
    } rows[] = {
        {"pppd never brings the link up",
         [](MonetFake& f) { f.platform = std::make_shared<RecordingPlatform>(-1); }, false, 1},
        {"no reader info", [](MonetFake& f) { f.b.setKnobs(testsupport::monetKnobs(true)); }, false, 1},
        {"antenna not switched",
         [](MonetFake& f) {
             f.b.setScript(testsupport::monetScript([](auto& s) { s.termClessResult = "099"; }));
         },
         false, 1},
        {"tap mode not stopped",
         [](MonetFake& f) {
             f.b.setScript(testsupport::monetScript([](auto& s) { s.tapStopResult = "099"; }));
         },
         false, 1},
        {"side channel echo wrong", [](MonetFake& f) { f.side.setEchoByte(0x11); }, false, 50},
        {"AIDs refused", [](MonetFake& f) { f.side.setAidResults(Bytes{0x01}); }, false, 1},
        {"TMS silent still opens", [](MonetFake& f) { f.n.setScript({}); }, true, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MonetFake local;
        row.edit(local);
        const size_t before = openDescriptors();
        for (int i = 0; i < row.repeat; ++i) {
            Monet::Driver::resetTMSupdateSucceeded();
            auto driver = local.driver();
            EXPECT_EQ(driver->open("/dev/ttyMONET", 115200, nullptr), row.opens);
            EXPECT_EQ(driver->isOpen(), row.opens);
            if (!row.opens) {
                EXPECT_TRUE(descriptorsBackTo(before)) << openDescriptors() << " against " << before;
            }
        }
        if (row.opens) {
            EXPECT_EQ(local.n.requests().size(), 2u + 3u);
        }  // clock, version, three downloads
    }
}

TEST_F(MonetDriverTest, FirstEnableWaitsTheDelayAndDisableCancelsItEvenAtTheExpiry)
{
    // Long enough that no scheduler holds this thread past it before the first look.
    fake.timing.enableDelayMs = 1000;
    auto driver = openDriver();
    const auto enabled = std::chrono::steady_clock::now();
    EXPECT_TRUE(driver->enableRF());
    EXPECT_TRUE(driver->enableRF());
    EXPECT_EQ(fake.bCount(TapModeStart), 0u);
    ASSERT_TRUE(fake.b.waitForRequests(fake.b.requests().size() + 1, PeerDeadlineMs));
    EXPECT_GE(testsupport::msSince(enabled), 1000);  // not before the delay; a busy host only adds
    EXPECT_EQ(fake.bCount(TapModeStart), 1u);
    EXPECT_TRUE(driver->status());

    // Disabling as the delay runs out: the enable either came first or not at all.
    fake.timing.enableDelayMs = 2;
    for (int run = 0; run < 200; ++run) {
        auto raced = fake.driver();
        ASSERT_TRUE(raced->open("/dev/ttyMONET", 115200, nullptr));
        raced->enableRF();
        sleepMs(run % 4);
        raced->disableRF();
        sleepMs(5);
        // The fake records each request as it answers it, one at a time: the last says it all.
        const auto requests = fake.b.requests();
        ASSERT_TRUE(fake.b.waitForAnswered(requests.size(), PeerDeadlineMs));
        ASSERT_EQ(requests.back().command, TapModeStop) << run;
    }

    // Two refused enables after the delay: status is false exactly once.
    fake.b.setScript(testsupport::monetScript([](auto& s) { s.tapStartResult = "099"; }));
    fake.timing.enableDelayMs = 10;
    auto failing = openDriver();
    // Counted before: the delayed enable may be answered before enableRF returns on a slow host.
    const size_t opened = fake.b.requests().size();
    failing->enableRF();
    ASSERT_TRUE(fake.b.waitForAnswered(opened + 2, PeerDeadlineMs));
    // The driver takes the second refusal a moment after the reader gave it.
    EXPECT_TRUE(testsupport::eventually([&] { return !failing->status(); }));
    EXPECT_TRUE(failing->status());
}

TEST_F(MonetDriverTest, CardsReachTheCardModelsThroughTheFacade)
{
    fake.timing.enableDelayMs = 1;
    auto card = std::make_shared<emulators::DesfireCard>();
    fake.side.setCard(card);
    auto reader = openReader();
    fake.side.presentCard();
    std::shared_ptr<NFC::Tag> tag = reader->searchTag(PeerDeadlineMs);
    ASSERT_TRUE(std::dynamic_pointer_cast<NFC::DESFire>(tag));
    auto link = reader->iso14443();
    Bytes reply;
    for (const char* setUp : {"CA 01 00 00 0F 01", "5A 01 00 00", "C1 01 00 EE EE 30 00 00 05 00 00",
                              "C1 02 00 EE EE 34 00 00 05 00 00"}) {
        ASSERT_TRUE(link->TDX4(fromHex(setUp), reply));
        ASSERT_EQ(toHex(reply), "00") << setUp;
    }
    const auto write = [](uint8_t file, size_t size) {
        Bytes frame = {0x3B, file, 0, 0, 0, static_cast<uint8_t>(size - 8), 0, 0};
        while (frame.size() < size) frame.push_back(static_cast<uint8_t>(frame.size()));
        return frame;
    };
    // Frame sizes as the card got them (the request's wrapping is six bytes longer).
    const auto sentSizes = [&] {
        std::vector<size_t> sizes;
        for (const Bytes& r : fake.side.requests())
            if (r[0] == PassThrough)
                sizes.push_back(r.size() - 6);
        fake.side.clearRequests();
        return sizes;
    };
    const struct
    {
        const char* name;
        bool getVersion;  // asked first, which marks the default card as EV1
        Bytes frame;
        std::vector<size_t> sent;
    } rows[] = {
        {"55 bytes go whole", false, write(1, 55), {55}},
        {"56 bytes go as 40 and AF with 16", false, write(1, 56), {40, 17}},
        {"60 bytes on EV1 go as 44 and AF with 16", true, write(2, 60), {44, 17}},
        {"60 bytes otherwise are held for the continuation", false, write(2, 60), {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.getVersion) {
            for (uint8_t frame : {0x60, 0xAF, 0xAF}) ASSERT_TRUE(link->TDX4({frame}, reply));
        }
        fake.side.clearRequests();
        ASSERT_TRUE(link->TDX4(row.frame, reply));
        EXPECT_EQ(sentSizes(), row.sent);
        EXPECT_EQ(toHex(reply), row.sent.empty() ? "AF" : "00");
    }
    ASSERT_TRUE(link->TDX4({0xAF}, reply));  // the held 60 bytes go with an empty continuation
    EXPECT_EQ(toHex(reply), "00");
    ASSERT_TRUE(link->TDX4({0xC7}, reply));
    EXPECT_EQ(card->records(1, 1).size(), 1u);
    EXPECT_EQ(card->records(1, 2).size(), 1u);

    // A GetVersion answer too short for a decision goes up as it came.
    fake.side.inject(Fault{Fault::Replace, 0, {0xC1, 0x00, 0x91, 0xAF}, {}, PassThrough});
    EXPECT_TRUE(link->TDX4({0x60}, reply));
    EXPECT_EQ(toHex(reply), "AF");

    // Removal: the presence check fails and the reader is told the card is over.
    fake.side.setCard(nullptr);
    fake.side.clearRequests();
    EXPECT_FALSE(link->checkPresence());
    ASSERT_FALSE(fake.side.requests().empty());
    EXPECT_EQ(fake.side.requests().back()[0], NonEMVcardOver);

    // Ultralight: a READ answer carries a CRC the card layer accepts.
    auto ultralight = std::make_shared<emulators::UltralightEV1>();
    ultralight->setPage(4, fromHex("01 02 03 04"));
    fake.side.setCard(ultralight);
    ASSERT_TRUE(enabledAfterTheDelay(*reader));
    fake.side.presentCard();
    tag = reader->searchTag(PeerDeadlineMs);
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->type(), NFC::Tag::MifareUltralight);
    Bytes read = fromHex("30 04");
    const uint16_t crc = emulators::cardcrypto::crcA(read);
    read.push_back(static_cast<uint8_t>(crc));
    read.push_back(static_cast<uint8_t>(crc >> 8));
    ASSERT_TRUE(link->TDX3(read, reply));
    EXPECT_EQ(toHex(Bytes(reply.begin(), reply.begin() + 4)), "01020304");
    EXPECT_EQ(emulators::cardcrypto::crcA(reply), 0);
}

// The emulated reader's stack holds a small frame until the one before is acknowledged (Nagle),
// as many readers' do: a card event right behind the answer to the card's release still reaches
// the search at once, not when a delayed acknowledgement (40 ms at the least) runs out.
TEST_F(MonetDriverTest, ACardEventRightBehindAnAnswerReachesTheSearchAtOnce)
{
    fake.timing.enableDelayMs = 1;
    fake.side.setCard(std::make_shared<emulators::DesfireCard>());
    auto driver = openDriver();
    ASSERT_TRUE(enabledAfterTheDelay(*driver));
    std::vector<double> times;
    for (int run = 0; run < 5; ++run) {
        driver->enableRF();  // from the second run on, releases the card: a short answer comes
        const auto start = std::chrono::steady_clock::now();
        fake.side.presentCard();
        int type = 0;
        Bytes uid, ats;
        ASSERT_TRUE(driver->searchTag(type, uid, ats, PeerDeadlineMs));
        times.push_back(testsupport::msSince(start));
    }
    // Held, every one takes 40 ms and more; a loaded machine slows some, never all five by 20 ms.
    EXPECT_LT(*std::min_element(times.begin(), times.end()), 20.0) << ::testing::PrintToString(times);
}

// The reader announces a card again while a request is answered: before its search, during its read
// and with the answer of a presence check that finds it (the driver's, or a reselect's: a search
// made while the card is served), that is the one tap, also when the card left before it answered
// anything. Announced after the card's last answer (the card left and came back between two checks),
// even together with the answer that finds it gone, with the reader's release of it or before a long
// record write whose first part the reader only held, it is a new tap, and the next search reads it.
// Whatever happens, the reader is told once that the card is over.
TEST_F(MonetDriverTest, ACardAnnouncedAgainIsOneTapUntilItsLastPresenceCheck)
{
    enum When
    {
        BeforeSearch,
        DuringRead,
        WithPresentAnswer,
        BetweenChecks,
        WithGoneAnswer,
        DuringRelease,
        BeforeWrite  // with a SAM's answer after its read; the write's continuation then fails
    };
    enum Check
    {
        NoCheck,
        Checked,     // the presence check finds it after its read
        Reselected,  // a search finds it after its read, as an Ultralight read reselects its card
    };
    enum Leaves
    {
        Stays,
        Gone,       // then a presence check finds it gone
        GoneFirst,  // its first exchange fails, then a presence check finds it gone
    };
    const struct
    {
        const char* name;
        std::vector<When> announced;
        Check held;
        Leaves leaves;
        bool enabled;  // then the reader is enabled again
        bool readAgain;
    } rows[] = {
        {"before its search and in its read, gone", {BeforeSearch, DuringRead}, NoCheck, Gone, false, false},
        {"before its search, gone before it answered", {BeforeSearch}, NoCheck, GoneFirst, false, false},
        {"with the answer that finds it there, then gone", {WithPresentAnswer}, Checked, Gone, false, false},
        {"with a reselect that finds it, then gone", {WithPresentAnswer}, Reselected, Gone, false, false},
        {"during its read, then the reader enabled", {DuringRead}, NoCheck, Stays, true, false},
        {"between two checks, the second finding it gone", {BetweenChecks}, Checked, Gone, false, true},
        {"with the answer that finds it gone", {WithGoneAnswer}, Checked, Gone, false, true},
        {"with the answer that finds it gone, then enabled", {WithGoneAnswer}, Checked, Gone, true, true},
        {"with the release after its read", {DuringRelease}, NoCheck, Stays, true, true},
        {"before a long record write, gone", {BeforeWrite}, NoCheck, Gone, false, true},
    };
    fake.timing.enableDelayMs = 1;
    fake.side.setSam(0, std::make_shared<emulators::MifareSam>());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // What a reselect finds is an Ultralight, read with raw frames; a DESFire answers none.
        const bool ultralight = row.held == Reselected;
        std::shared_ptr<emulators::FieldCard> card;
        if (ultralight) {
            card = std::make_shared<emulators::UltralightEV1>();
        } else {
            auto desfire = std::make_shared<emulators::DesfireCard>();
            // Not an EV1, whose long record write the reader holds until its continuation.
            const Bytes version = fromHex("04 01 01 00 02 18 05");
            desfire->setVersion(version, version, Bytes(14, 0x00));
            card = desfire;
        }
        const int exchange = ultralight ? Iso14443_3 : PassThrough;
        Bytes again = {0xB8, 0x00};
        const Bytes description = emulators::MonetSideChannel::cardDescription(card->identity());
        again.insert(again.end(), description.begin(), description.end());
        const auto at = [&](When when, int command, size_t copies) {
            if (std::count(row.announced.begin(), row.announced.end(), when) > 0)
                fake.side.inject({Fault::EventsFirst, 0, {}, std::vector<Bytes>(copies, again), command});
        };
        fake.side.setCard(card);
        auto driver = openDriver();
        fake.side.clearRequests();
        if (row.enabled) {
            ASSERT_TRUE(enabledAfterTheDelay(*driver));
        }
        int type = 0;
        Bytes uid, ats, reply;
        at(BeforeSearch, SamPowerOn, 2);
        EXPECT_TRUE(driver->ISO7816_powerOn(0, nullptr));
        if (row.announced.front() != BeforeSearch)
            fake.side.presentCard();
        ASSERT_TRUE(driver->searchTag(type, uid, ats, PeerDeadlineMs));
        EXPECT_EQ(type, ultralight ? NFC::Tag::MifareUltralight : NFC::Tag::MifareDESFire);
        if (row.leaves == GoneFirst)
            fake.side.setCard(nullptr);
        at(DuringRead, exchange, 3);
        const Bytes getVersion = {0x60, 0x00, 0x00};  // the reader puts the CRC in place
        EXPECT_EQ(
            ultralight ? driver->ISO14443_TDX3(getVersion, reply) : driver->ISO14443_TDX4({0x60}, reply),
            row.leaves != GoneFirst);
        if (row.held != NoCheck) {
            at(WithPresentAnswer, exchange, 1);
            EXPECT_TRUE(ultralight ? driver->searchTag(type, uid, ats, PeerDeadlineMs)
                                   : driver->ISO14443_checkPresence());
        }
        if (row.announced.front() == BetweenChecks)
            fake.side.sendPayload(again);
        if (row.announced.front() == BeforeWrite) {
            at(BeforeWrite, SamPowerOn, 1);
            EXPECT_TRUE(driver->ISO7816_powerOn(0, nullptr));
            Bytes write(60, 0x00);
            write[0] = 0x3B;
            EXPECT_TRUE(driver->ISO14443_TDX4(write, reply));
            EXPECT_EQ(toHex(reply), "AF");
            fake.side.setCard(nullptr);
            EXPECT_FALSE(driver->ISO14443_TDX4({0xAF}, reply));
        }
        if (row.leaves != Stays) {
            fake.side.setCard(nullptr);
            at(WithGoneAnswer, PassThrough, 1);
            EXPECT_FALSE(driver->ISO14443_checkPresence());
            fake.side.setCard(card);  // back in the field
        }
        if (row.enabled) {
            at(DuringRelease, NonEMVcardOver, 1);
            EXPECT_TRUE(driver->enableRF());
        }
        const auto requests = fake.side.requests();
        EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                                [](const Bytes& r) { return r[0] == NonEMVcardOver; }),
                  1);
        uid.clear();
        EXPECT_EQ(driver->searchTag(type, uid, ats, 200), row.readAgain);
        if (!row.readAgain) {
            // The same card tapped again is a new tap.
            fake.side.presentCard();
            uid.clear();
            EXPECT_TRUE(driver->searchTag(type, uid, ats, PeerDeadlineMs));
        }
        EXPECT_EQ(uid, card->identity().uid);
    }
}

TEST_F(MonetDriverTest, SamsAreRecognisedByTheirAtrAndBadRequestsNeverReachTheReader)
{
    fake.side.setSam(0, std::make_shared<emulators::MifareSam>(emulators::MifareSam::Generation::AV3));
    fake.side.setSam(1, std::make_shared<emulators::MifareSam>(emulators::MifareSam::Generation::AV2));
    auto lg = std::make_shared<emulators::LGSamResponder>();
    fake.side.setSam(2, lg, emulators::MonetSideChannel::SamLink::T0);
    // An ATR of no known SAM, of any length, is refused, and shown at info cut short.
    Bytes unknown = fromHex("3B 02 11 22");
    unknown.resize(60001, 0x9B);
    fake.side.setSam(3, std::make_shared<emulators::LGSamResponder>(unknown));
    auto reader = openReader();
    EXPECT_TRUE(std::dynamic_pointer_cast<NFC::MifareSAM>(reader->turnOnSam(0)));
    EXPECT_TRUE(std::dynamic_pointer_cast<NFC::MifareSAM>(reader->turnOnSam(1)));
    EXPECT_TRUE(std::dynamic_pointer_cast<NFC::LGsam>(reader->turnOnSam(2)));
    fake.side.clearRequests();
    Log::setLevel(Log::LevelInfo);
    testsupport::StderrCapture atrLines;
    EXPECT_FALSE(reader->turnOnSam(3));
    Log::setLevel(Log::LevelWarning);
    EXPECT_NE(atrLines.text().find("ATR( 60001): 3B0211229B9B"), std::string::npos);
    EXPECT_EQ(testsupport::logFaults(atrLines.text(), "9B9B"), "");
    size_t powerOns = 0;
    for (const Bytes& r : fake.side.requests()) powerOns += r[0] == SamPowerOn;
    EXPECT_EQ(powerOns, 2u);

    auto driver = openDriver();
    const Bytes four = fromHex("00 11 22 33");
    const Bytes tooLong(256, 0x11);
    const struct
    {
        const char* name;
        int slot;
        uint16_t lc, le;
        const Bytes* data;
    } refused[] = {
        {"slot -1", -1, 0, 0, nullptr},
        {"slot 4", 4, 0, 0, nullptr},
        {"Lc 300", 0, 300, 0, nullptr},
        {"Le 300", 0, 0, 300, nullptr},
        {"Lc 4 without data", 0, 4, 0, nullptr},
        {"Lc 2 with four bytes", 0, 2, 0, &four},
        {"Lc 256 with its data", 0, 256, 0, &tooLong},
        {"Le 256", 0, 0, 256, nullptr},
    };
    fake.side.clearRequests();
    for (const auto& row : refused) {
        SCOPED_TRACE(row.name);
        NFC::Driver::APDUHeader header;
        header.CLA = 0x80;
        header.INS = 0x60;
        header.Lc = row.lc;
        header.Le = row.le;
        header.hasLe = row.le != 0;
        int sw = 0;
        EXPECT_FALSE(driver->ISO7816_exchangeAPDU(row.slot, header, row.data, nullptr, sw));
        EXPECT_EQ(driver->ISO7816_slotState(row.slot), row.slot == 0 ? 2 : 0);
    }
    const auto samCommands = [&] {
        size_t n = 0;
        for (const Bytes& r : fake.side.requests()) n += r[0] == 0x62;
        fake.side.clearRequests();
        return n;
    };
    EXPECT_EQ(samCommands(), 0u);
    const Bytes longest(255, 0x11);
    for (const bool le : {false, true}) {
        NFC::Driver::APDUHeader header;
        header.Lc = le ? 0 : 255;
        header.hasLe = le;
        header.Le = 255;
        int sw = 0;
        driver->ISO7816_exchangeAPDU(0, header, le ? nullptr : &longest, nullptr, sw);
        EXPECT_EQ(samCommands(), 1u) << le;
    }
    // A TPDU goes as it is when P3 counts its data (or, without data, is its Le), never otherwise.
    const struct
    {
        int slot;
        uint8_t p3;
        const Bytes* data;
        size_t sent;
    } tpdus[] = {{0, 4, &four, 1}, {0, 3, &four, 0}, {0, 5, &four, 0}, {0, 8, nullptr, 1}, {4, 4, &four, 0}};
    int sw = 0;
    for (const auto& row : tpdus) {
        SCOPED_TRACE(row.p3);
        driver->ISO7816_exchangeTPDU(row.slot, {0x80, 0x60, 0, 0, row.p3}, row.data, nullptr, sw);
        EXPECT_EQ(samCommands(), row.sent);
    }
    // T=0 goes on with 61xx and 6Cxx: no error line for them, the usual one for their neighbours
    // and for the same words ending an APDU exchange.
    Log::setLevel(Log::LevelInfo);
    const std::pair<uint16_t, bool> statuses[] = {{0x6110, true}, {0x6C08, true}, {0x6000, true},
                                                  {0x6210, true}, {0x6B00, true}, {0x6D00, true},
                                                  {0x9000, true}, {0x6110, false}, {0x6C08, false}};
    for (const auto& [status, t0] : statuses) {
        SCOPED_TRACE(std::to_string(status) + (t0 ? " T=0" : " APDU"));
        testsupport::StderrCapture lines;
        lg->load({{fromHex("80 CA 00 00 02"), {}, status}});
        if (t0)
            EXPECT_TRUE(driver->ISO7816_exchangeTPDU(2, {0x80, 0xCA, 0, 0, 2}, nullptr, nullptr, sw));
        else
            driver->ISO7816_exchangeAPDU(2, {0x80, 0xCA, 0, 0, 0, 2, true}, nullptr, nullptr, sw);
        EXPECT_EQ(sw, status);
        const bool normal = (t0 && (status >> 8 == 0x61 || status >> 8 == 0x6C)) || status == 0x9000;
        EXPECT_EQ(lines.text().find("SW1SW2 received") == std::string::npos, normal) << lines.text();
    }
    Log::setLevel(Log::LevelWarning);
    EXPECT_TRUE(driver->ISO7816_powerOff(1));
    fake.side.clearRequests();
    EXPECT_EQ(driver->ISO7816_slotState(1), 1);
    EXPECT_FALSE(driver->ISO7816_powerOn(-1, nullptr));
    size_t sent = 0;
    for (const Bytes& r : fake.side.requests()) sent += r[0] != SamPowerOn && r[0] != 0x63;
    EXPECT_EQ(sent, 0u);
}

TEST_F(MonetDriverTest, AFrameThatNeverCompletesFailsItsCommandAndTheNextOpenReconnects)
{
    fake.side.setSam(0, std::make_shared<emulators::MifareSam>());
    auto driver = openDriver();
    // Each byte well within the request's wait; the whole frame would take eight seconds.
    Bytes trickled = fromHex("00 50 E0 00");
    trickled.resize(0x52);
    fake.side.inject(Fault{Fault::Trickle, 100, trickled, {}, SamPowerOn});
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(driver->ISO7816_powerOn(0, nullptr));
    EXPECT_LT(testsupport::msSince(begin), fake.timing.sideRequestMs + 1000 + 2000.0);

    // Until it is reopened: the reader is reported for reopening without asking it, and a search
    // takes its wait instead of failing at once.
    const size_t requests = fake.b.requests().size();
    EXPECT_FALSE(driver->status());
    int type = 0;
    Bytes uid, ats;
    EXPECT_FALSE(driver->searchTag(type, uid, ats, 700));
    ASSERT_FALSE(fake.clock->sleeps().empty());
    EXPECT_EQ(fake.clock->sleeps().back(), 700);
    EXPECT_EQ(fake.b.requests().size(), requests);

    ASSERT_TRUE(driver->open("/dev/ttyMONET", 115200, nullptr));
    EXPECT_TRUE(driver->status());
    EXPECT_EQ(fake.side.connections(), 2u);
    EXPECT_TRUE(driver->ISO7816_powerOn(0, nullptr));

    // The loss is written once for each connection lost, however often it is looked at.
    testsupport::StderrCapture lines;
    fake.side.hangUp();
    ASSERT_TRUE(fake.side.waitForEnded(2, PeerDeadlineMs));
    EXPECT_FALSE(driver->ISO7816_powerOn(0, nullptr));
    EXPECT_FALSE(driver->status());
    EXPECT_FALSE(driver->status());
    const std::string text = lines.text();
    ASSERT_NE(text.find("Side channel to"), std::string::npos);
    EXPECT_EQ(text.find("Side channel to"), text.rfind("Side channel to")) << text;
}

TEST_F(MonetDriverTest, BankCardTapsCompleteOrAreTerminatedOnce)
{
    fake.timing.emvCompletionMs = PeerDeadlineMs;  // none runs out while the tap is written
    fake.timing.enableDelayMs = 1;
    auto reader = openReader();
    tap(fake);
    std::shared_ptr<NFC::EMV> emv = std::dynamic_pointer_cast<NFC::EMV>(reader->searchTag(PeerDeadlineMs));
    ASSERT_TRUE(emv);
    EXPECT_EQ(emv->type(), NFC::Tag::EMV);
    std::vector<std::string> token;
    EXPECT_EQ(emv->read(token), 0);
    EXPECT_EQ(token, std::vector<std::string>({"AABBCCDD"}));
    std::string trip = R"({"fare":250,"stop":"Central"})";
    std::vector<std::string> cardData;
    EXPECT_EQ(emv->write(trip, cardData), 0);
    EXPECT_EQ(fake.b.tripData(), std::vector<std::string>({trip}));
    EXPECT_FALSE(cardData.empty());

    // No completion: one termination, without trip data. Counted before the tap, whose deadline
    // may pass before searchTag returns on a slow host.
    reader.reset();
    fake.timing.emvCompletionMs = 150;
    reader = openReader();
    const size_t polls = fake.bCount(TapModePoll);
    ASSERT_TRUE(enabledAfterTheDelay(*reader));
    tap(fake);
    ASSERT_TRUE(reader->searchTag(PeerDeadlineMs));
    EXPECT_TRUE(testsupport::eventually([&] { return fake.bCount(TapModePoll) > polls; }));
    sleepMs(400);  // room for a second termination that must not come
    EXPECT_EQ(fake.bCount(TapModePoll), polls + 1);
    std::string order;
    for (const auto& r : fake.b.requests()) order += std::to_string(r.command) + " ";
    const auto last = fake.b.requests();
    const auto poll =
        std::find_if(last.rbegin(), last.rend(), [](const auto& r) { return r.command == TapModePoll; });
    for (const auto& field : poll->fields) EXPECT_NE(field.first, 'F') << order;
    EXPECT_EQ(fake.b.tripData().size(), 1u);

    // Completing as the deadline runs out never ends the next tap early.
    reader.reset();
    fake.timing.emvCompletionMs = 30;
    auto driver = openDriver();
    ASSERT_TRUE(enabledAfterTheDelay(*driver));
    int type = 0;
    Bytes uid, ats;
    int decided = 0;
    for (int run = 0; run < 60; ++run) {
        tap(fake);
        ASSERT_TRUE(driver->searchTag(type, uid, ats, PeerDeadlineMs));
        sleepMs(30);
        std::string data = "{}";
        int error = 0;
        driver->EMV_completeTransaction(data, cardData, error);
        tap(fake);
        const auto searched = std::chrono::steady_clock::now();
        ASSERT_TRUE(driver->searchTag(type, uid, ats, PeerDeadlineMs));
        const bool pending = driver->EMV_checkPresence();
        // The second tap's own deadline, armed after `searched`, may end it on a slow host: only
        // a check made before that deadline could have passed tells.
        if (testsupport::msSince(searched) < fake.timing.emvCompletionMs) {
            ++decided;
            ASSERT_TRUE(pending) << run;
        }
        driver->EMV_completeTransaction(data, cardData, error);
        driver->enableRF();
    }
    EXPECT_GT(decided, 0);
}

TEST_F(MonetDriverTest, ATapResultCarryingAnErrorFailsTheTap)
{
    auto reader = openReader();
    tap(fake, "AABBCCDD", "00 FE");
    std::shared_ptr<NFC::EMV> emv = std::dynamic_pointer_cast<NFC::EMV>(reader->searchTag(PeerDeadlineMs));
    ASSERT_TRUE(emv);
    std::vector<std::string> token;
    EXPECT_NE(emv->read(token), 0);
}

TEST_F(MonetDriverTest, FirmwareUpdateIgnoresItsFileAndReportsTheDownload)
{
    auto driver = openDriver();
    fake.n.setScript(testsupport::monetScript([](auto& s) {
        s.callParams = {testsupport::tms(0, "000"), testsupport::tms(0, "000"), testsupport::tms(1, "000")};
    }));
    std::vector<int> percents;
    bool rebootNotified = true;
    EXPECT_TRUE(driver->updateFirmware("/no/such/file", rebootNotified,
                                       [&](int percent, int, int) { percents.push_back(percent); }));
    EXPECT_FALSE(rebootNotified);
    EXPECT_EQ(percents.size(), 2u + 3u);  // the start, each answer, the end
    EXPECT_EQ(driver->info().appUpdateResult, "n/a");

    // A reader that refuses every download is asked five times.
    fake.n.setScript(testsupport::monetScript([](auto& s) { s.callParams = {testsupport::tms(1, "012")}; }));
    const size_t requests = fake.n.requests().size();
    EXPECT_FALSE(driver->updateFirmware("", rebootNotified, nullptr));
    const auto all = fake.n.requests();
    EXPECT_EQ(std::count_if(all.begin() + static_cast<long>(requests), all.end(),
                            [](const auto& r) { return r.type == 1; }),
              5);
}

}  // namespace
