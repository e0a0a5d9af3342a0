// The tapgate program against tapgate-emulator: the time from a card placed on the emulated reader
// ("place" on the emulator's stdin) to tapgate's JSON line for it on stdout. Between iterations
// the card is taken away and the program's log is watched until it has seen the card leave. After
// the run tapgate's peak resident set (VmHWM) and its private memory (USS: Private_Clean +
// Private_Dirty of smaps_rollup) are given as counters, in kB. Every wait has a deadline, and both
// programs are ended by pid.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "PeerProcess.h"

namespace {

using testsupport::PeerProcess;

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

size_t removals(const std::string& log)
{
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    size_t n = 0;
    for (size_t at = all.find("Card removed"); at != std::string::npos; at = all.find("Card removed", at + 1))
        ++n;
    return n;
}

void BM_CardPlacedToJsonLine(benchmark::State& state)
{
    testsupport::TempDir dir;
    int toEmulator[2], fromEmulator[2], fromTapgate[2];
    if (::pipe2(toEmulator, O_CLOEXEC) || ::pipe2(fromEmulator, O_CLOEXEC) ||
        ::pipe2(fromTapgate, O_CLOEXEC)) {
        state.SkipWithError("no pipes");
        return;
    }
    PeerProcess emulator({TAPGATE_EMULATOR, "--card", "ev1"}, {"", toEmulator[0], fromEmulator[1], -1});
    const std::string device = testsupport::readLine(fromEmulator[0], 5000);
    const std::string log = dir / "tapgate.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    PeerProcess tapgate({TAPGATE_PROGRAM, device}, {"", -1, fromTapgate[1], logFd});
    ::close(logFd);

    auto send = [&](const char* command) {
        const std::string line = std::string(command) + "\n";
        return ::write(toEmulator[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    };
    if (device.empty() || testsupport::readLine(fromTapgate[0], 10000).empty())
        state.SkipWithError("no first read within 10 s");

    for (auto _ : state) {
        state.PauseTiming();
        const size_t before = removals(log);
        send("remove");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (removals(log) == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state.ResumeTiming();
        if (!send("place") || testsupport::readLine(fromTapgate[0], 10000).empty()) {
            state.SkipWithError("no read within 10 s");
            break;
        }
    }

    const std::string proc = "/proc/" + std::to_string(tapgate.pid());
    state.counters["peak_rss_kB"] = procKb(proc + "/status", {"VmHWM"});
    state.counters["uss_kB"] = procKb(proc + "/smaps_rollup", {"Private_Clean", "Private_Dirty"});
    tapgate.kill(SIGTERM);
    emulator.kill(SIGTERM);
    tapgate.wait();
    emulator.wait();
    for (int fd :
         {toEmulator[0], toEmulator[1], fromEmulator[0], fromEmulator[1], fromTapgate[0], fromTapgate[1]})
        ::close(fd);
}
BENCHMARK(BM_CardPlacedToJsonLine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

}  // namespace

BENCHMARK_MAIN();
