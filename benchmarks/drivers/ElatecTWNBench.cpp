// Round trips through the Elatec TWN driver over a pseudo-terminal in binary mode with CRC,
// against the emulated reader. A pseudo-terminal has no baud rate, so the time measured is the
// software's own cost (driver, framing, emulator, kernel); "wire_us" is what the same bytes take
// on the real 115200 baud line (86.8 us a byte), for comparison.
#include <benchmark/benchmark.h>

#include <memory>

#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/FieldCard.h"

namespace {

using emulators::Bytes;
using emulators::ElatecReader;

const double MicrosPerByte = 1e6 * 10 / 115200;  // 8N1: ten bit times a byte

// Answers every ISO 14443-4 command with the same number of bytes.
class EchoCard : public emulators::FieldCard
{
public:
    Identity identity() const override
    {
        Identity id;
        id.uid = {0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80};
        id.atqa = 0x0344;
        id.sak = 0x20;
        id.ats = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
        return id;
    }
    std::optional<Bytes> exchange4(const Bytes& command) override { return command; }
};

struct Bench
{
    Bench() : reader(ElatecReader::Mode::BinaryCrc), driver(std::make_shared<ElatecTWN::Driver>())
    {
        reader.setRecording(false);
        reader.setCard(std::make_shared<EchoCard>());
        ok = driver->open(reader.devicePath(), 115200, nullptr);
        int type = 0;
        Bytes uid, ats;
        ok = ok && driver->searchTag(type, uid, ats, 1000);
    }
    ElatecReader reader;
    std::shared_ptr<ElatecTWN::Driver> driver;
    bool ok = false;
};

void BM_CheckPresence(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok) {
        state.SkipWithError("reader did not open");
        return;
    }
    for (auto _ : state) {
        if (!bench.driver->ISO14443_checkPresence()) {
            state.SkipWithError("presence check failed");
            break;
        }
    }
    // Command: length 2, code 2, CRC 2. Answer: length 2, status, flag, CRC 2.
    state.counters["wire_us"] = (6 + 6) * MicrosPerByte;
}
BENCHMARK(BM_CheckPresence)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TDX4_59Bytes(benchmark::State& state)
{
    Bench bench;
    if (!bench.ok) {
        state.SkipWithError("reader did not open");
        return;
    }
    const Bytes tx(59, 0x5A);
    Bytes rx;
    rx.reserve(64);
    for (auto _ : state) {
        if (!bench.driver->ISO14443_TDX4(tx, rx) || rx.size() != tx.size()) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    // Command: length 2, code 2, count, 59 bytes, maximum, CRC 2.
    // Answer: length 2, status, flag, count, 59 bytes, CRC 2.
    state.counters["wire_us"] = ((2 + 2 + 1 + 59 + 1 + 2) + (2 + 1 + 1 + 1 + 59 + 2)) * MicrosPerByte;
}
BENCHMARK(BM_TDX4_59Bytes)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
