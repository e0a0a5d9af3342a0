// The steady time and the waits of the Monet support (fail-safes, the TMS time-out, the reboot
// wait). Production uses `Monet::Clock::system()`; tests pass a clock that they move themselves,
// so a 15 s or one-minute wait runs in no time. Shared by the driver and its protocol readers;
// the system clock is stateless and any thread may call it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

namespace Monet {

class Clock
{
public:
    virtual ~Clock() = default;

    // Milliseconds on a monotonic clock: only differences mean anything.
    virtual int64_t nowMillis() const { return steadyMillis(); }

    // The real steady clock, for what must follow real time whatever clock a test gives (socket
    // deadlines, the due times of real timers).
    static int64_t steadyMillis()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    virtual void sleepMillis(int64_t ms)
    {
        if (ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    static std::shared_ptr<Clock> system()
    {
        static const std::shared_ptr<Clock> clock = std::make_shared<Clock>();
        return clock;
    }
};

}  // namespace Monet
