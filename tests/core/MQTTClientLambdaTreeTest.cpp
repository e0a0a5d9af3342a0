#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "MqttClientFixture.h"
#include "MqttPeer.h"
#include "StderrCapture.h"
#include "core/MQTT/Client.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::MqttPeer;
using testsupport::PeerMessage;
using testsupport::SubscriptionWatch;

// A value some component owns: read and written through the tree, changed behind its back too.
class Source
{
public:
    explicit Source(json value) : m_value(std::move(value)) {}

    LambdaTree::Getter getter()
    {
        return [this]() -> std::pair<bool, json> {
            std::lock_guard<std::mutex> lock(m_mutex);
            return {true, m_value};
        };
    }

    LambdaTree::Setter setter()
    {
        return [this](const json& value) -> std::pair<bool, json> {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_written.push_back(value);
            m_value = value;
            return {true, nullptr};
        };
    }

    void change(json value)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_value = std::move(value);
        }
        changed.emit();
    }

    std::vector<json> written()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }

    Signal<> changed;

private:
    std::mutex m_mutex;
    json m_value;
    std::vector<json> m_written;
};

std::pair<bool, json> failingGetter()
{
    throw std::runtime_error("boom");
}

// Refuses what it is given, quoting it whole, as setters of modes do.
std::pair<bool, json> refusingSetter(const json& value)
{
    throw std::runtime_error("unknown mode '" + value.get<std::string>() + "'");
}

class MQTTClientLambdaTree : public testsupport::MqttClientSuite
{
protected:
    using MqttClientSuite::startAndWait;

    // The command topics and call filters of each node the test sends to.
    static void startAndWait(MQTT::Client& client, const std::string& base,
                             const std::vector<std::string>& nodes)
    {
        std::set<std::string> filters;
        for (const auto& node : nodes)
            for (const char* tail : {"", "/request/+", "/request/+/+"})
                filters.insert(base + "/" + node + tail);
        startAndWait(client, filters);
    }

    static void connectPeer(MqttPeer& peer, const std::string& id, const std::vector<std::string>& filters)
    {
        ASSERT_EQ(peer.connect(broker().port(), id), 0);
        for (const auto& filter : filters) peer.subscribe(filter, 0);
    }
};

// "topic payload" of the next message, or "nothing".
std::string next(MqttPeer& peer, std::chrono::milliseconds timeout = 10s)
{
    std::optional<PeerMessage> message = peer.receive(timeout);
    return message ? message->topic + " " + message->payload : "nothing";
}

std::string errorMessage(const std::string& command, const json& error)
{
    return "kivo/rfid/error " + json({{"command", command}, {"error", error}}).dump();
}

TEST_F(MQTTClientLambdaTree, NodeAnswersGetSetAndMonitorAsCommandsAndCalls)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelDebug);
    Source device(json{{"t", 1}});
    MQTT::Client server("kivo/rfid", "MQTT");
    MQTT::Config config = configFor("kivo/rfid", "tree-server");
    config.set("log/received", true);
    config.setLogPayload(true);
    server.setConfig(config);
    server.editLambdaTree([&](LambdaTree& tree) {
        tree.addLambda("a/b", device.getter(), device.setter(), &device.changed);
        tree.addLambda("bad", failingGetter);
        tree.addLambda(
            "mode", [] { return std::make_pair(true, json("idle")); }, refusingSetter);
    });
    ASSERT_NO_FATAL_FAILURE(
        startAndWait(server, "kivo/rfid", {"a/b/get", "a/b/set", "a/b/monitor", "bad/get", "mode/set"}));
    MQTT::Client caller("tree/caller", "MQTT");
    caller.setConfig(configFor("tree/caller", "tree-caller"));
    ASSERT_NO_FATAL_FAILURE(startAndWait(caller, "tree/caller", {}));

    MqttPeer peer;
    ASSERT_NO_FATAL_FAILURE(connectPeer(
        peer, "tree-peer", {"kivo/rfid/a/b", "kivo/rfid/a/b/t", "kivo/rfid/bad", "kivo/rfid/error"}));

    peer.publish("kivo/rfid/a/b/get", "", 0);
    EXPECT_EQ(next(peer), R"(kivo/rfid/a/b {"t":1})");

    peer.publish("kivo/rfid/a/b/set", R"({"t":2})", 0);
    EXPECT_EQ(next(peer), R"(kivo/rfid/a/b {"t":2})");
    // A member is written through its lambda, wrapped in the member's name.
    peer.publish("kivo/rfid/a/b/t/set", "3", 0);
    EXPECT_EQ(next(peer), "kivo/rfid/a/b/t 3");
    EXPECT_EQ(device.written(), (std::vector<json>{{{"t", 2}}, {{"t", 3}}}));

    peer.publish("kivo/rfid/a/b/set", "x", 0);
    EXPECT_EQ(next(peer), errorMessage("a/b/set", "Malformed json"));
    peer.publish("kivo/rfid/a/b/monitor", R"({"active":"yes"})", 0);
    EXPECT_EQ(next(peer), errorMessage("a/b/monitor", "'active' must be boolean"));
    peer.publish("kivo/rfid/bad/get", "", 0);
    EXPECT_EQ(next(peer), errorMessage("bad", {{"bad", {{"exception", "boom"}}}}));
    EXPECT_EQ(next(peer), "kivo/rfid/bad null");
    EXPECT_EQ(device.written().size(), 2u);

    EXPECT_EQ(caller.rpc("kivo/rfid/a/b/get", "", 10000),
              std::make_pair(true, std::string(R"({"completed":true,"data":{"t":3}})")));
    EXPECT_EQ(
        caller.rpc("kivo/rfid/a/b/set", "x", 10000),
        std::make_pair(true, std::string(R"({"completed":false,"error":{"description":"Malformed json"}})")));
    EXPECT_EQ(caller.rpc("kivo/rfid/a/b/set", R"({"t":4})", 10000),
              std::make_pair(true, std::string(R"({"completed":true,"data":{"t":4}})")));
    EXPECT_EQ(next(peer), R"(kivo/rfid/a/b {"t":4})");
    EXPECT_EQ(
        caller.rpc("kivo/rfid/bad/get", "", 10000),
        std::make_pair(true, std::string(R"({"completed":false,"error":{"bad":{"exception":"boom"}}})")));
    EXPECT_EQ(caller.rpc("kivo/rfid/a/b/monitor", R"({"active":true,"skipChangesForMs":5})", 10000),
              std::make_pair(
                  true, std::string(R"({"completed":true,"data":{"active":true,"skipChangesForMs":5}})")));
    device.change(json{{"t", 5}});
    EXPECT_EQ(next(peer), R"(kivo/rfid/a/b {"t":5})");
    EXPECT_EQ(caller.rpc("kivo/rfid/a/b/monitor", R"({"active":false})", 10000),
              std::make_pair(true, std::string(R"({"completed":true,"data":{"active":false}})")));
    device.change(json{{"t", 6}});
    EXPECT_EQ(next(peer, 500ms), "nothing");

    // A peer's value of 70,001 bytes holding a line of its own and terminal controls shows escaped
    // and cut short in every line that logs it, as a payload and as a setter's refusal quoting it
    // (a line saying how long it was); the peer's error answer still quotes it whole.
    const std::string forged = "WARN: a line the peer wrote";
    const std::string text = testsupport::hostileText(70001, forged);
    testsupport::StderrCapture capture;
    EXPECT_EQ(caller.rpc("kivo/rfid/a/b/set", text, 10000).second,
              R"({"completed":false,"error":{"description":"Malformed json"}})");
    peer.publish("kivo/rfid/mode/set", json(text).dump(), 0);
    const json refusal = {{"mode", {{"exception", "unknown mode '" + text + "'"}}}};
    EXPECT_EQ(next(peer), errorMessage("mode/set", refusal));
    const std::string log = capture.text();
    EXPECT_NE(
        log.find(
            "Handling LambdaTree RPC 'a/b' 'x\\nWARN: a line the peer wrote\\u007f\\u009b\\u2028\\u001b"),
        std::string::npos);
    const std::string said = "... (" + std::to_string(refusal.dump().size()) + " bytes)\n";
    EXPECT_NE(log.find(said, log.find("topic 'mode/set' failed: ")), std::string::npos);
    EXPECT_EQ(testsupport::logFaults(log, forged), "");
    caller.stop();
    server.stop();
}

TEST_F(MQTTClientLambdaTree, MonitorsPublishTheLastChangeOfABurstEachOnItsOwnClock)
{
    Source a(json(0)), c(json("idle"));
    MQTT::Client server("kivo/rfid", "MQTT");
    server.setConfig(configFor("kivo/rfid", "monitor-server"));
    server.editLambdaTree([&](LambdaTree& tree) {
        tree.addLambda("a", a.getter(), nullptr, &a.changed);
        tree.addLambda("c", c.getter(), nullptr, &c.changed);
    });
    ASSERT_NO_FATAL_FAILURE(startAndWait(server, "kivo/rfid", {"a/monitor", "c/monitor"}));
    MqttPeer peer;
    ASSERT_NO_FATAL_FAILURE(
        connectPeer(peer, "monitor-peer", {"kivo/rfid/a", "kivo/rfid/c", "kivo/rfid/error"}));

    peer.publish("kivo/rfid/a/monitor", R"({"active":true,"skipChangesForMs":300})", 0);
    EXPECT_EQ(next(peer), "kivo/rfid/a 0");

    const auto started = std::chrono::steady_clock::now();
    for (int i = 1; i <= 30; ++i) a.change(i);
    const auto burst = std::chrono::steady_clock::now() - started;
    std::vector<std::string> seen;
    for (std::string message; (message = next(peer, 3s)) != "nothing";) seen.push_back(message);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "kivo/rfid/a 30") << "the last change of the burst was lost";
    EXPECT_LE(seen.size(), static_cast<size_t>(burst / 300ms) + 2) << "not throttled";

    // A change of one node does not hold back the change of another that follows at once.
    peer.publish("kivo/rfid/c/monitor", R"({"active":true,"skipChangesForMs":300})", 0);
    EXPECT_EQ(next(peer), R"(kivo/rfid/c "idle")");
    std::this_thread::sleep_for(400ms);
    a.change(31);
    c.change("busy");
    std::set<std::string> both{next(peer, 2s), next(peer, 2s)};
    EXPECT_EQ(both, (std::set<std::string>{"kivo/rfid/a 31", R"(kivo/rfid/c "busy")"}));

    peer.publish("kivo/rfid/a/monitor", R"({"active":false})", 0);
    peer.publish("kivo/rfid/a/monitor", R"({"active":false})", 0);  // no monitor left: nothing happens
    // The node takes its commands in order: once this one is refused, both above were taken.
    peer.publish("kivo/rfid/a/monitor", R"({"active":"yes"})", 0);
    EXPECT_EQ(next(peer), errorMessage("a/monitor", "'active' must be boolean"));
    a.change(32);
    EXPECT_EQ(next(peer, 700ms), "nothing");
    server.stop();
}

TEST_F(MQTTClientLambdaTree, RegistrationFollowsTheTreeOfEachClient)
{
    MQTT::Client empty("kivo/empty", "MQTT");
    EXPECT_FALSE(empty.updateLambdaTreeSubscriptions("", false));

    Source list(json{{"x", 1}, {"y", 2}}), other(json(7));
    MQTT::Client server("kivo/rfid", "MQTT");
    server.setConfig(configFor("kivo/rfid", "registration-server"));
    server.editLambdaTree([&](LambdaTree& tree) { tree.addLambda("list", list.getter()); });
    ASSERT_NO_FATAL_FAILURE(startAndWait(server, "kivo/rfid", {"list/x/get", "list/y/get"}));
    EXPECT_FALSE(server.updateLambdaTreeSubscriptions("nope", true));
    // A second client of the same process registers its own tree too.
    MQTT::Client second("kivo/other", "MQTT");
    second.setConfig(configFor("kivo/other", "registration-second"));
    second.editLambdaTree([&](LambdaTree& tree) { tree.addLambda("z", other.getter()); });
    ASSERT_NO_FATAL_FAILURE(startAndWait(second, "kivo/other", {"z/get"}));

    MqttPeer peer;
    ASSERT_NO_FATAL_FAILURE(
        connectPeer(peer, "registration-peer", {"kivo/rfid/list/x", "kivo/rfid/list/y", "kivo/other/z"}));
    peer.publish("kivo/other/z/get", "", 0);
    EXPECT_EQ(next(peer), "kivo/other/z 7");
    peer.publish("kivo/rfid/list/y/get", "", 0);
    EXPECT_EQ(next(peer), "kivo/rfid/list/y 2");
    MQTT::Client caller("kivo/caller", "MQTT");
    caller.setConfig(configFor("kivo/caller", "registration-caller"));
    ASSERT_NO_FATAL_FAILURE(startAndWait(caller, "kivo/caller", {}));

    // y leaves the value: its topics are taken back, x stays.
    list.change(json{{"x", 1}});
    SubscriptionWatch watch(server.subscribed);
    EXPECT_TRUE(server.updateLambdaTreeSubscriptions("list", true));
    EXPECT_TRUE(server.updateLambdaTreeSubscriptions("list", true));
    EXPECT_FALSE(caller.rpc("kivo/rfid/list/y/get", "", 500).first);
    peer.publish("kivo/rfid/list/y/get", "", 0);
    peer.publish("kivo/rfid/list/x/get", "", 0);
    EXPECT_EQ(next(peer), "kivo/rfid/list/x 1");
    EXPECT_EQ(next(peer, 300ms), "nothing");

    // A lambda added later is registered on request, and taken back once removed.
    server.editLambdaTree([&](LambdaTree& tree) { tree.addLambda("extra", other.getter()); });
    EXPECT_TRUE(server.updateLambdaTreeSubscriptions("extra", false));
    ASSERT_TRUE(watch.waitFor({"kivo/rfid/extra/get", "kivo/rfid/extra/get/request/+"}));
    EXPECT_EQ(caller.rpc("kivo/rfid/extra/get", "", 10000),
              std::make_pair(true, std::string(R"({"completed":true,"data":7})")));
    server.editLambdaTree([&](LambdaTree& tree) { tree.remove("extra"); });
    EXPECT_TRUE(server.updateLambdaTreeSubscriptions("", true));
    EXPECT_FALSE(caller.rpc("kivo/rfid/extra/get", "", 500).first);

    caller.stop();
    second.stop();
    server.stop();
}

// A deeper base drops a node's call and many commands while standard error is a full pipe: a command
// given meanwhile does not wait. Back under the first base, the node is served again, and taken back.
TEST(MQTTClientTreeRecord, NamesDroppedByABaseAreLoggedWithTheTablesFreeAndTheTreeForgetsThem)
{
    Log::open("tapgate-test", true, false);
    Source value(json(1));
    MQTT::Client server("f/x", "MQTT");
    std::string node = "n";
    for (int i = 0; i < 194; ++i) node += "/n";
    for (int i = 0; i < 194; ++i)
        server.subscribeCommand(std::to_string(i) + std::string(198, '/'), {}, true);
    server.editLambdaTree([&](LambdaTree& tree) { tree.addLambda(node, value.getter()); });
    int pipe[2], saved = ::dup(2), queued = 0;
    ASSERT_TRUE(server.updateLambdaTreeSubscriptions("", false) && ::pipe2(pipe, O_CLOEXEC) == 0);
    const int size = ::fcntl(pipe[1], F_SETPIPE_SZ, 4096);
    ::dup2(pipe[1], 2), ::close(pipe[1]);
    auto drop =
        std::async(std::launch::async, [&] { return server.setConfig(MQTT::Config("f/x/y", "MQTT")); });
    while (::ioctl(pipe[0], FIONREAD, &queued) == 0 && queued < size - 1024) std::this_thread::sleep_for(1ms);
    auto late = std::async(std::launch::async, [&] { return server.subscribeCommand("c", nullptr, true); });
    const bool free = late.wait_for(30s) == std::future_status::ready;
    ::dup2(saved, 2), ::close(saved);
    for (char drained[4096]; ::read(pipe[0], drained, sizeof drained) > 0;) {
    }
    ::close(pipe[0]);
    EXPECT_TRUE(free && drop.get() && late.get() && server.setConfig(MQTT::Config("f/x", "MQTT")));
    EXPECT_TRUE(server.updateLambdaTreeSubscriptions("", true));
    server.editLambdaTree([&](LambdaTree& tree) { tree.remove(node); });
    EXPECT_TRUE(server.updateLambdaTreeSubscriptions("", true));
}

}  // namespace
