// Test suites against a private mosquitto: one broker for the suite, and for MQTT::Client the
// settings that point at it and a start that returns only once the broker has confirmed the
// filters a test relies on (only then do messages from other connections reach the client).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

#include "MosquittoBroker.h"
#include "core/MQTT/Client.h"

namespace testsupport {

// A test suite with one broker for all its tests.
class MosquittoSuite : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_broker = new MosquittoBroker(); }
    static void TearDownTestSuite()
    {
        delete s_broker;
        s_broker = nullptr;
    }
    static MosquittoBroker& broker() { return *s_broker; }

private:
    static inline MosquittoBroker* s_broker = nullptr;
};

// Filters the broker has confirmed (the client's `subscribed` signal, emitted on its threads).
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

class MqttClientSuite : public MosquittoSuite
{
protected:
    // Clients of one process need ids of their own, or the broker keeps throwing one out.
    static MQTT::Config configFor(const std::string& base, const std::string& clientId)
    {
        MQTT::Config config(base, "MQTT");
        config.setUrl(broker().url());
        config.set("clientId", clientId);
        return config;
    }

    static void startAndWait(MQTT::Client& client, const std::set<std::string>& filters)
    {
        SubscriptionWatch watch(client.subscribed);
        client.start();
        ASSERT_TRUE(client.connected.emitted.Wait(30000));
        ASSERT_TRUE(watch.waitFor(filters));
    }
};

// A peer's text of `bytes` bytes made to forge a log line and to drive a terminal: a line break with
// `forged` after it, then DEL, a C1 control (CSI), the line separator, and ESC to the end.
inline std::string hostileText(size_t bytes, const std::string& forged)
{
    std::string text = "x\n" + forged + "\x7f\xc2\x9b\xe2\x80\xa8";
    return text + std::string(bytes - text.size(), '\x1b');
}

}  // namespace testsupport
