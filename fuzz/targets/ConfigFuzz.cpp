// The configuration file as whoever wrote it left it: any text is either taken, with each value of
// the wrong type skipped, or refused with a short UTF-8 reason and every default kept. Nothing
// throws. A document that parses is refused as too deep exactly when it has more than 256 levels,
// brackets in its strings not counted; one that is taken is the document the library's own parser
// builds (a key given twice keeps its last value).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "Velmora/Config.h"
#include "support/Check.h"

namespace {

// Levels of objects and arrays in a parsed document, walked without recursion.
size_t levels(const nlohmann::json& document)
{
    size_t deepest = 0;
    std::vector<std::pair<const nlohmann::json*, size_t>> pending{{&document, 0}};
    while (!pending.empty()) {
        const auto [node, above] = pending.back();
        pending.pop_back();
        if (!node->is_structured())
            continue;
        deepest = std::max(deepest, above + 1);
        for (const nlohmann::json& child : *node) pending.push_back({&child, above + 1});
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    const std::string text(reinterpret_cast<const char*>(data), size);

    RFID::Config config;
    std::string reason;
    const bool taken = config.parse(text, &reason);
    FUZZ_CHECK(taken == reason.empty());
    // Fit for one log line whatever the text: short, and UTF-8 (the strict dump throws otherwise).
    FUZZ_CHECK(reason.size() <= 512);
    FUZZ_CHECK(nlohmann::json(reason).dump().size() >= 2);
    FUZZ_CHECK(!config.firmwarePath().empty());
    if (!taken) {
        FUZZ_CHECK(config.firmwarePath() == RFID::Config::DefaultFirmwarePath);
        FUZZ_CHECK(config.ultralightTemplates().empty());
    }
    for (const char* name : {"mqtt", "tcp", "rfid"}) FUZZ_CHECK(config.section(name).is_object());

    const nlohmann::json plain = nlohmann::json::parse(text, nullptr, false);
    if (!plain.is_discarded())
        FUZZ_CHECK((reason == "nested deeper than 256 levels") == (levels(plain) > 256));
    if (taken)
        FUZZ_CHECK(*config.document() == plain);
    return 0;
}
