// The networked VUrur driver against the emulated reader behind a loopback TCP listener: one
// checkPresence, one 59-byte TDX4 round trip and a whole open (connect, ping, getInfo). Each should
// take a millisecond or less; "timeout_ms" is the command time-out that none of them may wait out.
// Every case runs a fixed number of iterations, so the run ends by itself.
#include <benchmark/benchmark.h>

#include <memory>

#include "drivers/VUrurRemote/Driver.h"
#include "emulators/FieldCard.h"
#include "emulators/VUrurReader.h"

namespace {

using emulators::Bytes;
using emulators::VUrurReader;

const double CommandTimeoutMs = 2000;

class EchoCard : public emulators::FieldCard
{
public:
    Identity identity() const override
    {
        return {0x80, {0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80}, 0x0344, 0x20, {0x06, 0x75}, {}};
    }
    std::optional<Bytes> exchange4(const Bytes& command) override { return command; }
};

struct Bench
{
    Bench()
    {
        reader.device().setCard(std::make_shared<EchoCard>(), 256);
        ok = driver.open(reader.host(), reader.port(), nullptr);
        int type = 0;
        Bytes uid, ats;
        ok = ok && driver.searchTag(type, uid, ats, 500);
    }
    VUrurReader reader;
    VUrurRemote::Driver driver;
    bool ok = false;
};

void BM_CheckPresence(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok) {
        state.SkipWithError("reader did not open");
        return;
    }
    for (auto _ : state) {
        if (!bench.driver.ISO14443_checkPresence()) {
            state.SkipWithError("checkPresence failed");
            break;
        }
    }
    state.counters["timeout_ms"] = CommandTimeoutMs;
}
BENCHMARK(BM_CheckPresence)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

void BM_TDX4_59Bytes(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok) {
        state.SkipWithError("reader did not open");
        return;
    }
    const Bytes tx(59, 0x5A);
    Bytes rx;
    for (auto _ : state) {
        if (!bench.driver.ISO14443_TDX4(tx, rx) || rx.size() != 59) {
            state.SkipWithError("TDX4 failed");
            break;
        }
    }
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
