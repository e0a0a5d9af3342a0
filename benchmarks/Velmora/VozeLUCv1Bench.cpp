// VozeLUCv1 create, read and write through NFC::Reader and the Elatec driver over a pseudo-terminal
// to the emulated reader, Ultralight EV1 card and LG SAM model. Besides the time, the counters give
// the card frames and SAM TPDUs each operation took next to the fewest the protocol allows: a read
// is FAST_READ and two READ_CNT, and about 12 TPDUs (certificate, three decipherments with their
// GET RESPONSE, five balance fields); a write at most 24 WRITEs and two INCR_CNT. A pseudo-terminal
// has no baud rate: the time is the software's. Each benchmark runs a fixed number of iterations;
// the emulated reader is a thread of this process and ends with it.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>

#include "LGTicketField.h"
#include "Velmora/Cards/VozeLUCv1/VozeLUCv1CardReader.h"
#include "VozeLUCv1Ticket.h"

namespace {

using Reader = VozeLUCv1::CardReader;

// Fixed, so a run is bounded and the emulator's records stay small.
const int Iterations = 200;

// Runs op every iteration; reports card frames and SAM TPDUs per operation.
void measure(benchmark::State& state, testsupport::LGTicketField& field, double framesMin, double tpdusMin,
             const std::function<bool()>& op)
{
    field.emulator.clearReceived();
    field.model->clearCommands();
    size_t frames = 0, tpdus = 0;
    for (auto _ : state) {
        if (!op()) {
            state.SkipWithError("operation failed");
            return;
        }
        // Counted and cleared each round, so the records never grow with the run.
        frames += field.frames().size();
        tpdus += field.model->commands().size();
        field.emulator.clearReceived();
        field.model->clearCommands();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["card_frames"] = static_cast<double>(frames) / n;
    state.counters["card_frames_min"] = framesMin;
    state.counters["sam_tpdus"] = static_cast<double>(tpdus) / n;
    state.counters["sam_tpdus_min"] = tpdusMin;
}

std::shared_ptr<Reader> newReader(testsupport::LGTicketField& field)
{
    return std::make_shared<Reader>(field.search(), RFID::SamList{field.lgsam});
}

// A created ticket holding one write.
bool issue(testsupport::LGTicketField& field)
{
    auto r = newReader(field);
    return r->create(false) && r->write(testsupport::vozeTicket(1, field.ev1->counter(1) + 1));
}

void BM_VozeLUCv1Create(benchmark::State& state)
{
    testsupport::LGTicketField field;
    // A ticket created before: its password is proved, and only what changed is written.
    measure(state, field, 9, 12, [&] { return newReader(field)->create(false) != nullptr; });
}

void BM_VozeLUCv1Read(benchmark::State& state)
{
    testsupport::LGTicketField field;
    if (!issue(field)) {
        state.SkipWithError("issue failed");
        return;
    }
    // A new reader each round, as for a new tap; the search itself is not counted.
    measure(state, field, 3, 12, [&] {
        auto r = newReader(field);
        field.emulator.clearReceived();
        return r->read(0, 0) != nullptr;
    });
}

void BM_VozeLUCv1Write(benchmark::State& state)
{
    testsupport::LGTicketField field;
    if (!issue(field)) {
        state.SkipWithError("issue failed");
        return;
    }
    auto r = newReader(field);
    if (!r->read(0, 0)) {
        state.SkipWithError("read failed");
        return;
    }
    int v = 1;
    measure(state, field, 26, 13, [&] {
        v = v % 3 + 1;
        return r->write(testsupport::vozeTicket(v, field.ev1->counter(1) + 1)) != nullptr;
    });
}

}  // namespace

BENCHMARK(BM_VozeLUCv1Create)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VozeLUCv1Read)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VozeLUCv1Write)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
