// The Yarus driver against the emulated T2151 reader over a pseudo-terminal. A pseudo-terminal
// has no baud rate, so round trips measure the software's own cost; "wire_us" is what the same
// bytes take on a real 115200 baud line. Opening is measured at the reader's own rate and with the
// longest autobaud search (the reader at the last rate tried); the flood case is a receive that
// must give up within its bound. Every case runs a fixed number of iterations.
#include <benchmark/benchmark.h>

#include <memory>

#include "T2151Bench.h"
#include "core/SerialPort.h"
#include "drivers/YarusRemote/Driver.h"
#include "emulators/T2151Reader.h"

namespace {

using emulators::Bytes;
using emulators::T2151Reader;

const double MicrosPerByte = 1e6 * 10 / 115200;  // 8N1: ten bit times a byte

struct Bench
{
    explicit Bench(int baud = 115200) : reader(baud)
    {
        ok = t2151bench::prepare(reader, driver,
                                 [this] { return driver.open(reader.devicePath(), 115200, nullptr); });
    }
    T2151Reader reader;
    YarusRemote::Driver driver;
    bool ok = false;
};

void BM_GetStatus(benchmark::State& state)
{
    Bench bench;
    t2151bench::roundTrips(state, bench.ok, "status failed", [&] { return bench.driver.status(); });
    // Request frame 9 bytes; answer: tags 2, 8, 9 and 10 of one byte each, 21 bytes framed.
    state.counters["wire_us"] = (9 + 21) * MicrosPerByte;
}
BENCHMARK(BM_GetStatus)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

void BM_TDX4_59Bytes(benchmark::State& state)
{
    Bench bench;
    t2151bench::tdx4RoundTrips(state, bench.ok, bench.driver);
    // Each way: frame 5, command or result TLV 4, data TLV 3 + 59.
    state.counters["wire_us"] = 2 * (5 + 4 + 3 + 59) * MicrosPerByte;
}
BENCHMARK(BM_TDX4_59Bytes)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

// readerBaud 115200: the first ping answers. 460800: every rate before it is tried in vain.
void BM_Open(benchmark::State& state)
{
    const int readerBaud = static_cast<int>(state.range(0));
    T2151Reader reader(readerBaud);
    for (auto _ : state) {
        YarusRemote::Driver driver;
        if (!driver.open(reader.devicePath(), 115200, nullptr)) {
            state.SkipWithError("open failed");
            break;
        }
        state.PauseTiming();
        driver.close();
        reader.setBaud(readerBaud);
        state.ResumeTiming();
    }
    state.counters["aim_ms"] = readerBaud == 115200 ? 1500 : 2500;
}
BENCHMARK(BM_Open)->Arg(115200)->Arg(460800)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ReceiveUnderFlood(benchmark::State& state)
{
    T2151Reader reader(115200);
    SerialPort port;
    if (!port.open(reader.devicePath(), 115200, -1, 8, 1, 0)) {
        state.SkipWithError("no line");
        return;
    }
    T2151::Transport transport(port);
    T2151::Reader commands(transport);
    for (auto _ : state) {
        reader.inject({T2151Reader::Fault::Flood, 70000});
        if (commands.ping({1, 2, 3}, 50) != T2151::Reader::NoAnswer) {
            state.SkipWithError("a flood was taken for an answer");
            break;
        }
    }
    state.counters["bound_ms"] = 50 + 1000;
}
BENCHMARK(BM_ReceiveUnderFlood)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
