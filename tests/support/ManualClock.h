// A Monet::Clock that tests move: time stands still unless a sleep or the optional step per
// reading moves it, and every sleep is recorded. Any thread may use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "drivers/Monet/Clock.h"

namespace testsupport {

class ManualClock : public Monet::Clock
{
public:
    explicit ManualClock(int64_t stepPerReadingMs = 0) : m_step(stepPerReadingMs) {}

    int64_t nowMillis() const override { return m_now.fetch_add(m_step); }

    void sleepMillis(int64_t ms) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sleeps.push_back(ms);
        m_now += ms;
    }

    std::vector<int64_t> sleeps() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sleeps;
    }

private:
    const int64_t m_step;
    mutable std::atomic<int64_t> m_now{0};
    mutable std::mutex m_mutex;
    std::vector<int64_t> m_sleeps;
};

}  // namespace testsupport
