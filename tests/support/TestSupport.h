// Helpers shared by the tests: locating and loading the published test vectors.
#pragma once

#include <dirent.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <fstream>
#include <future>
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

// The Elatec driver's wait for each byte of an answer, in tests of what rides on the line (cards,
// SAMs, layouts) rather than of the line's own time-outs: a busy machine has held an emulated
// reader's bytes up past the reader's one second, and the lost answer failed a step not under test.
constexpr int SlowLineReadTimeoutMs = 5000;

// Opens an emulated reader as the service does after a failed open: again, once the reader has
// answered all it was sent, up to three tries. Detection gives the reader 100 ms a probe, which a
// busy machine can hold its bytes up past.
template <class Emulator, class Open>
bool openAsTheServiceDoes(const Emulator& emulator, Open open)
{
    for (int attempt = 1; !open(); ++attempt)
        if (attempt == 3 || !emulator.waitForIdle(PeerDeadlineMs))
            return false;
    return true;
}

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

// Runs wait on a thread of its own and calls flood over and over (the peer sending without pause)
// until wait returns or limitMs pass: the milliseconds wait took, or -1 when it had not returned by
// then (it is let finish once the flood stops, so that a wait held for ever fails the test fast).
template <class Wait, class Flood>
double msUnderFlood(Wait wait, Flood flood, int limitMs = 5000)
{
    const auto start = std::chrono::steady_clock::now();
    std::future<double> took = std::async(std::launch::async, [&] {
        wait();
        return msSince(start);
    });
    const auto limit = start + std::chrono::milliseconds(limitMs);
    while (took.wait_for(std::chrono::microseconds(200)) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() >= limit) {
            took.wait();
            return -1;
        }
        flood();
    }
    return took.get();
}

// Whether the receive queue of socket fd holds half its buffer or more (or cannot be read): a flood
// that tops it up to there never lets the reader find it empty.
inline bool receiveQueueHalfFull(int fd)
{
    uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof memory;
    return ::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &size) != 0 ||
           memory[SK_MEMINFO_RMEM_ALLOC] * 2 >= memory[SK_MEMINFO_RCVBUF];
}

}  // namespace testsupport
