// VerUZA create, read, write and the seal check alone through NFC::Reader and the Elatec driver
// over a pseudo-terminal to the emulated reader, Ultralight EV1 card and LG SAM model, and the EMV
// read and write through NFC::Reader and a scripted payment kernel. The counters give the card
// frames, SAM TPDUs and kernel calls of each operation next to the fewest the protocol allows: a
// VerUZA read is READ of the configuration, PWD_AUTH and FAST_READ with 2 TPDUs (password and its
// GET RESPONSE) and one key-file read; an EMV read or write is one kernel call. The key file lives
// in a temporary directory removed at the end. Fixed iterations; the emulated reader is a thread
// of this process and ends with it.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "LGTicketField.h"
#include "NFC/Reader.h"
#include "NFC/ScriptedDriver.h"
#include "SealKey.h"
#include "Velmora/CardReaderFactory.h"
#include "Velmora/Cards/VerUZA/VerUZACardReader.h"
#include "core/Base64.h"

namespace {

using Reader = VerUZA::CardReader;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const int Iterations = 200;

// A field with a sealed ticket, its key file in a temporary directory, password protection on.
struct Sealed : testsupport::LGTicketField
{
    Sealed()
    {
        model->setPasswordLength(16);
        std::string dir = (fs::temp_directory_path() / "veruza-bench-XXXXXX").string();
        if (!mkdtemp(&dir[0]))
            throw std::runtime_error("no temporary directory");
        keyDir = dir;
        Reader::setKeyDirectories({keyDir.string()});
        testsupport::SealKey::writeFile((keyDir / Reader::KeyFileName).string(), key.publicText(false));
        Bytes data(58, 0x21);
        record = data;
        const Bytes seal = key.seal(data);
        record.insert(record.end(), seal.begin(), seal.end());
        auto r = reader();
        if (!r->create(false))
            throw std::runtime_error("create failed");
    }
    ~Sealed() { fs::remove_all(keyDir); }

    std::shared_ptr<Reader> reader() { return std::make_shared<Reader>(search(), RFID::SamList{lgsam}); }
    VariantMap raw(const Bytes& bytes) const
    {
        VariantMap map;
        map["raw"] = Base64::encodeV(bytes);
        return map;
    }

    testsupport::SealKey key;
    fs::path keyDir;
    Bytes record;
};

void measure(benchmark::State& state, Sealed& field, double framesMin, double tpdusMin,
             const std::function<bool()>& op)
{
    size_t frames = 0, tpdus = 0;
    for (auto _ : state) {
        field.emulator.clearReceived();
        field.model->clearCommands();
        if (!op()) {
            state.SkipWithError("operation failed");
            return;
        }
        frames += field.frames().size();
        tpdus += field.model->commands().size();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["card_frames"] = static_cast<double>(frames) / n;
    state.counters["card_frames_min"] = framesMin;
    state.counters["sam_tpdus"] = static_cast<double>(tpdus) / n;
    state.counters["sam_tpdus_min"] = tpdusMin;
}

void BM_VerUZACreate(benchmark::State& state)
{
    Sealed field;
    // A protected card: READ of the configuration twice, PWD_AUTH twice, 29 WRITEs (the cache of
    // a new reader knows none), FAST_READ; create reads the configuration once more than that, as
    // it asks before proving the password. A new reader each round, built outside the count.
    measure(state, field, 34, 4, [&] {
        auto r = field.reader();
        field.emulator.clearReceived();
        field.model->clearCommands();
        return r->create(false) != nullptr;
    });
}

void BM_VerUZARead(benchmark::State& state)
{
    Sealed field;
    field.reader()->write(field.raw(field.record));
    measure(state, field, 3, 2, [&] {
        auto r = field.reader();
        field.emulator.clearReceived();
        field.model->clearCommands();
        return r->read(0, 0) != nullptr;
    });
}

void BM_VerUZAWrite(benchmark::State& state)
{
    Sealed field;
    auto r = field.reader();
    if (!r->read(0, 0)) {
        state.SkipWithError("read failed");
        return;
    }
    Bytes zero(114, 0);
    bool sealed = false;
    // Sealed record and zero record by turns: every page changes, so 29 WRITEs.
    measure(state, field, 31, 2, [&] {
        sealed = !sealed;
        return r->write(field.raw(sealed ? field.record : zero)) != nullptr;
    });
}

void BM_VerUZASealCheck(benchmark::State& state)
{
    Sealed field;
    auto r = field.reader();
    measure(state, field, 0, 0, [&] { return r->verifySignature(field.record); });
}

// The payment kernel's side, one scripted answer per call.
struct Kernel
{
    Kernel()
    {
        nfc->open("127.0.0.1:1973", 0);
        reader =
            RFID::CardReaderFactory::createFromTemplateName("EMV", nfc->makeTag(512, {1, 2, 3, 4}, {}), {});
    }
    std::shared_ptr<testdrivers::ScriptedDriver> driver =
        std::make_shared<testdrivers::ScriptedDriver>("kernel", nullptr, true);
    std::shared_ptr<NFC::Reader> nfc = std::make_shared<NFC::Reader>(NFC::Reader::DriverFactories{
        {NFC::Reader::DriverFactory::Networked, "kernel", [this] { return driver; }}});
    std::shared_ptr<RFID::CardReader> reader;
};

void measureEMV(benchmark::State& state, Kernel& kernel, const std::function<bool()>& op)
{
    size_t calls = 0;
    for (auto _ : state) {
        kernel.driver->expectEMV({true, false, 0, {"TOKEN", "1228", "4111111111111111", "VISA"}});
        if (!op() || !kernel.driver->scriptUsed()) {
            state.SkipWithError("operation failed");
            return;
        }
        ++calls;
    }
    state.counters["driver_calls"] = static_cast<double>(calls) / static_cast<double>(state.iterations());
    state.counters["driver_calls_min"] = 1;
}

void BM_EMVRead(benchmark::State& state)
{
    Kernel kernel;
    measureEMV(state, kernel, [&] { return kernel.reader->read(0, 0) != nullptr; });
}

void BM_EMVWrite(benchmark::State& state)
{
    Kernel kernel;
    kernel.driver->expectEMV({true, false, 0, {"TOKEN"}});
    kernel.reader->read(0, 0);
    VariantMap trip;
    trip["tripData/tk/0/id"] = 7;
    trip["tripData/fare"] = 250;
    measureEMV(state, kernel, [&] { return kernel.reader->write(trip) != nullptr; });
}

}  // namespace

BENCHMARK(BM_VerUZACreate)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerUZARead)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerUZAWrite)->Iterations(Iterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerUZASealCheck)->Iterations(Iterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EMVRead)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EMVWrite)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
