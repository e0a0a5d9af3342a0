#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "MosquittoBroker.h"
#include "MqttClientFixture.h"
#include "MqttPeer.h"
#include "StderrCapture.h"
#include "core/Log.h"
#include "core/MQTT/Client.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::MosquittoBroker;
using testsupport::MqttPeer;

// Paho's connect time-out, the 2 s reconnection pause and a loaded CI machine add up.
constexpr auto Slow = 30s;

// Counts the emissions of a signal without arguments and lets a test wait for the n-th.
class Counter
{
public:
    explicit Counter(Signal<>& signal) : m_signal(signal)
    {
        m_id = signal.connect([this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
            m_changed.notify_all();
        });
    }
    // The client may still emit from its threads while a test unwinds.
    ~Counter() { m_signal.disconnect(m_id); }

    bool waitFor(int n, std::chrono::milliseconds timeout = Slow)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_count >= n; });
    }

    int count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    Signal<>& m_signal;
    int m_id = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
};

// The filters whose subscription the broker confirmed.
class Subscriptions
{
public:
    explicit Subscriptions(Signal<std::string>& signal) : m_signal(signal)
    {
        m_id = signal.connect([this](std::string topic) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_topics.push_back(topic);
            m_changed.notify_all();
        });
    }
    ~Subscriptions() { m_signal.disconnect(m_id); }

    bool waitFor(const std::string& topic, std::chrono::milliseconds timeout = Slow)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            return std::find(m_topics.begin(), m_topics.end(), topic) != m_topics.end();
        });
    }

private:
    Signal<std::string>& m_signal;
    int m_id = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_topics;
};

// What command handlers were given, in order.
class Inbox
{
public:
    MQTT::Client::Handler handler(const std::string& tag)
    {
        return [this, tag](const MQTT::Message& message) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back(tag + " " + message.topic + " " + message.payload +
                             " qos=" + std::to_string(MQTT::qosLevel(message.qos)) +
                             (message.retained == MQTT::Retained::Retained ? " retained" : ""));
            m_changed.notify_all();
        };
    }

    std::string waitNext(std::chrono::milliseconds timeout = Slow)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, timeout, [&] { return m_seen.size() > m_taken; }))
            return "nothing";
        return m_seen[m_taken++];
    }

    size_t size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_seen;
    size_t m_taken = 0;
};

class MQTTClientCommands : public testsupport::MosquittoSuite
{
protected:
    static MQTT::Config configFor(const std::string& base, const std::string& url)
    {
        MQTT::Config config(base, "MQTT");
        config.setUrl(url);
        return config;
    }
};

TEST(MQTTTopicMatch, FollowsMqttWildcards)
{
    struct Case
    {
        const char* topic;
        const char* filter;
        bool matches;
    };
    const Case cases[] = {
        {"a/b/c", "a/+/c", true},   {"a/b/c", "a/#", true},
        {"a", "a/#", true},         {"x/y", "#", true},
        {"a/b", "a/b", true},       {"a/b/c", "a/+", false},
        {"a/b", "a/c", false},      {"ab", "a/#", false},
        {"ab/c", "a/#", false},     {"a/b", "+/+", true},
        {"a", "+/+", false},        {"a/b/c", "+/#", true},
        {"a//b", "a/+/b", true},    {"a/b", "a/b/", false},
        {"$SYS/x", "#", false},     {"$SYS/x", "+/x", false},
        {"$SYS/x", "$SYS/#", true}, {"a/b#", "a/b#", true},
        {"a/bc", "a/b#", false},    {"", "#", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MQTT::Client::topicMatch(c.topic, c.filter), c.matches) << c.topic << " ~ " << c.filter;
}

TEST(MQTTTopicMatch, BaseIsRemovedOnlyAsALeadingRunOfLevels)
{
    EXPECT_EQ(MQTT::Client::removeTopicPart("kivo/rfid/cmd", "kivo/rfid"), "cmd");
    EXPECT_EQ(MQTT::Client::removeTopicPart("kivo/rfid/a/b", "kivo/rfid/"), "a/b");
    EXPECT_EQ(MQTT::Client::removeTopicPart("kivo/rfid//cmd", "kivo/rfid"), "cmd");
    EXPECT_EQ(MQTT::Client::removeTopicPart("kivo/rfid", "kivo/rfid"), "");
    EXPECT_EQ(MQTT::Client::removeTopicPart("x/kivo/rfid/cmd", "kivo/rfid"), "x/kivo/rfid/cmd");
    EXPECT_EQ(MQTT::Client::removeTopicPart("kivo/rfidx/cmd", "kivo/rfid"), "kivo/rfidx/cmd");
    EXPECT_EQ(MQTT::Client::removeTopicPart("kivo/rfid/cmd", ""), "kivo/rfid/cmd");
    EXPECT_EQ(MQTT::Client::removeTopicPart("", "kivo"), "");
}

TEST(MQTTClientCommandTable, RegistrationBeforeStartAndRemoval)
{
    Inbox inbox;
    MQTT::Client client("b", "MQTT");
    EXPECT_TRUE(client.subscribeCommand("cmd", inbox.handler("first"), true));
    EXPECT_TRUE(client.subscribeCommand("cmd", inbox.handler("second"), true));
    EXPECT_FALSE(client.unsubscribeCommand("never", true));
    EXPECT_FALSE(client.unsubscribeCommand("cmd", false));  // the absolute table is another one
    // Delivered as the library would: the first handler stays, with the base cut off.
    static_cast<MQTTClientListener&>(client).onMessageReceived("b/cmd", "p", 1, true);
    EXPECT_EQ(inbox.waitNext(0ms), "first cmd p qos=1 retained");
    EXPECT_TRUE(client.unsubscribeCommand("cmd", true));
    EXPECT_FALSE(client.unsubscribeCommand("cmd", true));
    // Not connected: the message cannot go out, and publish says so.
    EXPECT_FALSE(client.publish(MQTT::Message("x", "y", MQTT::Retained::New, MQTT::QoS::AtMostOnce), true));
}

TEST_F(MQTTClientCommands, CommandsReachHandlersAndOthersGetOneErrorAnswer)
{
    Inbox inbox;
    MQTT::Client client("cmds/rfid", "MQTT");
    ASSERT_TRUE(client.setConfig(configFor("cmds/rfid", broker().url())));
    client.subscribeCommand("cmd", inbox.handler("internal"), true);
    client.subscribeCommand("ext/+/x", inbox.handler("external"), false);
    client.subscribeCommand(
        "boom", [](const MQTT::Message&) { throw std::runtime_error("bad"); }, true);
    client.subscribeCommand(
        "odd", [](const MQTT::Message&) { throw 42; }, true);
    client.subscribeCommand(
        "mode",
        [](const MQTT::Message& m) { throw std::invalid_argument("unknown mode '" + m.payload + "'"); },
        true);
    Counter connected(client.connected);
    Subscriptions subscriptions(client.subscribed);
    client.start();
    ASSERT_TRUE(connected.waitFor(1));
    EXPECT_TRUE(subscriptions.waitFor("cmds/rfid/cmd"));
    // Registered while connected: subscribed at once.
    EXPECT_TRUE(client.subscribeCommand("late/#", inbox.handler("late"), true));
    EXPECT_TRUE(subscriptions.waitFor("cmds/rfid/late/#"));

    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().port(), "peer-cmds"), 0);
    peer.subscribe("cmds/rfid/error", 1);
    peer.subscribe("cmds/rfid/out/#", 1);

    peer.publish("cmds/rfid/cmd", "{\"a\":1}", 1);
    EXPECT_EQ(inbox.waitNext(), "internal cmd {\"a\":1} qos=0");
    peer.publish("ext/7/x", "e", 0);
    EXPECT_EQ(inbox.waitNext(), "external ext/7/x e qos=0");
    peer.publish("cmds/rfid/late/deep/er", "l", 0);
    EXPECT_EQ(inbox.waitNext(), "late late/deep/er l qos=0");

    auto errorAnswer = [&](const std::string& topic, const json& error) {
        auto answer = peer.receive(10s);
        if (!answer) {
            ADD_FAILURE() << "no error answer to " << topic;
            return std::string("no answer");
        }
        EXPECT_EQ(answer->topic, "cmds/rfid/error");
        EXPECT_EQ(answer->qos, 0);
        EXPECT_FALSE(answer->retained);
        EXPECT_EQ(answer->payload, json({{"command", topic}, {"error", error}}).dump());
        return answer->payload;
    };
    peer.publish("cmds/rfid/boom", "x", 0);
    errorAnswer("cmds/rfid/boom", "bad");
    peer.publish("cmds/rfid/odd", "x", 0);
    errorAnswer("cmds/rfid/odd", "Unknown error");
    // A failure quoting a peer's 70,001 bytes that hold a line of their own and terminal controls
    // is answered whole, and logged escaped and cut short with its size.
    Log::open("tapgate-test", true, false);
    const std::string forged = "WARN: a line the peer wrote";
    const std::string failure = "unknown mode '" + testsupport::hostileText(70001, forged) + "'";
    testsupport::StderrCapture capture;
    peer.publish("cmds/rfid/mode", failure.substr(14, 70001), 0);
    errorAnswer("cmds/rfid/mode", failure);
    const std::string log = capture.text();
    EXPECT_NE(log.find("topic 'cmds/rfid/mode' failed: unknown mode 'x\\nWARN: a line the peer wrote\\u007f"),
              std::string::npos);
    EXPECT_NE(log.find("... (70016 bytes)\n"), std::string::npos);
    EXPECT_EQ(testsupport::logFaults(log, forged), "");

    // A message that reaches the client without a matching table entry, as after a command was
    // removed while the broker still forwarded to it.
    auto& listener = static_cast<MQTTClientListener&>(client);
    listener.onMessageReceived("cmds/rfid/zzz", "?", 0, false);
    errorAnswer("cmds/rfid/zzz", "Unknown topic");
    // Our own error topic is never answered, or a subscription to it would loop.
    listener.onMessageReceived("cmds/rfid/error", "{}", 0, false);
    // A topic that only looks like it lies under the base is not a relative command.
    listener.onMessageReceived("cmds/rfidcmd", "?", 0, false);
    errorAnswer("cmds/rfidcmd", "Unknown topic");
    EXPECT_FALSE(peer.receive(500ms)) << "a second error answer";

    EXPECT_TRUE(client.publish(
        MQTT::Message("out/r", "kept", MQTT::Retained::Retained, MQTT::QoS::AtLeastOnce), true));
    auto out = peer.receive(10s);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->topic, "cmds/rfid/out/r");
    EXPECT_EQ(out->payload, "kept");
    EXPECT_EQ(out->qos, 1);
    // Remove the retained message again so that no later subscriber sees it.
    peer.publish("cmds/rfid/out/r", "", 1, true);

    // mosquitto drops a client that subscribes or publishes deeper than 200 '/', the base counted.
    std::string deep = "d";
    for (int level = 2; level < 200; ++level) deep += "/d";  // 200 '/' after the base and the join
    for (const std::string& topic : {deep + "/d", deep}) {
        EXPECT_EQ(client.subscribeCommand(topic, inbox.handler("deep"), true), topic == deep);
        EXPECT_TRUE(topic == deep || !client.unsubscribeCommand(topic, true));
        EXPECT_EQ(client.publish(MQTT::Message(topic, "d", MQTT::Retained::New, MQTT::QoS::AtMostOnce), true),
                  topic == deep);
    }
    EXPECT_EQ(inbox.waitNext(), "deep " + deep + " d qos=0");
    EXPECT_EQ(inbox.size(), 4u);
    client.stop();
}

TEST_F(MQTTClientCommands, WrongPasswordIsReportedAsNotAuthorized)
{
    Log::open("tapgate-test", true, false);
    MQTT::Config config = configFor("auth/rfid", broker().authUrl());
    config.setUsername(MosquittoBroker::User);
    config.setPassword("wrong");
    MQTT::Client client("auth/rfid", "MQTT");
    client.setConfig(config);
    Counter failed(client.connectFailed);
    testing::internal::CaptureStderr();
    client.start();
    bool reported = failed.waitFor(1);
    client.stop();
    const std::string out = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(reported);
    EXPECT_NE(out.find("[MQTT::Client] Connection failed (reason=Not authorized)."), std::string::npos)
        << out;
    EXPECT_EQ(out.find("wrong"), std::string::npos) << "the password was logged";
}

TEST_F(MQTTClientCommands, BrokerRestartBringsConnectionAndSubscriptionsBack)
{
    Inbox inbox;
    MQTT::Client client("restart/rfid", "MQTT");
    client.setConfig(configFor("restart/rfid", broker().url()));
    client.subscribeCommand("cmd", inbox.handler("cmd"), true);
    Counter connected(client.connected);
    Counter disconnected(client.disconnected);
    Counter failed(client.connectFailed);
    client.start();
    ASSERT_TRUE(connected.waitFor(1));

    broker().kill();
    ASSERT_TRUE(disconnected.waitFor(1));
    // The client keeps trying while the broker is away.
    ASSERT_TRUE(failed.waitFor(2));
    EXPECT_FALSE(client.isConnected());
    Subscriptions resubscribed(client.subscribed);
    broker().start();
    ASSERT_TRUE(connected.waitFor(2));
    EXPECT_TRUE(client.isConnected());
    ASSERT_TRUE(resubscribed.waitFor("restart/rfid/cmd"));

    // Clean sessions: the broker forgot the subscription, the client made it again.
    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().port(), "peer-restart"), 0);
    peer.publish("restart/rfid/cmd", "again", 1);
    EXPECT_EQ(inbox.waitNext(), "cmd cmd again qos=0");
    client.stop();
}

TEST_F(MQTTClientCommands, StopEndsReconnectionForGood)
{
    MQTT::Client client("stop/rfid", "MQTT");
    client.setConfig(configFor("stop/rfid", broker().url()));
    Counter connected(client.connected);
    Counter failed(client.connectFailed);
    Counter disconnected(client.disconnected);
    Counter stopping(client.stopping);
    client.start();
    ASSERT_TRUE(connected.waitFor(1));
    client.stop();
    EXPECT_EQ(stopping.count(), 1);
    EXPECT_FALSE(client.isRunning());
    ASSERT_TRUE(disconnected.waitFor(1));
    EXPECT_FALSE(client.isConnected());

    // Stopped while the broker is away and the client is between two attempts.
    client.start();
    ASSERT_TRUE(connected.waitFor(2));
    broker().kill();
    ASSERT_TRUE(failed.waitFor(1));
    client.stop();
    const int failures = failed.count();
    broker().start();
    // Longer than two reconnection pauses: nothing may try again.
    std::this_thread::sleep_for(4500ms);
    EXPECT_EQ(connected.count(), 2);
    EXPECT_LE(failed.count(), failures + 1);  // at most the attempt that was already under way
    EXPECT_FALSE(client.isConnected());
}

TEST_F(MQTTClientCommands, NewSettingsRestartAndEqualSettingsDoNot)
{
    Inbox inbox;
    MQTT::Client client("cfg/rfid", "MQTT");
    client.setConfig(configFor("cfg/rfid", broker().url()));
    client.subscribeCommand("cmd", inbox.handler("cmd"), true);
    Counter connected(client.connected);
    Counter stopping(client.stopping);
    Subscriptions subscriptions(client.subscribed);
    client.start();
    client.start();
    ASSERT_TRUE(connected.waitFor(1));

    client.setConfig(configFor("cfg/rfid", broker().url()));
    EXPECT_EQ(stopping.count(), 0);

    MQTT::Config moved = configFor("cfg/moved", broker().authUrl());
    moved.setUsername(MosquittoBroker::User);
    moved.setPassword(MosquittoBroker::Password);
    client.setConfig(moved);
    EXPECT_EQ(stopping.count(), 1);
    ASSERT_TRUE(connected.waitFor(2));
    EXPECT_EQ(client.getConfig().getBase(), "cfg/moved");
    ASSERT_TRUE(subscriptions.waitFor("cfg/moved/cmd"));

    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().authPort(), "peer-cfg", MosquittoBroker::User, MosquittoBroker::Password),
              0);
    peer.publish("cfg/moved/cmd", "moved", 1);
    EXPECT_EQ(inbox.waitNext(), "cmd cmd moved qos=0");
    client.stop();
}

TEST_F(MQTTClientCommands, TlsUrlsGetTlsOptionsAndTheConfiguredAuthority)
{
    for (const std::string scheme : {"ssl://", "mqtts://"}) {
        SCOPED_TRACE(scheme);
        MQTT::Config config =
            configFor("tls/rfid", scheme + "127.0.0.1:" + std::to_string(broker().tlsPort()));
        config.setCaFile(broker().caFile());
        Inbox inbox;
        MQTT::Client client("tls/rfid", "MQTT");
        client.setConfig(config);
        client.subscribeCommand("cmd", inbox.handler("cmd"), true);
        Counter connected(client.connected);
        client.start();
        ASSERT_TRUE(connected.waitFor(1));
        client.publish(MQTT::Message("cmd", "loop", MQTT::Retained::New, MQTT::QoS::AtLeastOnce), true);
        EXPECT_EQ(inbox.waitNext(), "cmd cmd loop qos=0");
        client.stop();
    }
}

TEST_F(MQTTClientCommands, ReceivedAndPublishedMessagesAreLoggedWhenAskedTo)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelDebug);
    MQTT::Config config = configFor("logs/rfid", broker().url());
    config.set("log/received", true);
    config.set("log/published", true);
    config.setLogPayload(true);
    Inbox inbox;
    MQTT::Client client("logs/rfid", "MQTT");
    client.setConfig(config);
    client.subscribeCommand("cmd", inbox.handler("cmd"), true);
    Counter connected(client.connected);
    // The peer publishes only once the broker has confirmed the client's filter; a message sent
    // before that is lawfully dropped by the broker.
    testsupport::SubscriptionWatch watch(client.subscribed);
    testing::internal::CaptureStderr();
    client.start();
    client.start();
    bool up = connected.waitFor(1) && watch.waitFor({"logs/rfid/cmd"});
    MqttPeer peer;
    if (up && peer.connect(broker().port(), "peer-logs") == 0) {
        peer.publish("logs/rfid/cmd", "zero", 0);
        inbox.waitNext();
    }
    client.publish(MQTT::Message("cmd", "one", MQTT::Retained::New, MQTT::QoS::AtLeastOnce), true);
    inbox.waitNext();
    // The client subscribes at QoS 0, so the broker only ever hands it level 0; a level 1
    // delivery is made as the library would.
    static_cast<MQTTClientListener&>(client).onMessageReceived("logs/rfid/cmd", "two", 1, true);
    client.stop();
    const std::string out = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(up);
    size_t starts = 0;
    for (size_t pos = 0; (pos = out.find("[MQTT::Client] Starting...", pos)) != std::string::npos; ++pos)
        ++starts;
    EXPECT_EQ(starts, 1u) << out;
    EXPECT_NE(out.find("[MQTT::Client] New message received (qos=0): logs/rfid/cmd : zero"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[MQTT::Client] Publishing message (qos=1): cmd : one"), std::string::npos) << out;
    EXPECT_NE(out.find("[MQTT::Client] New message received (qos=0): logs/rfid/cmd : one"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[MQTT::Client] Retained message received (qos=1): logs/rfid/cmd : two"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[MQTT::Client] Detected internal command 'cmd'"), std::string::npos) << out;
}

TEST(MQTTClientLogging, KeyValueFormEscapesThePayload)
{
    Log::open("tapgate-test", true, false);
    MQTT::Client client("kv", "MQTT");
    MQTT::Config config("kv", "MQTT");
    config.set("log/logfmt", true);
    config.set("log/received", true);
    config.setLogPayload(true);
    client.setConfig(config);
    client.subscribeCommand(
        "cmd", [](const MQTT::Message&) {}, true);
    testing::internal::CaptureStderr();
    static_cast<MQTTClientListener&>(client).onMessageReceived("kv/cmd", "say \"hi\"", 1, false);
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_NE(
        out.find("lib=ravizire module=mqtt class=Client client=\"MQTT\" method=received topic=kv/cmd qos=1 "
                 "retained=false payload=\"say \\\"hi\\\"\""),
        std::string::npos)
        << out;
}

TEST_F(MQTTClientCommands, DestroyedWhileReconnectingWithoutWaitingForTheLibrary)
{
    // The reconnection pause and the subscriptions thread belong to the client: destroying it in
    // the middle of either must neither crash nor leave a thread that uses it afterwards.
    int closedPort = testsupport::freePorts(1)[0];
    for (int round = 0; round < 3; ++round) {
        auto client = std::make_unique<MQTT::Client>("gone/rfid", "MQTT");
        client->setConfig(configFor(
            "gone/rfid", round == 0 ? "tcp://127.0.0.1:" + std::to_string(closedPort) : broker().url()));
        for (int i = 0; i < 20; ++i)
            client->subscribeCommand(
                "cmd/" + std::to_string(i), [](const MQTT::Message&) {}, true);
        auto failed = std::make_unique<Counter>(client->connectFailed);
        auto connected = std::make_unique<Counter>(client->connected);
        client->start();
        if (round == 0) {
            ASSERT_TRUE(failed->waitFor(1));
        } else if (round == 2) {
            ASSERT_TRUE(connected->waitFor(1));
        }
        failed.reset();
        connected.reset();
        client.reset();
    }
}

}  // namespace
