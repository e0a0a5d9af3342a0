#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <future>
#include <map>
#include <optional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MqttClientFixture.h"
#include "MqttPeer.h"
#include "StderrCapture.h"
#include "core/Log.h"
#include "core/MQTT/Client.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::MqttPeer;

class MQTTClientRpc : public testsupport::MqttClientSuite
{
protected:
    static int publishWithMosquittoPub(const std::string& topic, const std::string& payload)
    {
        return testsupport::runProgram(
            {testsupport::findProgram("mosquitto_pub"), "-h", "127.0.0.1", "-p",
             std::to_string(broker().port()), "-q", "1", "-t", topic, "-m", payload},
            broker().tempFile("mosquitto_pub.log"));
    }
};

// The served handler answers with what it was given, so that every test sees the name, payload
// and id the client took out of the request.
std::string echoHandler(const std::string& name, const std::string& payload, const std::string& id)
{
    if (payload == "throw")
        throw std::runtime_error("handler gave up");
    return MQTT::Client::makeRpcCompleted(json{{"name", name}, {"payload", payload}, {"id", id}});
}

// Lines of a captured log that hold marker; every line is short, whatever text it shows.
size_t shortLinesWith(const std::string& log, const char* marker)
{
    std::istringstream lines(log);
    size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.find(marker) != std::string::npos;
        EXPECT_LT(line.size(), 200u);
    }
    return count;
}

TEST(MQTTRpcTopics, RequestAndAnswerTopicsAreTakenApart)
{
    MQTT::Client client("b", "MQTT");
    struct Case
    {
        const char* topic;
        const char* issuer;
        const char* name;
        const char* id;
    };
    const Case topics[] = {
        {"b/x/request/42", "", "x", "42"},
        {"b/x/request/web/42", "web", "x", "42"},
        {"b/dev/1/request/7", "", "dev/1", "7"},
        {"b/x/request/web/", "web", "x", ""},
        {"b/x/request/", "", "", ""},
        {"b/x/request//42", "", "", ""},
        {"bx/x/request/42", "", "", ""},
        {"peer/sam/command/response/12345", "", "peer/sam/command", "12345"},
        {"peer/x/response/0123456789abcdef/12345", "0123456789abcdef", "peer/x", "12345"},
        {"peer/x/response/", "", "", ""},
        {"peer/x/response//12345", "", "", ""},
    };
    for (const auto& c : topics) {
        const std::string topic = c.topic;
        const MQTT::Client::RpcData data = topic.find("/response/") == std::string::npos
                                               ? client.parseRpcTopicRequest(topic)
                                               : client.parseRpcTopicResponse(topic);
        EXPECT_EQ(data.issuer, c.issuer) << c.topic;
        EXPECT_EQ(data.name, c.name) << c.topic;
        EXPECT_EQ(data.id, c.id) << c.topic;
    }
    // A caller's tag is one topic level of its own.
    const MQTT::Client other("b", "MQTT");
    EXPECT_NE(client.callerTag(), other.callerTag());
    for (const std::string& tag : {client.callerTag(), other.callerTag()}) {
        EXPECT_EQ(tag.size(), 16u) << tag;
        EXPECT_EQ(tag.find_first_not_of("0123456789abcdef"), std::string::npos) << tag;
    }

    EXPECT_EQ(MQTT::Client::makeRpcCompleted(json::object()), R"({"completed":true})");
    EXPECT_EQ(MQTT::Client::makeRpcFailed(nullptr, nullptr), R"({"completed":false})");
    // Text that is not UTF-8 still gives an answer.
    EXPECT_EQ(MQTT::Client::makeRpcFailed(std::string("bad \xff"), 5),
              "{\"completed\":false,\"data\":5,\"error\":\"bad \xef\xbf\xbd\"}");

    // Not connected: a call cannot be sent and says so without waiting out its time.
    Log::open("tapgate-test", true, false);
    testsupport::StderrCapture capture;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.rpc("peer/" + std::string(60000, 'x'), "p", 5000), std::make_pair(false, std::string()));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_EQ(shortLinesWith(capture.text(), "could not be sent"), 1u);
}

TEST(MQTTCallIds, ATimedOutIdStaysOutOfTheDrawUntilAsManyLaterOnesAsTheCapacityAreHeld)
{
    MQTT::CallIds ids(7, 2);
    const auto none = [](unsigned) { return false; };
    const auto first = [&] {
        ids.seed(7);
        return ids.draw(0, none);
    };
    const unsigned a = first();
    EXPECT_GE(a, 10000u);
    EXPECT_LE(a, 99999u);
    ids.hold(a);
    const unsigned b = first();
    ids.hold(b);
    const unsigned c = first();  // two held, a one of them
    EXPECT_NE(b, a);
    EXPECT_TRUE(c != a && c != b) << c;
    ids.hold(c);
    EXPECT_EQ(first(), a);
    // With every other id in use, the held ones go back rather than leave nothing to draw.
    EXPECT_EQ(ids.draw(MQTT::CallIds::Count - 1, [b](unsigned id) { return id != b; }), b);
    EXPECT_EQ(ids.draw(MQTT::CallIds::Count, none), 0u);
}

TEST_F(MQTTClientRpc, CallsReachTheServedHandlerAndItsAnswerComesBack)
{
    MQTT::Client server("rpc/dev", "MQTT");
    server.setConfig(configFor("rpc/dev", "rpc-server"));
    ASSERT_TRUE(server.subscribeRpc("x", echoHandler));
    ASSERT_TRUE(server.subscribeRpc("dev/+", echoHandler));
    // Under a base a name may begin with '$'. The deepest name's filter has 200 '/', as have the
    // caller's topics of it; one more is refused.
    const std::string deepest = "d" + std::string(195, '/') + "d";
    ASSERT_TRUE(server.subscribeRpc("$x", echoHandler) && server.subscribeRpc(deepest, echoHandler));
    ASSERT_NO_FATAL_FAILURE(startAndWait(
        server,
        {"rpc/dev/x/request/+", "rpc/dev/x/request/+/+", "rpc/dev/dev/+/request/+",
         "rpc/dev/dev/+/request/+/+", "rpc/dev/$x/request/+/+", "rpc/dev/" + deepest + "/request/+/+"}));
    Log::open("tapgate-test", true, false);
    testsupport::StderrCapture capture;
    EXPECT_FALSE(server.subscribeRpc("d" + std::string(196, '/') + "d", echoHandler));
    EXPECT_FALSE(server.rpc("$SYS/x", "p", 10000).first);  // a called name goes out without the base
    EXPECT_EQ(shortLinesWith(capture.text(), "refused: "), 2u);
    MQTT::Client caller("rpc/caller", "MQTT");
    caller.setConfig(configFor("rpc/caller", "rpc-caller"));
    ASSERT_NO_FATAL_FAILURE(startAndWait(caller, {}));

    auto [answered, payload] = caller.rpc("rpc/dev/x", "{\"n\":1}", 10000);
    ASSERT_TRUE(answered);
    // Not const: a missing member then reads as null, where a const lookup of it is undefined.
    json answer = json::parse(payload);
    EXPECT_EQ(answer["completed"], true);
    EXPECT_EQ(answer["data"]["name"], "x");
    EXPECT_EQ(answer["data"]["payload"], "{\"n\":1}");
    const std::string id = answer["data"]["id"];
    ASSERT_EQ(id.size(), 5u) << id;
    EXPECT_GE(std::stoi(id), 10000);

    for (const std::string& name : {std::string("dev/2"), std::string("$x"), deepest}) {
        std::tie(answered, payload) = caller.rpc("rpc/dev/" + name, "p", 10000);
        ASSERT_TRUE(answered) << name;
        EXPECT_EQ(json::parse(payload)["data"]["name"], name);
    }

    std::tie(answered, payload) = caller.rpc("rpc/dev/x", "throw", 10000);
    ASSERT_TRUE(answered);
    EXPECT_EQ(payload, R"({"completed":false,"error":{"description":"handler gave up"}})");

    // A name nobody serves: nobody answers and the call runs into its time-out.
    EXPECT_EQ(caller.rpc("rpc/dev/y", "p", 300), std::make_pair(false, std::string()));
    caller.stop();
    server.stop();
}

// The answer topic is the request's with one byte more: a request on the longest topic cannot be
// answered, and is dropped in one short line, the connection and the calls after it kept. So is one
// whose answer topic would have more than 200 '/'; the served filters let no request with more levels
// than theirs through, so the deep ones are handed over here as the library would. A long issuer is
// cut short in the log line, as a long id is.
TEST_F(MQTTClientRpc, RequestsFromOtherToolsAreAnsweredOnTheirIssuerTopicWhenItFits)
{
    MQTT::Client server("tool/dev", "MQTT");
    server.setConfig(configFor("tool/dev", "tool-server"));
    server.subscribeRpc("x", echoHandler);
    ASSERT_NO_FATAL_FAILURE(startAndWait(server, {"tool/dev/x/request/+", "tool/dev/x/request/+/+"}));
    std::atomic<int> disconnects{0};
    server.disconnected.connect([&disconnects] { ++disconnects; });
    Log::open("tapgate-test", true, false);

    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().port(), "tool-peer"), 0);
    peer.subscribe("tool/dev/x/response/#", 2);
    peer.subscribe("tool/dev/error", 0);

    const std::string request = "tool/dev/x/request/";
    testsupport::StderrCapture capture;
    peer.publish(request + std::string(65534 - request.size(), '9'), "longest", 0);
    auto answer = peer.receive(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic.size(), 65535u);
    const std::string deepest = std::string(60000, 'i') + "/1" + std::string(195, '/') + "1";
    server.onMessageReceived(request + deepest, "deepest, from a long issuer", 0, false);
    answer = peer.receive(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic, "tool/dev/x/response/" + deepest);
    server.onMessageReceived(request + deepest + "/1", "too deep", 0, false);
    peer.publish(request + std::string(65535 - request.size(), '9'), "too long", 0);
    ASSERT_EQ(publishWithMosquittoPub("tool/dev/x/request/web/42", "hello"), 0);
    answer = peer.receive(10s);
    EXPECT_EQ(shortLinesWith(capture.text(), "dropped"), 2u);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic, "tool/dev/x/response/web/42");
    EXPECT_EQ(answer->payload,
              MQTT::Client::makeRpcCompleted(json{{"name", "x"}, {"payload", "hello"}, {"id", "42"}}));
    EXPECT_EQ(answer->qos, 0);  // the request's level as the client's QoS 0 subscription received it
    EXPECT_FALSE(answer->retained);

    peer.publish("tool/dev/x/request/42", "plain", 0);
    answer = peer.receive(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic, "tool/dev/x/response/42");
    EXPECT_EQ(answer->qos, 0);

    // An empty issuer is no call: the server says it does not know the topic.
    peer.publish("tool/dev/x/request//42", "?", 0);
    answer = peer.receive(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->topic, "tool/dev/error");
    EXPECT_EQ(answer->payload,
              json({{"command", "tool/dev/x/request//42"}, {"error", "Unknown topic"}}).dump());
    EXPECT_FALSE(peer.receive(300ms));
    EXPECT_EQ(disconnects.load(), 0);
    server.stop();
}

TEST_F(MQTTClientRpc, TimeOutReturnsFalseAndLateOrRepeatedAnswersAreIgnored)
{
    MQTT::Client caller("late/caller", "MQTT");
    caller.setConfig(configFor("late/caller", "late-caller"));
    // Keeps the answer filter after each call, so that late answers do reach the client.
    caller.subscribeExpectedRpc("late/sam/command");
    const std::string answers = "late/sam/command/response/" + caller.callerTag() + "/";
    ASSERT_NO_FATAL_FAILURE(startAndWait(caller, {answers + "+"}));

    MqttPeer peer;
    ASSERT_EQ(peer.connect(broker().port(), "late-peer"), 0);
    peer.subscribe("late/sam/command/request/#", 2);
    peer.subscribe("late/caller/error", 0);

    caller.seedCallIds(1);
    EXPECT_EQ(caller.rpc("late/sam/command", "first", 300), std::make_pair(false, std::string()));
    auto request = peer.receive(10s);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->payload, "first");
    EXPECT_EQ(request->qos, 2);
    EXPECT_FALSE(request->retained);
    const std::string lateId = request->topic.substr(request->topic.rfind('/') + 1);
    EXPECT_EQ(request->topic, "late/sam/command/request/" + caller.callerTag() + "/" + lateId);

    // The next call starts from the same draw, and the late answer comes while it waits, after
    // answers on its id to no caller and to another caller; its own answer comes twice. The first
    // of its own counts, and none of the others makes the client complain or hands it to a later call.
    caller.seedCallIds(1);
    std::pair<bool, std::string> second;
    std::thread calling([&] { second = caller.rpc("late/sam/command", "second", 10000); });
    // A test that stops early still waits for the call: a thread left running would end the program.
    const struct Join
    {
        std::thread& thread;
        ~Join()
        {
            if (thread.joinable())
                thread.join();
        }
    } join{calling};
    request = peer.receive(10s);
    ASSERT_TRUE(request);
    const std::string id = request->topic.substr(request->topic.rfind('/') + 1);
    EXPECT_NE(id, lateId);
    // Answers to no caller and to another one come through no filter of this client's; they are
    // handed over here as the library would if some wider subscription brought them.
    caller.onMessageReceived("late/sam/command/response/" + id, "to no caller", 1, false);
    caller.onMessageReceived("late/sam/command/response/0123456789abcdef/" + id, "to another caller", 1,
                             false);
    Log::open("tapgate-test", true, false);
    testsupport::StderrCapture capture;
    peer.publish(answers + lateId, "too late", 1);
    peer.publish(answers + std::string(65000, 'z'), "unknown id", 1);
    peer.publish(answers + id, "answer", 1);
    peer.publish(answers + id, "again", 1);
    calling.join();
    EXPECT_EQ(second, std::make_pair(true, std::string("answer")));
    EXPECT_EQ(shortLinesWith(capture.text(), "id 'zzz"), 1u);

    EXPECT_FALSE(peer.receive(500ms)) << "the client complained on its error topic";
    caller.stop();
}

// Several devices calling one device's service draw ids alike: with calls of both clients in
// flight on the same ids, each client gets its own answers and no other. The served side is a peer
// here, answering as a served call does only once every call is in flight (a served handler that
// waited would hold the library's one delivery thread).
TEST_F(MQTTClientRpc, TwoClientsCallingOneNameOnTheSameIdsEachGetOnlyTheirOwnAnswers)
{
    MqttPeer device;
    ASSERT_EQ(device.connect(broker().port(), "two-device"), 0);
    device.subscribe("two/dev/echo/request/#", 2);

    constexpr int Clients = 2;
    constexpr int CallsEach = 4;
    std::vector<std::unique_ptr<MQTT::Client>> callers;
    for (int c = 0; c < Clients; ++c) {
        const std::string base = "two/caller" + std::to_string(c);
        callers.push_back(std::make_unique<MQTT::Client>(base, "MQTT"));
        callers[c]->setConfig(configFor(base, base));
        ASSERT_NO_FATAL_FAILURE(startAndWait(*callers[c], {}));
        callers[c]->seedCallIds(1);
    }
    std::pair<bool, std::string> results[Clients][CallsEach];
    std::vector<std::thread> threads;
    const struct JoinAll
    {
        std::vector<std::thread>& threads;
        ~JoinAll()
        {
            for (auto& thread : threads) thread.join();
        }
    } joinAll{threads};
    for (int c = 0; c < Clients; ++c)
        for (int i = 0; i < CallsEach; ++i)
            threads.emplace_back([&, c, i] {
                results[c][i] =
                    callers[c]->rpc("two/dev/echo", std::to_string(c) + ":" + std::to_string(i), 20000);
            });
    std::vector<testsupport::PeerMessage> requests;
    std::map<std::string, int> callsById;
    for (int n = 0; n < Clients * CallsEach; ++n) {
        const auto request = device.receive(10s);
        ASSERT_TRUE(request) << n << " requests seen";
        requests.push_back(*request);
        ++callsById[request->topic.substr(request->topic.rfind('/') + 1)];
    }
    EXPECT_EQ(callsById.size(), static_cast<size_t>(CallsEach));
    for (const auto& entry : callsById) EXPECT_EQ(entry.second, Clients) << "id " << entry.first;
    const std::string request = "/request/";
    for (auto r : requests)
        device.publish(r.topic.replace(r.topic.find(request), request.size(), "/response/"), r.payload, 1);
    for (auto& thread : threads) thread.join();
    threads.clear();
    for (int c = 0; c < Clients; ++c)
        for (int i = 0; i < CallsEach; ++i)
            EXPECT_EQ(results[c][i], std::make_pair(true, std::to_string(c) + ":" + std::to_string(i)));
}

// 64 calls in flight at once: a broker with its default settings takes 20 QoS 2 messages in flight
// from a client, and over MQTT 3.1.1 drops those past its quota without a word.
TEST_F(MQTTClientRpc, ConcurrentCallsPastTheBrokersInflightQuotaAllGetTheirAnswers)
{
    MQTT::Client server("many/dev", "MQTT");
    server.setConfig(configFor("many/dev", "many-server"));
    server.subscribeRpc("echo", echoHandler);
    ASSERT_NO_FATAL_FAILURE(startAndWait(server, {"many/dev/echo/request/+", "many/dev/echo/request/+/+"}));
    MQTT::Client caller("many/caller", "MQTT");
    caller.setConfig(configFor("many/caller", "many-caller"));
    ASSERT_NO_FATAL_FAILURE(startAndWait(caller, {}));

    constexpr int Threads = 64;
    constexpr int Calls = 6;
    std::atomic<int> answered{0}, mismatched{0};
    std::vector<std::thread> threads;
    std::promise<void> go;
    const std::shared_future<void> start = go.get_future().share();
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            start.wait();
            for (int i = 0; i < Calls; ++i) {
                const std::string payload = std::to_string(t) + ":" + std::to_string(i);
                // Every call starts from the same draw: an id comes back as soon as it is free.
                caller.seedCallIds(1);
                auto result = caller.rpc("many/dev/echo", payload, 15000);
                if (!result.first)
                    break;  // lost: one is enough, and the time-outs of more would add up
                ++answered;
                try {
                    if (json::parse(result.second)["data"]["payload"] != payload)
                        ++mismatched;
                } catch (const json::exception&) {
                    ++mismatched;  // thrown out of this thread, it would end the program
                }
            }
        });
    }
    go.set_value();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), Threads * Calls);
    EXPECT_EQ(mismatched.load(), 0);
    caller.stop();
    server.stop();
}

// A name the broker would refuse in a topic or filter costs the whole connection, and with it the
// answers of every call in flight; one that does not come back whole out of its topics leaves the
// caller waiting after the handler ran. Each is refused at once through rpc, subscribeExpectedRpc
// and (where no filter takes it) subscribeRpc, in one short line, while a call beside them stays in
// flight and is answered. Names next to the refused ones, the longest and the deepest that fit among
// them (an answer topic of 65535 bytes, of 200 '/'), are taken, by the broker too, served and
// answered, as are names with "request" or "response" inside a level. The caller has no base, as a
// served name that begins with '$' needs to be refused.
TEST_F(MQTTClientRpc, NamesThatCannotBeTopicsAreRefusedAtOnceWhileCallsBesideThemAreAnswered)
{
    MqttPeer device;
    ASSERT_EQ(device.connect(broker().port(), "names-device"), 0);
    device.subscribe("names/+/request/#", 2);
    MQTT::Client caller("names/caller", "MQTT");
    caller.setConfig(configFor("", "names-caller"));
    ASSERT_NO_FATAL_FAILURE(startAndWait(caller, {}));
    std::atomic<int> disconnects{0};
    caller.disconnected.connect([&disconnects] { ++disconnects; });
    Log::open("tapgate-test", true, false);
    auto beside =
        std::async(std::launch::async, [&caller] { return caller.rpc("names/echo", "beside", 30000); });
    const auto besideRequest = device.receive(10s);
    ASSERT_TRUE(besideRequest);

    const std::string longest =
        "names/" + std::string(65535 - std::string("names//response/0123456789abcdef/12345").size(), 'x');
    // A served name takes '+' as a whole level, and its topics are not longer by a caller's tag.
    const std::set<std::string> calledOnly = {"names/+/x", longest + "x"};
    std::vector<std::string> names = {"",           "names/a+b", "de+v",        std::string("names/a\0b", 9),
                                      "names/#",    "#",         "names/\xc3(", "names/+/x",
                                      longest + "x"};
    names.push_back("names" + std::string(198, '/') + "x");  // 201 '/' in its topics
    // Names that would not come back whole out of their topics.
    names.insert(names.end(),
                 {"names/response", "names/request/x", "names/a/", "/names/a", "$SYS/x", "$share"});
    std::vector<std::string> taken = {longest, "names" + std::string(197, '/') + "x", "names/a//b",
                                      "names/requests", "names/get_response"};
    // Code points a broker may close the connection on (U+0001, TAB, LF, U+001F, DEL, U+0085, U+009F,
    // U+FDD0, U+FDEF, U+FFFE, U+1FFFF, U+10FFFF), and next to them others that it takes (space, '~',
    // U+00A0, U+0905, U+FDCF, U+FDF0, U+FFFD, U+10FFFD).
    for (const char* c : {"\x01", "\t", "\n", "\x1f", "\x7f", "\xc2\x85", "\xc2\x9f", "\xef\xb7\x90",
                          "\xef\xb7\xaf", "\xef\xbf\xbe", "\xf0\x9f\xbf\xbf", "\xf4\x8f\xbf\xbf"})
        names.push_back(std::string("names/") + c);
    for (const char* c : {" ", "~", "\xc2\xa0", "\xe0\xa4\x85", "\xef\xb7\x8f", "\xef\xb7\xb0",
                          "\xef\xbf\xbd", "\xf4\x8f\xbf\xbd"})
        taken.push_back(std::string("names/") + c);
    for (const std::string& name : names) {
        SCOPED_TRACE(&name - names.data());
        const bool served = calledOnly.count(name) == 0;
        testsupport::StderrCapture capture;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(caller.rpc(name, "refused", 10000), std::make_pair(false, std::string()));
        EXPECT_FALSE(caller.subscribeExpectedRpc(name));
        EXPECT_TRUE(!served || !caller.subscribeRpc(name, echoHandler));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_EQ(shortLinesWith(capture.text(), "refused: "), 2u + served) << capture.text();
    }
    testsupport::SubscriptionWatch taking(caller.subscribed);
    std::set<std::string> filters;
    for (const std::string& name : taken) {
        EXPECT_TRUE(caller.subscribeExpectedRpc(name) && caller.subscribeRpc(name, echoHandler));
        filters.insert({name + "/response/" + caller.callerTag() + "/+", name + "/request/+/+"});
    }
    EXPECT_TRUE(taking.waitFor(filters));
    testsupport::StderrCapture answers;
    for (const std::string& name : taken) {
        EXPECT_TRUE(caller.rpc(name, "taken", 10000).first) << &name - taken.data();
        EXPECT_TRUE(caller.unsubscribeExpectedRpc(name));
    }
    EXPECT_EQ(shortLinesWith(answers.text(), "Detected RPC response"), taken.size());
    std::string answerTopic = besideRequest->topic;
    device.publish(answerTopic.replace(answerTopic.find("/request/"), 9, "/response/"),
                   besideRequest->payload, 1);
    EXPECT_EQ(beside.get(), std::make_pair(true, std::string("beside")));

    // A refused filter is asked for again while something needs it, and only then; the retries go
    // out in the order of the refusals. One let go is let go again only while nothing needs it,
    // and a call on it is still answered after its retry was due.
    const std::string kept = "names/kept/response/" + caller.callerTag() + "/+";
    const std::string asked = "names/asked/response/" + caller.callerTag() + "/+";
    const std::string ended = "names/echo/response/" + caller.callerTag() + "/+";
    {
        testsupport::SubscriptionWatch first(caller.subscribed);
        ASSERT_TRUE(caller.subscribeExpectedRpc("names/kept") && caller.subscribeExpectedRpc("names/asked"));
        ASSERT_TRUE(first.waitFor({kept, asked}));
    }
    testsupport::SubscriptionWatch watch(caller.subscribed);
    caller.onUnsubscribeFailed(kept);
    caller.onSubscribeFailed(ended);
    caller.onSubscribeFailed(asked);
    EXPECT_TRUE(watch.waitFor({asked}));
    EXPECT_FALSE(watch.waitFor({ended}, 0ms));
    auto call = std::async(std::launch::async, [&caller] { return caller.rpc("names/kept", "kept", 10000); });
    std::optional<testsupport::PeerMessage> request;
    while ((request = device.receive(10s)) && request->topic.rfind("names/kept/request/", 0) != 0) {
    }
    ASSERT_TRUE(request);
    device.publish(request->topic.replace(0, 19, "names/kept/response/"), request->payload, 1);
    EXPECT_EQ(call.get(), std::make_pair(true, std::string("kept")));
    EXPECT_EQ(disconnects.load(), 0);
    caller.stop();
}

// Ways: p publish, f command filter, r relative command, b base, s relative command before start; in
// capitals, taken by the broker, which confirms each filter with the connection kept. The client
// runs under base "$share", a base the broker takes, once it dropped the relative command "" that
// would be "$share" alone under it.
TEST_F(MQTTClientRpc, TopicsFiltersAndBasesTheBrokerDropsClientsForAreRefusedAtOnceInOneLine)
{
    Log::open("tapgate-test", true, false);
    MQTT::Client client("rows/b", "MQTT"), idle("rows/b", "MQTT");
    ASSERT_TRUE(client.subscribeCommand("", nullptr, true));
    {
        testsupport::StderrCapture capture;
        EXPECT_TRUE(client.setConfig(configFor("$share", "rows-client")));
        EXPECT_EQ(shortLinesWith(capture.text(), "dropped under base"), 1u);
    }
    ASSERT_NO_FATAL_FAILURE(startAndWait(client, {}));
    testsupport::SubscriptionWatch watch(client.subscribed);
    const std::pair<char, std::string> rows[] = {
        {'p', "a/+/b"},      {'p', "a/#"},      {'p', std::string("a\0b", 3)},
        {'f', "a/#/b"},      {'f', "a/b\x01"},  {'b', "w/#"},
        {'b', "w+x"},        {'b', "w\x1f"},    {'s', "d" + std::string(199, '/')},
        {'f', "$share"},     {'r', ""},         {'P', "$share"},
        {'F', "$share/"},    {'F', "$share/g"}, {'F', "$share//a"},
        {'F', "$share/+/a"}, {'R', "g/a/#"}};
    std::set<std::string> filters;
    for (const auto& [way, text] : rows) {
        const MQTT::Message message(text, "x", MQTT::Retained::New, MQTT::QoS::AtMostOnce);
        const bool taken = std::isupper(way), relative = way == 'r' || way == 'R' || way == 's';
        testsupport::StderrCapture capture;
        EXPECT_EQ(way == 'p' || way == 'P' ? client.publish(message, false)
                  : way == 'b'             ? client.setConfig(configFor(text, "rows-client"))
                               : (way == 's' ? idle : client).subscribeCommand(text, nullptr, relative),
                  taken);
        EXPECT_EQ(shortLinesWith(capture.text(), " refused"), taken ? 0u : 1u)
            << testing::PrintToString(text);
        if (taken && way != 'P')
            filters.insert(relative ? "$share/" + text : text);
    }
    // The broker answers in order: its last confirmation comes after all that was sent before it.
    EXPECT_TRUE(watch.waitFor(filters, 10s));
    EXPECT_TRUE(!client.disconnected.emitted.Wait(0) && client.getConfig().getBase() == "$share");
}

// A base made deeper after names are served judges them again, while the client runs as when the
// settings come before start: what the broker would no longer take is dropped in one line, never sent.
TEST_F(MQTTClientRpc, ADeeperBaseDropsTheServedNamesThatNoLongerFitAndKeepsTheOthers)
{
    Log::open("tapgate-test", true, false);
    // 200 '/' in their deepest filters under deep/r or deep/s, 201 one level deeper.
    const std::string name = "a" + std::string(195, '/') + "a", command = "c" + std::string(198, '/');
    for (const std::string base : {"deep/r", "deep/s"}) {
        SCOPED_TRACE(base);
        std::atomic<int> disconnects{0};
        MQTT::Client server(base, "MQTT");
        ASSERT_TRUE(server.subscribeRpc(name, echoHandler) && server.subscribeRpc("z", echoHandler) &&
                    server.subscribeCommand(command, nullptr, true));
        if (base == "deep/r") {
            server.setConfig(configFor(base, base));
            ASSERT_NO_FATAL_FAILURE(startAndWait(server, {base + "/" + name + "/request/+/+"}));
        }
        testsupport::StderrCapture capture;
        server.setConfig(configFor(base + "/x", base));
        EXPECT_EQ(shortLinesWith(capture.text(), "dropped under base"), 2u);
        ASSERT_NO_FATAL_FAILURE(startAndWait(server, {}));
        server.disconnected.connect([&disconnects] { ++disconnects; });  // past the restart's own
        EXPECT_TRUE(server.rpc(base + "/x/z", "p", 10000).first);
        EXPECT_FALSE(server.unsubscribeRpc(name) || server.unsubscribeCommand(command, true));
        EXPECT_EQ(disconnects.load(), 0);
    }
}

// The old session's last word comes once the new one runs, as on a loaded machine; connections are
// counted at a filter's retry, due on the client's clock after any reconnection that word set off.
TEST_F(MQTTClientRpc, ARestartWithACallInFlightConnectsOnceAndTheCallIsAnswered)
{
    MqttPeer device;
    ASSERT_EQ(device.connect(broker().port(), "once-device"), 0);
    device.subscribe("once/dev/request/#", 2);
    Semaphore left("", 0, 1);
    MQTT::Client client("once/a", "MQTT");
    client.setConfig(configFor("once/a", "once-client"));
    client.subscribeCommand("cmd", nullptr, true);
    ASSERT_NO_FATAL_FAILURE(startAndWait(client, {"once/a/cmd"}));
    auto call = std::async(std::launch::async, [&client] { return client.rpc("once/dev", "p", 30000); });
    auto request = device.receive(10s).value();
    const int hold = client.disconnected.connect([&] {
        left.Post();
        for (int tries = 0; !client.isRunning() && tries < 10000; ++tries) std::this_thread::sleep_for(1ms);
    });
    client.starting.connect([&left] { left.Wait(10000); });
    Log::open("tapgate-test", true, false);
    testsupport::StderrCapture capture;
    testsupport::SubscriptionWatch restarted(client.subscribed);
    ASSERT_TRUE(client.setConfig(configFor("once/b", "once-client")) && restarted.waitFor({"once/b/cmd"}));
    client.disconnected.disconnect(hold);
    testsupport::SubscriptionWatch retried(client.subscribed);
    client.onSubscribeFailed("once/b/cmd");
    ASSERT_TRUE(retried.waitFor({"once/b/cmd"}));
    EXPECT_EQ(shortLinesWith(capture.text(), "Connected to broker"), 1u);
    device.publish(request.topic.replace(request.topic.find("/request/"), 9, "/response/"), "done", 1);
    EXPECT_EQ(call.get(), std::make_pair(true, std::string("done")));
}

// The handler goes whether or not the broker can be told at that moment: it would not be
// subscribed again at the next connection.
TEST_F(MQTTClientRpc, UnsubscribeRpcSaysWhetherItRemovedAHandlerWhileTheBrokerIsAway)
{
    MQTT::Client server("away/dev", "MQTT");
    MQTT::Config config = configFor("away/dev", "away-server");
    config.setUrl("tcp://127.0.0.1:" + std::to_string(testsupport::freePorts(1)[0]));
    server.setConfig(config);
    server.subscribeRpc("x", echoHandler);
    server.start();
    ASSERT_TRUE(server.connectFailed.emitted.Wait(30000));
    EXPECT_TRUE(server.unsubscribeRpc("x"));
    EXPECT_FALSE(server.unsubscribeRpc("x"));
}

}  // namespace
