// Waits from a test for the broker to confirm subscription filters of an MQTT::Client (its
// `subscribed` signal, emitted on the client's threads). The watch leaves the signal when it goes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#include "core/Signal.h"

namespace testsupport {

class SubscriptionWatch
{
public:
    explicit SubscriptionWatch(Signal<std::string>& signal) : m_signal(signal)
    {
        m_id = signal.connect([this](std::string filter) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_filters.insert(filter);
            m_changed.notify_all();
        });
    }
    ~SubscriptionWatch() { m_signal.disconnect(m_id); }

    bool waitFor(const std::set<std::string>& filters,
                 std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            for (const auto& filter : filters)
                if (m_filters.count(filter) == 0)
                    return false;
            return true;
        });
    }

private:
    Signal<std::string>& m_signal;
    int m_id = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::string> m_filters;
};

}  // namespace testsupport
