// The tapgate program against tapgate-emulator: the time from a card placed on the emulated reader
// ("place" on the emulator's stdin) to tapgate's JSON line for it on stdout. Between iterations
// the card is taken away and the program's log is watched until it has seen the card leave. After
// the run tapgate's peak resident set (VmHWM) and its private memory (USS: Private_Clean +
// Private_Dirty of smaps_rollup) are given as counters, in kB. Every wait has a deadline, and both
// programs are ended by pid.
#include <benchmark/benchmark.h>

#include <fstream>
#include <initializer_list>
#include <string>

#include "TapgateRun.h"

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

void BM_CardPlacedToJsonLine(benchmark::State& state)
{
    testsupport::TapgateRun run;
    const std::string device = run.startEmulator({"--card", "ev1"});
    run.startTapgate({device});
    if (device.empty() || run.readLine(10000).empty()) {
        state.SkipWithError("no first read within 10 s");
        return;
    }

    for (auto _ : state) {
        state.PauseTiming();
        const size_t removed = run.logCount("Card removed");
        run.send("remove");
        run.waitForLog("Card removed", removed + 1, 5000);
        state.ResumeTiming();
        if (!run.send("place") || run.readLine(10000).empty()) {
            state.SkipWithError("no read within 10 s");
            break;
        }
    }

    const std::string proc = "/proc/" + std::to_string(run.tapgate().pid());
    state.counters["peak_rss_kB"] = procKb(proc + "/status", {"VmHWM"});
    state.counters["uss_kB"] = procKb(proc + "/smaps_rollup", {"Private_Clean", "Private_Dirty"});
}
BENCHMARK(BM_CardPlacedToJsonLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
