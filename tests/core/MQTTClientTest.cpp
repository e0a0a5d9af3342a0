#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MosquittoBroker.h"
#include "MqttClientFixture.h"
#include "MqttPeer.h"
#include "StderrCapture.h"
#include "core/Log.h"
#include "core/MQTTClient.h"

namespace {

using namespace std::chrono_literals;
using testsupport::MosquittoBroker;
using testsupport::MqttPeer;

// Paho's connect time-out and its TLS handshake failures can take several seconds.
constexpr auto Slow = 20s;

// Writes down every listener call as one line, so that tests can wait for and count them.
class Recorder : public MQTTClientListener
{
public:
    void onConnected() override { add("connected"); }
    void onDisconnected() override { add("disconnected"); }
    void onSubscribed(const std::string& topic) override { add("subscribed " + topic); }
    void onUnsubscribed(const std::string& topic) override { add("unsubscribed " + topic); }
    void onMessageSent(int id) override { add("sent " + std::to_string(id)); }
    void onMessageDelivered(int id) override { add("delivered " + std::to_string(id)); }
    void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                           bool retained) override
    {
        add("received " + topic + " " + payload + " qos=" + std::to_string(qos) +
            (retained ? " retained" : ""));
    }
    void onConnectFailed(const std::string& reason) override { add("connectFailed " + reason); }
    void onSubscribeFailed(const std::string& topic) override { add("subscribeFailed " + topic); }
    void onUnsubscribeFailed(const std::string& topic) override { add("unsubscribeFailed " + topic); }
    void onMessageSendFailed(int id) override { add("sendFailed " + std::to_string(id)); }

    // Waits until an event beginning with the prefix has been seen; returns that event.
    std::string waitFor(const std::string& prefix, std::chrono::milliseconds timeout = Slow)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        std::string found;
        m_changed.wait_for(lock, timeout, [&] { return find(prefix, found); });
        return found;
    }

    int count(const std::string& prefix)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (const auto& e : m_events) n += e.rfind(prefix, 0) == 0;
        return n;
    }

    std::vector<std::string> events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    void clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }

private:
    void add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_changed.notify_all();
    }

    bool find(const std::string& prefix, std::string& found)
    {
        for (const auto& e : m_events)
            if (e.rfind(prefix, 0) == 0) {
                found = e;
                return true;
            }
        return false;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
};

class MQTTClientBroker : public testsupport::MosquittoSuite
{
};

TEST(MQTTMemoryPersistence, StoresJoinedBuffersAndRefusesMissingKeys)
{
    MQTTMemoryPersistence store;
    store.put("k2", {mqtt::string_view("ab"), mqtt::string_view(""), mqtt::string_view("c")});
    store.put("k1", {mqtt::string_view("x")});
    EXPECT_EQ(store.get("k2"), "abc");
    EXPECT_TRUE(store.contains_key("k1"));
    mqtt::string_collection keys = store.keys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], "k1");
    EXPECT_EQ(keys[1], "k2");

    store.put("k2", {mqtt::string_view("new")});
    EXPECT_EQ(store.get("k2"), "new");

    try {
        store.get("none");
        FAIL() << "no exception";
    } catch (const mqtt::persistence_exception& e) {
        EXPECT_EQ(e.get_return_code(), -2);
    }
    EXPECT_THROW(store.remove("none"), mqtt::persistence_exception);
    store.remove("k1");
    EXPECT_FALSE(store.contains_key("k1"));
    store.clear();
    EXPECT_TRUE(store.keys().empty());
}

TEST(MQTTClient, RequestsWithoutLibraryClientFailAndTellNobody)
{
    Recorder recorder;
    MQTTClient client(&recorder);
    EXPECT_FALSE(client.isConnected());
    EXPECT_FALSE(client.publish("a", "b", 0, false));
    EXPECT_FALSE(client.subscribe("a", 0));
    EXPECT_FALSE(client.unsubscribe("a"));
    EXPECT_FALSE(client.disconnect(0));
    EXPECT_TRUE(recorder.events().empty());
}

TEST(MQTTClient, ConnectFailureTextsFollowTheRefusalCodes)
{
    EXPECT_EQ(MQTTClient::connectFailureText(5), "Not authorized");
    EXPECT_EQ(MQTTClient::connectFailureText(4), "Bad user name or password");
    EXPECT_EQ(MQTTClient::connectFailureText(-1), "Connection timeout");
    EXPECT_EQ(MQTTClient::connectFailureText(42), "Unknown reason");
}

TEST_F(MQTTClientBroker, ExchangesMessagesBothWaysAndReportsEachStep)
{
    Recorder recorder;
    MQTTClient client(&recorder);
    client.setUrl(broker().url());
    client.setClientId("exchange");
    ASSERT_TRUE(client.connect());
    ASSERT_EQ(recorder.waitFor("connected"), "connected");
    EXPECT_TRUE(client.isConnected());

    ASSERT_TRUE(client.subscribe("dev/#", 1));
    ASSERT_EQ(recorder.waitFor("subscribed"), "subscribed dev/#");

    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().port(), "peer-exchange"), 0);
    peer.subscribe("out/#", 1);
    peer.publish("dev/in", "{\"x\":1}", 1);
    EXPECT_EQ(recorder.waitFor("received"), "received dev/in {\"x\":1} qos=1");

    ASSERT_TRUE(client.publish("out/q1", "one", 1, false));
    auto message = peer.receive(5s);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->topic, "out/q1");
    EXPECT_EQ(message->payload, "one");
    EXPECT_EQ(message->qos, 1);
    EXPECT_FALSE(recorder.waitFor("sent").empty());
    EXPECT_FALSE(recorder.waitFor("delivered").empty());

    ASSERT_TRUE(client.unsubscribe("dev/#"));
    EXPECT_EQ(recorder.waitFor("unsubscribed"), "unsubscribed dev/#");
    peer.publish("dev/in", "late", 1);

    ASSERT_TRUE(client.disconnect(1000));
    EXPECT_EQ(recorder.waitFor("disconnected"), "disconnected");
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(recorder.count("received"), 1);
    // The library client stays until the next connect: requests are refused by the library.
    EXPECT_FALSE(client.publish("out/q1", "gone", 0, false));
}

TEST_F(MQTTClientBroker, ConnectFailuresAreReportedNeverThrown)
{
    struct Case
    {
        std::string url;
        std::string user, password;
        std::string expected;  // empty: any text
    };
    int closedPort = testsupport::freePorts(1)[0];
    std::vector<Case> cases = {
        {broker().authUrl(), MosquittoBroker::User, "wrong", "Not authorized"},
        {"tcp://127.0.0.1:" + std::to_string(closedPort), "", "", "Connection timeout"},
        // A TLS URL without TLS options and a URL the library cannot parse would throw on the
        // connect thread; they must come back as failures.
        {broker().tlsUrl(), "", "", ""},
        {"mqtts://127.0.0.1:" + std::to_string(broker().tlsPort()), "", "", ""},
        {"bogus://127.0.0.1:1", "", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Recorder recorder;
        MQTTClient client(&recorder);
        client.setUrl(c.url);
        client.setUsername(c.user);
        client.setPassword(c.password);
        ASSERT_TRUE(client.connect());
        std::string event = recorder.waitFor("connectFailed");
        ASSERT_FALSE(event.empty()) << "no failure reported";
        if (!c.expected.empty()) {
            EXPECT_EQ(event, "connectFailed " + c.expected);
        }
        EXPECT_EQ(recorder.count("connected"), 0);
        EXPECT_FALSE(client.isConnected());
    }
}

TEST_F(MQTTClientBroker, TlsNeedsTheBrokersAuthority)
{
    struct Case
    {
        std::string caFile;  // empty: the system's authorities
        bool connects;
    };
    for (const auto& c :
         {Case{broker().caFile(), true}, Case{broker().otherCaFile(), false}, Case{"", false}}) {
        SCOPED_TRACE(c.caFile);
        Recorder recorder;
        MQTTClient client(&recorder);
        client.setUrl(broker().tlsUrl());
        if (!c.caFile.empty())
            client.setTrustStore(c.caFile);
        client.setEnableServerCertAuth(true);
        ASSERT_TRUE(client.connect());
        if (c.connects) {
            ASSERT_EQ(recorder.waitFor("connect"), "connected");
            ASSERT_TRUE(client.subscribe("tls/+", 0));
            ASSERT_EQ(recorder.waitFor("subscribed"), "subscribed tls/+");
            ASSERT_TRUE(client.publish("tls/echo", "secret", 0, false));
            EXPECT_EQ(recorder.waitFor("received"), "received tls/echo secret qos=0");
        } else {
            EXPECT_EQ(recorder.waitFor("connect"), "connectFailed Connection timeout");
            EXPECT_FALSE(client.isConnected());
        }
    }
}

TEST_F(MQTTClientBroker, ConnectAgainUsesTheCurrentSettings)
{
    Recorder recorder;
    MQTTClient client(&recorder);
    int closedPort = testsupport::freePorts(1)[0];
    client.setUrl("tcp://127.0.0.1:" + std::to_string(closedPort));
    client.setClientId("again");
    // Failed attempts on an unchanged URL keep the library client; each is still reported.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        ASSERT_TRUE(client.connect());
        ASSERT_TRUE(recorder.waitFor("connectFailed").size());
        EXPECT_EQ(recorder.count("connectFailed"), 1);
        recorder.clear();
    }

    client.setUrl(broker().url());
    ASSERT_TRUE(client.connect());
    ASSERT_EQ(recorder.waitFor("connect"), "connected");

    // A connect while connected makes a fresh connection with the settings now in force.
    client.setUrl(broker().authUrl());
    client.setUsername(MosquittoBroker::User);
    client.setPassword(MosquittoBroker::Password);
    recorder.clear();
    ASSERT_TRUE(client.connect());
    ASSERT_EQ(recorder.waitFor("connect"), "connected");
    ASSERT_TRUE(client.subscribe("again/+", 1));
    ASSERT_EQ(recorder.waitFor("subscribed"), "subscribed again/+");

    MqttPeer peer;
    ASSERT_EQ(
        peer.connect(broker().authPort(), "peer-again", MosquittoBroker::User, MosquittoBroker::Password), 0);
    peer.publish("again/x", "via-auth", 1);
    EXPECT_EQ(recorder.waitFor("received"), "received again/x via-auth qos=1");
}

// The library's send and receive threads, by their task ids.
std::set<std::string> libraryThreads()
{
    std::set<std::string> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name.rfind("MQTTAsync_", 0) == 0)
            ids.insert(task.path().filename().string());
    }
    return ids;
}

// Closing the last client must not stop the library's threads: their shutdown on this library
// version corrupts the heap (an abort in about one process in two thousand). The next client is
// served by the same threads.
TEST_F(MQTTClientBroker, LibraryThreadsOutliveEveryClient)
{
    auto connectedThreads = [&](const std::string& id) {
        Recorder recorder;
        MQTTClient client(&recorder);
        client.setUrl(broker().url());
        client.setClientId(id);
        EXPECT_TRUE(client.connect());
        EXPECT_EQ(recorder.waitFor("connected"), "connected");
        return libraryThreads();
    };
    const std::set<std::string> first = connectedThreads("threads-1");
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(connectedThreads("threads-2"), first);
}

TEST_F(MQTTClientBroker, ConnectStormAndCloseLeaveNoCallbackBehind)
{
    // Connects that switch between brokers while results of earlier ones are still arriving:
    // every replaced library client must go away off its own callback thread, and close() must
    // leave nothing that could call a listener that is about to be destroyed.
    auto recorder = std::make_unique<Recorder>();
    auto client = std::make_unique<MQTTClient>(recorder.get());
    int closedPort = testsupport::freePorts(1)[0];
    for (int i = 0; i < 12; ++i) {
        client->setUrl(i % 3 == 2 ? "tcp://127.0.0.1:" + std::to_string(closedPort) : broker().url());
        client->setClientId("storm-" + std::to_string(i % 2));
        client->connect();
        client->publish("storm/x", "p", 1, false);
        if (i % 4 == 3)
            std::this_thread::sleep_for(50ms);
    }
    client->setUrl(broker().url());
    client->connect();
    recorder->waitFor("connected");
    client->close();
    size_t seen = recorder->events().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder->events().size(), seen) << "a listener call after close()";
    EXPECT_FALSE(client->connect());
    client.reset();
    recorder.reset();
}

TEST_F(MQTTClientBroker, CloseWaitsForTheListenerCallInProgress)
{
    // A listener that is still inside a call when its owner closes the client: close() must not
    // return before that call has left, or the owner would be destroyed under it.
    class SlowListener : public Recorder
    {
    public:
        void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                               bool retained) override
        {
            Recorder::onMessageReceived(topic, payload, qos, retained);
            std::this_thread::sleep_for(300ms);
            left = true;
        }
        std::atomic<bool> left{false};
    };
    SlowListener listener;
    MQTTClient client(&listener);
    client.setUrl(broker().url());
    client.connect();
    ASSERT_EQ(listener.waitFor("connect"), "connected");
    ASSERT_TRUE(client.subscribe("slow", 0));
    ASSERT_EQ(listener.waitFor("subscribed"), "subscribed slow");
    ASSERT_TRUE(client.publish("slow", "x", 0, false));
    ASSERT_FALSE(listener.waitFor("received").empty());
    client.close();
    EXPECT_TRUE(listener.left);
}

TEST_F(MQTTClientBroker, ListenerExceptionsAreLoggedAndLaterEventsStillArrive)
{
    // Whatever a listener throws stays on the library thread that called it; the next event is
    // passed on as usual.
    class ThrowingListener : public Recorder
    {
    public:
        void onConnected() override
        {
            Recorder::onConnected();
            throw std::runtime_error("no connection wanted");
        }
        void onSubscribed(const std::string& topic) override
        {
            Recorder::onSubscribed(topic);
            throw 42;
        }
        void onMessageSent(int id) override
        {
            Recorder::onMessageSent(id);
            throw std::runtime_error("no sending wanted");
        }
    };
    Log::open("tapgate-test", true, false);
    testsupport::StderrCapture capture;
    ThrowingListener listener;
    MQTTClient client(&listener);
    client.setUrl(broker().url());
    client.setClientId("throwing");
    ASSERT_TRUE(client.connect());
    ASSERT_EQ(listener.waitFor("connected"), "connected");
    ASSERT_TRUE(client.subscribe("throw/+", 1));
    ASSERT_EQ(listener.waitFor("subscribed"), "subscribed throw/+");
    ASSERT_TRUE(client.publish("throw/x", "p", 1, false));
    EXPECT_EQ(listener.waitFor("received"), "received throw/x p qos=1");
    EXPECT_FALSE(listener.waitFor("sent").empty());
    // Once closed, no listener call is running, so every log line has been written.
    client.close();
    const std::string log = capture.text();
    EXPECT_NE(log.find("[MQTTClient] Connection handling failed: no connection wanted"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[MQTTClient] Subscription result handling failed."), std::string::npos) << log;
    EXPECT_NE(log.find("[MQTTClient] Publish result handling failed: no sending wanted"), std::string::npos)
        << log;
}

// Not a test of its own: the child process of LastWillIsPublishedWhenTheClientProcessDies.
TEST(MQTTClientWillChild, DISABLED_HoldConnectionUntilKilled)
{
    const char* url = std::getenv("TAPGATE_WILL_URL");
    ASSERT_NE(url, nullptr);
    Recorder recorder;
    MQTTClient client(&recorder);
    client.setUrl(url);
    client.setClientId("will-child");
    client.setWill("will/status", "{\"online\":false}", 1, false);
    client.connect();
    ASSERT_EQ(recorder.waitFor("connect"), "connected");
    client.publish("will/ready", "1", 1, false);
    std::this_thread::sleep_for(60s);
}

TEST_F(MQTTClientBroker, LastWillIsPublishedWhenTheClientProcessDies)
{
    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().port(), "will-watcher"), 0);
    peer.subscribe("will/#", 1);

    pid_t child = testsupport::spawnProgram(
        {"/proc/self/exe", "--gtest_also_run_disabled_tests", "--gtest_filter=MQTTClientWillChild.*"},
        broker().tempFile("will-child.log"), {"TAPGATE_WILL_URL=" + broker().url()});
    auto ready = peer.receive(Slow);
    ASSERT_TRUE(ready) << "the child did not connect";
    EXPECT_EQ(ready->topic, "will/ready");

    ::kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    auto will = peer.receive(Slow);
    ASSERT_TRUE(will);
    EXPECT_EQ(will->topic, "will/status");
    EXPECT_EQ(will->payload, "{\"online\":false}");
}

}  // namespace
