// The Monet side channel end to end: the real message codec, transport and command layer on a TCP
// connection to the emulated reader, whose cards and SAMs compute their own side.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "LogOnFailure.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "drivers/Monet/SideChannelReader.h"
#include "emulators/CardCrypto.h"
#include "emulators/DesfireCard.h"
#include "emulators/Hex.h"
#include "emulators/LGSamResponder.h"
#include "emulators/MifareSam.h"
#include "emulators/MonetSideChannel.h"
#include "emulators/UltralightEV1.h"

using emulators::Bytes;
using emulators::fromHex;
using emulators::MonetSideChannel;
using emulators::toHex;
using Fault = MonetSideChannel::Fault;
using namespace MonetReader;

namespace {

[[maybe_unused]] const bool logHeld = testsupport::LogOnFailure::install();

bool isLoopback(const std::string& host)
{
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

// Steady time that moves only by step on each reading, or when the test sets it, so that fail-safes
// need no real waiting.
struct SteppingClock : Monet::Clock
{
    std::atomic<int64_t> step{0};
    int64_t nowMillis() const override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++readings;
        return now += step;
    }
    // The readings so far: every later one sees ms or more.
    size_t set(int64_t ms)
    {
        std::lock_guard<std::mutex> lock(mutex);
        now = ms;
        return readings;
    }
    size_t count() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return readings;
    }
    mutable std::mutex mutex;
    mutable int64_t now = 0;
    mutable size_t readings = 0;
};

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Loopback delivery can lag the peer's write a little: waits until the bytes are all here.
bool pending(TCPClient& client, size_t bytes, int deadlineMs = testsupport::PeerDeadlineMs)
{
    return testsupport::eventually(
        [&] {
            int here = 0;
            return ioctl(client.getNative(), FIONREAD, &here) == 0 && static_cast<size_t>(here) >= bytes;
        },
        deadlineMs);
}

// Reads what is left, kept events first, up to limit frames: a receive that hands out the same
// event again and again fails the test rather than holding it.
size_t readAll(SideChannelTransport& transport, int waitMs, size_t limit = 1000)
{
    size_t n = 0;
    while (n < limit && transport.receive(waitMs)) ++n;
    EXPECT_LT(n, limit) << "frames never stop coming";
    return n;
}

class MonetSideChannelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Log::open("tapgate-test", true, false);
        Log::setLevel(Log::LevelDebug);
        ASSERT_TRUE(isLoopback(fake.host()));
        client.setConnectTimeout(1000);
        client.connect(fake.host(), fake.port());
        ASSERT_TRUE(isLoopback(client.address()));
        ASSERT_TRUE(fake.waitForClient(testsupport::PeerDeadlineMs));
    }

    MonetSideChannel fake;
    TCPClient client;
    std::shared_ptr<SteppingClock> clock = std::make_shared<SteppingClock>();
    Monet::ConfigurationProvider provider = [] { return nlohmann::json(); };
    int restarts = 0;
    SideChannelTransport transport{client, clock};
    // An answer the peer gives is waited for as long as a loaded machine may take to send it; one
    // it never gives, for 300 ms.
    static constexpr int AnswerMs = testsupport::PeerDeadlineMs;
    SideChannelReader reader{
        transport, clock, [this] { return provider(); }, [this] { ++restarts; },
        SideChannelReader::Times{AnswerMs, AnswerMs, AnswerMs, Monet::Timing{}.searchFailSafeMs}};
    SideChannelReader hasty{transport, clock, [this] { return provider(); }, [this] { ++restarts; },
                            SideChannelReader::Times{300, 300, 300, Monet::Timing{}.searchFailSafeMs}};
};

TEST_F(MonetSideChannelTest, AnswersDecodeToResultsWhateverTheirShape)
{
    struct Row
    {
        Fault::Kind kind;
        const char* bytes;
        int result;
        int command;
        const char* data;
        const char* logged;  // this many lines of it: expectLines
        size_t expectLines;
    };
    const Row rows[] = {
        {Fault::Replace, "80", 201, 0x00, "", "Status not found in response", 1},
        {Fault::Replace, "8C 00", 0, 0x0C, "", "Erroneous status", 0},
        {Fault::Replace, "C1 56", 200, 0x41, "", "Erroneous status", 0},
        {Fault::Replace, "C1 05", 200, 0x41, "", "Erroneous status received: 5", 1},
        {Fault::Replace, "41 01 02", 0, 0x41, "0102", "Erroneous status", 0},
        {Fault::Raw, "00 00", 202, -1, "", "Erroneous status", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        testsupport::StderrCapture lines;
        fake.inject({row.kind, 0, fromHex(row.bytes)});
        SideChannelMsg::Ptr request = SideChannelMsg::make();
        request->pushTAG(TAG_COMMAND, {SET_LEDS});
        SideChannelMsg::Ptr answer = transport.transceive(request, AnswerMs);
        EXPECT_EQ(SideChannelReader::checkMsgResponse(answer), row.result);
        if (row.command >= 0) {
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->command(), row.command);
            EXPECT_EQ(toHex(answer->popTAG(TAG_DATA)), row.data);
        }
        EXPECT_EQ(count(lines.text(), row.logged), row.expectLines);
    }
    // Card events that come before the answer, or where it was due, are kept for the next receive.
    fake.inject({Fault::EventsFirst, 0, {}, {fromHex("B8 00 01"), fromHex("D0 00")}});
    fake.inject({Fault::Replace, 0, fromHex("D3 00 02")});
    for (const int result : {0, 202}) {
        SideChannelMsg::Ptr request = SideChannelMsg::make();
        request->pushTAG(TAG_COMMAND, {SET_LEDS});
        EXPECT_EQ(SideChannelReader::checkMsgResponse(transport.transceive(request, result ? 300 : AnswerMs)),
                  result);
    }
    for (const char* event : {"380001", "5000", "530002"}) {
        SideChannelMsg::Ptr kept = transport.receive(0);
        ASSERT_TRUE(kept);
        EXPECT_EQ(toHex(kept->serialize()), event);
    }
    // The largest payload a frame's length can carry goes out; one byte more is not sent at all.
    for (const size_t size : {0xFFFF, 0x10000}) {
        fake.clearRequests();
        SideChannelMsg::Ptr request = SideChannelMsg::make();
        request->pushTAG(TAG_COMMAND, {SET_LEDS});
        request->pushTAG(TAG_DATA, Bytes(size - 1, 0x01));
        EXPECT_EQ(transport.transmit(request), size == 0xFFFF);
        EXPECT_EQ(fake.waitForRequests(1, size == 0xFFFF ? testsupport::PeerDeadlineMs : 100),
                  size == 0xFFFF);
        readAll(transport, 100);
    }
}

TEST_F(MonetSideChannelTest, InitialisationChecksEchoAndSendsConfiguredOrDefaultAIDs)
{
    struct Row
    {
        const char* desfire;  // "rfid/cardTypes/desfire"; nullptr: the file is missing
        const char* aidResults;
        int echoByte;
        int echo;
        int aids;
        const char* addAid;
        std::string logged = {};  // once in the log
    };
    const char* defaults = "31 01 02 03 04 01 03 A9 C0 02 01 03 A9 C0 03";
    // A name is shown escaped and cut short: it may be long and hold a line break.
    const std::string longName = R"({"A9C0\n)" + std::string(200000, 'V') + R"(": 1})";
    const Row rows[] = {
        {R"({"A9C002": 1, "0A0B0C": 2})", nullptr, 0x99, 0, 0,
         "31 01 02 03 04 01 03 0A 0B 0C 01 03 A9 C0 02"},
        {"{}", nullptr, 0x98, 200, 0, defaults},
        {"{}", "00", 0x99, 0, 208, defaults},
        {"{}", "00 07", 0x99, 0, 208, defaults},
        {R"({"A9C0XY": 1, "0A0B0C": 2})", nullptr, 0x99, 0, 0, defaults},
        {R"({"A9C": 1})", nullptr, 0x99, 0, 0, defaults},
        {longName.c_str(), nullptr, 0x99, 0, 0, defaults,
         "AID \"A9C0\\n" + std::string(26, 'V') + "\"... in the configuration is not hexadecimal"},
        {nullptr, nullptr, 0x99, 0, 0, defaults},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.desfire ? std::string(row.desfire).substr(0, 40) : "no file");
        const std::string text =
            std::string(R"({"rfid": {"cardTypes": {"desfire": )") + (row.desfire ? row.desfire : "") + "}}}";
        provider = [&] { return nlohmann::json::parse(text); };
        if (!row.desfire)
            provider = Monet::fileConfiguration(::testing::TempDir() + "missing/tapgate.conf");
        fake.setEchoByte(static_cast<uint8_t>(row.echoByte));
        fake.setAidResults(row.aidResults ? std::optional<Bytes>(fromHex(row.aidResults)) : std::nullopt);
        // A card event comes in before the echo and is passed over.
        fake.inject({Fault::EventsFirst, 0, {}, {fromHex("D0 00")}, ECHO});
        EXPECT_EQ(reader.echo(), row.echo);
        fake.clearRequests();
        testsupport::StderrCapture lines;
        EXPECT_EQ(reader.configAIDs(), row.aids);
        EXPECT_TRUE(row.logged.empty() || count(lines.text(), row.logged) == 1)
            << lines.text().substr(0, 1000);
        const std::vector<Bytes> sent = fake.requests();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(toHex(sent[0]), "3001020304");
        EXPECT_EQ(toHex(sent[1]), toHex(fromHex(row.addAid)));
    }
    fake.inject({Fault::Silence});
    EXPECT_EQ(hasty.echo(), 202);
    // Frames of no interest before the echo are passed over, but not once the fail-safe has passed.
    for (const int64_t step : {0, 6000}) {
        fake.inject({Fault::EventsFirst, 0, {}, {fromHex("81 00 02"), fromHex("81 00 02")}, ECHO});
        clock->step = step;
        EXPECT_EQ(reader.echo(), step == 0 ? 0 : 202);
        readAll(transport, 20);
    }
    clock->step = 0;
}

TEST_F(MonetSideChannelTest, SearchTurnsReaderEventsIntoCardsTapsAndStates)
{
    struct Row
    {
        std::vector<const char*> events;
        bool suppress;
        int64_t clockStep;
        const char* outcome;  // result, type, UID, ATS, tap result, token
    };
    const char* description = "B8 00 00 00 00 00 04 11 22 33 44 00 05 75 77 81 02 80 00 01 01";
    const Row rows[] = {
        {{description}, false, 0, "900 256 11223344 7577810280 0 "},
        {{"B8 00 00 00 00 00 07 04 E1 5B 72 4A 5C 80 00 00 02 04 00"}, false, 0, "900 64 04E15B724A5C80  0 "},
        {{"B8 00 00 00 00 00 04 11 22 33 44 00 00 02 01 0B"}, false, 0, "900 2 11223344  0 "},
        // Lengths that point past the end of the description.
        {{"B8 00 00 00 00 00 09 11 22 33 44 00 00 00 01 01"}, false, 0, "201 -1   0 "},
        {{"B8 00 00 00 00 00 01 11 00 09 75 77 02 01 0A"}, false, 0, "201 -1   0 "},
        {{"B8 00 00 00 00 00 04 11 22 33 44 00 06 75 77 81 02 80 00 01 01"}, false, 0, "201 -1   0 "},
        {{"D0 00", "D3 00 00 00 00 04 AA BB CC DD"}, false, 0, "901 512   0 AABBCCDD"},
        {{"D0 00", "D3 00 00 00 FE"}, false, 0, "901 512   2 "},
        {{"D0 00", "D3 00 00 00"}, false, 0, "901 512   201 "},
        {{"D0 00"}, false, 0, "900 256   0 "},
        {{"83 00 03"}, false, 0, "901 512   203 "},
        {{"83 00 04"}, true, 0, "200 256   0 "},
        {{"83 00 04"}, false, 0, "901 512   200 "},
        {{"83 00 05"}, false, 0, "901 512   200 "},
        {{"83 00 06"}, false, 0, "901 512   205 "},
        {{"83 00 09"}, false, 0, "901 512   204 "},
        {{"D1 00"}, false, 0, "204 -1   0 "},
        {{}, false, 0, "202 -1   0 "},
        // Unrelated frames keep coming for longer than the fail-safe.
        {{"81 00 02", "81 00 02", "81 00 02", "81 00 02"}, false, 4000, "202 -1   0 "},
        // A card event after an unrelated frame met less, or more, than the fail-safe's whole seconds.
        {{"81 00 02", description}, false, 10999, "900 256 11223344 7577810280 0 "},
        {{"81 00 02", description}, false, 11000, "202 -1   0 "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.events.empty() ? "silence" : row.events.back());
        // All here before the search: one still on its way would cost the stepping clock a reading.
        size_t bytes = 0;
        for (const char* event : row.events) {
            fake.sendPayload(fromHex(event));
            bytes += fromHex(event).size() + 2;
        }
        ASSERT_TRUE(pending(client, bytes));
        clock->step = row.clockStep;
        int type = -1, tap = -1;
        Bytes uid, ats;
        std::string token = "old";
        const int result = reader.searchTag(type, uid, ats, 100, tap, token, row.suppress);
        EXPECT_EQ(std::to_string(result) + " " + std::to_string(type) + " " + toHex(uid) + " " + toHex(ats) +
                      " " + std::to_string(tap) + " " + token,
                  row.outcome);
        readAll(transport, 20);
    }
    clock->step = 0;
    // Before re-enabling, a card event that came outside a search is told apart from idle ones.
    for (bool card : {true, false}) {
        fake.sendPayload(fromHex("81 00 02"));
        if (card)
            fake.sendPayload(fromHex("B8 00 00 00 00 00 04 11 22 33 44 00 00 00 01 01"));
        fake.sendPayload(fromHex("83 00 01"));
        EXPECT_EQ(reader.getIdleMessages(100), card);
    }
    // Ten frames at most are read, the card event being the tenth or the eleventh.
    for (const size_t others : {9, 10}) {
        for (size_t i = 0; i < others; ++i) fake.sendPayload(fromHex("81 00 03"));
        fake.sendPayload(fromHex("B8 00 00 00 00 00 04 11 22 33 44 00 00 00 01 01"));
        ASSERT_TRUE(pending(client, others * 5 + 18));
        EXPECT_EQ(reader.getIdleMessages(100), others < 10);
        readAll(transport, 20);
    }
}

TEST_F(MonetSideChannelTest, AttachAnotherCardAfterSamTimeoutRestartsOnce)
{
    // One reader's state across a SAM command that is never answered and the ones that are.
    testsupport::StderrCapture capture;
    fake.setSam(0, std::make_shared<emulators::MifareSam>());
    Bytes reply;
    int sw = 0;
    for (int i = 0; i < 2; ++i) {
        fake.inject({Fault::Silence});
        EXPECT_EQ(hasty.SAMpassThroughAPDU(1, fromHex("80 60 00 00 00"), reply, sw), 202);
        EXPECT_TRUE(hasty.samCommandTimedOut());
        fake.sendEvent(DISPLAY_STATE, {0x04});
        int type = 0, tap = 0;
        Bytes uid, ats;
        std::string token;
        EXPECT_EQ(hasty.searchTag(type, uid, ats, 100, tap, token, false), 901);
    }
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(count(capture.text(), "RESTART RFID!"), 2u);
    // The next answer to a SAM command clears the time-out.
    Bytes atr;
    ASSERT_EQ(hasty.powerOnSAM(1, atr), 0);
    EXPECT_TRUE(hasty.samCommandTimedOut());
    EXPECT_EQ(hasty.SAMpassThroughAPDU(1, fromHex("80 60 00 00 00"), reply, sw), 0);
    EXPECT_FALSE(hasty.samCommandTimedOut());
}

TEST_F(MonetSideChannelTest, DesfireTrafficReachesTheCardModel)
{
    auto card = std::make_shared<emulators::DesfireCard>();
    fake.setCard(card);
    Bytes reply;
    EXPECT_EQ(reader.passThroughAPDU({0x60}, reply, 300), 0);
    EXPECT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[0], 0xAF);
    EXPECT_TRUE(reader.checkDESFirePresence());

    for (const char* setUp : {"CA 01 00 00 0F 01", "5A 01 00 00", "C1 01 00 EE EE 41 00 00 05 00 00"}) {
        ASSERT_EQ(reader.passThroughAPDU(fromHex(setUp), reply, 300), 0);
        ASSERT_EQ(toHex(reply), "00");
    }
    Bytes record(65);
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i);
    Bytes first = fromHex("3B 01 00 00 00 41 00 00");
    first.insert(first.end(), record.begin(), record.end() - 16);
    Bytes rest = {0xAF};
    rest.insert(rest.end(), record.end() - 16, record.end());

    // Up to 56 bytes a 0x3B goes as it is; above, it waits for its continuation.
    fake.clearRequests();
    EXPECT_EQ(reader.passThroughAPDU(Bytes(first.begin(), first.begin() + 56), reply, 300), 0);
    EXPECT_EQ(fake.requests().size(), 1u);
    // A search between the parts drops the held-back part: the continuation goes alone.
    fake.clearRequests();
    EXPECT_EQ(reader.passThroughAPDU(first, reply, 300), 0);
    EXPECT_EQ(toHex(reply), "AF");
    EXPECT_TRUE(fake.requests().empty());
    int type = 0, tap = 0;
    Bytes uid, ats;
    std::string token;
    EXPECT_EQ(reader.searchTag(type, uid, ats, 50, tap, token, false), 202);
    EXPECT_EQ(reader.passThroughAPDU(rest, reply, 300), 0);
    EXPECT_NE(toHex(reply), "00");
    EXPECT_EQ(fake.requests().back()[2], 0xAF);

    reply.clear();
    EXPECT_EQ(reader.passThroughAPDU(first, reply, 300), 0);
    EXPECT_EQ(reader.passThroughAPDU(rest, reply, 300), 0);
    EXPECT_EQ(toHex(reply), "00");
    EXPECT_EQ(fake.requests().back()[2], 0x8B);
    ASSERT_EQ(reader.passThroughAPDU({0xC7}, reply, 300), 0);
    ASSERT_EQ(card->records(1, 1).size(), 1u);
    EXPECT_EQ(card->records(1, 1)[0], record);

    fake.setCard(nullptr);
    EXPECT_FALSE(reader.checkDESFirePresence());
}

TEST_F(MonetSideChannelTest, UltralightFramesCarryTheirCrcAsTheCardLayerExpects)
{
    auto card = std::make_shared<emulators::UltralightEV1>();
    card->setPage(4, fromHex("01 02 03 04"));
    fake.setCard(card);
    Bytes reply;
    EXPECT_EQ(reader.sendCmdISO14443_3(fromHex("30 04 00 00"), reply, 30), 0);
    ASSERT_EQ(reply.size(), 18u);
    EXPECT_EQ(toHex(Bytes(reply.begin(), reply.begin() + 4)), "01020304");
    EXPECT_EQ(emulators::cardcrypto::crcA(reply), 0);

    EXPECT_EQ(reader.sendCmdISO14443_3(fromHex("A2 05 0A 0B 0C 0D 00 00"), reply, 30), 0);
    EXPECT_EQ(toHex(reply), "0A");
    EXPECT_EQ(toHex(card->page(5)), "0A0B0C0D");
    EXPECT_TRUE(reader.isLUCcardPresent(30));
    EXPECT_EQ(toHex(fake.requests().back()), "4F001E07000860");
}

TEST_F(MonetSideChannelTest, SamSlotsReachTheSamModels)
{
    auto mifare = std::make_shared<emulators::MifareSam>();
    mifare->setKeyEntry(0, emulators::MifareSam::KeyEntry::make(emulators::MifareSam::Aes128,
                                                                emulators::MifareSam::Host, Bytes(16, 0)));
    auto lg = std::make_shared<emulators::LGSamResponder>();
    lg->expect(fromHex("80 CA 00 00 02"), fromHex("12 34"));
    fake.setSam(0, mifare);
    fake.setSam(1, lg, MonetSideChannel::SamLink::T0);

    Bytes atr = {0xEE};
    EXPECT_EQ(reader.setSAMclock(1), 0);
    EXPECT_EQ(reader.powerOnSAM(1, atr), 0);
    ASSERT_EQ(atr.size(), 29u);
    EXPECT_EQ(std::string(atr.end() - 17, atr.end() - 2), "MIFARE SAM AV30");
    Bytes reply;
    int sw = 0;
    EXPECT_EQ(reader.SAMpassThroughAPDU(1, fromHex("80 A4 00 00 03 00 00 00 00"), reply, sw), 0);
    EXPECT_EQ(sw, 0x90AF);
    EXPECT_EQ(reply.size(), 12u);

    atr.clear();
    EXPECT_EQ(reader.powerOnSAM(2, atr), 0);
    EXPECT_EQ(atr, emulators::LGSamResponder::Atr);
    EXPECT_EQ(reader.SAMpassThroughAPDU(2, fromHex("80 CA 00 00 02"), reply, sw), 0);
    EXPECT_EQ(toHex(reply), "1234");
    EXPECT_TRUE(lg->allUsed()) << lg->report();
    EXPECT_EQ(reader.powerOffSAM(2), 0);
}

TEST_F(MonetSideChannelTest, ShortAnswersAndShortFramesFailWithoutReadingPastThem)
{
    Bytes reply;
    int sw = 0;
    struct Row
    {
        const char* answer;  // nullptr: nothing may be sent
        std::function<int()> call;
        int result;
    };
    const Row rows[] = {
        {"C1 00 91", [&] { return reader.passThroughAPDU({0x60}, reply, 300); }, 201},
        {"C1 00 1C", [&] { return reader.checkDESFirePresence() ? 0 : 1; }, 1},
        {"CF 00 00", [&] { return reader.sendCmdISO14443_3(fromHex("30 04 00 00"), reply, 30); }, 201},
        {"E2 00 90", [&] { return reader.SAMpassThroughAPDU(1, fromHex("80 60 00 00 00"), reply, sw); }, 201},
        {"CF 05",
         [&] {
             return reader.sendCmdISO14443_3({0x60, 0x01}, reply, 30);
         },
         200},
        {nullptr, [&] { return reader.sendCmdISO14443_3({0x30}, reply, 30); }, 200},
        {nullptr, [&] { return reader.passThroughAPDU({}, reply, 30); }, 200},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        fake.clearRequests();
        if (row.answer)
            fake.inject({Fault::Replace, 0, fromHex(row.answer)});
        reply.assign(3, 0x77);
        EXPECT_EQ(row.call(), row.result);
        EXPECT_EQ(toHex(reply), "777777");
        EXPECT_EQ(fake.requests().size(), row.answer ? 1u : 0u);
    }
}

TEST_F(MonetSideChannelTest, LateFloodingAndClosingPeersCostBoundedTime)
{
    // A late answer is not taken for the next command's. It comes only once the command gave up,
    // so that a host slow to look cannot find it in time.
    fake.inject({Fault::Silence});
    EXPECT_EQ(hasty.setLEDs(1), 202);
    fake.sendPayload(fromHex("8C 00"));
    ASSERT_TRUE(client.available(testsupport::PeerDeadlineMs));
    fake.inject({Fault::Replace, 0, fromHex("8C 05")});
    EXPECT_EQ(reader.setLEDs(2), 200);  // the late answer is drained, not taken for this one
    EXPECT_EQ(fake.leds(), 2);

    struct Row
    {
        int64_t clockStep;
        size_t flood;
        size_t left;  // frames still to read after the command: the drain took the others
    };
    // 32 frames at most; for 50 ms at most: a reading at the start, one before each frame.
    for (const Row& row : {Row{0, 100, 68}, Row{10, 100, 96}, Row{7, 100, 93}}) {
        clock->step = row.clockStep;
        fake.flood(row.flood, fromHex("81 00 02"));
        ASSERT_TRUE(pending(client, row.flood * 5));
        reader.setLEDs(3);
        EXPECT_EQ(readAll(transport, 100), row.left);
    }

    clock->step = 0;

    // Card events beyond the few kept: one warning, for the whole burst, says how many went, when a
    // search comes for them; or, for a connection lost before that, when the next one is made, on
    // its own and not added to that connection's first. The drain before the request keeps them as
    // the wait for its answer does; that wait reads them all before the answer.
    const auto reconnect = [&] {
        const size_t connections = fake.connections();
        client.close();
        client.connect(fake.host(), fake.port());
        ASSERT_TRUE(fake.waitForConnections(connections + 1, testsupport::PeerDeadlineMs));
        transport.connected();
    };
    const auto request = [&] {
        fake.flood(100, fromHex("B8 00 01"));
        ASSERT_TRUE(pending(client, 100 * 5));
        EXPECT_EQ(reader.setLEDs(3), 0);
    };
    const auto search = [&](size_t kept) { return [&, kept] { EXPECT_EQ(readAll(transport, 0), kept); }; };
    const std::pair<std::function<void()>, size_t> steps[] = {
        {request, 0},   {search(8), 1}, {request, 0},   {reconnect, 1},
        {search(0), 0}, {request, 0},   {search(8), 1},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        const auto& [step, warnings] = steps[i];
        testsupport::StderrCapture lines;
        step();
        const std::string text = lines.text();
        EXPECT_EQ(count(text, "More card events than a search takes"), warnings);
        EXPECT_EQ(count(text, "===> 92 oldest dropped"), warnings);
    }

    fake.inject({Fault::CloseMidFrame, 1});
    EXPECT_EQ(reader.setLEDs(4), 202);  // a frame cut short is no answer
    Bytes reply;
    int sw = 0;
    EXPECT_EQ(reader.passThroughAPDU({0x60}, reply, 300), 202);
    EXPECT_EQ(reader.SAMpassThroughAPDU(1, fromHex("80 60 00 00 00"), reply, sw), 202);
    EXPECT_EQ(reader.echo(), 200);

    // Card-present events without pause, and no answer: the wait for one ends at its time-out,
    // however many events are still coming (the frame then in hand being a short one). The flood
    // keeps a few batches ahead of the reading, no more, so that none is left once it stops.
    reconnect();
    const auto flood = [&] {
        int here = 0;
        if (ioctl(client.getNative(), FIONREAD, &here) == 0 && here < 2000)
            fake.flood(50, fromHex("B8 00 01"));
    };
    const double took = testsupport::msUnderFlood([&] { EXPECT_FALSE(transport.receiveAnswer(300)); }, flood);
    EXPECT_GE(took, 299.0);  // the end is counted in whole milliseconds
    EXPECT_LT(took, 300.0 + SideChannelTransport::FrameGraceMs + 1000);  // a busy machine's turn
    // The events kept meanwhile are the old connection's: the next one starts without them.
    reconnect();
    EXPECT_FALSE(transport.receive(0));
}

TEST_F(MonetSideChannelTest, AFrameNotWholeWithinItsWaitAndASecondClosesTheConnection)
{
    const auto frameOf = [](const char* head, size_t zeros) {
        Bytes bytes = fromHex(head);
        bytes.resize(bytes.size() + zeros);
        return bytes;
    };
    struct Row
    {
        const char* name;
        Bytes bytes;
        int gapMs;
        double boundMs;
    };
    // Every gap well within the read's time-out (300 ms); no frame is whole within seconds.
    const Row rows[] = {
        {"length announced, bytes trickled", frameOf("00 30 8C 00", 46), 100, 1300},
        {"0xFFFF announced", frameOf("FF FF 8C 00", 60), 100, 1300},
        {"shorter than its length", fromHex("00 0A 8C 00 01 02"), 0, 1300},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::StderrCapture lines;
        fake.inject({Fault::Trickle, row.gapMs, row.bytes, {}, SET_LEDS});
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(hasty.setLEDs(1), 202);
        EXPECT_LT(testsupport::msSince(begin), row.boundMs + 2000);
        EXPECT_FALSE(client.connected());
        EXPECT_EQ(count(lines.text(), "Error receiving"), 1u);

        // A new connection frames from its first byte again.
        client.connect(fake.host(), fake.port());
        EXPECT_EQ(reader.setLEDs(2), 0);
        EXPECT_EQ(fake.leds(), 2);
    }

    // An answer must be whole within the request's wait plus a second from its first byte: its
    // last byte, held back, comes once the reader has seen the clock just short of that, or at it.
    // The wait is long here, so that the socket's own deadline in real time, which a loaded machine
    // can reach while the test moves the clock, lies far beyond the bound on the driver's clock.
    const int64_t bound = AnswerMs + SideChannelTransport::FrameGraceMs;
    for (const int64_t at : {bound - 1, bound}) {
        SCOPED_TRACE(at);
        clock->set(0);
        // Only this row's request may start the wait below: the clock must not move before it.
        fake.clearRequests();
        fake.inject({Fault::Partial, 1, {}, {}, SET_LEDS});
        std::future<int> result = std::async(std::launch::async, [&] { return reader.setLEDs(6); });
        ASSERT_TRUE(fake.waitForRequests(1, testsupport::PeerDeadlineMs));
        // The reader looks at its clock again only once the answer's first bytes are in: the byte
        // that ends it must not overtake them.
        const size_t sent = clock->count();
        ASSERT_TRUE(testsupport::eventually([&] { return clock->count() > sent; }));
        const size_t readings = clock->set(at);
        ASSERT_TRUE(testsupport::eventually([&] { return clock->count() > readings; }));
        fake.sendBytes({0x00});
        EXPECT_EQ(result.get(), at < bound ? 0 : 202);
        EXPECT_EQ(client.connected(), at < bound);
        if (!client.connected()) {
            const size_t connections = fake.connections();
            client.connect(fake.host(), fake.port());
            ASSERT_TRUE(fake.waitForConnections(connections + 1, testsupport::PeerDeadlineMs));
        }
    }
    // The wait's end falling between a frame's two length bytes: the frame was begun within it, so
    // the rest makes it whole and the stream stays in step. The rest comes only once the wait is
    // over, on the reader's clock as well: the first byte was read and the wait's length has passed
    // since.
    const Bytes answer = fromHex("00 02 8C 00");
    const int waitMs = 20;
    clock->set(0);
    fake.sendBytes(Bytes(answer.begin(), answer.begin() + 1));
    ASSERT_TRUE(pending(client, 1));
    std::future<SideChannelMsg::Ptr> receiving =
        std::async(std::launch::async, [&] { return transport.receiveAnswer(waitMs); });
    std::optional<std::chrono::steady_clock::time_point> read;
    ASSERT_TRUE(testsupport::eventually([&] {
        if (!read && !pending(client, 1, 1))
            read = std::chrono::steady_clock::now();
        return read && testsupport::msSince(*read) > waitMs + 1;
    }));
    clock->set(waitMs + 1);
    fake.sendBytes(Bytes(answer.begin() + 1, answer.end()));
    const SideChannelMsg::Ptr taken = receiving.get();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->command(), SET_LEDS);
    EXPECT_EQ(SideChannelReader::checkMsgResponse(taken), 0);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(reader.setLEDs(2), 0);

    // A frame caught coming in by the drain before a request must be whole by the drain's end: its
    // last byte, held back, comes once the drain has seen the clock just short of it, or at it.
    for (const int64_t at : {49, 50}) {
        SCOPED_TRACE(at);
        clock->set(0);
        fake.sendBytes(fromHex("00 03 81 00"));
        ASSERT_TRUE(pending(client, 4));
        fake.clearRequests();
        std::future<int> result = std::async(std::launch::async, [&] { return reader.setLEDs(5); });
        ASSERT_TRUE(testsupport::eventually([&] { return !pending(client, 1, 1); }));
        const size_t readings = clock->set(at);
        ASSERT_TRUE(testsupport::eventually([&] { return clock->count() > readings; }));
        fake.sendBytes({0x02});
        EXPECT_EQ(result.get(), at < 50 ? 0 : 202);
        EXPECT_EQ(fake.requests().size(), at < 50 ? 1u : 0u);
        if (!client.connected())
            client.connect(fake.host(), fake.port());
    }
}

}  // namespace
