// The Yarus driver against the emulated T2151 reader over a pseudo-terminal. A pseudo-terminal
// has no baud rate, so round trips measure the software's own cost; "wire_us" is what the same
// bytes take on a real 115200 baud line. Opening is measured at the reader's own rate and with the
// longest autobaud search (the reader at the last rate tried); the flood case is a receive that
// must give up within its bound. Every case runs a fixed number of iterations.
#include <benchmark/benchmark.h>

#include <memory>

#include "core/SerialPort.h"
#include "drivers/YarusRemote/Driver.h"
#include "emulators/FieldCard.h"
#include "emulators/T2151Reader.h"

namespace {

using emulators::Bytes;
using emulators::T2151Reader;

const double MicrosPerByte = 1e6 * 10 / 115200;  // 8N1: ten bit times a byte

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
    explicit Bench(int baud = 115200) : reader(baud)
    {
        reader.device().setCard(std::make_shared<EchoCard>(), 256);
        ok = driver.open(reader.devicePath(), 115200, nullptr);
        int type = 0;
        Bytes uid, ats;
        ok = ok && driver.searchTag(type, uid, ats, 500);
    }
    T2151Reader reader;
    YarusRemote::Driver driver;
    bool ok = false;
};

void BM_GetStatus(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok) {
        state.SkipWithError("reader did not open");
        return;
    }
    for (auto _ : state) {
        if (!bench.driver.status()) {
            state.SkipWithError("status failed");
            break;
        }
    }
    // Request frame 9 bytes; answer: tags 2, 8, 9 and 10 of one byte each, 21 bytes framed.
    state.counters["wire_us"] = (9 + 21) * MicrosPerByte;
}
BENCHMARK(BM_GetStatus)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

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
