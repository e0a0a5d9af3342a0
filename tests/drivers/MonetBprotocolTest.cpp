// The Monet B- and N-protocol message codec, commands and TMS download against emulated reader
// endpoints on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ManualClock.h"
#include "core/String.h"
#include "core/UDPClient.h"
#include "core/UDPServer.h"
#include "drivers/Monet/BprotocolReader.h"
#include "drivers/Monet/Endpoints.h"
#include "emulators/MonetUdpReader.h"

using emulators::MonetUdpReader;
using namespace MonetReader;

namespace {

using Pairs = MonetUdpReader::Pairs;
using Datagram = MonetUdpReader::Datagram;

bool isLoopback(const std::string& address)
{
    in_addr a{};
    return address == "localhost" || (inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

Pairs pairsOf(const std::vector<BprotocolMsg::FIDandValue>& list)
{
    Pairs out;
    for (const auto& e : list)
        out.emplace_back(static_cast<char>(e.id), e.value);
    return out;
}

// One reader endpoint (B or N) and the program's transport and reader talking to it.
struct Link
{
    explicit Link(char letter, nlohmann::json configuration = nullptr, int64_t clockStep = 0)
        : peer(letter), clock(std::make_shared<testsupport::ManualClock>(clockStep))
    {
        endpoints.host = "127.0.0.1";
        endpoints.bindAddress = "127.0.0.1";
        endpoints.bPort = endpoints.nPort = peer.port();
        endpoints.bListenPort = endpoints.nListenPort = 0;
        for (const std::string& address : {endpoints.host, endpoints.bindAddress})
            EXPECT_TRUE(isLoopback(address)) << address;
        EXPECT_TRUE(server.listen(endpoints.bListenPort, endpoints.bindAddress));
        EXPECT_TRUE(client.connect(endpoints.host, endpoints.bPort));
        EXPECT_TRUE(isLoopback(client.address()));
        peer.replyTo(server.port());
        timing.requestMs = timing.antennaReceiveMs = timing.tmsReceiveMs = 500;
        reader = std::make_unique<BprotocolReader>(transport, timing, clock, [configuration] { return configuration; });
    }

    int poll(const std::string& tripData, std::vector<std::string>& cardData)
    {
        return reader->completeEMVtransaction(tripData, cardData);
    }

    std::string terminalId()
    {
        std::string id;
        transport.getTerminalId(id);
        return id;
    }

    MonetUdpReader peer;
    std::shared_ptr<testsupport::ManualClock> clock;
    Monet::Endpoints endpoints;
    Monet::Timing timing;
    UDPServer server;
    UDPClient client;
    BprotocolTransport transport{client, server};
    std::unique_ptr<BprotocolReader> reader;
};

MonetUdpReader::Knobs knobs(bool silent, int lateMs = 0, bool previousFirst = false, bool duplicate = false)
{
    MonetUdpReader::Knobs k;
    k.silent = silent;
    k.lateMs = lateMs;
    k.previousFirst = previousFirst;
    k.duplicate = duplicate;
    return k;
}

template <typename Edit>
MonetUdpReader::Script script(Edit edit)
{
    MonetUdpReader::Script s;
    edit(s);
    return s;
}

Datagram answer(const Link& link, int type, Pairs fields, Pairs subs = {})
{
    return {link.peer.frame({type, std::move(fields), std::move(subs)}), false};
}

// ---------------------------------------------------------------------------------------------

TEST(MonetBprotocolMsg, BodyEncodingAndParsingFollowTheSeparators)
{
    auto msg = BprotocolMsg::make();
    msg->pushFID(FidCommand, "45");
    msg->pushsFID(SfidCless, "3");
    EXPECT_EQ(String::toHex(msg->serialize()), "1C5434351C391D6333");
    EXPECT_TRUE(BprotocolMsg::make()->serialize().empty());

    struct Case
    {
        const char* body;
        bool valid;
        Pairs fields;
        Pairs subs;
    };
    const Case cases[] = {
        {"", true, {}, {}},
        {"1C52303030", true, {{'R', "000"}}, {}},
        {"1C52", false, {}, {}},
        {"1C521C543830", true, {{'R', ""}, {'T', "80"}}, {}},
        {"1C39", false, {}, {}},
        {"1C391D75", false, {}, {}},
        {"1C391D7541", true, {}, {{'u', "A"}}},
        // After '9' every element is a sub-field, whatever its separator.
        {"1C5431311C391D75411C4A42", true, {{'T', "11"}}, {{'u', "A"}, {'J', "B"}}},
        {"1C52303030311C", false, {}, {}},
        {"1C5441411C544242", true, {{'T', "AA"}, {'T', "BB"}}, {}},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> body = String::fromHex(c.body);
        const auto parsed = BprotocolMsg::make(body.data(), body.size());
        EXPECT_EQ(parsed->valid(), c.valid) << c.body;
        if (!c.valid)
            continue;
        EXPECT_EQ(pairsOf(parsed->fields()), c.fields) << c.body;
        EXPECT_EQ(pairsOf(parsed->subFields()), c.subs) << c.body;
        if (!c.fields.empty()) {
            EXPECT_EQ(parsed->popFID(static_cast<FID>(c.fields[0].first)), c.fields[0].second);
        }
        // The program writes its own separators, so only a body written that way comes back the same.
        if (std::string(c.body).find("1C4A") == std::string::npos) {
            EXPECT_EQ(parsed->serialize(), body) << "round trip of " << c.body;
        }
    }
}

TEST(MonetBprotocolTransport, FramesCarryTheHeaderAndLearnTheTerminalIdFromFullDatagrams)
{
    Link link('B');
    // 37 bytes are no frame: nothing comes of them and the id stays blank; 38 are an empty message.
    std::vector<uint8_t> full = link.peer.frameWithBody(1, {});
    ASSERT_EQ(full.size(), 38u);
    link.peer.send({std::vector<uint8_t>(full.begin(), full.end() - 1), false});
    EXPECT_EQ(link.transport.receive(500), nullptr);
    EXPECT_EQ(link.terminalId(), "        ");
    link.peer.send({full, false});
    auto empty = link.transport.receive(500);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->valid());
    EXPECT_TRUE(empty->fields().empty());
    EXPECT_EQ(empty->type(), 1);
    EXPECT_EQ(link.terminalId(), link.peer.terminalId());

    Link fresh('N');
    auto request = BprotocolMsg::make();
    request->setNprotocol(true);
    ASSERT_TRUE(fresh.transport.transmit(request));
    ASSERT_TRUE(fresh.transport.transmit(BprotocolReader::makeCommand(TapModeStop, Request, false)));
    ASSERT_TRUE(fresh.peer.waitForRequests(2, 1000));
    const auto requests = fresh.peer.requests();
    EXPECT_EQ(requests[0].size, 38u);
    const std::string& h = requests[0].header;
    EXPECT_EQ(h.substr(0, 4), "N101");
    EXPECT_EQ(h.substr(4, 8), "        ");
    EXPECT_EQ(h.substr(12, 12).find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(h.substr(24), "00000000A5A5");
    EXPECT_EQ(requests[1].header.substr(0, 4), "B101");
    EXPECT_EQ(requests[1].header.substr(28, 4), "0004");
}

TEST(MonetBprotocolReader, ResultCodesComeFromTheReadersResultField)
{
    struct Case
    {
        const char* result;  // nullptr: no 'R'
        int getInfo, enable, disable;
    };
    const Case cases[] = {
        {nullptr, 0, 0, 0}, {"000", 0, 0, 0},   {"004", 0, 0, 0},     {"022", 22, 0, 0},
        {"030", 30, 30, 30}, {"X", 200, 200, 200}, {"0AB", 200, 200, 200},
    };
    for (const Case& c : cases) {
        Link link('B');
        for (uint8_t command : {0x80, 0x85, 0x86})
            link.peer.onCommand(command, [&link, &c, command](const MonetUdpReader::Request&) {
                Pairs fields{{'T', String::toHex(&command, 1)}};
                if (c.result)
                    fields.emplace_back('R', c.result);
                return std::vector<Datagram>{answer(link, 1, fields)};
            });
        Info info;
        EXPECT_EQ(link.reader->getInfo(info), c.getInfo) << c.result;
        EXPECT_EQ(link.reader->enableRF(), c.enable) << c.result;
        EXPECT_EQ(link.reader->tapMode(), c.enable == 0);
        EXPECT_EQ(link.reader->disableRF(), c.disable) << c.result;
        EXPECT_FALSE(link.reader->tapMode());
    }
}

TEST(MonetBprotocolReader, IdentityAndResendRules)
{
    struct Case
    {
        const char* name;
        Pairs firstAnswer;  // empty: silence
        int result;
        size_t requests;
    };
    const Case cases[] = {
        {"echoed", {{'T', "80"}, {'R', "000"}, {'g', "MON-4.4.1"}}, 0, 1},
        {"wrong T", {{'T', "86"}, {'R', "000"}}, 0, 2},
        {"no T", {{'R', "000"}}, 0, 2},
        {"silence", {}, 0, 2},
    };
    for (const Case& c : cases) {
        Link link('B');
        int calls = 0;
        link.peer.onCommand(0x80, [&](const MonetUdpReader::Request&) {
            if (calls++ > 0)
                return std::vector<Datagram>{answer(link, 1, {{'T', "80"}, {'R', "000"}, {'g', "MON-4.4.1"}})};
            return c.firstAnswer.empty() ? std::vector<Datagram>{} : std::vector<Datagram>{answer(link, 1, c.firstAnswer)};
        });
        Info info;
        EXPECT_EQ(link.reader->getInfo(info), c.result) << c.name;
        EXPECT_EQ(link.peer.requests().size(), c.requests) << c.name;
        EXPECT_EQ(info.version, "MON-4.4.1") << c.name;
        EXPECT_EQ(info.terminalId, link.peer.terminalId()) << c.name;
        EXPECT_EQ(info.product, "Monet");
        EXPECT_EQ(info.vendor, "Terminal Technologies");
    }

    // Tap mode: a 202 earns one re-send, any other failure none; once on, enabling sends nothing.
    Link link('B');
    link.peer.setKnobs(knobs(true));
    EXPECT_EQ(link.reader->enableRF(), 202);
    EXPECT_EQ(link.peer.requests().size(), 2u);
    link.peer.setKnobs(knobs(false));
    link.peer.setScript(script([](auto& s) { s.tapStartResult = "012"; }));
    EXPECT_EQ(link.reader->enableRF(), 12);
    EXPECT_EQ(link.peer.requests().size(), 3u);
    link.peer.setScript({});
    EXPECT_EQ(link.reader->enableRF(), 0);
    EXPECT_EQ(link.reader->enableRF(), 0);
    EXPECT_EQ(link.peer.requests().size(), 4u);
    link.peer.setKnobs(knobs(true));
    EXPECT_EQ(link.reader->disableRF(), 202);
    EXPECT_FALSE(link.reader->tapMode());

    // The N-protocol clock and maintenance version go out with the 'N' letter.
    Link n('N');
    std::string version = "unchanged";
    EXPECT_EQ(n.reader->setTerminalDateTime(), 0);
    EXPECT_EQ(n.reader->getMaintenanceAppVersion(version), 0);
    EXPECT_EQ(version, "MON-4.4.1");
    for (const auto& request : n.peer.requests())
        EXPECT_EQ(request.letter, 'N');
}

TEST(MonetBprotocolReader, AntennaSwitchFollowsIntermediateAnswersWithinFifteenSeconds)
{
    struct Case
    {
        const char* name;
        int intermediates;
        const char* last;
        int64_t clockStep;
        bool silent;
        int result;
    };
    const Case cases[] = {
        {"type-0 then last", 3, "000", 0, false, 0},  {"already switched", 2, "030", 0, false, 0},
        {"16 s of type-0", 40, "000", 1000, false, 202}, {"reader error", 0, "017", 0, false, 17},
        {"silence", 0, "000", 0, true, 202},
    };
    for (const Case& c : cases) {
        Link link('B', nullptr, c.clockStep);
        link.peer.setScript(script([&](auto& s) {
            s.termClessIntermediates = c.intermediates;
            s.termClessResult = c.last;
        }));
        link.peer.setKnobs(knobs(c.silent));
        EXPECT_EQ(link.reader->switchAntenna(), c.result) << c.name;
        ASSERT_EQ(link.peer.requests().size(), 1u);
        EXPECT_EQ(link.peer.requests()[0].subFields, (Pairs{{'c', "3"}}));
    }
}

size_t base64Length(const std::string& text)
{
    return (BprotocolReader::gzipCompress(text).size() + 2) / 3 * 4;
}

std::string tripDataOfBase64Length(size_t wanted)
{
    // Pseudo-random digits compress poorly, so the encoded length grows with the text.
    std::string text;
    uint32_t state = 12345;
    while (base64Length(text) < wanted) {
        state = state * 1103515245u + 12345u;
        text.push_back(static_cast<char>('0' + (state >> 16) % 10));
    }
    return text;
}

TEST(MonetBprotocolReader, TripDataTravelsCompressedAndTheCardDataComesBack)
{
    const std::string journey = R"({"tripData":[{"fare":240,"zone":"A"},{"fare":120,"zone":"B"}]})";
    const std::string fits = tripDataOfBase64Length(256);
    const std::string tooBig = tripDataOfBase64Length(257);
    ASSERT_EQ(base64Length(fits), 256u);
    struct Case
    {
        const char* name;
        std::string tripData;
        bool compressionFails;
        int result;
        bool sendsF;
    };
    const Case cases[] = {
        {"journey", journey, false, 0, true},   {"256 characters", fits, false, 0, true},
        {"over 256", tooBig, false, 206, false}, {"empty", "", false, 207, false},
        {"compression fails", journey, true, 200, false},
    };
    const std::vector<std::string> card{"04A1B2C3", "TOKEN-5F2A", "VISA", "4111********1111"};
    for (const Case& c : cases) {
        Link link('B');
        if (c.compressionFails)
            link.reader->setCompressor([](const std::string&) -> std::vector<uint8_t> { throw std::runtime_error("no memory"); });
        std::vector<std::string> cardData{"kept"};
        EXPECT_EQ(link.poll(c.tripData, cardData), c.result) << c.name;
        cardData.erase(cardData.begin());
        EXPECT_EQ(cardData, card) << c.name;
        ASSERT_EQ(link.peer.requests().size(), 1u) << c.name;
        EXPECT_EQ(!link.peer.requests()[0].subFields.empty(), c.sendsF) << c.name;
        if (c.sendsF) {
            EXPECT_EQ(link.peer.tripData(), std::vector<std::string>{c.tripData}) << c.name;
        }
    }
}

// ---------------------------------------------------------------------------------------------

struct Download
{
    explicit Download(Link& link, int timeoutS = 300) : link(link), timeoutS(timeoutS) {}

    int run()
    {
        return link.reader->updateParamsFirmware(
            rebootNotified, timeoutS, [this](int p, int m, int s) { progress.emplace_back(p, m, s); },
            firmwareNotified);
    }

    Link& link;
    int timeoutS;
    bool rebootNotified = false;
    bool firmwareNotified = false;
    std::vector<std::tuple<int, int, int>> progress;
};

MonetUdpReader::Answer tms(int type, const char* result, const char* text = nullptr)
{
    MonetUdpReader::Answer a{type, {{'R', result}}, {}};
    if (text)
        a.fields.emplace_back('g', text);
    return a;
}

TEST(MonetTmsDownload, ProgressFollowsTheIntermediateAnswersAndTheLastOneCloses)
{
    Link link('N');
    MonetUdpReader::Script script;
    script.callParams.assign(100, tms(0, "000"));
    script.callParams.push_back(tms(1, "000"));
    link.peer.setScript(script);
    Download download(link);
    EXPECT_EQ(download.run(), 0);

    using P = std::tuple<int, int, int>;
    const std::vector<P>& p = download.progress;
    ASSERT_EQ(p.size(), 103u);
    const std::pair<size_t, P> expected[] = {
        {0, {0, 0, 0}},     {1, {1, 1, 49}},  {2, {2, 1, 48}},   {50, {50, 0, 59}},  {51, {51, 0, 58}},
        {94, {94, 0, 15}},  {95, {95, 0, 15}}, {101, {95, 0, 15}}, {102, {100, 0, 0}},
    };
    for (const auto& e : expected)
        EXPECT_EQ(p[e.first], e.second) << "call " << e.first;

    ASSERT_TRUE(link.peer.waitForRequests(2, 1000));
    const auto requests = link.peer.requests();
    EXPECT_EQ(requests[0].type, 1);
    EXPECT_EQ(requests[0].fields, (Pairs{{'T', "90"}, {'V', "1"}}));
    EXPECT_EQ(requests[1].type, 0);
    EXPECT_EQ(requests[1].fields, (Pairs{{'T', "90"}}));
}

TEST(MonetTmsDownload, NotificationsSilenceAndErrors)
{
    struct Case
    {
        const char* name;
        std::vector<MonetUdpReader::Answer> answers;
        int result;
        size_t sleeps;
        bool closes;
    };
    const Case cases[] = {
        {"will reboot twice", {tms(0, "099", "Will reboot"), tms(0, "099", "Will reboot"), tms(1, "000")}, 0, 6, true},
        {"other notification", {tms(0, "099", "Updating"), tms(1, "000")}, 0, 0, true},
        {"silence", {tms(0, "000")}, 202, 0, false},
        {"reader error", {tms(0, "000"), tms(0, "012")}, 12, 0, false},
    };
    for (const Case& c : cases) {
        Link link('N');
        link.peer.setScript(script([&](auto& s) { s.callParams = c.answers; }));
        Download download(link);
        EXPECT_EQ(download.run(), c.result) << c.name;
        EXPECT_EQ(link.clock->sleeps(), std::vector<int64_t>(c.sleeps, 10000)) << c.name;
        EXPECT_FALSE(link.peer.waitForRequests(2, c.closes ? 1000 : 100) ^ c.closes) << c.name;
        if (c.sleeps) {
            // The reboot minute counts its seconds down from 50, raising the percentage by 10.
            const std::vector<std::tuple<int, int, int>> wait(download.progress.begin() + 2,
                                                              download.progress.begin() + 8);
            EXPECT_EQ(wait, (std::vector<std::tuple<int, int, int>>{
                                {50, 0, 50}, {60, 0, 40}, {70, 0, 30}, {80, 0, 20}, {90, 0, 10}, {95, 0, 0}}));
            EXPECT_TRUE(download.rebootNotified);
        }
    }
}

TEST(MonetTmsDownload, MightRebootLeavesAnEmptyMarkerInTheFirmwareDirectory)
{
    const std::string dir = ::testing::TempDir() + "monet-fw-" + std::to_string(getpid());
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    const std::string marker = dir + "/MonetFW.mfh";
    struct Case
    {
        const char* name;
        nlohmann::json firmwarePath;
        int result;
    };
    const Case cases[] = {
        {"no trailing slash", dir, 902},
        {"trailing slash", dir + "/", 902},
        {"not a text", 7, 200},
        {"missing directory", dir + "/absent", 0},
    };
    for (const Case& c : cases) {
        std::ofstream(marker) << "old firmware";
        Link link('N', {{"rfid", {{"firmwarePath", c.firmwarePath}}}});
        link.peer.setScript(script([](auto& s) {
            s.callParams = {tms(0, "000"), tms(0, "099", "Might reboot"), tms(1, "000")};
        }));
        Download download(link);
        EXPECT_EQ(download.run(), c.result) << c.name;
        EXPECT_TRUE(download.firmwareNotified) << c.name;
        std::ifstream in(marker, std::ios::ate);
        EXPECT_EQ(in.tellg() == 0, c.result == 902) << c.name;
        if (c.result != 902)
            continue;
        // The flag survives for the caller's next attempt, which then downloads to the end.
        EXPECT_EQ(download.run(), 0) << c.name;
    }
    std::remove(marker.c_str());
}

// ---------------------------------------------------------------------------------------------

TEST(MonetBprotocolBadPeer, StrayOddAndMalformedDatagramsNeverPassForAnAnswer)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> before;  // sent ahead of each answer
        bool fromOtherAddress;
        int result;
        bool learnsId;
    };
    Link probe('B');
    std::vector<uint8_t> huge = probe.peer.frameWithBody(1, std::vector<uint8_t>(4097 - 38, 'x'));
    const Case cases[] = {
        {"127.0.0.2 sender", probe.peer.frame({1, {{'T', "86"}, {'R', "099"}}, {}}), true, 0, true},
        {"0 bytes", {}, false, 202, false},
        {"1 byte", {0x02}, false, 202, false},
        {"37 bytes", std::vector<uint8_t>(37, 'B'), false, 202, false},
        {"4097 bytes", huge, false, 201, false},
        {"malformed body", probe.peer.frameWithBody(1, String::fromHex("1C52")), false, 201, true},
    };
    for (const Case& c : cases) {
        Link link('B');
        MonetUdpReader::Knobs knobs;
        knobs.before.push_back({c.before, c.fromOtherAddress});
        link.peer.setKnobs(knobs);
        // One exchange without re-send, so the first datagram decides.
        EXPECT_EQ(link.reader->disableRF(), c.result) << c.name;
        EXPECT_EQ(link.terminalId(), c.learnsId ? link.peer.terminalId() : "        ") << c.name;
    }
}

TEST(MonetBprotocolBadPeer, LateDuplicateAndStaleAnswersAreDrainedBeforeTheNextRequest)
{
    // A poll answer that comes after the time-out is not the answer to the next request.
    Link late('B');
    late.peer.setKnobs(knobs(false, 800));
    std::vector<std::string> cardData;
    EXPECT_EQ(late.poll("trip", cardData), 202);
    ASSERT_TRUE(late.peer.waitForAnswered(1, 2000));
    late.peer.setKnobs(knobs(false));
    late.peer.setScript(script([](auto& s) { s.tapStopResult = "012"; }));
    EXPECT_EQ(late.reader->disableRF(), 12);

    // Each answer twice: the copy is dropped, the next command gets its own answer.
    Link twice('B');
    twice.peer.setKnobs(knobs(false, 0, false, true));
    twice.peer.setScript(script([](auto& s) { s.tapStopResult = "012"; }));
    Info info;
    EXPECT_EQ(twice.reader->getInfo(info), 0);
    ASSERT_TRUE(twice.peer.waitForAnswered(1, 1000));
    EXPECT_EQ(twice.reader->disableRF(), 12);

    // The previous answer first: its wrong 'T' earns the one re-send.
    Link stale('B');
    EXPECT_EQ(stale.reader->disableRF(), 0);
    stale.peer.setKnobs(knobs(false, 0, true));
    EXPECT_EQ(stale.reader->getInfo(info), 0);
    EXPECT_EQ(stale.peer.requests().size(), 3u);

    // A flood waiting on the port does not stand in for the answer.
    Link flood('B');
    const Datagram junk = answer(flood, 1, {{'T', "80"}, {'R', "055"}});
    for (int i = 0; i < 1000; ++i)
        flood.peer.send(junk);
    EXPECT_EQ(flood.reader->getInfo(info), 0);
}

}  // namespace
