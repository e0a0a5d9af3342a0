#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MosquittoBroker.h"
#include "core/MQTT/Client.h"
#include "core/Semaphore.h"

namespace {

using namespace std::chrono_literals;
using testsupport::MosquittoBroker;

MQTT::Config settings(const MosquittoBroker& broker, const std::string& clientId)
{
    MQTT::Config config("base", "MQTT");
    config.setUrl(broker.url());
    config.set("clientId", clientId);
    return config;
}

// Restarts, moves between two brokers and broker restarts, each made while two calls have their
// requests at the device, as soon as it has them, and their answers and the letting go of their
// answer filters still to come: none of it may bring the process down, and the client ends
// connected, its calls answered. TAPGATE_STRESS_ROUNDS runs it longer by hand.
TEST(MQTTClientRestart, RestartsMovesAndBrokerRestartsWithCallsInFlightLeaveTheClientWhole)
{
    const char* rounds = std::getenv("TAPGATE_STRESS_ROUNDS");
    Semaphore heard("", 0, 1000);
    std::atomic<bool> slow{true};
    MosquittoBroker brokers[2];
    std::vector<std::unique_ptr<MQTT::Client>> devices;
    for (auto& broker : brokers) {
        devices.push_back(std::make_unique<MQTT::Client>("base", "MQTT"));
        devices.back()->setConfig(settings(broker, "device-" + std::to_string(devices.size())));
        devices.back()->subscribeRpc(
            "dev", [&](const std::string&, const std::string& payload, const std::string&) {
                heard.Post();
                if (slow)
                    std::this_thread::sleep_for(1500ms);  // the device's own time to answer
                return payload;
            });
        devices.back()->start();
    }
    MQTT::Client client("base", "MQTT");
    int at = 0;
    client.setConfig(settings(brokers[at], "caller"));
    client.start();
    ASSERT_TRUE(client.connected.emitted.Wait(30000));
    for (int round = 0, end = rounds ? std::atoi(rounds) : 12; round < end; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::future<std::pair<bool, std::string>>> calls;
        for (int i = 0; i < 2; ++i)
            calls.push_back(
                std::async(std::launch::async, [&client] { return client.rpc("base/dev", "p", 2000); }));
        heard.Wait(2000);
        if (round % 6 == 5) {
            brokers[at].kill();
            brokers[at].start();
        } else if (round % 3 == 1) {
            at = 1 - at;
            client.setConfig(settings(brokers[at], "caller"));
        } else {
            client.stop();
            client.start();
        }
        for (auto& call : calls) call.get();
    }
    // What the device still owes the calls that timed out is answered at once, so the last call
    // waits on the client alone.
    slow = false;
    while (client.connected.emitted.Wait(0)) {
    }
    if (!client.isConnected()) {
        ASSERT_TRUE(client.connected.emitted.Wait(30000));
    }
    EXPECT_TRUE(client.rpc("base/dev", "last", 30000).first);
}

// Every way a running or stopped client can be without a connection: a call cannot be sent and
// returns false at once, not when its time-out of ten minutes is out.
TEST(MQTTClientRestart, ACallWithNoConnectionToSendItOnReturnsAtOnce)
{
    enum class Way { Stopped, AttemptFailed, ConnectionLost };
    for (const Way way : {Way::Stopped, Way::AttemptFailed, Way::ConnectionLost}) {
        SCOPED_TRACE(static_cast<int>(way));
        MosquittoBroker broker;
        MQTT::Client client("base", "MQTT");
        MQTT::Config config = settings(broker, "caller");
        if (way == Way::AttemptFailed)
            config.setUrl("tcp://127.0.0.1:" + std::to_string(testsupport::freePorts(1).at(0)));
        ASSERT_TRUE(client.setConfig(config));
        client.start();
        if (way == Way::AttemptFailed) {
            ASSERT_TRUE(client.connectFailed.emitted.Wait(30000));
        } else {
            ASSERT_TRUE(client.connected.emitted.Wait(30000));
            if (way == Way::Stopped)
                client.stop();
            else
                broker.kill();
            ASSERT_TRUE(client.disconnected.emitted.Wait(30000));
        }
        auto call = std::async(std::launch::async, [&client] { return client.rpc("base/dev", "p", 600000); });
        ASSERT_EQ(call.wait_for(60s), std::future_status::ready);
        EXPECT_FALSE(call.get().first);
    }
}

}  // namespace
