// What the Monet driver asks of the operating system for its PPP link: whether the interface
// exists and is up, the serial line's low latency, starting and stopping the pppd it owns,
// restarting the whole service, and whether its pppd holds a device. Also keeps the back-off
// between failed bring-ups, because the reader facade makes a new driver for every open while
// the platform lives on. The library's default does nothing (`NullPlatform`); only the program
// installs the system one. Shared by every driver of one program; any thread may call it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace Monet {

class Platform
{
public:
    virtual ~Platform() = default;

    virtual bool interfaceExists(const std::string& name) = 0;
    // The interface's flags say it is up.
    virtual bool linkUp(const std::string& name) = 0;
    virtual void setLowLatency(const std::string& device) = 0;
    // False when pppd could not be started at all.
    virtual bool startPppd(const std::string& device, int baud) = 0;
    // Stops the pppd this platform started, and no other.
    virtual void stopPppd() = 0;
    virtual void restartService() = 0;
    // The pppd this platform started runs on the device.
    virtual bool holdsDevice(const std::string& device) = 0;

    // A bring-up may be tried now (the back-off after a failure has passed).
    bool bringUpAllowed(int64_t nowMs);
    // The next wait doubles from firstMs up to maxMs.
    void bringUpFailed(int64_t nowMs, int64_t firstMs, int64_t maxMs);
    void bringUpSucceeded();

private:
    std::mutex m_mutex;
    int64_t m_backoffMs = 0;
    int64_t m_notBeforeMs = 0;
    bool m_waiting = false;
};

// Reports no interface and no link, starts nothing: every open fails at once.
class NullPlatform final : public Platform
{
public:
    bool interfaceExists(const std::string&) override { return false; }
    bool linkUp(const std::string&) override { return false; }
    void setLowLatency(const std::string&) override {}
    bool startPppd(const std::string&, int) override { return false; }
    void stopPppd() override {}
    void restartService() override {}
    bool holdsDevice(const std::string&) override { return false; }
};

std::shared_ptr<Platform> nullPlatform();

}  // namespace Monet
