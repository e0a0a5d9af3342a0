// The Monet B- and N-protocol codec, commands and TMS download against emulated reader endpoints
// on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "MonetLink.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "core/String.h"

using emulators::MonetUdpReader;
using testsupport::monetKnobs;
using testsupport::MonetLink;
using testsupport::monetScript;
using testsupport::tms;
using namespace MonetReader;

namespace {

using Pairs = MonetUdpReader::Pairs;
using Datagrams = std::vector<MonetUdpReader::Datagram>;
using Progress = std::tuple<int, int, int>;

Pairs pairsOf(const std::vector<BprotocolMsg::FIDandValue>& list)
{
    Pairs out;
    for (const auto& e : list) out.emplace_back(static_cast<char>(e.id), e.value);
    return out;
}

TEST(MonetBprotocolMsg, BodiesEncodeAndParseByTheirSeparators)
{
    auto msg = BprotocolMsg::make();
    msg->pushFID(FidCommand, "45");
    msg->pushsFID(SfidCless, "3");
    EXPECT_EQ(String::toHex(msg->serialize()), "1C5434351C391D6333");

    const std::tuple<const char*, bool, bool, Pairs, Pairs> cases[] = {
        {"", true, true, {}, {}},
        {"1C52303030", true, true, {{'R', "000"}}, {}},
        {"1C52", false, false, {}, {}},
        {"1C521C543830", true, true, {{'R', ""}, {'T', "80"}}, {}},
        {"1C39", false, false, {}, {}},
        {"1C391D75", false, false, {}, {}},
        {"1C391D7541", true, true, {}, {{'u', "A"}}},
        // Once '9' has opened the sub-fields, every element is one, whatever its separator.
        {"1C5431311C391D75411C4A42", true, false, {{'T', "11"}}, {{'u', "A"}, {'J', "B"}}},
        {"1C52303030311C", false, false, {}, {}},
        {"1C5441411C544242", true, true, {{'T', "AA"}, {'T', "BB"}}, {}},
    };
    for (const auto& [hex, valid, canonical, fields, subs] : cases) {
        const std::vector<uint8_t> body = String::fromHex(hex);
        const auto parsed = BprotocolMsg::make(body.data(), body.size());
        EXPECT_EQ(parsed->valid(), valid) << hex;
        EXPECT_EQ(std::tie(fields, subs),
                  std::make_tuple(pairsOf(parsed->fields()), pairsOf(parsed->subFields())));
        EXPECT_EQ(parsed->serialize() == body, canonical) << hex;
    }
    const std::vector<uint8_t> twice = String::fromHex("1C5441411C544242");
    EXPECT_EQ(BprotocolMsg::make(twice.data(), twice.size())->popFID(FidCommand), "AA");
}

TEST(MonetBprotocolTransport, FramesCarryTheHeaderAndFullDatagramsTheTerminalId)
{
    MonetLink link('N');
    const std::vector<uint8_t> empty = link.peer.frameWithBody(1, {});
    link.peer.send({std::vector<uint8_t>(empty.begin(), empty.end() - 1), false});
    EXPECT_EQ(link.transport.receive(500), nullptr);
    EXPECT_EQ(link.terminalId(), "        ");

    auto request = BprotocolMsg::make();
    request->setNprotocol(true);
    ASSERT_TRUE(link.transport.transmit(request));
    link.peer.send({empty, false});
    const auto answer = link.transport.receive(500);
    ASSERT_TRUE(answer && answer->valid() && answer->fields().empty());
    EXPECT_EQ(answer->type(), 1);
    EXPECT_EQ(link.terminalId(), link.peer.terminalId());
    ASSERT_TRUE(link.transport.transmit(BprotocolReader::makeCommand(TapModeStop, Request, false)));
    // A value holding a separator would change the frame's structure: it is not sent at all.
    auto split = BprotocolReader::makeCommand(TapModePoll, Request, false);
    split->pushsFID(SfidTripData,
                    "AB\x1D"
                    "u12");
    EXPECT_FALSE(link.transport.transmit(split));

    ASSERT_TRUE(link.peer.waitForRequests(2, 5000));
    const auto requests = link.peer.requests();
    EXPECT_EQ(requests[0].size, 38u);
    EXPECT_EQ(requests[0].header.substr(0, 12), "N101        ");
    EXPECT_EQ(requests[0].header.substr(12, 12).find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(requests[0].header.substr(24), "00000000A5A5");
    EXPECT_EQ(requests[1].header.substr(0, 12), "B101" + link.peer.terminalId());
    EXPECT_EQ(requests[1].header.substr(24), "00000004A5A5");
}

TEST(MonetBprotocolReader, ResultCodesComeFromTheResultField)
{
    // 'R' (nullptr: none) and the results of getInfo, enableRF and disableRF.
    const std::tuple<const char*, int, int, int> cases[] = {
        {nullptr, 0, 0, 0},     {"000", 0, 0, 0},    {"004", 0, 0, 0},
        {"022", 22, 0, 0},      {"030", 30, 30, 30}, {"X", 200, 200, 200},
        {"0AB", 200, 200, 200}, {"009", 0, 0, 0},    {"010", 10, 10, 10}};
    for (const auto& [result, getInfo, enable, disable] : cases) {
        MonetLink link('B');
        for (uint8_t command : {0x80, 0x85, 0x86})
            link.peer.onCommand(command, [&link, r = result, command](const MonetUdpReader::Request&) {
                Pairs fields{{'T', String::toHex(&command, 1)}};
                if (r)
                    fields.emplace_back('R', r);
                return Datagrams{link.answer(1, fields)};
            });
        Info info;
        EXPECT_EQ(link.reader->getInfo(info), getInfo) << result;
        EXPECT_EQ(link.reader->enableRF(), enable) << result;
        EXPECT_EQ(link.reader->tapMode(), enable == 0);
        EXPECT_EQ(link.reader->disableRF(), disable) << result;
        EXPECT_FALSE(link.reader->tapMode());
    }
}

TEST(MonetBprotocolReader, IdentityResendsOnceUnlessItsCodeIsEchoed)
{
    const Pairs good{{'T', "80"}, {'R', "000"}, {'g', "MON-4.4.1"}};
    const std::pair<Pairs, size_t> cases[] = {
        {good, 1}, {{{'T', "86"}, {'R', "000"}}, 2}, {{{'R', "000"}}, 2}, {{}, 2}};
    for (const auto& c : cases) {
        MonetLink link('B', nullptr, 0, c.first.empty() ? MonetLink::SilenceMs : testsupport::PeerDeadlineMs);
        int calls = 0;
        link.peer.onCommand(0x80, [&](const MonetUdpReader::Request&) {
            const Pairs& fields = calls++ > 0 ? good : c.first;
            return fields.empty() ? Datagrams{} : Datagrams{link.answer(1, fields)};
        });
        Info info;
        EXPECT_EQ(link.reader->getInfo(info), 0);
        EXPECT_EQ(link.peer.requests().size(), c.second);
        EXPECT_EQ(std::tie(info.version, info.terminalId, info.product, info.vendor),
                  std::make_tuple("MON-4.4.1", link.peer.terminalId(), "Monet", "Terminal Technologies"));
    }

    MonetLink n('N');
    std::string version;
    EXPECT_EQ(n.reader->setTerminalDateTime(), 0);
    EXPECT_EQ(n.reader->getMaintenanceAppVersion(version), 0);
    EXPECT_EQ(version, "MON-4.4.1");
    for (const auto& request : n.peer.requests()) EXPECT_EQ(request.letter, 'N');
}

TEST(MonetBprotocolReader, TapModeStartResendsOnlyAfterNoAnswerAndStopAlwaysClearsTheFlag)
{
    MonetLink link('B', nullptr, 0, MonetLink::SilenceMs);
    link.peer.setKnobs(monetKnobs(true));
    EXPECT_EQ(link.reader->enableRF(), 202);
    EXPECT_EQ(link.peer.requests().size(), 2u);
    link.peer.setKnobs(monetKnobs(false));
    link.peer.setScript(monetScript([](auto& s) { s.tapStartResult = "012"; }));
    EXPECT_EQ(link.reader->enableRF(), 12);
    EXPECT_EQ(link.peer.requests().size(), 3u);
    link.peer.setScript({});
    EXPECT_EQ(link.reader->enableRF(), 0);
    EXPECT_EQ(link.reader->enableRF(), 0);
    EXPECT_EQ(link.peer.requests().size(), 4u);
    link.peer.setKnobs(monetKnobs(true));
    EXPECT_EQ(link.reader->disableRF(), 202);
    EXPECT_FALSE(link.reader->tapMode());
}

TEST(MonetBprotocolReader, AntennaSwitchFollowsIntermediateAnswersForFifteenSeconds)
{
    // Type-0 answers before the last, the last one's 'R', clock step per reading, silence, result.
    const std::tuple<int, const char*, int64_t, bool, int> cases[] = {
        {3, "000", 0, false, 0},     {2, "030", 0, false, 0},       {40, "000", 1000, false, 202},
        {14, "000", 1000, false, 0}, {15, "000", 1000, false, 202}, {0, "017", 0, false, 17},
        {0, "000", 0, true, 202}};
    for (const auto& [intermediates, last, clockStep, silent, result] : cases) {
        MonetLink link('B', nullptr, clockStep, silent ? MonetLink::SilenceMs : testsupport::PeerDeadlineMs);
        link.peer.setScript(monetScript([&, n = intermediates, r = last](auto& s) {
            s.termClessIntermediates = n;
            s.termClessResult = r;
        }));
        link.peer.setKnobs(monetKnobs(silent));
        EXPECT_EQ(link.reader->switchAntenna(), result) << intermediates << last;
        ASSERT_EQ(link.peer.requests().size(), 1u);
        EXPECT_EQ(link.peer.requests()[0].subFields, (Pairs{{'c', "3"}}));
    }
}

size_t base64Length(const std::string& text)
{
    return (BprotocolReader::gzipCompress(text).size() + 2) / 3 * 4;
}

// Pseudo-random digits compress poorly, so the encoded length grows steadily with the text.
std::string tripDataOfBase64Length(size_t wanted)
{
    std::string text;
    for (uint32_t state = 12345; base64Length(text) < wanted; state = state * 1103515245u + 12345u)
        text.push_back(static_cast<char>('0' + (state >> 16) % 10));
    return text;
}

TEST(MonetBprotocolReader, TripDataTravelsCompressedAndTheCardDataComesBack)
{
    const std::string journey = R"({"tripData":[{"fare":240,"zone":"A"},{"fare":120,"zone":"B"}]})";
    const std::string fits = tripDataOfBase64Length(256);
    ASSERT_EQ(base64Length(fits), 256u);
    const std::tuple<std::string, bool, int> cases[] = {{journey, false, 0},
                                                        {fits, false, 0},
                                                        {tripDataOfBase64Length(257), false, 206},
                                                        {"", false, 207},
                                                        {journey, true, 200}};
    for (const auto& [tripData, compressionFails, result] : cases) {
        MonetLink link('B');
        if (compressionFails)
            link.reader->setCompressor(
                [](const std::string&) -> std::vector<uint8_t> { throw std::bad_alloc(); });
        std::vector<std::string> cardData{"kept"};
        EXPECT_EQ(link.reader->completeEMVtransaction(tripData, cardData), result) << tripData;
        EXPECT_EQ(cardData,
                  (std::vector<std::string>{"kept", "04A1B2C3", "TOKEN-5F2A", "VISA", "4111********1111"}));
        ASSERT_EQ(link.peer.requests().size(), 1u);
        EXPECT_EQ(link.peer.requests()[0].subFields.size(), result == 0 ? 1u : 0u);
        EXPECT_EQ(link.peer.tripData(),
                  result == 0 ? std::vector<std::string>{tripData} : std::vector<std::string>{});
    }
}

TEST(MonetTmsDownload, ProgressFollowsTheIntermediateAnswersAndTheLastOneCloses)
{
    MonetLink link('N');
    link.peer.setScript(monetScript([](auto& s) {
        s.callParams.assign(100, tms(0, "000"));
        s.callParams.push_back(tms(1, "000"));
    }));
    EXPECT_EQ(link.download(), 0);
    ASSERT_EQ(link.progress.size(), 103u);
    const std::pair<size_t, Progress> expected[] = {
        {0, {0, 0, 0}},    {1, {1, 1, 49}},   {2, {2, 1, 48}},    {50, {50, 0, 59}}, {51, {51, 0, 58}},
        {94, {94, 0, 15}}, {95, {95, 0, 15}}, {101, {95, 0, 15}}, {102, {100, 0, 0}}};
    for (const auto& e : expected) EXPECT_EQ(link.progress[e.first], e.second) << "call " << e.first;

    ASSERT_TRUE(link.peer.waitForRequests(2, 5000));
    const auto requests = link.peer.requests();
    EXPECT_EQ(std::tie(requests[0].type, requests[0].fields),
              std::make_tuple(1, Pairs{{'T', "90"}, {'V', "1"}}));
    EXPECT_EQ(std::tie(requests[1].type, requests[1].fields), std::make_tuple(0, Pairs{{'T', "90"}}));

    // The download ends with the answer to the first step begun more than 300 s in.
    for (const auto& [step, answers] : {std::pair<int64_t, size_t>{100333, 4}, {100334, 3}}) {
        MonetLink slow('N', nullptr, step);
        slow.peer.setScript(monetScript([](auto& s) { s.callParams.assign(10, tms(0, "000")); }));
        EXPECT_EQ(slow.download(static_cast<int>(Monet::Timing{}.tmsTimeoutS)), 0);
        EXPECT_EQ(slow.progress.size(), answers + 2) << step;
    }
}

TEST(MonetTmsDownload, RebootNoticeWaitsOnceAndSilenceOrErrorsEndWithoutClosing)
{
    const std::tuple<std::vector<MonetUdpReader::Answer>, int, size_t> cases[] = {
        {{tms(0, "099", "Will reboot"), tms(0, "099", "Will reboot"), tms(1, "000")}, 0, 6},
        {{tms(0, "099", "Updating"), tms(1, "000")}, 0, 0},
        {{tms(0, "000")}, 202, 0},
        {{tms(0, "000"), tms(0, "012")}, 12, 0},
    };
    for (const auto& [answers, result, sleeps] : cases) {
        MonetLink link('N', nullptr, 0, result == 202 ? MonetLink::SilenceMs : testsupport::PeerDeadlineMs);
        link.peer.setScript(monetScript([&, a = answers](auto& s) { s.callParams = a; }));
        EXPECT_EQ(link.download(), result);
        EXPECT_EQ(link.clock->sleeps(), std::vector<int64_t>(sleeps, 10000));
        EXPECT_EQ(link.peer.waitForRequests(2, result == 0 ? 5000 : 100), result == 0);
        if (sleeps == 0)
            continue;
        // The reboot minute counts its seconds down from 50, the percentage up by 10 to 95.
        EXPECT_EQ(std::vector<Progress>(link.progress.begin() + 2, link.progress.begin() + 8),
                  (std::vector<Progress>{
                      {50, 0, 50}, {60, 0, 40}, {70, 0, 30}, {80, 0, 20}, {90, 0, 10}, {95, 0, 0}}));
        EXPECT_TRUE(link.rebootNotified);
    }
}

TEST(MonetTmsDownload, MightRebootLeavesAnEmptyMarkerInTheFirmwareDirectory)
{
    const testsupport::TempDir work;
    const std::string dir = work.path();
    const std::string marker = dir + "/MonetFW.mfh";
    // An empty path is the working directory, made the temporary one here, and never the root.
    const std::pair<nlohmann::json, int> cases[] = {
        {dir, 902},
        {dir + "/", 902},
        {"", 902},
        {7, 200},
        {dir + "/absent", 0},
        {"absent\n" + std::string(300, 'V'), 0}};  // the path shown escaped, forging no line
    const int here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_TRUE(here >= 0 && ::chdir(dir.c_str()) == 0);
    Log::open("tapgate-test", true, false);
    for (const auto& c : cases) {
        std::ofstream(marker) << "old marker";
        MonetLink link('N', {{"rfid", {{"firmwarePath", c.first}}}});
        link.peer.setScript(monetScript([](auto& s) {
            s.callParams = {tms(0, "000"), tms(0, "099", "Might reboot"), tms(1, "000")};
        }));
        testsupport::StderrCapture lines;
        EXPECT_EQ(link.download(), c.second) << c.first;
        EXPECT_EQ(lines.text().find("\nV"), std::string::npos) << lines.text();
        EXPECT_TRUE(link.firmwareNotified);
        EXPECT_EQ(std::ifstream(marker, std::ios::ate).tellg() == 0, c.second == 902) << c.first;
        // The flag outlives the call, so the caller's next attempt downloads to the end.
        EXPECT_EQ(link.download(), 0) << c.first;
    }
    EXPECT_EQ(::fchdir(here), 0);
    ::close(here);
}

TEST(MonetBprotocolBadPeer, StrayOddAndMalformedDatagramsNeverPassForAnAnswer)
{
    MonetLink probe('B');
    // Sent ahead of each answer, from 127.0.0.2, the result, whether the terminal id is learnt.
    const std::tuple<std::vector<uint8_t>, bool, int, bool> cases[] = {
        {probe.peer.frame({1, {{'T', "86"}, {'R', "099"}}, {}}), true, 0, true},
        {{}, false, 202, false},
        {{0x02}, false, 202, false},
        {std::vector<uint8_t>(37, 'B'), false, 202, false},
        {probe.peer.frameWithBody(1, std::vector<uint8_t>(4097 - 38, 'x')), false, 201, false},
        {probe.peer.frameWithBody(1, std::vector<uint8_t>(4096 - 38, 'x')), false, 0, true},
        {probe.peer.frameWithBody(1, String::fromHex("1C52")), false, 201, true},
    };
    for (const auto& [before, fromOtherAddress, result, learnsId] : cases) {
        MonetLink link('B');
        MonetUdpReader::Knobs knobs;
        knobs.before.push_back({before, fromOtherAddress});
        link.peer.setKnobs(knobs);
        // One exchange without a re-send, so the first datagram decides.
        EXPECT_EQ(link.reader->disableRF(), result) << before.size();
        EXPECT_EQ(link.terminalId(), learnsId ? link.peer.terminalId() : "        ") << before.size();
    }
}

TEST(MonetBprotocolBadPeer, LateDuplicateStaleAndFloodedAnswersAreDrainedBeforeTheNextRequest)
{
    Info info;
    std::vector<std::string> cardData;
    MonetLink late('B', nullptr, 0, MonetLink::SilenceMs);
    late.peer.setKnobs(monetKnobs(false, 800));
    EXPECT_EQ(late.reader->completeEMVtransaction("trip", cardData), 202);
    ASSERT_TRUE(late.peer.waitForAnswered(1, 5000));
    late.peer.setKnobs(monetKnobs(false));
    late.peer.setScript(monetScript([](auto& s) { s.tapStopResult = "012"; }));
    EXPECT_EQ(late.reader->disableRF(), 12);

    MonetLink twice('B');
    twice.peer.setKnobs(monetKnobs(false, 0, false, true));
    twice.peer.setScript(monetScript([](auto& s) { s.tapStopResult = "012"; }));
    EXPECT_EQ(twice.reader->getInfo(info), 0);
    ASSERT_TRUE(twice.peer.waitForAnswered(1, 5000));
    EXPECT_EQ(twice.reader->disableRF(), 12);

    // The previous answer first: its 'T' is not GetAppInfo's, which earns the one re-send.
    MonetLink stale('B');
    EXPECT_EQ(stale.reader->disableRF(), 0);
    stale.peer.setKnobs(monetKnobs(false, 0, true));
    EXPECT_EQ(stale.reader->getInfo(info), 0);
    // The answer taken may be the first request's own, come in after the re-send left: the peer
    // then has the re-send in hand but need not have read it yet.
    ASSERT_TRUE(stale.peer.waitForAnswered(3, 5000));
    EXPECT_EQ(stale.peer.requests().size(), 3u);

    MonetLink flood('B');
    for (int i = 0; i < 1000; ++i) flood.peer.send(flood.answer(1, {{'T', "80"}, {'R', "055"}}));
    EXPECT_EQ(flood.reader->getInfo(info), 0);

    // Another host sending without pause while the reader says nothing: the wait ends at its
    // time-out all the same. The flood keeps half the socket's buffer queued, so the receive never
    // finds it empty: only its own end can stop it.
    const std::vector<uint8_t> stray = flood.peer.frame({1, {{'T', "80"}, {'R', "000"}}, {}});
    const int fd = flood.server.getNative();
    ASSERT_FALSE(testsupport::receiveQueueHalfFull(fd));
    // Topped up for a while on each call, in a buffer as large as the system allows: the reader
    // empties the usual one in less than a busy machine's turn between two calls.
    const int buffer = 4 << 20;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const auto strays = [&] {
        for (const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
             std::chrono::steady_clock::now() < until;)
            if (!testsupport::receiveQueueHalfFull(fd))
                flood.peer.send({stray, true}, 8);
    };
    const int waitMs = 1000;
    const double took =
        testsupport::msUnderFlood([&] { EXPECT_FALSE(flood.transport.receive(waitMs)); }, strays);
    // -1: still waiting when the flood gave up, seconds later. The end is counted in whole
    // milliseconds; above it, a busy machine's turn, far less than a second wait would add.
    EXPECT_GE(took, waitMs - 1.0);
    EXPECT_LT(took, waitMs * 1.5);
}

}  // namespace
