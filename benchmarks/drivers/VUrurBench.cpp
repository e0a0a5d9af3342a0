// The networked VUrur driver against the emulated reader behind a loopback TCP listener: one
// checkPresence, one 59-byte TDX4 round trip and a whole open (connect, ping, getInfo). Each should
// take a millisecond or less; "timeout_ms" is the command time-out that none of them may wait out.
// Every case runs a fixed number of iterations, so the run ends by itself.
#include <benchmark/benchmark.h>

#include <memory>

#include "T2151Bench.h"
#include "drivers/VUrurRemote/Driver.h"
#include "emulators/VUrurReader.h"

namespace {

using emulators::Bytes;
using emulators::VUrurReader;

const double CommandTimeoutMs = 2000;

struct Bench
{
    Bench()
    {
        ok = t2151bench::prepare(reader, driver,
                                 [this] { return driver.open(reader.host(), reader.port(), nullptr); });
    }
    VUrurReader reader;
    VUrurRemote::Driver driver;
    bool ok = false;
};

void BM_CheckPresence(benchmark::State& state)
{
    Bench bench;
    t2151bench::roundTrips(state, bench.ok, "checkPresence failed",
                           [&] { return bench.driver.ISO14443_checkPresence(); });
    state.counters["timeout_ms"] = CommandTimeoutMs;
}
BENCHMARK(BM_CheckPresence)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

void BM_TDX4_59Bytes(benchmark::State& state)
{
    Bench bench;
    t2151bench::tdx4RoundTrips(state, bench.ok, bench.driver);
    state.counters["timeout_ms"] = CommandTimeoutMs;
}
BENCHMARK(BM_TDX4_59Bytes)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

void BM_Open(benchmark::State& state)
{
    VUrurReader reader;
    for (auto _ : state) {
        VUrurRemote::Driver driver;
        if (!driver.open(reader.host(), reader.port(), nullptr)) {
            state.SkipWithError("open failed");
            break;
        }
    }
    state.counters["timeout_ms"] = CommandTimeoutMs;
}
BENCHMARK(BM_Open)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
