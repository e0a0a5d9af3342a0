// Helpers shared by the tests: locating and loading the published test vectors.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace testsupport {

inline std::string vectorsDir() { return TAPGATE_VECTORS_DIR; }

// Loads ../shared/vectors/<name>; throws when the file is missing so a test cannot pass vacuously.
inline nlohmann::json loadVectors(const std::string& name)
{
    std::ifstream in(vectorsDir() + "/" + name);
    if (!in)
        throw std::runtime_error("missing vector file " + name);
    return nlohmann::json::parse(in);
}

}  // namespace testsupport
