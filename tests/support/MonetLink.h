// One emulated Monet UDP endpoint (B or N) and the program's transport and protocol reader wired
// to it over loopback, with the endpoints injected (never the reader's real address), short waits,
// a manual clock and a given configuration. The constructor throws, failing the test or benchmark,
// when an endpoint is not in 127.0.0.0/8 or the sockets cannot be set up.
#pragma once

#include <arpa/inet.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ManualClock.h"
#include "TestSupport.h"
#include "core/UDPClient.h"
#include "core/UDPServer.h"
#include "drivers/Monet/BprotocolReader.h"
#include "drivers/Monet/Endpoints.h"
#include "emulators/MonetUdpReader.h"

namespace testsupport {

inline bool isLoopback(const std::string& address)
{
    in_addr a{};
    return address == "localhost" ||
           (inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127);
}

struct MonetLink
{
    // The reader's wait for each answer, where a test expects the peer to stay silent; elsewhere
    // it waits as long as a peer that answers may take on a busy machine.
    static constexpr int64_t SilenceMs = 500;

    explicit MonetLink(char letter, nlohmann::json configuration = nullptr, int64_t clockStepMs = 0,
                       int64_t waitMs = PeerDeadlineMs)
        : peer(letter), clock(std::make_shared<ManualClock>(clockStepMs))
    {
        endpoints.host = endpoints.bindAddress = "127.0.0.1";
        endpoints.bPort = endpoints.nPort = peer.port();
        endpoints.bListenPort = endpoints.nListenPort = 0;
        if (!isLoopback(endpoints.host) || !isLoopback(endpoints.bindAddress))
            throw std::logic_error("Monet test endpoints must be on loopback");
        if (!server.listen(endpoints.bListenPort, endpoints.bindAddress) ||
            !client.connect(endpoints.host, endpoints.bPort) || !isLoopback(client.address()))
            throw std::runtime_error("Monet test link: no loopback sockets");
        peer.replyTo(transport.listenPort());
        timing.requestMs = timing.antennaReceiveMs = timing.tmsReceiveMs = waitMs;
        reader = std::make_unique<MonetReader::BprotocolReader>(transport, timing, clock,
                                                                [configuration] { return configuration; });
    }

    std::string terminalId()
    {
        std::string id;
        transport.getTerminalId(id);
        return id;
    }

    emulators::MonetUdpReader::Datagram answer(int type, emulators::MonetUdpReader::Pairs fields)
    {
        return {peer.frame({type, std::move(fields), {}}), false};
    }

    // One TMS download with flags that persist across calls, recording every progress report.
    int download(int timeoutS = 300)
    {
        return reader->updateParamsFirmware(
            rebootNotified, timeoutS, [this](int p, int m, int s) { progress.emplace_back(p, m, s); },
            firmwareNotified);
    }

    emulators::MonetUdpReader peer;
    std::shared_ptr<ManualClock> clock;
    Monet::Endpoints endpoints;
    Monet::Timing timing;
    UDPServer server;
    UDPClient client;
    MonetReader::BprotocolTransport transport{client, server};
    std::unique_ptr<MonetReader::BprotocolReader> reader;
    bool rebootNotified = false;
    bool firmwareNotified = false;
    std::vector<std::tuple<int, int, int>> progress;
};

inline emulators::MonetUdpReader::Knobs monetKnobs(bool silent, int lateMs = 0, bool previousFirst = false,
                                                   bool duplicate = false)
{
    emulators::MonetUdpReader::Knobs k;
    k.silent = silent;
    k.lateMs = lateMs;
    k.previousFirst = previousFirst;
    k.duplicate = duplicate;
    return k;
}

template <typename Edit>
emulators::MonetUdpReader::Script monetScript(Edit edit)
{
    emulators::MonetUdpReader::Script s;
    edit(s);
    return s;
}

// A CallParams answer: type, 'R' and the optional notification text in 'g'.
inline emulators::MonetUdpReader::Answer tms(int type, const char* result, const char* text = nullptr)
{
    emulators::MonetUdpReader::Answer a{type, {{'R', result}}, {}};
    if (text)
        a.fields.emplace_back('g', text);
    return a;
}

}  // namespace testsupport
