// Helpers shared by the tests: locating and loading the published test vectors.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstddef>
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

// The descriptors this process holds: a test that opens and fails many times checks none leaks.
inline size_t openDescriptors()
{
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

inline double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace testsupport
