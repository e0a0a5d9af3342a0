// The Ultralight base readers through NFC::Reader and the Elatec driver over a pseudo-terminal to
// the emulated reader, card and MIFARE SAM: a full EV1 read, a write of the image the card already
// holds, the Ultralight C authentication with a key and through the SAM, and a C read of 12 pages.
// Besides the time, the counters give the card frames and SAM APDUs each operation took next to
// the fewest the protocol allows. A pseudo-terminal has no baud rate: the time is the software's.
// Each benchmark runs a fixed number of iterations; the emulated reader is a thread of this
// process and ends with it.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

#include "UltralightField.h"
#include "Velmora/UltralightCCardReader.h"
#include "Velmora/UltralightEV1CardReader.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

namespace {

using emulators::Bytes;
using EV1 = RFID::UltralightEV1CardReader;
using ULC = RFID::UltralightCCardReader;
using BareEV1 = testsupport::BareReader<EV1>;
using BareC = testsupport::BareReader<ULC>;

// Fixed, so a run is bounded and the card model's record of frames (10000) is never full.
const int Iterations = 500;
const uint8_t SamEntry = 0x20;

// Runs op every iteration; reports card frames and SAM APDUs per operation.
void measure(benchmark::State& state, testsupport::UltralightField& field, double framesMin, double apdusMin,
             const std::function<bool()>& op)
{
    field.emulator.setRecording(apdusMin > 0);
    field.emulator.clearReceived();
    const size_t frames = field.cardFrames();
    for (auto _ : state) {
        if (!op()) {
            state.SkipWithError("operation failed");
            return;
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["card_frames"] = static_cast<double>(field.cardFrames() - frames) / n;
    state.counters["card_frames_min"] = framesMin;
    state.counters["sam_apdus"] = static_cast<double>(field.samCommands(0x0A)) / n;
    state.counters["sam_apdus_min"] = apdusMin;
}

void BM_EV1FullRead(benchmark::State& state)
{
    testsupport::UltralightField field;
    BareEV1 reader(field.place(std::make_shared<emulators::UltralightEV1>()));
    Bytes image;
    // All 41 pages in one FAST_READ.
    measure(state, field, 1, 0,
            [&] { return reader.fastReadPages(0, emulators::UltralightEV1::Pages, image); });
}

void BM_EV1UnchangedImageWrite(benchmark::State& state)
{
    testsupport::UltralightField field;
    BareEV1 reader(field.place(std::make_shared<emulators::UltralightEV1>()));
    Bytes image;
    if (!reader.fastReadPages(4, 32, image)) {
        state.SkipWithError("read failed");
        return;
    }
    // The cache knows every page: nothing goes to the card.
    measure(state, field, 0, 0, [&] { return reader.writePages(4, 32, image); });
}

void BM_CAuthenticateWithKey(benchmark::State& state)
{
    testsupport::UltralightField field;
    BareC reader(field.place(std::make_shared<emulators::UltralightC>()));
    // The card's challenge and its answer to ours.
    measure(state, field, 2, 0, [&] { return reader.authenticate(ULC::DefaultKey); });
}

void BM_CAuthenticateThroughSam(benchmark::State& state)
{
    testsupport::UltralightField field;
    auto model = std::make_shared<emulators::MifareSam>();
    model->setKeyEntry(SamEntry,
                       emulators::MifareSam::KeyEntry::make(emulators::MifareSam::Iso10116,
                                                            emulators::MifareSam::Picc, ULC::DefaultKey));
    auto sam = field.insertSam(model);
    BareC reader(field.place(std::make_shared<emulators::UltralightC>()));
    // Two frames at the card, the SAM's two steps.
    measure(state, field, 2, 2, [&] { return reader.authenticate(sam, SamEntry, 0, {}); });
}

void BM_CRead12Pages(benchmark::State& state)
{
    testsupport::UltralightField field;
    BareC reader(field.place(std::make_shared<emulators::UltralightC>()));
    Bytes image;
    // Four pages a READ.
    measure(state, field, 3, 0, [&] {
        image.clear();
        return reader.normalReadPages(4, 12, image);
    });
}

BENCHMARK(BM_EV1FullRead)->Unit(benchmark::kMicrosecond)->Iterations(Iterations);
BENCHMARK(BM_EV1UnchangedImageWrite)->Unit(benchmark::kMicrosecond)->Iterations(Iterations);
BENCHMARK(BM_CAuthenticateWithKey)->Unit(benchmark::kMicrosecond)->Iterations(Iterations);
BENCHMARK(BM_CAuthenticateThroughSam)->Unit(benchmark::kMicrosecond)->Iterations(Iterations);
BENCHMARK(BM_CRead12Pages)->Unit(benchmark::kMicrosecond)->Iterations(Iterations);

}  // namespace

BENCHMARK_MAIN();
