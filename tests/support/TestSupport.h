// Helpers shared by the tests: locating and loading the published test vectors.
#pragma once

#include <dirent.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace testsupport {

inline std::string vectorsDir() { return TAPGATE_VECTORS_DIR; }

// How long a test waits for what the emulated peer does at once (hears a request, answers it,
// closes its end). Only a peer that never will reaches it, also on a loaded machine, where a
// thread can stand still for a second.
constexpr int PeerDeadlineMs = 10000;

// Polls done() until it holds or deadlineMs passed; the result says which.
template <class Done>
bool eventually(Done done, int deadlineMs = PeerDeadlineMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

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
