// The whole emulated Monet reader for driver tests: its B and N endpoints (UDP) and its side
// channel (TCP), all on 127.0.0.1 at ports the system chose, with the endpoints, short waits and a
// recording platform to build a `Monet::Driver` on. The constructor throws, failing the test,
// unless every endpoint is in 127.0.0.0/8. Also the recording platform: it runs nothing, notes
// each call and brings the link up after a set number of flag reads.
#pragma once

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ManualClock.h"
#include "MonetLink.h"
#include "core/UDPServer.h"
#include "drivers/Monet/Driver.h"
#include "drivers/Monet/Platform.h"
#include "emulators/MonetSideChannel.h"
#include "emulators/MonetUdpReader.h"

namespace testsupport {

class RecordingPlatform : public Monet::Platform
{
public:
    // upAfter: flag reads after pppd started before the link is up; -1 never; 0 at the first.
    explicit RecordingPlatform(int upAfter = 0, bool upAlready = false) : m_upAfter(upAfter), m_up(upAlready) {}

    bool interfaceExists(const std::string&) override { return note("exists"), m_up || m_started; }
    bool linkUp(const std::string&) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back("linkUp");
        if (m_started && !m_up && m_upAfter >= 0 && m_reads++ >= m_upAfter)
            m_up = true;
        return m_up;
    }
    void setLowLatency(const std::string& device) override { note("setserial " + device); }
    bool startPppd(const std::string& device, int baud) override
    {
        note("pppd " + device + " " + std::to_string(baud));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_started = true;
        m_device = device;
        m_reads = 0;
        return true;
    }
    void stopPppd() override
    {
        note("stop");
        std::lock_guard<std::mutex> lock(m_mutex);
        m_started = m_up = false;
    }
    void restartService() override { note("restart"); }
    bool holdsDevice(const std::string& device) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_started && device == m_device;
    }

    std::vector<std::string> calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    size_t count(const std::string& prefix) const
    {
        const std::vector<std::string> all = calls();
        return std::count_if(all.begin(), all.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }
    void setLink(bool up)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_up = up;
    }

private:
    void note(const std::string& call)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    int m_upAfter;
    int m_reads = 0;
    bool m_up;
    bool m_started = false;
    std::string m_device;
};

// A free port below the kernel's ephemeral range, for the driver's UDP servers: the emulated reader
// is told it before the driver binds it. A port the kernel handed out (as it does to every socket
// bound to port 0 or connected unbound, in any test running beside this one) could be taken again
// meanwhile.
inline uint16_t freeUdpPort()
{
    int ephemeral = 32768;
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    range >> ephemeral;
    const int low = 10000, high = std::max(ephemeral, low + 1000);
    std::random_device random;
    for (int tries = 0; tries < 200; ++tries) {
        const auto port = static_cast<uint16_t>(low + random() % static_cast<unsigned>(high - low));
        UDPServer probe;
        if (probe.listen(port, "127.0.0.1"))
            return port;
    }
    throw std::runtime_error("no loopback UDP port");
}

struct MonetFake
{
    MonetFake() : b('B'), n('N')
    {
        endpoints.host = endpoints.bindAddress = "127.0.0.1";
        endpoints.bPort = b.port();
        endpoints.nPort = n.port();
        endpoints.sideChannelPort = side.port();
        endpoints.bListenPort = freeUdpPort();
        endpoints.nListenPort = freeUdpPort();
        if (!isLoopback(endpoints.host) || !isLoopback(endpoints.bindAddress) || !isLoopback(side.host()))
            throw std::logic_error("Monet test endpoints must be on loopback");
        b.replyTo(endpoints.bListenPort);
        n.replyTo(endpoints.nListenPort);
        emulators::MonetUdpReader::Script tms;
        tms.callParams = {{1, {{'R', "000"}}, {}}};
        n.setScript(tms);

        timing.linkCheckIntervalMs = 200;
        // Short enough that a silent reader costs little, long enough that a loaded machine does
        // not make the emulated reader's answer miss it.
        timing.requestMs = timing.antennaReceiveMs = timing.tmsReceiveMs = 1500;
        timing.sideRequestMs = timing.sidePollMs = 1500;
        timing.idleMessagesMs = 20;
        timing.sideChannelIoMs = 1000;
        Monet::Driver::resetTMSupdateSucceeded();
    }

    Monet::Driver::Setup setup()
    {
        Monet::Driver::Setup s;
        s.endpoints = endpoints;
        s.timing = timing;
        s.platform = platform;
        s.clock = clock;
        s.configuration = [] { return nlohmann::json(); };
        return s;
    }
    std::shared_ptr<Monet::Driver> driver() { return std::make_shared<Monet::Driver>(setup()); }

    // B requests carrying the command, in order.
    size_t bCount(uint8_t command) const
    {
        size_t c = 0;
        for (const auto& r : b.requests()) c += r.command == command;
        return c;
    }

    emulators::MonetUdpReader b;
    emulators::MonetUdpReader n;
    emulators::MonetSideChannel side;
    Monet::Endpoints endpoints;
    Monet::Timing timing;
    std::shared_ptr<RecordingPlatform> platform = std::make_shared<RecordingPlatform>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
};

}  // namespace testsupport
