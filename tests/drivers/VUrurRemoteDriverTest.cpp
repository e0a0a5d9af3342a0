// The networked VUrur driver end to end: the reader facade opening "127.0.0.1:<port>" on one side,
// the emulated reader behind a loopback TCP listener on the other, with card and SAM models; the
// command set against a peer that misbehaves; and firmware through a fake sender and through rz.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "core/TCPClient.h"
#include "drivers/T2151/Framer.h"
#include "drivers/VUrurRemote/Driver.h"
#include "emulators/Hex.h"
#include "emulators/MifareSam.h"
#include "emulators/T2151Reader.h"
#include "emulators/UltralightEV1.h"
#include "emulators/VUrurReader.h"

using emulators::Bytes;
using emulators::fromHex;
using emulators::T2151Device;
using emulators::VUrurReader;
using Fault = emulators::VUrurReader::Fault;

namespace {

using testsupport::msSince;
using testsupport::openDescriptors;

using Clock = std::chrono::steady_clock;

// Every endpoint a test hands out is on this machine's loopback.
std::string loopback(const std::string& host, int port)
{
    EXPECT_TRUE(host.rfind("127.", 0) == 0 || host == "localhost") << host;
    return host + ":" + std::to_string(port);
}

Bytes tagValue(const T2151Device::Request& request, uint8_t tag)
{
    const T2151Device::Tlv* tlv = T2151Device::find(request.tlvs, tag);
    return tlv ? tlv->value : Bytes{0xEE, 0xEE};  // a marker no request carries
}

// A transfer that never touches the connection: it plays its progress and has the emulated reader
// send the given report bytes as they are, as the reader does once a file has arrived (or, with
// reportDelayMs, that long after the transfer).
class FakeSender : public T2151::FileSender
{
public:
    bool succeed = true;
    Bytes report;
    int reportDelayMs = 0;
    VUrurReader* reader = nullptr;
    int timeoutSec = -1;
    std::thread late;

    ~FakeSender() { settle(); }
    void settle()
    {
        if (late.joinable())
            late.join();
    }

    bool send(const std::string&, int timeout, const Events& events) override
    {
        timeoutSec = timeout;
        if (events.started) {
            events.started();
            events.progress(500, 1000, 1, 2);
        }
        if (!succeed)
            return false;
        if (events.finished)
            events.finished();
        if (reportDelayMs > 0) {
            late = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(reportDelayMs));
                reader->sendRaw(report);
            });
        } else if (!report.empty()) {
            reader->sendRaw(report);
        }
        return true;
    }
};

// Opens as the service does, again after a failed open: the open's ping has the reader's own short
// wait, which a loaded machine can hold the emulated reader's answer up past.
template <class Open>
bool opensAsTheServiceDoes(Open open)
{
    for (int attempt = 0; attempt < 3; ++attempt)
        if (open())
            return true;
    return false;
}

class VUrurTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { Log::open("vurur-test", true, false); }

    void SetUp() override { sender->reader = &reader; }

    NFC::Reader::DriverFactories families()
    {
        using Factory = NFC::Reader::DriverFactory;
        return {{Factory::Networked, "VUrurRemote", [this] {
                     driver = std::make_shared<VUrurRemote::Driver>(sender);
                     return driver;
                 }}};
    }

    // A bare command set on its own connection, for result codes the driver folds into false.
    struct Bare
    {
        TCPClient client;
        vurur::Transport transport{client};
        vurur::Reader reader;
        explicit Bare(VUrurReader& peer, std::shared_ptr<T2151::FileSender> sender)
            : reader(transport, std::move(sender))
        {
            loopback(peer.host(), peer.port());
            const size_t accepted = peer.accepted();
            client.connect(peer.host(), static_cast<unsigned short>(peer.port()));
            // The emulator serves the newest connection; its reports must not go to the last one.
            EXPECT_TRUE(peer.waitForAccepted(accepted + 1, testsupport::PeerDeadlineMs));
        }
        ~Bare() { client.close(); }
    };

    std::vector<T2151Device::Request> requests() { return reader.device().requests(); }

    VUrurReader reader;
    std::shared_ptr<VUrurRemote::Driver> driver;
    std::shared_ptr<FakeSender> sender = std::make_shared<FakeSender>();
};

TEST_F(VUrurTest, FacadeOpensTheNetworkedReaderAndCardsAndSamsTravel)
{
    reader.device().setNetworked(std::string("app 2.1\0pad", 11), "sys 7");
    auto ultralight = std::make_shared<emulators::UltralightEV1>();
    ultralight->setPage(4, fromHex("11 22 33 44"));
    reader.device().setCard(ultralight, NFC::Tag::MifareUltralight);
    reader.device().setSam(0, std::make_shared<emulators::MifareSam>());

    NFC::Reader nfc(families());
    ASSERT_TRUE(opensAsTheServiceDoes([&] { return nfc.open(loopback("127.0.0.1", reader.port()), 115200); }))
        << nfc.error().message;
    ASSERT_NE(std::dynamic_pointer_cast<VUrurRemote::Driver>(driver), nullptr);
    EXPECT_EQ(nfc.firmware(), "T2151 2.4.1");
    EXPECT_EQ(nfc.manufacturer(), "Yarus");
    EXPECT_EQ(nfc.model(), "YR-4");
    EXPECT_EQ(nfc.appUpdateResult(), "app 2.1");
    EXPECT_EQ(nfc.sysUpdateResult(), "sys 7");
    EXPECT_EQ(nfc.deviceUID(), "n/a");
    EXPECT_EQ(driver->info().infoValue1, 7);
    EXPECT_EQ(driver->info().infoValue2, 0x0102);

    // Ping, info, then the facade's liveness beep: frequency and on time, nothing else.
    std::vector<int> commands = reader.device().commands();
    ASSERT_EQ(commands, (std::vector<int>{9, 1, 5}));
    const auto beep = requests().back();
    EXPECT_EQ(beep.tlvs.size(), 3u);
    EXPECT_EQ(tagValue(beep, 14), fromHex("0A 28"));
    EXPECT_EQ(tagValue(beep, 15), fromHex("00 46"));
    EXPECT_EQ(tagValue(requests()[0], 21), fromHex("DE AD BE EF"));

    // An Ultralight read goes over TDX3, a SAM APDU over command 54.
    auto tag = std::dynamic_pointer_cast<NFC::Ultralight>(nfc.searchTag(500));
    ASSERT_NE(tag, nullptr);
    Bytes pages;
    ASSERT_EQ(tag->read(4, pages), NFC::Ultralight::Error{});
    EXPECT_EQ(Bytes(pages.begin(), pages.begin() + 4), fromHex("11 22 33 44"));
    EXPECT_EQ(reader.device().commands().back(), 33);
    auto sam = std::dynamic_pointer_cast<NFC::MifareSAM>(nfc.turnOnSam(0));
    ASSERT_NE(sam, nullptr);
    NFC::MifareSAM::Version version;
    ASSERT_EQ(sam->getVersion(version), NFC::MifareSAM::Success);
    EXPECT_EQ(reader.device().commands().back(), 54);

    // Operations with no command behind them send nothing.
    reader.device().clearRequests();
    std::vector<uint8_t> ats;
    uint16_t atqa = 0;
    uint8_t sak = 0;
    EXPECT_FALSE(driver->setTagTypes(1, 1));
    EXPECT_FALSE(driver->ISO14443_getATS(ats));
    EXPECT_FALSE(driver->ISO14443_getATQA(atqa));
    EXPECT_FALSE(driver->ISO14443_getSAK(sak));
    EXPECT_FALSE(driver->ISO14443_getATQB(ats));
    EXPECT_TRUE(reader.device().commands().empty());

    // RF off is its own command; a failing slot query reads as an empty slot.
    EXPECT_TRUE(driver->disableRF());
    EXPECT_FALSE(reader.device().rfOn());
    reader.inject({Fault::Result, 1, 48});
    EXPECT_EQ(driver->ISO7816_slotState(0), 0);
    EXPECT_EQ(driver->ISO7816_slotState(0), 2);
    EXPECT_EQ(reader.device().commands(), (std::vector<int>{18, 48, 48}));

    // The update runs with the reader's window and the update's own 90 s for the sender.
    sender->report = emulators::T2151Reader::frame(fromHex("02 00 01 00 11 00 01 01"));
    bool reboot = false;
    EXPECT_TRUE(driver->updateFirmware("/nonexistent/vurur2-fw-1.bin", reboot, nullptr));
    EXPECT_TRUE(reboot);
    EXPECT_EQ(sender->timeoutSec, 90);
}

TEST_F(VUrurTest, OpenClaimsOnlyAnsweringLoopbackReadersAndLeavesNothingOpen)
{
    // clang-format off
    struct Case { const char* name; std::string host; int port; int pingResult; bool failInfo;
                  bool opened, connects, errorText; };
    const int refused = VUrurReader::refusedPort();
    const Case cases[] = {
        {"localhost",          "localhost", reader.port(), 0, false, true,  true,  false},
        {"ping answered 3",    "127.0.0.1", reader.port(), 3, false, true,  true,  false},
        {"ping answered 1",    "127.0.0.1", reader.port(), 1, false, false, true,  false},
        {"info fails",         "127.0.0.1", reader.port(), 0, true,  false, true,  false},
        {"refused",            "127.0.0.1", refused,       0, false, false, false, true},
        {"device path",        "/dev/ttyS0", 1973,         0, false, false, false, false},
        {"host name",          "reader1",   1973,          0, false, false, false, false},
        {"port past the range", "127.0.0.1", reader.port() + 65536, 0, false, false, false, false},
    };
    // clang-format on
    size_t closes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.device().setPingResult(c.pingResult);
        if (c.failInfo)
            reader.inject({Fault::Result, 4, 1});
        const size_t accepted = reader.accepted();
        VUrurRemote::Driver probe(sender);
        std::string error = "untouched";
        EXPECT_EQ(probe.open(c.host, c.port, &error), c.opened);
        EXPECT_EQ(probe.isOpen(), c.opened);
        EXPECT_EQ(reader.accepted() - accepted, c.connects ? 1u : 0u);
        EXPECT_EQ(error != "untouched" && !error.empty(), c.errorText) << error;
        if (c.connects && !c.opened) {
            // Closed at once by the driver; the emulator sees it on its own thread.
            EXPECT_TRUE(reader.waitForPeerCloses(++closes, testsupport::PeerDeadlineMs));
        }
        if (c.opened) {
            probe.close();
            EXPECT_TRUE(reader.waitForPeerCloses(++closes, testsupport::PeerDeadlineMs));
        }
    }

    // A serial path never reaches the networked family.
    int tries = 0;
    NFC::Reader facade({{NFC::Reader::DriverFactory::Networked, "VUrurRemote", [&] {
                             ++tries;
                             return std::make_shared<VUrurRemote::Driver>();
                         }}});
    EXPECT_FALSE(facade.open("/dev/nonexistent-tty", 115200));
    EXPECT_EQ(tries, 0);

    // Fifty failed opens, refused or turned away after the ping, leave no descriptor behind.
    reader.device().setPingResult(1);
    const size_t descriptors = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        VUrurRemote::Driver probe;
        EXPECT_FALSE(probe.open("127.0.0.1", i % 2 ? refused : reader.port(), nullptr));
    }
    // The emulator shares this process and closes its end of the last connection on its own
    // thread, after it sees ours go: give it that moment before counting.
    testsupport::eventually([&] { return openDescriptors() == descriptors; });
    EXPECT_EQ(openDescriptors(), descriptors);

    // A reader that takes the connection and never answers is given up after the ping's 200 ms.
    reader.setMute(true);
    VUrurRemote::Driver mute;
    const auto begin = Clock::now();
    EXPECT_FALSE(mute.open("127.0.0.1", reader.port(), nullptr));
    EXPECT_GE(msSince(begin), 200.0);
    EXPECT_LE(msSince(begin), 700.0);

    // A listener whose queue is full never completes a connection: the open gives up after 3 s.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const std::shared_ptr<void> closeBoth(nullptr, [&](void*) {
        ::close(queued);
        ::close(listener);
    });
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ::connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address);  // fills the queue
    std::string error;
    const auto connecting = Clock::now();
    EXPECT_FALSE(mute.open("127.0.0.1", ntohs(address.sin_port), &error));
    EXPECT_GE(msSince(connecting), 3000.0);
    EXPECT_LE(msSince(connecting), 3600.0);
    EXPECT_EQ(error, "Connect timeout");
}

TEST_F(VUrurTest, MalformedAndMissingAnswersAreResultCodes)
{
    Bare bare(reader, nullptr);
    reader.device().setSam(0, std::make_shared<emulators::MifareSam>());
    reader.device().setCard(std::make_shared<emulators::UltralightEV1>(), NFC::Tag::MifareUltralight);
    int type = 0;
    Bytes uid, ats;
    ASSERT_EQ(bare.reader.searchTag(200, type, uid, ats), 0);

    const Bytes broken = {0x02, 0x00, 0x01, 0x00, 0x15, 0x00};
    Bytes rx = {0xAA};
    // clang-format off
    struct Case { const char* name; Fault fault; std::function<int()> run; int expected; };
    const Case cases[] = {
        {"TDX4 without tag 21",     {Fault::Replace, 0, 34, fromHex("02 00 01 00")},
                                    [&] { return bare.reader.TDX4({0x30}, rx); }, 2},
        {"checkPresence broken",    {Fault::Replace, 0, 32, broken}, [&] { return bare.reader.checkPresence(); }, 2},
        {"TDX4 broken",             {Fault::Replace, 0, 34, broken}, [&] { return bare.reader.TDX4({0x30}, rx); }, 2},
        {"setCommSettings broken",  {Fault::Replace, 0, 51, broken},
                                    [&] { return bare.reader.setCommSettings(0, {1}); }, 0},
        {"no tag 2",                {Fault::NoResult, 0, 32}, [&] { return bare.reader.checkPresence(); }, 2},
        {"empty payload",           {Fault::Replace, 0, 2, {}},
                                    [&] { vurur::Status s; return bare.reader.getStatus(s); }, 2},
        {"rz for a command",        {Fault::Rz, 0, 32}, [&] { return bare.reader.checkPresence(); }, 5},
        {"reader's own code",       {Fault::Result, 9, 17}, [&] { return bare.reader.enableRF(); }, 9},
        // A search waits twice as long as the reader is told to search.
        {"search answered late",    {Fault::Late, 600, 19},
                                    [&] { return bare.reader.searchTag(500, type, uid, ats); }, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.inject(c.fault);
        EXPECT_EQ(c.run(), c.expected);
    }
    EXPECT_EQ(rx, Bytes{0xAA});  // never written by a failing TDX4

    // getInfo without tag 6: tags 3 to 5 filled, the manufacturer untouched, both texts read.
    reader.device().dropInfoTag(6);
    vurur::Info info;
    info.manufacturer = "untouched";
    EXPECT_EQ(bare.reader.getInfo(info), 2);
    EXPECT_EQ(info.value3, 0x0102);
    EXPECT_EQ(info.firmware, "T2151 2.4.1");
    EXPECT_EQ(info.manufacturer, "untouched");
    EXPECT_EQ(info.model, "");
    EXPECT_EQ(info.appUpdate, "app ok");
    EXPECT_EQ(info.sysUpdate, "sys ok");

    // A late answer is dropped before the next request: three commands, three own answers.
    reader.inject({Fault::Held, 0, 1});
    EXPECT_EQ(bare.reader.getInfo(info), 5);
    reader.release();
    ASSERT_TRUE(reader.waitForReleased(1, testsupport::PeerDeadlineMs));
    vurur::Status status;
    bool present = false;
    Bytes atr;
    EXPECT_EQ(bare.reader.getStatus(status), 0);
    EXPECT_EQ(bare.reader.getSlotStatus(0, present), 0);
    EXPECT_TRUE(present);
    EXPECT_EQ(bare.reader.powerOn(0, atr), 0);
    EXPECT_FALSE(atr.empty());

    // A search is given up at twice the time-out it sends, not before and not much after.
    reader.inject({Fault::Held, 0, 19});
    const auto searched = Clock::now();
    EXPECT_EQ(bare.reader.searchTag(800, type, uid, ats), 5);
    EXPECT_GE(msSince(searched), 1600.0);
    EXPECT_LE(msSince(searched), 2100.0);
    reader.release();
    ASSERT_TRUE(reader.waitForReleased(2, testsupport::PeerDeadlineMs));
    EXPECT_EQ(bare.reader.getStatus(status), 0);

    // No time at all is still a millisecond on the socket, where 0 would mean no limit.
    bare.reader.ping({1}, 0);
    EXPECT_EQ(bare.client.readTimeout(), 1);
}

TEST_F(VUrurTest, APeerThatFailsCostsAboutOneTimeOutAndNeverHangs)
{
    // A command waits its 2 s time-out, and one receive ends within a second more; the upper
    // bounds leave a loaded machine 900 ms beyond that, still short of a second whole time-out.
    // clang-format off
    struct Case { const char* name; Fault fault; double minMs, maxMs; };
    const Case cases[] = {
        {"truncated frame",    {Fault::Truncate, 3, 32},      1900, 3900},
        {"silent peer",        {Fault::Silent, 0, 32},        1900, 3900},
        {"flood",              {Fault::Flood, 70000, 32},     0,    3900},
        {"closed mid-frame",   {Fault::CloseMidFrame, 0, 32}, 0,    1000},
    };
    // clang-format on
    NFC::Reader nfc(families());
    ASSERT_TRUE(opensAsTheServiceDoes([&] { return nfc.open(loopback("127.0.0.1", reader.port()), 0); }));
    // After the peer drops the driver, every command fails at once until it is opened again.
    reader.inject({Fault::CloseMidFrame, 0, 2});
    EXPECT_FALSE(driver->status());
    const auto begin = Clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(driver->ISO14443_checkPresence());
    EXPECT_LT(msSince(begin), 1000.0);
    ASSERT_TRUE(opensAsTheServiceDoes([&] { return driver->open("127.0.0.1", reader.port(), nullptr); }));
    EXPECT_TRUE(driver->status());

    // An answer with no result is a failure, and the driver goes on.
    reader.inject({Fault::NoResult, 0, 32});
    EXPECT_FALSE(driver->ISO14443_checkPresence());
    EXPECT_TRUE(driver->status());

    // Stray bytes waiting before a request: up to 65536 are dropped before it goes out and as
    // many more are skipped by the hunt; past both bounds the command gives up.
    for (const size_t strays : {T2151::Framer::MaxSkipped + 4000, 2 * T2151::Framer::MaxSkipped + 10}) {
        SCOPED_TRACE(strays);
        Bare bare(reader, nullptr);
        const int room = 1 << 20;  // all of them here before the request
        ASSERT_EQ(::setsockopt(bare.client.getNative(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
        reader.sendRaw(Bytes(strays, 0x55));
        ASSERT_TRUE(testsupport::eventually([&] {
            int waiting = 0;
            return ::ioctl(bare.client.getNative(), FIONREAD, &waiting) == 0 &&
                   static_cast<size_t>(waiting) >= strays;
        }));
        vurur::Status status;
        EXPECT_EQ(bare.reader.getStatus(status), strays < 2 * T2151::Framer::MaxSkipped ? 0 : 5);
    }

    // Each case on a connection of its own (the emulator serves one at a time).
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reader.inject(c.fault);
        Bare bare(reader, nullptr);
        const auto begin = Clock::now();
        EXPECT_EQ(bare.reader.checkPresence(), 5);
        EXPECT_GE(msSince(begin), c.minMs);
        EXPECT_LE(msSince(begin), c.maxMs);
    }
}

TEST_F(VUrurTest, FirmwareUpdateStartsWithCommandSevenAndWaitsForTheReport)
{
    // clang-format off
    struct Case { const char* name; bool connected, succeed; Bytes report; int expected; bool reboot;
                  std::vector<int> percents; int reportDelayMs = 0; };
    auto frame = [](const char* hex) { return emulators::T2151Reader::frame(fromHex(hex)); };
    const Case cases[] = {
        {"reboot asked",     true,  true,  frame("02 00 01 00 11 00 01 01"),   0, true,  {0, 50, 100}},
        {"no tag 17",        true,  true,  frame("02 00 01 00"),               0, false, {0, 50, 100}},
        {"tag 17 cut short", true,  true,  frame("02 00 01 00 11 00 01"),      2, false, {0, 50, 100}},
        // The wait for the report is the update's time-out in seconds, 1 s here.
        {"report after 200 ms", true, true, frame("02 00 01 00 11 00 01 01"), 0, true,  {0, 50, 100}, 200},
        {"reader refuses",   true,  true,  frame("02 00 01 04 11 00 01 01"),   4, false, {0, 50, 100}},
        {"rz as the report", true,  true,  {'r', 'z'},                         2, false, {0, 50, 100}},
        {"no report",        true,  true,  {},                                 5, false, {0, 50, 100}},
        {"sender fails",     true,  false, {},                                 6, false, {0, 50}},
        {"send of 7 fails",  false, true,  {},                                 6, false, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bare bare(reader, sender);
        reader.device().clearRequests();
        if (!c.connected)
            bare.client.close();
        sender->succeed = c.succeed;
        sender->report = c.report;
        sender->reportDelayMs = c.reportDelayMs;
        std::vector<int> percents;
        bool reboot = false;
        const auto begin = Clock::now();
        EXPECT_EQ(bare.reader.updateFirmware("/nonexistent/vurur2-fw-1.bin", 1, reboot,
                                             [&](int a, int, int) { percents.push_back(a); }),
                  c.expected);
        if (c.expected == 5) {
            // The report is awaited for the update's time-out, 1 s here.
            EXPECT_GE(msSince(begin), 1000.0);
            EXPECT_LE(msSince(begin), 1600.0);
        }
        sender->settle();
        EXPECT_EQ(reboot, c.reboot);
        EXPECT_EQ(percents, c.percents);
        if (c.connected) {
            ASSERT_TRUE(reader.device().waitForRequests(1, testsupport::PeerDeadlineMs));
            EXPECT_EQ(tagValue(requests()[0], 16), fromHex("00 00 27 10"));
            EXPECT_EQ(tagValue(requests()[0], 17), fromHex("00 01"));
        }
    }
}

TEST_F(VUrurTest, FirmwareFileReachesRzOverTheConnectionByteForByte)
{
    testsupport::TempDir work;
    const Bytes firmware = testsupport::pseudoRandomBytes(40000, 27);
    testsupport::writeFile(work / "vurur2-fw-3.1.bin", firmware);
    ::mkdir((work / "recv").c_str(), 0700);
    reader.handZmodemTo(work / "recv", 0, true);
    VUrurRemote::Driver zmodem;
    ASSERT_TRUE(opensAsTheServiceDoes([&] { return zmodem.open("127.0.0.1", reader.port(), nullptr); }));

    std::vector<int> percents;
    bool reboot = false;
    ASSERT_TRUE(zmodem.updateFirmware(work / "vurur2-fw-3.1.bin", reboot,
                                      [&](int a, int, int) { percents.push_back(a); }));
    EXPECT_TRUE(reader.zmodemRan());
    EXPECT_TRUE(reboot);
    EXPECT_EQ(testsupport::readFile(work / "recv/vurur2-fw-3.1.bin"), firmware);
    ASSERT_GE(percents.size(), 2u);
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(zmodem.status());  // the connection is the reader's again
}

}  // namespace
