// ZMODEM throughput to lrzsz's rz over a pseudo-terminal line, next to lrzsz's own sz sending the
// same file over the same kind of line in the same run. Our sender escapes every control
// character, as the readers' receivers expect; `sz -e` does the same, plain `sz` escapes only the
// flow-control characters and so puts about a fifth fewer bytes of random data on the line. Each
// clock starts once rz has announced itself (its ZRINIT waits on the near side), so no sender is
// charged for the receiver's start-up, and stops when the sender is done.
//
// Counters: the three rates in MB/s of file data, ours over each sz, and the bytes each sender put
// on the line per file byte. Every peer has a deadline and is ended by its pid.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>

#include <string>
#include <vector>

#include "PeerProcess.h"
#include "PtyRelay.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/SerialPort.h"
#include "other/zmodem/ZModem.h"

namespace {

using testsupport::PeerProcess;
using testsupport::PtyRelay;

constexpr int kReadyMs = 5000;
constexpr int kSenderMs = 60000;
// lrzsz's sz may leave before its over-and-out has crossed the pseudo-terminal; rz then asks for
// it again for up to 30 s. By then the file is in, so rz is ended after this grace.
constexpr int kReceiverGraceMs = 2000;

struct Run
{
    double ms = -1;  // negative: the transfer failed
    size_t lineBytes = 0;
};

std::unique_ptr<PeerProcess> receiver(const PtyRelay& line)
{
    PeerProcess::Options options;
    options.stdinFd = line.farSlave();
    options.stdoutFd = line.farSlave();
    // -D: the data goes to /dev/null, so the disk does not take part in the comparison.
    return std::make_unique<PeerProcess>(std::vector<std::string>{"rz", "-q", "-D"}, options);
}

// Waits until the receiver's first header is readable on the near side, without taking it.
bool receiverReady(int nearFd)
{
    pollfd p{nearFd, POLLIN, 0};
    return ::poll(&p, 1, kReadyMs) == 1;
}

Run ours(const std::string& file)
{
    Run run;
    PtyRelay line(0);
    SerialPort port;
    if (!port.open(line.nearPath(), 115200, -1, 8, 1, 0))
        return run;
    auto rz = receiver(line);
    if (!receiverReady(port.getUnderlying()))
        return run;
    ZModem zmodem(port);
    const double started = Clock::monotonicMillis();
    const bool ok = zmodem.transmit({file}, 10);
    const double elapsed = Clock::elapsedMonotonicMillis(started);
    run.lineBytes = line.passedNearToFar();
    if (ok && rz->exitedWithZeroWithin(kReceiverGraceMs))
        run.ms = elapsed;
    return run;
}

Run theirs(const std::string& file, bool escapeAll)
{
    Run run;
    PtyRelay line(0);
    const int near = ::open(line.nearPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (near < 0)
        return run;
    auto rz = receiver(line);
    PeerProcess::Options options;
    options.stdinFd = near;
    options.stdoutFd = near;
    std::vector<std::string> argv{"sz", "-q"};
    if (escapeAll)
        argv.push_back("-e");
    argv.push_back(file);
    if (receiverReady(near)) {
        const double started = Clock::monotonicMillis();
        PeerProcess sz(argv, options);
        const bool szOk = sz.exitedWithZeroWithin(kSenderMs);
        const double elapsed = Clock::elapsedMonotonicMillis(started);
        run.lineBytes = line.passedNearToFar();
        // A receiver still waiting for the over-and-out has had the whole file.
        const bool rzOk = rz->exitedWithZeroWithin(kReceiverGraceMs) || szOk;
        if (szOk && rzOk)
            run.ms = elapsed;
    }
    ::close(near);
    return run;
}

void ZModemToRzNextToSz(benchmark::State& state)
{
    // As the service runs: progress lines are debug lines, and debug is off.
    Log::setLevel(Log::LevelInfo);
    testsupport::TempDir work;
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string file = work / "payload.bin";
    testsupport::writeFile(file, testsupport::pseudoRandomBytes(size, 42));

    Run sum[3];
    for (auto _ : state) {
        const Run runs[3] = {ours(file), theirs(file, true), theirs(file, false)};
        for (int i = 0; i < 3; ++i) {
            if (runs[i].ms < 0) {
                state.SkipWithError(i == 0 ? "our transfer failed" : "the sz transfer failed");
                return;
            }
            sum[i].ms += runs[i].ms;
            sum[i].lineBytes += runs[i].lineBytes;
        }
        state.SetIterationTime(runs[0].ms / 1000.0);
    }
    const double megabytes = static_cast<double>(size) * static_cast<double>(state.iterations()) / 1e6;
    const double fileBytes = static_cast<double>(size) * static_cast<double>(state.iterations());
    const char* names[3] = {"ours", "sz_e", "sz"};
    for (int i = 0; i < 3; ++i) {
        state.counters[std::string(names[i]) + "_MBps"] = megabytes / (sum[i].ms / 1000.0);
        state.counters[std::string(names[i]) + "_line_per_byte"] = static_cast<double>(sum[i].lineBytes) / fileBytes;
    }
    state.counters["ours_over_sz_e"] = sum[1].ms / sum[0].ms;
    state.counters["ours_over_sz"] = sum[2].ms / sum[0].ms;
    state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(ZModemToRzNextToSz)->Arg(1 << 20)->Arg(8 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
