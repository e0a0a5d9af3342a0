// ZMODEM throughput to lrzsz's rz over a pseudo-terminal line, next to lrzsz's own sz sending the
// same file over the same kind of line in the same run. Counters: both rates in MB/s and the
// ratio ours/sz.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>

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

std::unique_ptr<PeerProcess> receiver(const PtyRelay& line)
{
    PeerProcess::Options options;
    options.stdinFd = line.farSlave();
    options.stdoutFd = line.farSlave();
    // -D: the data goes to /dev/null, so the disk does not take part in the comparison.
    return std::make_unique<PeerProcess>(std::vector<std::string>{"rz", "-q", "-D"}, options);
}

// Milliseconds for our sender, or a negative value when the transfer failed.
double ours(const std::string& file)
{
    PtyRelay line(0);
    SerialPort port;
    if (!port.open(line.nearPath(), 115200, -1, 8, 1, 0))
        return -1;
    auto rz = receiver(line);
    ZModem zmodem(port);
    const double started = Clock::monotonicMillis();
    const bool ok = zmodem.transmit({file}, 10);
    const double elapsed = Clock::elapsedMonotonicMillis(started);
    return ok && rz->exitedWithZero() ? elapsed : -1;
}

double theirs(const std::string& file)
{
    PtyRelay line(0);
    const int near = ::open(line.nearPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (near < 0)
        return -1;
    auto rz = receiver(line);
    PeerProcess::Options options;
    options.stdinFd = near;
    options.stdoutFd = near;
    const double started = Clock::monotonicMillis();
    PeerProcess sz({"sz", "-q", file}, options);
    const bool szOk = sz.exitedWithZero();
    const double elapsed = Clock::elapsedMonotonicMillis(started);
    ::close(near);
    // Both senders are timed until they are done; the receiver's own exit is not timed.
    return szOk && rz->exitedWithZero() ? elapsed : -1;
}

void ZModemToRzNextToSz(benchmark::State& state)
{
    // As the service runs: progress lines are debug lines, and debug is off.
    Log::setLevel(Log::LevelInfo);
    testsupport::TempDir work;
    const size_t size = static_cast<size_t>(state.range(0));
    const std::string file = work / "payload.bin";
    testsupport::writeFile(file, testsupport::pseudoRandomBytes(size, 42));

    double oursMs = 0;
    double theirsMs = 0;
    for (auto _ : state) {
        const double a = ours(file);
        const double b = theirs(file);
        if (a < 0 || b < 0) {
            state.SkipWithError("a transfer failed");
            break;
        }
        oursMs += a;
        theirsMs += b;
        state.SetIterationTime(a / 1000.0);
    }
    if (oursMs > 0 && theirsMs > 0) {
        const double megabytes = static_cast<double>(size) * static_cast<double>(state.iterations()) / 1e6;
        state.counters["ours_MBps"] = megabytes / (oursMs / 1000.0);
        state.counters["sz_MBps"] = megabytes / (theirsMs / 1000.0);
        state.counters["ours_over_sz"] = theirsMs / oursMs;
    }
    state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(ZModemToRzNextToSz)->Arg(1 << 20)->Arg(8 << 20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
