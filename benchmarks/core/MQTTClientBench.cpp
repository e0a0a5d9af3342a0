// Publish throughput and command round trips through a private local mosquitto, next to the
// mosquitto command-line clients moving the same messages in the same run. The receiving side of
// every throughput figure is the same protocol-level peer, so the figures differ only in the
// publisher. The tool figures include the start of one process per iteration.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "MosquittoBroker.h"
#include "MqttPeer.h"
#include "core/MQTT/Client.h"
#include "mqtt/async_client.h"

namespace {

using namespace std::chrono_literals;
using testsupport::MosquittoBroker;
using testsupport::MqttPeer;

constexpr int Batch = 500;
// The library buffers at most 100 outgoing messages per client by default; publishers keep
// below that by waiting for each window to arrive.
constexpr int Window = 50;

MosquittoBroker& broker()
{
    static MosquittoBroker instance;
    return instance;
}

// A started client whose `connected` signal has been seen.
std::unique_ptr<MQTT::Client> connectedClient(const std::string& base)
{
    auto client = std::make_unique<MQTT::Client>(base, "bench");
    MQTT::Config config(base, "bench");
    config.setUrl(broker().url());
    client->setConfig(config);
    std::mutex mutex;
    std::condition_variable up;
    bool connected = false;
    int id = client->connected.connect([&] {
        std::lock_guard<std::mutex> lock(mutex);
        connected = true;
        up.notify_all();
    });
    client->start();
    std::unique_lock<std::mutex> lock(mutex);
    bool ok = up.wait_for(lock, 30s, [&] { return connected; });
    lock.unlock();
    client->connected.disconnect(id);
    if (!ok)
        throw std::runtime_error("the client did not connect");
    return client;
}

// Waits for a tool to end; one that hangs (a lost message) is killed and reported.
bool reap(benchmark::State& state, pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            state.SkipWithError("the tool did not finish");
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void receiveAll(benchmark::State& state, MqttPeer& peer, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!peer.receive(10s)) {
            state.SkipWithError("messages lost");
            return;
        }
    }
}

void BM_ClientPublish(benchmark::State& state)
{
    const auto qos = static_cast<MQTT::QoS>(state.range(0));
    auto client = connectedClient("bench/client");
    MqttPeer peer;
    peer.connect(broker().port(), "bench-sink-client");
    peer.subscribe("bench/client/data", 1);
    const MQTT::Message message("data", std::string(64, 'x'), MQTT::Retained::New, qos);
    for (auto _ : state) {
        for (int sent = 0; sent < Batch; sent += Window) {
            for (int i = 0; i < Window; ++i) {
                if (!client->publish(message, true))
                    state.SkipWithError("publish refused");
            }
            receiveAll(state, peer, Window);
        }
    }
    state.SetItemsProcessed(state.iterations() * Batch);
    client->stop();
}
BENCHMARK(BM_ClientPublish)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MosquittoPubPublish(benchmark::State& state)
{
    const std::string lines = broker().tempFile("bench-lines.txt");
    {
        std::ofstream out(lines);
        for (int i = 0; i < Batch; ++i) out << std::string(64, 'x') << "\n";
    }
    MqttPeer peer;
    peer.connect(broker().port(), "bench-sink-tool");
    peer.subscribe("bench/tool/data", 1);
    const std::string pub = testsupport::findProgram("mosquitto_pub");
    const std::string qos = std::to_string(state.range(0));
    const std::string log = broker().tempFile("bench-pub.log");
    for (auto _ : state) {
        pid_t pid = testsupport::spawnProgram({pub, "-h", "127.0.0.1", "-p", std::to_string(broker().port()),
                                               "-q", qos, "-t", "bench/tool/data", "-l"},
                                              log, {}, lines);
        receiveAll(state, peer, Batch);
        if (!reap(state, pid))
            break;
    }
    state.SetItemsProcessed(state.iterations() * Batch);
}
BENCHMARK(BM_MosquittoPubPublish)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The peer publishes, mosquitto_sub takes the batch and exits.
void BM_MosquittoSubReceive(benchmark::State& state)
{
    MqttPeer peer;
    peer.connect(broker().port(), "bench-source-tool");
    const std::string sub = testsupport::findProgram("mosquitto_sub");
    const std::string log = broker().tempFile("bench-sub.log");
    const std::string payload(64, 'x');
    for (auto _ : state) {
        state.PauseTiming();
        std::ofstream(log, std::ios::trunc).close();
        pid_t pid =
            testsupport::spawnProgram({sub, "-d", "-h", "127.0.0.1", "-p", std::to_string(broker().port()),
                                       "-t", "bench/sub/data", "-C", std::to_string(Batch)},
                                      log);
        // Its debug output tells when the subscription stands.
        for (int tries = 0; tries < 500; ++tries) {
            std::ifstream in(log);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (text.find("SUBACK") != std::string::npos)
                break;
            std::this_thread::sleep_for(10ms);
        }
        state.ResumeTiming();
        for (int i = 0; i < Batch; ++i) peer.publish("bench/sub/data", payload, 0);
        if (!reap(state, pid))
            break;
    }
    state.SetItemsProcessed(state.iterations() * Batch);
}
BENCHMARK(BM_MosquittoSubReceive)->Unit(benchmark::kMillisecond)->UseRealTime();

// Peer -> broker -> command handler -> reply -> broker -> peer, and the broker's own round trip
// measured alternately in the same run. The time shown is the command's round trip alone.
void BM_CommandRoundTrip(benchmark::State& state)
{
    auto client = connectedClient("bench/rt");
    MQTT::Client* raw = client.get();
    client->subscribeCommand(
        "cmd",
        [raw](const MQTT::Message& m) {
            raw->publish(MQTT::Message("reply", m.payload, MQTT::Retained::New, MQTT::QoS::AtMostOnce), true);
        },
        true);
    // The command's subscription was made when the client was already connected.
    std::this_thread::sleep_for(200ms);
    MqttPeer peer;
    peer.connect(broker().port(), "bench-rt");
    peer.subscribe("bench/rt/reply", 0);
    // The broker alone, side by side: a second peer's message to itself after each round trip.
    MqttPeer echo;
    echo.connect(broker().port(), "bench-rt-echo");
    echo.subscribe("bench/rt/echo", 0);
    using Clock = std::chrono::steady_clock;
    Clock::duration command{};
    Clock::duration hop{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        peer.publish("bench/rt/cmd", "{\"n\":1}", 0);
        if (!peer.receive(10s)) {
            state.SkipWithError("no reply");
            break;
        }
        const auto t1 = Clock::now();
        echo.publish("bench/rt/echo", "{\"n\":1}", 0);
        if (!echo.receive(10s)) {
            state.SkipWithError("no echo");
            break;
        }
        command += t1 - t0;
        hop += Clock::now() - t1;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    // The round trip passes the broker twice; 1.0 would be a client that adds nothing.
    if (command.count() > 0)
        state.counters["two_hops_over_command"] =
            2.0 * static_cast<double>(hop.count()) / static_cast<double>(command.count());
    client->stop();
}
BENCHMARK(BM_CommandRoundTrip)->Unit(benchmark::kMicrosecond)->UseManualTime();

// The floor our client stands on: the bare library client answering from its own callback, with
// none of our layers, measured like the command round trip above.
void BM_LibraryEchoRoundTrip(benchmark::State& state)
{
    struct Echo : mqtt::callback
    {
        mqtt::async_client* client = nullptr;
        void message_arrived(mqtt::const_message_ptr msg) override
        {
            client->publish("bench/raw/reply", msg->get_payload_ref(), 0, false);
        }
    } echo;
    mqtt::async_client client(broker().url(), "bench-raw");
    echo.client = &client;
    client.set_callback(echo);
    client.connect()->wait_for(10s);
    client.subscribe("bench/raw/cmd", 0)->wait_for(10s);
    MqttPeer peer;
    peer.connect(broker().port(), "bench-raw-peer");
    peer.subscribe("bench/raw/reply", 0);
    MqttPeer hopPeer;
    hopPeer.connect(broker().port(), "bench-raw-hop");
    hopPeer.subscribe("bench/raw/hop", 0);
    using Clock = std::chrono::steady_clock;
    Clock::duration round{};
    Clock::duration hop{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        peer.publish("bench/raw/cmd", "{\"n\":1}", 0);
        if (!peer.receive(10s)) {
            state.SkipWithError("no reply");
            break;
        }
        const auto t1 = Clock::now();
        hopPeer.publish("bench/raw/hop", "{\"n\":1}", 0);
        if (!hopPeer.receive(10s)) {
            state.SkipWithError("no echo");
            break;
        }
        round += t1 - t0;
        hop += Clock::now() - t1;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    if (round.count() > 0)
        state.counters["two_hops_over_echo"] =
            2.0 * static_cast<double>(hop.count()) / static_cast<double>(round.count());
    client.disconnect()->wait_for(10s);
}
BENCHMARK(BM_LibraryEchoRoundTrip)->Unit(benchmark::kMicrosecond)->UseManualTime();

// The broker alone: the peer publishes to a topic it is subscribed to.
void BM_BrokerRoundTrip(benchmark::State& state)
{
    MqttPeer peer;
    peer.connect(broker().port(), "bench-echo");
    peer.subscribe("bench/echo", 0);
    for (auto _ : state) {
        peer.publish("bench/echo", "{\"n\":1}", 0);
        if (!peer.receive(10s)) {
            state.SkipWithError("no echo");
            break;
        }
    }
}
BENCHMARK(BM_BrokerRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
