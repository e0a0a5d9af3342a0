// The DESFire EV2 run of the scenarios over a driver that answers from the input: every card and
// SAM answer is arbitrary, and no answer may make EV2 authentication or MAC-mode messaging read out
// of bounds, leak, hang or fail an undefined-behaviour check.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "scenarios/Scenarios.h"
#include "support/Check.h"
#include "support/FuzzDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    fuzzing::FuzzInput input(data, size);
    auto driver = std::make_shared<fuzzing::FuzzDriver>(input);
    driver->open("fuzz", 0, nullptr);
    fuzzing::runDESFireEV2(driver);
    return 0;
}
