// KivoLUC and KivoLUCv2 create, first read, read again on the same reader and a one-field write,
// through NFC::Reader and the Elatec driver over a pseudo-terminal to the emulated reader, an
// Ultralight EV1 model and the MIFARE SAM model. Besides the time, the counters give the card frames,
// WRITEs and SAM APDUs per operation next to the protocol's minimum: a KivoLUC first read is PWD_AUTH
// and one FAST_READ with two activations, the encipherment and the certificate check; read again,
// PWD_AUTH and the certificate check; one field writes three pages (its own and the certificate's
// two). A KivoLUCv2 read is PWD_AUTH and two FAST_READs with four APDUs; one field writes its page of
// the other copy, that copy's signature and the selector. Create writes every page and the
// configuration, then reads the ticket back. A pseudo-terminal has no baud rate:
// the time is the software's. Each benchmark runs a fixed number of iterations; the emulated reader
// is a thread of this process and ends with it.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <string>

#include "KivoTicketField.h"

namespace {

// Fixed, so a run is bounded and the emulators' records stay small.
const int Iterations = 100;

struct Minimum
{
    double frames;
    double writes;
    double apdus;
};

// Runs op every iteration (set-up, when given, outside the clock) and reports what it cost.
void measure(benchmark::State& state, testsupport::KivoTicketField& field, Minimum minimum,
             const std::function<bool()>& op, const std::function<void()>& setUp = {})
{
    double frames = 0, writes = 0, apdus = 0;
    for (auto _ : state) {
        if (setUp) {
            state.PauseTiming();
            setUp();
            state.ResumeTiming();
        }
        field.mark();
        if (!op()) {
            state.SkipWithError("operation failed");
            return;
        }
        frames += static_cast<double>(field.frames().size());
        writes += static_cast<double>(field.pagesWritten().size());
        apdus += static_cast<double>(field.samApdus());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["card_frames"] = frames / n;
    state.counters["card_frames_min"] = minimum.frames;
    state.counters["writes"] = writes / n;
    state.counters["writes_min"] = minimum.writes;
    state.counters["sam_apdus"] = apdus / n;
    state.counters["sam_apdus_min"] = minimum.apdus;
}

void create(benchmark::State& state, const std::string& layout, Minimum minimum)
{
    testsupport::KivoTicketField field;
    std::shared_ptr<RFID::CardReader> reader;
    measure(
        state, field, minimum, [&] { return reader->create(false) != nullptr; },
        [&] {
            field.ev1 = std::make_shared<emulators::UltralightEV1>();
            field.place(field.ev1);
            reader = field.reader(layout);
        });
}

void read(benchmark::State& state, const std::string& layout, bool again, Minimum minimum)
{
    testsupport::KivoTicketField field;
    auto reader = field.reader(layout);
    if (!reader->create(false)) {
        state.SkipWithError("create failed");
        return;
    }
    measure(
        state, field, minimum, [&] { return reader->read(0, 0) != nullptr; },
        [&] {
            if (!again)
                reader = field.reader(layout);
        });
}

void writeOneField(benchmark::State& state, const std::string& layout, Minimum minimum)
{
    testsupport::KivoTicketField field;
    auto reader = field.reader(layout);
    auto card = reader->create(false);
    if (!card) {
        state.SkipWithError("create failed");
        return;
    }
    VariantMap data = card->data();
    int v = 0;
    measure(state, field, minimum, [&] {
        data["usageLog/vehicleId"] = ++v % 60000 + 1;  // a new value each time
        return reader->write(data) != nullptr;
    });
}

void BM_KivoLUCCreate(benchmark::State& state)
{
    create(state, "KivoLUC", {27, 26, 5});
}
void BM_KivoLUCFirstRead(benchmark::State& state)
{
    read(state, "KivoLUC", false, {2, 0, 4});
}
void BM_KivoLUCReadAgain(benchmark::State& state)
{
    read(state, "KivoLUC", true, {1, 0, 1});
}
void BM_KivoLUCWriteOneField(benchmark::State& state)
{
    writeOneField(state, "KivoLUC", {4, 3, 1});
}
void BM_KivoLUCv2Create(benchmark::State& state)
{
    create(state, "KivoLUCv2", {41, 37, 6});
}
void BM_KivoLUCv2FirstRead(benchmark::State& state)
{
    read(state, "KivoLUCv2", false, {3, 0, 4});
}
void BM_KivoLUCv2ReadAgain(benchmark::State& state)
{
    read(state, "KivoLUCv2", true, {3, 0, 1});
}
void BM_KivoLUCv2WriteOneField(benchmark::State& state)
{
    writeOneField(state, "KivoLUCv2", {4, 3, 1});
}

}  // namespace

BENCHMARK(BM_KivoLUCCreate)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCFirstRead)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCReadAgain)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCWriteOneField)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCv2Create)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCv2FirstRead)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCv2ReadAgain)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KivoLUCv2WriteOneField)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
