#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "MosquittoBroker.h"
#include "PeerProcess.h"
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
// connected, its calls answered.
void restartWithCallsInFlight()
{
    Semaphore heard("", 0, 1000);
    std::atomic<bool> slow{true};
    MosquittoBroker brokers[2];
    // Posted when the broker has a device's request filter: its "connected" says the filters were
    // asked for, not that the broker took them before another client's request.
    std::vector<std::unique_ptr<Semaphore>> serving;
    std::vector<std::unique_ptr<MQTT::Client>> devices;
    for (auto& broker : brokers) {
        devices.push_back(std::make_unique<MQTT::Client>("base", "MQTT"));
        serving.push_back(std::make_unique<Semaphore>("", 0, 1000));
        devices.back()->subscribed.connect([&serving, which = serving.size() - 1](const std::string& filter) {
            if (filter == "base/dev/request/+/+")
                serving[which]->Post();
        });
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
    // The caller starts while the devices connect: several clients made, connected and let go at
    // once is where the library was reached while it still worked on one.
    MQTT::Client client("base", "MQTT");
    int at = 0;
    client.setConfig(settings(brokers[at], "caller"));
    client.start();
    ASSERT_TRUE(client.connected.emitted.Wait(30000));
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::future<std::pair<bool, std::string>>> calls;
        for (int i = 0; i < 2; ++i)
            calls.push_back(std::async(std::launch::async, [&client] { return client.rpc("base/dev", "p", 2000); }));
        heard.Wait(2000);
        if (round == 5) {
            while (serving[at]->Wait(0)) {
            }
            brokers[at].kill();
            brokers[at].start();
        } else if (round % 2 == 1) {
            at = 1 - at;
            client.setConfig(settings(brokers[at], "caller"));
        } else {
            client.stop();
            client.start();
        }
        for (auto& call : calls) call.get();
    }
    // The device of the broker that was restarted serves again.
    ASSERT_TRUE(serving[at]->Wait(30000));
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

// A process either gets past its first seconds of clients connecting and restarting or dies
// there: so each pass is a process of its own. TAPGATE_STRESS_PASSES runs more by hand.
TEST(MQTTClientRestart, RestartsMovesAndBrokerRestartsWithCallsInFlightLeaveTheClientWhole)
{
    const std::string name = "MQTTClientRestart.RestartsMovesAndBrokerRestartsWithCallsInFlightLeaveTheClientWhole";
    if (std::getenv("TAPGATE_STRESS_PASS")) {
        restartWithCallsInFlight();
        return;
    }
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const char* passes = std::getenv("TAPGATE_STRESS_PASSES");
    // Two at a time: processes beside each other meet the library's races more often.
    for (int pass = 0, end = passes ? std::atoi(passes) : 8; pass < end; pass += 2) {
        std::vector<std::unique_ptr<testsupport::PeerProcess>> pair;
        for (int i = pass; i < std::min(pass + 2, end); ++i)
            pair.push_back(std::make_unique<testsupport::PeerProcess>(
                std::vector<std::string>{"env", "TAPGATE_STRESS_PASS=1", self, "--gtest_filter=" + name},
                testsupport::PeerProcess::Options{"", -1, STDOUT_FILENO, STDERR_FILENO, false, true}));
        for (size_t i = 0; i < pair.size(); ++i) {
            auto& child = pair[i];
            const int which = pass + static_cast<int>(i);
            const bool ended = child->endsWithin(300000);
            child->killGroup();
            ASSERT_TRUE(ended) << "pass " << which << " still ran after 300 s";
            const int status = child->wait();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "pass " << which << (WIFSIGNALED(status) ? " died of signal " : " ended with ")
                << (WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        }
    }
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
