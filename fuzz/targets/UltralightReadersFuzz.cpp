// The card-reader framework's Ultralight run over a driver that answers from the input: the
// factory's template choice and the two Ultralight base readers meet arbitrary reader, card and
// SAM answers. Nothing may read out of bounds, and every operation must report its outcome
// truthfully (see the scenario).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "scenarios/UltralightReaders.h"
#include "support/Check.h"
#include "support/FuzzDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    fuzzing::FuzzInput input(data, size);
    auto driver = std::make_shared<fuzzing::FuzzDriver>(input);
    driver->open("fuzz", 0, nullptr);
    fuzzing::runUltralightReaders(driver);
    return 0;
}
