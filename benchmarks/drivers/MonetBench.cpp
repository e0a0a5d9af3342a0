// The Monet driver against the emulated reader on 127.0.0.1 (B, N and side channel), on a platform
// that records instead of running setserial or pppd: the open, the first enable's 3 s delay and
// the 7 s bank-card deadline at their real values (each reported as its deviation from the value,
// failing the run beyond 150 ms), and a card event to NFC::Reader::searchTag returning. The peers
// are threads of this process; every wait has a deadline.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <memory>

#include "MonetFake.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Reader.h"
#include "NFC/Tag.h"
#include "core/Log.h"
#include "drivers/Monet/Factory.h"
#include "emulators/DesfireCard.h"
#include "emulators/PseudoTerminal.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::MonetFake;
using testsupport::RecordingPlatform;

const uint8_t TapModeStart = 0x85, TapModePoll = 0x87;
const int AllowedDeviationMs = 150;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The fake with the real clock and the driver's own timer values.
struct Bench
{
    Bench()
    {
        Log::open("tapgate-bench", false, false);
        Log::setLevel(Log::LevelInfo);
        fake.timing.enableDelayMs = Monet::Timing{}.enableDelayMs;
        fake.timing.emvCompletionMs = Monet::Timing{}.emvCompletionMs;
    }
    Monet::Driver::Setup setup()
    {
        Monet::Driver::Setup s = fake.setup();
        s.clock = Monet::Clock::system();
        return s;
    }
    std::shared_ptr<Monet::Driver> openDriver()
    {
        auto driver = std::make_shared<Monet::Driver>(setup());
        return driver->open("/dev/ttyMONET", 115200, nullptr) ? driver : nullptr;
    }
    // Waits for the next B request; true when it came within the deadline and carries command.
    bool nextB(size_t count, uint8_t command, int deadlineMs)
    {
        return fake.b.waitForRequests(count + 1, deadlineMs) && fake.b.requests()[count].command == command;
    }

    MonetFake fake;
};

// 0: the link is already up; 1: pppd is started and the link is up at the first check (one
// 200 ms check interval, as on the board). Each open includes the TMS download.
void BM_Open(benchmark::State& state)
{
    Bench bench;
    for (auto _ : state) {
        state.PauseTiming();
        bench.fake.platform = std::make_shared<RecordingPlatform>(0, state.range(0) == 0);
        Monet::Driver::resetTMSupdateSucceeded();
        auto driver = std::make_shared<Monet::Driver>(bench.setup());
        state.ResumeTiming();
        if (!driver->open("/dev/ttyMONET", 115200, nullptr))
            return state.SkipWithError("open failed");
        state.PauseTiming();
        driver.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Open)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The first enableRF to the reader's TapModeStart.
void BM_EnableDelay(benchmark::State& state)
{
    Bench bench;
    double worst = 0, sum = 0;
    for (auto _ : state) {
        auto driver = bench.openDriver();
        if (!driver)
            return state.SkipWithError("open failed");
        const size_t before = bench.fake.b.requests().size();
        const auto start = Clock::now();
        driver->enableRF();
        if (!bench.nextB(before, TapModeStart, 3000 + 1000))
            return state.SkipWithError("no enable within 4 s");
        const double deviation = msSince(start) - 3000;
        state.SetIterationTime((3000 + deviation) / 1000);
        sum += deviation;
        worst = std::max(worst, std::fabs(deviation));
    }
    state.counters["deviation_ms"] = sum / static_cast<double>(state.iterations());
    state.counters["worst_abs_deviation_ms"] = worst;
    if (worst > AllowedDeviationMs)
        state.SkipWithError("the enable delay is off by more than 150 ms");
}
BENCHMARK(BM_EnableDelay)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();

// A bank-card tap reported by searchTag to the termination the driver sends when nobody completes.
void BM_EmvDeadline(benchmark::State& state)
{
    Bench bench;
    bench.fake.timing.enableDelayMs = 1;
    auto driver = bench.openDriver();
    // The first enable is delayed: it must not land on the first tap.
    const size_t opened = bench.fake.b.requests().size();
    if (!driver || !driver->enableRF() || !bench.nextB(opened, TapModeStart, 1000))
        return state.SkipWithError("open failed");
    double worst = 0, sum = 0;
    for (auto _ : state) {
        driver->enableRF();
        bench.fake.side.sendEvent(0x50, {});
        bench.fake.side.sendEvent(0x53, {0x00, 0x00, 0x00, 0x04, 0xAA, 0xBB});
        int type = 0;
        std::vector<uint8_t> uid, ats;
        const size_t before = bench.fake.b.requests().size();
        if (!driver->searchTag(type, uid, ats, 1000) || type != NFC::Tag::EMV)
            return state.SkipWithError("the tap was not reported");
        const auto start = Clock::now();
        if (!bench.nextB(before, TapModePoll, 7000 + 1000))
            return state.SkipWithError("no termination within 8 s");
        const double deviation = msSince(start) - 7000;
        state.SetIterationTime((7000 + deviation) / 1000);
        sum += deviation;
        worst = std::max(worst, std::fabs(deviation));
    }
    state.counters["deviation_ms"] = sum / static_cast<double>(state.iterations());
    state.counters["worst_abs_deviation_ms"] = worst;
    if (worst > AllowedDeviationMs)
        state.SkipWithError("the bank-card deadline is off by more than 150 ms");
}
BENCHMARK(BM_EmvDeadline)->Iterations(3)->Unit(benchmark::kMillisecond)->UseManualTime();

// A DESFire card event to NFC::Reader::searchTag returning the tag (the facade on the driver). The
// event goes right behind the short answer to the card's release, from an emulated reader that holds
// a small frame until the one before is acknowledged, as many readers do.
void BM_CardEventToSearchTag(benchmark::State& state)
{
    Bench bench;
    bench.fake.timing.enableDelayMs = 1;
    bench.fake.side.setRecording(false);
    bench.fake.side.setCard(std::make_shared<emulators::DesfireCard>());
    emulators::PseudoTerminal pty;
    NFC::Reader reader(NFC::Reader::DriverFactories{Monet::driverFactory(bench.setup())});
    if (!reader.open(pty.path(), 115200))
        return state.SkipWithError("open failed");
    // The first enable is delayed: it must not land on the first card.
    const size_t opened = bench.fake.b.requests().size();
    if (!reader.enableRF() || !bench.nextB(opened, TapModeStart, 1000))
        return state.SkipWithError("no enable");
    for (auto _ : state) {
        state.PauseTiming();
        // Releases the previous card and enables the reader at once.
        reader.enableRF();
        state.ResumeTiming();
        bench.fake.side.presentCard();
        const std::shared_ptr<NFC::Tag> tag = reader.searchTag(1000);
        if (!std::dynamic_pointer_cast<NFC::DESFire>(tag))
            return state.SkipWithError("no DESFire card within 1 s");
    }
}
BENCHMARK(BM_CardEventToSearchTag)->Iterations(50)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
