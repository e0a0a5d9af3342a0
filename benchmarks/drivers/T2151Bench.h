// What the Yarus and VUrur benchmarks share: a card that echoes every ISO 14443-4 frame, a driver
// opened on an emulated reader with that card found, and a loop of one driver operation per
// iteration that stops at the first failure.
#pragma once

#include <benchmark/benchmark.h>

#include <memory>

#include "emulators/FieldCard.h"

namespace t2151bench {

using emulators::Bytes;

class EchoCard : public emulators::FieldCard
{
public:
    Identity identity() const override
    {
        return {0x80, {0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80}, 0x0344, 0x20, {0x06, 0x75}, {}};
    }
    std::optional<Bytes> exchange4(const Bytes& command) override { return command; }
};

// The echo card in the reader's field, the driver opened by open() and the card found.
template <class Reader, class Driver, class Open>
bool prepare(Reader& reader, Driver& driver, Open&& open)
{
    reader.device().setCard(std::make_shared<EchoCard>(), 256);
    int type = 0;
    Bytes uid, ats;
    return open() && driver.searchTag(type, uid, ats, 500);
}

template <class Operation>
void roundTrips(benchmark::State& state, bool opened, const char* failure, Operation&& operation)
{
    if (!opened) {
        state.SkipWithError("reader did not open");
        return;
    }
    for (auto _ : state) {
        if (!operation()) {
            state.SkipWithError(failure);
            break;
        }
    }
}

// A 59-byte frame to the echo card and back.
template <class Driver>
void tdx4RoundTrips(benchmark::State& state, bool opened, Driver& driver)
{
    const Bytes tx(59, 0x5A);
    Bytes rx;
    roundTrips(state, opened, "TDX4 failed", [&] { return driver.ISO14443_TDX4(tx, rx) && rx.size() == 59; });
}

}  // namespace t2151bench
