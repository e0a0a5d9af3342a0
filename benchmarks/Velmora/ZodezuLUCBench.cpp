// ZodezuLUC create, read and write through NFC::Reader and the Elatec driver over a pseudo-terminal
// to the emulated reader, Ultralight C card and the two MIFARE SAM models, with both SAMs (argument
// 1) and without any (0). Besides the time, the counters give the card frames and SAM APDUs each
// operation took next to the fewest the protocol allows: a read is 2 authentication frames and 5
// READs, with 2 SAM APDUs for the authentication and 4 for the two MAC checks; a write after a read
// sends only the changed pages (here a new copy: 8 pages, its MAC page unless both MACs are zero,
// and the selector) and asks slot 0 for two MACs. A pseudo-terminal has no baud rate: the time is the
// software's. Each benchmark runs a fixed number of iterations; the emulated reader is a thread of this
// process.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

#include "ZodezuField.h"

namespace {

using Field = testsupport::ZodezuField;

// Fixed, so a run is bounded and the emulator's records stay small.
const int Iterations = 100;

size_t samApdus(const Field& field)
{
    size_t n = 0;
    for (const auto& r : field.emulator.received()) n += r.command == Field::SamApdu;
    return n;
}

// Runs op every iteration (prepare untimed before it); reports card frames and SAM APDUs per op.
void measure(benchmark::State& state, Field& field, double framesMin, double apdusMin,
             const std::function<void()>& prepare, const std::function<bool()>& op)
{
    size_t frames = 0, apdus = 0;
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        field.emulator.clearReceived();
        const size_t before = field.cardFrames();
        state.ResumeTiming();
        if (!op()) {
            state.SkipWithError("operation failed");
            return;
        }
        frames += field.cardFrames() - before;
        apdus += samApdus(field);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["card_frames"] = static_cast<double>(frames) / n;
    state.counters["card_frames_min"] = framesMin;
    state.counters["sam_apdus"] = static_cast<double>(apdus) / n;
    state.counters["sam_apdus_min"] = apdusMin;
}

Field::Sams samsOf(const benchmark::State& state)
{
    return state.range(0) ? Field::Both : Field::None;
}

void BM_ZodezuLUCCreate(benchmark::State& state)
{
    Field field;
    std::shared_ptr<RFID::CardReader> r;
    // A blank card each round: authentication, key and configuration (with SAMs), 28 pages, read.
    const bool sams = state.range(0) != 0;
    measure(
        state, field, sams ? 2 + 6 + 28 + 5 : 2 + 28 + 5, sams ? 4 + 4 + 4 : 0,
        [&] {
            field.place(field.ulc = std::make_shared<emulators::UltralightC>());
            r = field.reader("ZodezuLUC", samsOf(state));
        },
        [&] { return r->create(false) != nullptr; });
}

void BM_ZodezuLUCRead(benchmark::State& state)
{
    Field field;
    if (!field.issue(testsupport::ZodezuLayouts[0], samsOf(state))) {
        state.SkipWithError("issue failed");
        return;
    }
    std::shared_ptr<RFID::CardReader> r;
    // A new reader each round, as for a new tap; the search itself is not counted.
    measure(
        state, field, 7, state.range(0) ? 6 : 0, [&] { r = field.reader("ZodezuLUC", samsOf(state)); },
        [&] { return r->read(0, 0) != nullptr; });
}

void BM_ZodezuLUCWrite(benchmark::State& state)
{
    Field field;
    if (!field.issue(testsupport::ZodezuLayouts[0], samsOf(state))) {
        state.SkipWithError("issue failed");
        return;
    }
    auto r = field.reader("ZodezuLUC", samsOf(state));
    if (!r->read(0, 0)) {
        state.SkipWithError("read failed");
        return;
    }
    int v = 0;
    measure(
        state, field, state.range(0) ? 10 : 9, state.range(0) ? 4 : 0, [] {},
        [&] { return r->write(testsupport::zodezuTicket(++v, false)) != nullptr; });
}

}  // namespace

BENCHMARK(BM_ZodezuLUCCreate)->Arg(0)->Arg(1)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZodezuLUCRead)->Arg(0)->Arg(1)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZodezuLUCWrite)->Arg(0)->Arg(1)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
