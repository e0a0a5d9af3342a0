// The Yarus driver end to end: the reader facade with the serial families (Elatec TWN, Yarus) on
// one side of a pseudo-terminal, the emulated T2151 reader with card and SAM models on the other;
// and the T2151 command set against a reader that misbehaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "NFC/ISO14443.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "core/TCPClient.h"
#include "drivers/ElatecTWN/Driver.h"
#include "drivers/VUrurRemote/Reader.h"
#include "drivers/YarusRemote/Driver.h"
#include "emulators/DesfireCard.h"
#include "emulators/Hex.h"
#include "emulators/LGSamResponder.h"
#include "emulators/MifareSam.h"
#include "emulators/T2151Reader.h"
#include "emulators/UltralightEV1.h"
#include "emulators/VUrurReader.h"

using emulators::Bytes;
using emulators::fromHex;
using emulators::T2151Device;
using emulators::T2151Reader;
using Fault = emulators::T2151Reader::Fault;

namespace {

using testsupport::msSince;
using testsupport::openDescriptors;

using Clock = std::chrono::steady_clock;

Bytes tagValue(const T2151Device::Request& request, uint8_t tag)
{
    const T2151Device::Tlv* tlv = T2151Device::find(request.tlvs, tag);
    return tlv ? tlv->value : Bytes{0xEE, 0xEE};  // a marker no request carries
}

// A transfer that never touches the line: it plays the given progress and then has the emulated
// reader send its report, as the reader does once a file has arrived.
class FakeSender : public T2151::FileSender
{
public:
    std::vector<std::pair<long, long>> ticks;
    bool succeed = true;
    Bytes report;
    T2151Reader* reader = nullptr;
    int calls = 0;
    int timeoutSec = -1;

    bool send(const std::string&, int timeout, const Events& events) override
    {
        ++calls;
        timeoutSec = timeout;
        events.started();
        for (const auto& t : ticks) events.progress(t.first, t.second, 1, 2);
        if (!succeed)
            return false;
        events.finished();
        reader->sendRaw(report);
        return true;
    }
};

class YarusDriverTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { Log::open("yarus-test", true, false); }

    void start(int readerBaud)
    {
        reader = std::make_unique<T2151Reader>(readerBaud);
        sender->reader = reader.get();
    }

    NFC::Reader::DriverFactories families()
    {
        using Factory = NFC::Reader::DriverFactory;
        return {{Factory::Serial, "ElatecTWN", [] { return std::make_shared<ElatecTWN::Driver>(); }},
                {Factory::Serial, "YarusRemote", [this] {
                     createdAt = Clock::now();
                     driver = std::make_shared<YarusRemote::Driver>(useFake ? sender : nullptr);
                     return driver;
                 }}};
    }

    std::shared_ptr<NFC::Reader> openReader(int baud)
    {
        auto nfc = std::make_shared<NFC::Reader>(families(), testsupport::lockDirectory());
        EXPECT_TRUE(nfc->open(reader->devicePath(), baud)) << nfc->error().message;
        return nfc;
    }

    std::vector<T2151Device::Request> requests() { return reader->device().requests(); }
    // The newest request; a test that finds none fails, never reads past an empty record.
    T2151Device::Request lastRequest()
    {
        const std::vector<T2151Device::Request> all = requests();
        if (all.empty()) {
            ADD_FAILURE() << "no request reached the reader";
            return {};
        }
        return all.back();
    }

    std::unique_ptr<T2151Reader> reader;
    std::shared_ptr<YarusRemote::Driver> driver;
    Clock::time_point createdAt;  // when the facade made the Yarus driver, to open it
    std::shared_ptr<FakeSender> sender = std::make_shared<FakeSender>();
    bool useFake = true;
};

TEST_F(YarusDriverTest, OpenFindsTheReaderAtItsSpeedAndReadsItsIdentity)
{
    using Heard = std::tuple<int, int, bool>;  // command, line speed, understood
    // clang-format off
    struct Case { const char* name; int readerBaud, asked, pingResult, configResult;
                  std::vector<Heard> expected; /* up to the facade's beep */ int infoBaud; };
    const Case cases[] = {
        {"autobaud", 115200, 9600, 0, 0,
         {{9, 9600, false}, {9, 9600, false}, {9, 9600, false}, {9, 19200, false}, {9, 38400, false},
          {9, 57600, false}, {9, 115200, true}, {4, 115200, true}, {1, 9600, true}, {5, 9600, true}}, 9600},
        {"ping answered 3", 38400, 38400, 3, 0,
         {{9, 38400, true}, {1, 38400, true}, {5, 38400, true}}, 38400},
        {"rate change refused", 19200, 9600, 0, 7,
         {{9, 9600, false}, {9, 9600, false}, {9, 9600, false}, {9, 19200, true}, {4, 19200, true},
          {1, 19200, true}, {5, 19200, true}}, 19200},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(c.readerBaud);
        reader->device().setPingResult(c.pingResult);
        reader->device().setConfigResult(c.configResult);
        if (c.pingResult == 3)
            reader->device().dropInfoTag(6);
        auto nfc = openReader(c.asked);
        const double openMs = msSince(createdAt);

        ASSERT_NE(driver, nullptr);
        // A probe the reader did not understand may never reach it at all: the driver clears its
        // output before the next, and a reader thread that a busy machine held up for a probe's
        // wait has not read it yet. So the reader's record is the expected one less some such
        // probes (how many went out, the wait before the switch below tells), and no other.
        std::vector<Heard> heard, expected;
        for (const auto& r : requests()) heard.emplace_back(r.command, r.baud, r.heard);
        for (const Heard& h : c.expected) {
            if (expected.size() < heard.size() && heard[expected.size()] == h)
                expected.push_back(h);
            else if (std::get<2>(h) || std::get<0>(h) != 9)
                expected.push_back(h);
        }
        EXPECT_EQ(heard, expected);
        const auto all = requests();
        ASSERT_GE(all.size(), 3u);
        EXPECT_EQ(tagValue(all[0], 21), fromHex("DE AD BE EF"));
        EXPECT_EQ(tagValue(all.back(), 14), fromHex("0A 28"));
        EXPECT_EQ(tagValue(all.back(), 15), fromHex("00 46"));
        if (c.configResult == 0 && c.pingResult == 0) {
            const auto& config = all[all.size() - 3];
            EXPECT_EQ(tagValue(config, 12), fromHex("00 00 25 80"));
            EXPECT_EQ(tagValue(config, 13), fromHex("00"));
            // The pause after the switch, before getInfo. Its lower bound is judged on this side's
            // clock (six unanswered probes of 100 ms, then the pause), which a busy machine only
            // lengthens; the reader seeing the switch late would make the gap it records short.
            EXPECT_GE(openMs, 6 * 100 + 500.0);
            EXPECT_LE(all[all.size() - 2].atMs - config.atMs, 900.0);
        }
        EXPECT_EQ(reader->lineBaud(), c.infoBaud);

        EXPECT_EQ(nfc->model(), "YR-4");
        EXPECT_EQ(nfc->manufacturer(), c.pingResult == 3 ? "" : "Yarus");
        EXPECT_EQ(nfc->firmware(), "T2151 2.4.1");
        EXPECT_EQ(nfc->deviceUID(), "n/a");
        EXPECT_EQ(nfc->appUpdateResult(), "n/a");
        EXPECT_EQ(nfc->type(), "local");
        EXPECT_EQ(driver->info().infoValue1, 7);
        EXPECT_EQ(driver->info().infoValue2, 0x0102);
    }
}

TEST_F(YarusDriverTest, CardsAndSamsTravelThroughTheReaderCommands)
{
    start(115200);
    auto ultralight = std::make_shared<emulators::UltralightEV1>();
    ultralight->setPage(4, fromHex("11 22 33 44"));
    reader->device().setCard(ultralight, NFC::Tag::MifareUltralight);
    auto sam = std::make_shared<emulators::MifareSam>();
    reader->device().setSam(0, sam);
    auto lg = std::make_shared<emulators::LGSamResponder>();
    lg->expect(fromHex("80 CA 00 00 02 AB CD"), fromHex("01 02"), 0x9100);
    reader->device().setSam(1, lg);
    auto nfc = openReader(115200);
    ASSERT_NE(driver, nullptr);
    reader->device().clearRequests();

    // Ultralight pages over TDX3; the search's time-out goes to the reader as 4 bytes.
    auto tag = std::dynamic_pointer_cast<NFC::Ultralight>(nfc->searchTag(500));
    ASSERT_NE(tag, nullptr);
    ASSERT_FALSE(requests().empty());
    EXPECT_EQ(tagValue(requests()[0], 16), fromHex("00 00 01 F4"));
    Bytes pages;
    ASSERT_EQ(tag->read(4, pages), NFC::Ultralight::Error{});
    EXPECT_EQ(pages.size(), 16u);
    EXPECT_EQ(Bytes(pages.begin(), pages.begin() + 4), fromHex("11 22 33 44"));
    EXPECT_EQ(lastRequest().command, 33);

    // DESFire GetVersion over TDX4.
    auto desfire = std::make_shared<emulators::DesfireCard>();
    desfire->setVersion(fromHex("04 01 01 01 00 18 05"), fromHex("04 01 01 01 04 18 05"),
                        fromHex("04 52 7A 1A 6F 2C 80 BA 44 F9 43 50 14 12"));
    reader->device().setCard(desfire, NFC::Tag::MifareDESFire);
    auto card = nfc->searchTag(500);
    ASSERT_NE(card, nullptr);
    const NFC::DESFire::Version version = NFC::DESFire::version(nfc->iso14443());
    EXPECT_EQ(version.hwStorageSize, 0x18);
    EXPECT_EQ(version.swMajorVersion, 0x01);
    EXPECT_EQ(lastRequest().command, 34);

    // The MIFARE SAM: an APDU with Le 0 sends it; one without Le sends no tag 31.
    auto mifare = std::dynamic_pointer_cast<NFC::MifareSAM>(nfc->turnOnSam(0));
    ASSERT_NE(mifare, nullptr);
    NFC::MifareSAM::Version samVersion;
    ASSERT_EQ(mifare->getVersion(samVersion), NFC::MifareSAM::Success);
    EXPECT_EQ(lastRequest().command, 54);
    EXPECT_EQ(tagValue(lastRequest(), 31), fromHex("00 00"));
    NFC::Driver::APDUHeader header;
    header.CLA = 0x80;
    header.INS = 0x60;
    int sw = -1;
    Bytes answer;
    ASSERT_TRUE(driver->ISO7816_exchangeAPDU(0, header, nullptr, &answer, sw));
    EXPECT_EQ(T2151Device::find(lastRequest().tlvs, 31), nullptr);
    EXPECT_EQ(tagValue(lastRequest(), 21), Bytes{});
    EXPECT_EQ(sw, 0x9000);
    EXPECT_FALSE(answer.empty());

    // The LG SAM in slot 1 and a T=0 exchange.
    auto lgsam = std::dynamic_pointer_cast<NFC::LGsam>(nfc->turnOnSam(1));
    ASSERT_NE(lgsam, nullptr);
    NFC::Driver::TPDUHeader tpdu{0x80, 0xCA, 0x00, 0x00, 0x02};
    const Bytes data = fromHex("AB CD");
    answer.clear();
    ASSERT_TRUE(driver->ISO7816_exchangeTPDU(1, tpdu, &data, &answer, sw));
    EXPECT_EQ(answer, fromHex("01 02"));
    EXPECT_EQ(sw, 0x9100);
    EXPECT_TRUE(lg->allUsed()) << lg->report();

    // Slot states, the hardware status and the RF commands.
    EXPECT_FALSE(nfc->isSlotEmpty(0));
    EXPECT_TRUE(nfc->isSlotEmpty(2));
    EXPECT_TRUE(nfc->isOpen());
    reader->device().setHardwareStatus(7);
    {
        testsupport::StderrCapture log;
        EXPECT_FALSE(nfc->isOpen());
        EXPECT_NE(log.text().find("[T2151] ERROR: Hardware status : (7) Unknown"), std::string::npos);
    }
    ASSERT_TRUE(nfc->disableRF());
    EXPECT_EQ(lastRequest().command, 17);
}

TEST_F(YarusDriverTest, FirmwareProgressAndReportThroughTheSender)
{
    // clang-format off
    struct Case { const char* name; std::vector<std::pair<long, long>> ticks; bool succeed; Bytes report;
                  bool result, reboot; std::vector<int> percents; };
    const Bytes rebootReport = T2151Reader::frame(fromHex("02 00 01 00 11 00 01 01"));
    const Case cases[] = {
        {"reboot asked", {{0, 1000}, {500, 1000}}, true, rebootReport, true, true, {0, 0, 50, 100}},
        {"total 0", {{10, 0}}, true, T2151Reader::frame(fromHex("02 00 01 00")), true, false, {0, 0, 100}},
        {"huge file", {{LONG_MAX / 2, LONG_MAX}}, true, rebootReport, true, true, {0, 49, 100}},
        {"counts past either end", {{1500, 1000}, {-50, 1000}}, true, rebootReport, true, true, {0, 100, 0, 100}},
        {"reader refuses", {}, true, T2151Reader::frame(fromHex("02 00 01 04 11 00 01 01")), false, false,
         {0, 100}},
        {"rz instead of a report", {}, true, {'r', 'z'}, true, false, {0, 100}},
        {"sender fails", {{10, 100}}, false, {}, false, false, {0, 10}},
    };
    // clang-format on
    start(115200);
    auto nfc = openReader(115200);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sender->ticks = c.ticks;
        sender->succeed = c.succeed;
        sender->report = c.report;
        std::vector<int> percents;
        std::vector<int> last;
        bool reboot = !c.reboot;
        const auto begin = Clock::now();
        EXPECT_EQ(nfc->updateFirmware("/nonexistent/fw.bin", reboot,
                                      [&](int a, int b, int d) {
                                          percents.push_back(a);
                                          last = {a, b, d};
                                      }),
                  c.result);
        EXPECT_LT(msSince(begin), 1000.0);
        EXPECT_EQ(sender->timeoutSec, 30);
        EXPECT_EQ(percents, c.percents);
        if (c.succeed) {
            EXPECT_EQ(last, (std::vector<int>{100, 0, 0}));
        }
        if (c.result) {
            EXPECT_EQ(reboot, c.reboot);
        } else {
            EXPECT_NE(reboot, c.reboot);  // untouched
        }
    }
}

TEST_F(YarusDriverTest, FirmwareFileReachesRzByteForByteThenTheReportCounts)
{
    testsupport::TempDir work;
    const Bytes firmware = testsupport::pseudoRandomBytes(40000, 22);
    testsupport::writeFile(work / "fw.bin", firmware);
    ::mkdir((work / "recv").c_str(), 0700);
    start(115200);
    useFake = false;
    reader->handZmodemTo(work / "recv", 0, true);
    // The reader has a tenth of a second to answer each probe of the open: a machine that busy may
    // make it miss them all once, which is no matter here.
    auto nfc = std::make_shared<NFC::Reader>(families(), testsupport::lockDirectory());
    bool opened = false;
    for (int attempt = 0; attempt < 3 && !opened; ++attempt) opened = nfc->open(reader->devicePath(), 115200);
    ASSERT_TRUE(opened) << nfc->error().message;

    std::vector<int> percents;
    bool reboot = false;
    ASSERT_TRUE(
        nfc->updateFirmware(work / "fw.bin", reboot, [&](int a, int, int) { percents.push_back(a); }));
    EXPECT_TRUE(reader->zmodemRan());
    EXPECT_TRUE(reboot);
    EXPECT_EQ(testsupport::readFile(work / "recv/fw.bin"), firmware);
    ASSERT_GE(percents.size(), 2u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(nfc->isOpen());  // the line is the reader's again
}

TEST_F(YarusDriverTest, SilentReaderIsNeverClaimedAndLeavesNothingOpen)
{
    start(1);  // a speed the driver never sets: nothing it sends is understood
    const int before = reader->lineBaud();
    YarusRemote::Driver probe;
    const size_t descriptors = openDescriptors();

    // The asked speed, then every autobaud rate in order, each probed once with a ping that waits
    // one tenth of a second (the line's granularity for the 50 ms asked), at the speed the line had
    // when the driver began to send it. The nine waits together are judged on this side's clock,
    // which a busy machine only lengthens (any wait cut short by a few ms fails it). The reader's
    // record of when each probe came is late when its thread was: a late record stretches the gap
    // before it and shortens the one after, so no single gap bounds a wait from below, but the
    // median of the eight moves only when five records are late (a wait of 95 ms or less fails
    // it); and the shortest gap tells that none waits too long (one of 160 ms or more fails it).
    const auto begin = Clock::now();
    EXPECT_FALSE(probe.open(reader->devicePath(), 9600, nullptr));
    EXPECT_GE(msSince(begin), 9 * 100 - 1.0);
    const std::vector<T2151Device::Request> sent = requests();
    ASSERT_EQ(sent.size(), 9u);
    std::vector<std::pair<int, int>> probes;  // command, line speed
    std::vector<double> gaps;
    for (size_t i = 0; i < sent.size(); ++i) {
        if (i > 0)
            gaps.push_back(sent[i].atMs - sent[i - 1].atMs);
        probes.emplace_back(sent[i].command, sent[i].baud);
    }
    std::sort(gaps.begin(), gaps.end());
    EXPECT_GE(gaps[gaps.size() / 2], 100 - 2.0);
    EXPECT_LE(gaps.front(), 100 + 60.0);
    EXPECT_EQ(probes, (std::vector<std::pair<int, int>>{{9, 9600},
                                                        {9, 9600},
                                                        {9, 9600},  // 14400 is no line rate: 9600 again
                                                        {9, 19200},
                                                        {9, 38400},
                                                        {9, 57600},
                                                        {9, 115200},
                                                        {9, 230400},
                                                        {9, 460800}}));

    for (int i = 0; i < 10; ++i) {
        std::string error = "untouched";
        EXPECT_FALSE(probe.open(reader->devicePath(), 9600, &error));
        EXPECT_EQ(error, "untouched");
        EXPECT_FALSE(probe.isOpen());
    }
    EXPECT_EQ(openDescriptors(), descriptors);
    EXPECT_EQ(reader->lineBaud(), before);
    std::string error;
    EXPECT_FALSE(probe.open("/nonexistent/tty", 9600, &error));
    EXPECT_FALSE(error.empty());

    // A reader that answers the ping but not getInfo: closed again, too.
    reader->setBaud(9600);
    reader->inject({Fault::Silent, 0, 1});
    EXPECT_FALSE(probe.open(reader->devicePath(), 9600, &error));
    EXPECT_EQ(openDescriptors(), descriptors);
    {
        YarusRemote::Driver opened;
        ASSERT_TRUE(opened.open(reader->devicePath(), 9600, &error));
        EXPECT_GT(openDescriptors(), descriptors);
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}

// The command set against a reader that misbehaves, one answer at a time.
TEST(T2151BadPeer, EveryMisbehaviourIsAResultAndLeavesOutArgumentsAlone)
{
    Log::open("yarus-test", true, false);
    T2151Reader reader(115200);
    auto card = std::make_shared<emulators::UltralightEV1>();
    reader.device().setCard(card, NFC::Tag::MifareUltralight);
    reader.device().setSam(0, std::make_shared<emulators::MifareSam>());
    SerialPort port;
    ASSERT_TRUE(port.open(reader.devicePath(), 115200, -1, 8, 1, 0));
    T2151::Transport transport(port);
    T2151::Reader commands(transport);
    ASSERT_EQ(commands.enableRF(), 0);

    const Bytes sentinel = {0x5A};
    // clang-format off
    struct Case { const char* name; std::vector<Fault> faults; int code /* the faults aim at */, expected;
                  double maxMs; size_t crcLines; };
    const Case cases[] = {
        {"silent", {{Fault::Silent}}, 49, 5, 1500, 0},
        {"answer late, within the time-out", {{Fault::Late, 800}}, 49, 0, 1500, 0},
        {"truncated", {{Fault::Truncate, 2}}, 49, 5, 1500, 0},
        {"bad crc", {{Fault::BadCrc}}, 49, 5, 500, 1},
        {"flood", {{Fault::Flood, 70000}}, 49, 5, 2500, 0},
        {"r eats the start byte", {{Fault::Noise, 0, T2151Reader::AnyCommand, {0x72}}}, 49, 5, 1500, 0},
        {"rz for a command", {{Fault::Rz}}, 49, 5, 500, 0},
        {"reader's own code", {{Fault::Result, 9}}, 49, 9, 500, 0},
        {"noise then the answer", {{Fault::Noise, 300}}, 49, 0, 500, 0},
        {"split answer", {{Fault::Split, 40}}, 49, 0, 500, 0},
        {"no tag 2", {{Fault::NoResult}}, 49, 0, 500, 0},
        {"broken TLV, not strict", {{Fault::BrokenTlv}}, 34, 0, 500, 0},
        {"broken TLV, strict", {{Fault::BrokenTlv}}, 32, 2, 500, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Fault& f : c.faults) reader.inject(f);
        Bytes out = sentinel;
        int result = -1;
        testsupport::StderrCapture log;
        const auto begin = Clock::now();
        if (c.code == 49)
            result = commands.powerOn(0, out);
        else if (c.code == 34)
            result = commands.TDX4(fromHex("60"), out);
        else
            result = commands.checkPresence();
        EXPECT_LT(msSince(begin), c.maxMs);
        const std::string text = log.text();
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(out == sentinel, result != 0 || c.code == 32);
        size_t lines = 0;
        for (size_t at = text.find("[T2151] CRC Error (exp="); at != std::string::npos;
             at = text.find("[T2151] CRC Error (exp=", at + 1))
            ++lines;
        EXPECT_EQ(lines, c.crcLines) << text;
        // Whatever happened, the next command gets its own answer.
        T2151::Info info;
        ASSERT_EQ(commands.getInfo(info), 0);
        EXPECT_EQ(info.model, "YR-4");
    }

    // A late answer is dropped before the next request goes out.
    reader.inject({Fault::Held, 0, 9});
    EXPECT_EQ(commands.ping({1}, 100), 5);
    reader.release();
    ASSERT_TRUE(reader.waitForReleased(1, testsupport::PeerDeadlineMs));
    T2151::Info info;
    ASSERT_EQ(commands.getInfo(info), 0);
    EXPECT_EQ(info.firmware, "T2151 2.4.1");
    // The previous answer first: nothing tells it apart, so it is taken (getInfo's, without the
    // status tags); the request after that finds the line cleared of the one that followed it.
    reader.inject({Fault::PreviousFirst, 0, 2});
    T2151::Status status;
    status.byte = 0x77;
    EXPECT_EQ(commands.getStatus(status), 0);
    EXPECT_EQ(status.byte, 0);
    ASSERT_EQ(commands.getInfo(info), 0);
    EXPECT_EQ(info.model, "YR-4");

    // A port closed under the transport has nothing to wait for: a receive ends at once.
    port.close();
    const auto closedAt = Clock::now();
    EXPECT_EQ(transport.receive(1000), nullptr);
    EXPECT_LT(msSince(closedAt), 200.0);
    EXPECT_EQ(commands.getStatus(status), 5);
}

// One receive, on either line, ends within its time-out and a second from its start, however the
// reader trickles its bytes: stray ones while the start byte is hunted, then the frame; and it does
// not end before then while each byte comes within the time-out.
TEST(T2151BadPeer, OneReceiveEndsWithinItsTimeOutAndASecondOnEitherLine)
{
    Log::open("yarus-test", true, false);
    // clang-format off
    struct Case { const char* name; int timeoutMs; Fault trickle; double minMs, maxMs; };
    const Case cases[] = {
        // Each byte well within the time-out; the stray ones take most of the bound.
        {"stray bytes, then the frame", 2000, {Fault::Trickle, 200, 9, Bytes(12, 0x55)}, 2950, 4500},
        // The last byte before the bound leaves most of a time-out to wait: the wait ends at the
        // bound, not when the next byte would come (2700 ms), which is as much as a busy machine may
        // add. Each byte a tenth of the time-out early, which a busy machine's line may spend.
        {"a byte just before the bound", 1000, {Fault::Trickle, 900, 9, Bytes(5, 0x55)}, 1950, 2650},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A reader of its own for each line and case: the trickle goes on after the receive.
        T2151Reader serial(115200);
        SerialPort port;
        ASSERT_TRUE(port.open(serial.devicePath(), 115200, -1, 8, 1, 0));
        T2151::Transport serialTransport(port);
        T2151::Reader yarus(serialTransport);

        emulators::VUrurReader networked;
        ASSERT_EQ(networked.host(), "127.0.0.1");
        TCPClient client;
        client.connect(networked.host(), static_cast<unsigned short>(networked.port()));
        ASSERT_TRUE(networked.waitForAccepted(1, 2000));
        vurur::Transport tcpTransport(client);
        vurur::Reader vurur(tcpTransport, nullptr);

        const std::tuple<const char*, emulators::T2151Peer&, std::function<int()>> rows[] = {
            {"serial line", serial, [&] { return yarus.ping({1}, c.timeoutMs); }},
            {"TCP", networked, [&] { return vurur.ping({1}, c.timeoutMs); }},
        };
        for (const auto& [line, peer, ping] : rows) {
            SCOPED_TRACE(line);
            peer.inject(c.trickle);
            const auto begin = Clock::now();
            EXPECT_EQ(ping(), 5);
            const double took = msSince(begin);
            EXPECT_LE(took, c.maxMs);
            // Only while each byte came within the time-out, which a busy machine's reader thread,
            // woken late, may not have kept to: then the receive rightly ended sooner.
            if (peer.longestTrickleGapMs() < c.timeoutMs - 10) {
                EXPECT_GE(took, c.minMs);
            }
        }
        client.close();
    }
}

}  // namespace
