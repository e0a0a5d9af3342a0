// The tapgate program against tapgate-emulator: the time from a card placed on the emulated reader
// ("place" on the emulator's stdin) to tapgate's JSON line for it on stdout, on each reader family
// the emulator has (Elatec and Yarus on a pseudo-terminal, VUrur on 127.0.0.1), for a blank
// Ultralight EV1 and for a KivoLUC ticket read in full through the SAM. Between iterations
// the card is taken away and the program's log is watched until it has seen the card leave. After
// the run tapgate's peak resident set (VmHWM) and its private memory (USS: Private_Clean +
// Private_Dirty of smaps_rollup) are given as counters, in kB, and the CPU tapgate uses over two
// seconds of an empty field (the worker searching), in percent of one core. Every wait has a
// deadline, and both programs are ended by pid.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TapgateRun.h"
#include "TestSupport.h"

namespace {

// The sum of the kB values of the named fields of a /proc file.
double procKb(const std::string& path, std::initializer_list<const char*> fields)
{
    std::ifstream in(path);
    std::string line;
    double total = 0;
    while (std::getline(in, line))
        for (const char* field : fields)
            if (line.rfind(std::string(field) + ":", 0) == 0)
                total += std::stod(line.substr(line.find(':') + 1));
    return total;
}

// The user and system CPU time a process has used, in ms (fields 14 and 15 of /proc/PID/stat).
double cpuMs(const std::string& proc)
{
    std::ifstream in(proc + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t name = stat.rfind(')');
    if (name == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(name + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stod(field);
    return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void BM_CardPlacedToJsonLine(benchmark::State& state, const char* reader, const char* card)
{
    testsupport::TapgateRun run;
    const std::string device = run.startEmulator({"--reader", reader, "--card", card, "--unlocked"});
    run.startTapgate({device});
    if (device.empty() || run.readLine(20000).empty()) {
        state.SkipWithError("no first read within 20 s");
        return;
    }

    std::vector<double> reads;
    for (auto _ : state) {
        state.PauseTiming();
        const size_t removed = run.logCount("Card removed");
        run.send("remove");
        run.waitForLog("Card removed", removed + 1, 5000);
        state.ResumeTiming();
        const auto placed = std::chrono::steady_clock::now();
        if (!run.send("place") || run.readLine(10000).empty()) {
            state.SkipWithError("no read within 10 s");
            break;
        }
        reads.push_back(testsupport::msSince(placed));
    }
    // On a shared machine a few reads wait for the scheduler; the median and the fastest read
    // show the road itself beside the mean.
    if (!reads.empty()) {
        std::sort(reads.begin(), reads.end());
        state.counters["median_ms"] = reads[reads.size() / 2];
        state.counters["min_ms"] = reads.front();
        state.counters["max_ms"] = reads.back();
    }

    const std::string proc = "/proc/" + std::to_string(run.tapgate().pid());
    // What the worker costs while it searches an empty field.
    const size_t removed = run.logCount("Card removed");
    run.send("remove");
    if (run.waitForLog("Card removed", removed + 1, 5000)) {
        const double before = cpuMs(proc);
        const auto since = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        state.counters["empty_field_cpu_pct"] = 100 * (cpuMs(proc) - before) / testsupport::msSince(since);
    }
    state.counters["peak_rss_kB"] = procKb(proc + "/status", {"VmHWM"});
    state.counters["uss_kB"] = procKb(proc + "/smaps_rollup", {"Private_Clean", "Private_Dirty"});
}
#define TAPGATE_READ(reader, card)                                              \
    BENCHMARK_CAPTURE(BM_CardPlacedToJsonLine, reader##_##card, #reader, #card) \
        ->Unit(benchmark::kMillisecond)                                         \
        ->UseRealTime()                                                         \
        ->Iterations(50)
TAPGATE_READ(elatec, ev1);
TAPGATE_READ(yarus, ev1);
TAPGATE_READ(vurur, ev1);
TAPGATE_READ(elatec, kivoluc);
TAPGATE_READ(yarus, kivoluc);
TAPGATE_READ(vurur, kivoluc);

}  // namespace

BENCHMARK_MAIN();
