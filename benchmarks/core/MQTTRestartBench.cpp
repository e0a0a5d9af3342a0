// Restarts of a client with calls in flight, against two private local mosquitto brokers: how long
// after stop()/start() or a setConfig moving to the other broker the client is connected again, how
// many connections each restart makes, and when the calls made just before it return. The device
// is a protocol-level peer on a thread of its own that answers every request after 1,500 ms, so
// that the only library client in the process is the one measured.
// Run: bench_core_MQTTRestartBench [--benchmark_filter=...]; TAPGATE_RESTARTS sets the rounds of
// the long run (1000 by default).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MosquittoBroker.h"
#include "MqttPeer.h"
#include "core/MQTT/Client.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::MosquittoBroker;
using testsupport::MqttPeer;

constexpr auto AnswerAfter = 1500ms;
constexpr unsigned CallTimeoutMs = 2000;

MosquittoBroker& broker(int i)
{
    static MosquittoBroker brokers[2];
    return brokers[i];
}

// Answers every request on base/dev/request/... after AnswerAfter, on the broker it is given.
class Device
{
public:
    explicit Device(int port) : m_port(port)
    {
        if (!connect())
            throw std::runtime_error("the device did not connect");
        m_thread = std::thread([this] { run(); });
    }
    ~Device()
    {
        m_stop = true;
        m_thread.join();
    }

private:
    bool connect()
    {
        try {
            if (m_peer.connect(m_port, "device-" + std::to_string(m_port)) != 0)
                return false;
            m_peer.subscribe("base/dev/request/#", 2);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    void run()
    {
        while (!m_stop) try {
                serve();
            } catch (const std::exception&) {
                // The broker went away: the device comes back with it.
                while (!m_stop && !connect()) std::this_thread::sleep_for(50ms);
            }
    }

    void serve()
    {
        std::deque<std::pair<Clock::time_point, std::string>> due;
        while (!m_stop) {
            if (auto request = m_peer.receive(20ms)) {
                std::string topic = request->topic;
                topic.replace(topic.find("/request/"), 9, "/response/");
                due.emplace_back(Clock::now() + AnswerAfter, topic);
            }
            while (!due.empty() && due.front().first <= Clock::now()) {
                m_peer.publish(due.front().second, "done", 1);
                due.pop_front();
            }
        }
    }

    const int m_port;
    MqttPeer m_peer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Counts the client's connections and lets the caller wait for the next one.
class Connections
{
public:
    explicit Connections(MQTT::Client& client) : m_client(client)
    {
        m_id = client.connected.connect([this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
            m_at = Clock::now();
            m_changed.notify_all();
        });
    }
    ~Connections() { m_client.connected.disconnect(m_id); }
    int count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    // The time of the connection after the first `seen`, or nothing within 30 s.
    bool waitPast(int seen, Clock::time_point& at)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, 30s, [&] { return m_count > seen; }))
            return false;
        at = m_at;
        return true;
    }

private:
    MQTT::Client& m_client;
    int m_id = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_count = 0;
    Clock::time_point m_at;
};

MQTT::Config settings(int i)
{
    MQTT::Config config("base", "MQTT");
    config.setUrl(broker(i).url());
    config.set("clientId", "measured");
    return config;
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void report(benchmark::State& state, const char* name, std::vector<double> values)
{
    if (values.empty())
        return;
    std::sort(values.begin(), values.end());
    state.counters[std::string(name) + "_median_ms"] = values[values.size() / 2];
    state.counters[std::string(name) + "_max_ms"] = values.back();
}

// One restart per iteration, made just after two calls were sent: arg 0 stop()/start(), arg 1 a
// setConfig moving to the other broker.
void BM_RestartWithCallsInFlight(benchmark::State& state)
{
    const bool move = state.range(0) == 1;
    Device devices[] = {Device(broker(0).port()), Device(broker(1).port())};
    MQTT::Client client("base", "MQTT");
    Connections connections(client);
    int at = 0;
    client.setConfig(settings(at));
    client.start();
    Clock::time_point connectedAt;
    if (!connections.waitPast(0, connectedAt)) {
        state.SkipWithError("no first connection");
        return;
    }
    std::vector<double> latency, callReturn, extra;
    for (auto _ : state) {
        const int before = connections.count();
        std::vector<std::future<double>> calls;
        for (int i = 0; i < 2; ++i)
            calls.push_back(std::async(std::launch::async, [&client] {
                const auto begin = Clock::now();
                client.rpc("base/dev", "p", CallTimeoutMs);
                return ms(Clock::now() - begin);
            }));
        std::this_thread::sleep_for(100ms);
        if (move) {
            at = 1 - at;
            client.setConfig(settings(at));
        } else {
            client.stop();
            client.start();
        }
        const auto returned = Clock::now();
        if (!connections.waitPast(before, connectedAt)) {
            state.SkipWithError("no connection after a restart");
            return;
        }
        latency.push_back(ms(connectedAt - returned));
        for (auto& call : calls) callReturn.push_back(call.get());
        extra.push_back(connections.count() - before - 1);
    }
    report(state, "connect_after_return", latency);
    report(state, "call_return", callReturn);
    state.counters["extra_connections"] = std::accumulate(extra.begin(), extra.end(), 0.0);
}
BENCHMARK(BM_RestartWithCallsInFlight)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Many restarts of all three kinds back to back, each landing on the calls and the connection the
// one before left under way; every twenty-fifth waits for the connection, every fiftieth restarts a broker.
void BM_ManyRestarts(benchmark::State& state)
{
    const char* rounds = std::getenv("TAPGATE_RESTARTS");
    const int total = rounds ? std::atoi(rounds) : 1000;
    Device devices[] = {Device(broker(0).port()), Device(broker(1).port())};
    for (auto _ : state) {
        MQTT::Client client("base", "MQTT");
        Connections connections(client);
        int at = 0;
        client.setConfig(settings(at));
        client.start();
        std::atomic<bool> done{false};
        std::vector<std::thread> callers;
        for (int i = 0; i < 3; ++i)
            callers.emplace_back([&] {
                while (!done) client.rpc("base/dev", "p", 300);
            });
        Clock::time_point connectedAt;
        int made = 0;
        for (; made < total; ++made) {
            const int before = connections.count();
            if (made % 50 == 49) {
                broker(at).kill();
                broker(at).start();
            } else if (made % 2 == 1) {
                at = 1 - at;
                client.setConfig(settings(at));
            } else {
                client.stop();
                client.start();
            }
            if (made % 25 == 24 && !connections.waitPast(before, connectedAt))
                break;
        }
        done = true;
        for (auto& caller : callers) caller.join();
        state.counters["restarts"] = made;
        state.counters["connections"] = connections.count();
    }
}
BENCHMARK(BM_ManyRestarts)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
