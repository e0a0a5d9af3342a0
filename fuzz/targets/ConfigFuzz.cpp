// The configuration file as whoever wrote it left it: any text is either taken, with each value of
// the wrong type skipped, or refused with a reason and every default kept. Nothing throws.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Velmora/Config.h"
#include "support/Check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    const std::string text(reinterpret_cast<const char*>(data), size);

    RFID::Config config;
    std::string reason;
    const bool taken = config.parse(text, &reason);
    FUZZ_CHECK(taken == reason.empty());
    FUZZ_CHECK(!config.firmwarePath().empty());
    if (!taken) {
        FUZZ_CHECK(config.firmwarePath() == RFID::Config::DefaultFirmwarePath);
        FUZZ_CHECK(config.ultralightTemplates().empty());
    }
    for (const char* name : {"mqtt", "tcp", "rfid"}) FUZZ_CHECK(config.section(name).is_object());
    return 0;
}
