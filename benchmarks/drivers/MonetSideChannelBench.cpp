// The Monet side channel over loopback TCP against the emulated reader: a card event to the
// search's return, a DESFire pass-through round trip, and a request sent through a flood of
// 10,000 pending events (the drain before it must stop at its bound). No case waits out a
// time-out: each waits at most 1 s and fails the run when it would.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>

#include "core/Log.h"
#include "drivers/Monet/SideChannelReader.h"
#include "emulators/DesfireCard.h"
#include "emulators/MonetSideChannel.h"

namespace {

using emulators::Bytes;
using namespace MonetReader;

struct Bench
{
    Bench()
    {
        Log::setLevel(Log::LevelError);
        fake.setRecording(false);
        fake.setCard(std::make_shared<emulators::DesfireCard>());
        client.setConnectTimeout(1000);
        client.connect(fake.host(), fake.port());
        ok = fake.waitForClient(1000);
    }

    // Throws away whatever the flood left unread.
    void discardPending()
    {
        uint8_t buffer[65536];
        while (client.available(0) && recv(client.getNative(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

    emulators::MonetSideChannel fake;
    TCPClient client;
    std::shared_ptr<Monet::Clock> clock = Monet::Clock::system();
    SideChannelTransport transport{client, clock};
    SideChannelReader reader{transport, clock, [] { return nlohmann::json(); }, [] {},
                             SideChannelReader::Times{1000, 1000, 1000, 10000}};
    bool ok = false;
};

void BM_CardEventToSearchResult(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok)
        return state.SkipWithError("no connection to the emulated reader");
    for (auto _ : state) {
        bench.fake.presentCard();
        int type = 0, tap = 0;
        Bytes uid, ats;
        std::string token;
        if (bench.reader.searchTag(type, uid, ats, 1000, tap, token, false) != NonEMVcardDetected)
            return state.SkipWithError("search did not report the card");
    }
}
BENCHMARK(BM_CardEventToSearchResult)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DesfirePassThrough(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok)
        return state.SkipWithError("no connection to the emulated reader");
    Bytes reply;
    for (auto _ : state) {
        // GetApplicationIDs: one frame each way.
        if (bench.reader.passThroughAPDU({0x6A}, reply, 1000) != 0)
            return state.SkipWithError("pass-through failed");
    }
}
BENCHMARK(BM_DesfirePassThrough)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RequestThroughFloodOf10000Events(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok)
        return state.SkipWithError("no connection to the emulated reader");
    const Bytes idleEvent = {0x81, 0x00, 0x02};
    for (auto _ : state) {
        state.PauseTiming();
        bench.fake.flood(10000, idleEvent);
        bench.client.available(1000);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        bench.reader.setLEDs(1);
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(100))
            return state.SkipWithError("the drain did not stop at its bound");
        state.PauseTiming();
        bench.discardPending();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RequestThroughFloodOf10000Events)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
