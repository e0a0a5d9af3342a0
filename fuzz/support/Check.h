// What a fuzz target uses besides its input: a check that stops the run with a message when a
// property of the code under test does not hold (the fuzzer keeps the input as a crash), and the
// one-time set-up of the program log. Header only; each target runs on one thread.
#pragma once

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include "core/Log.h"

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace fuzzing {

// Error lines only: the trace's arguments are still built from the fuzzed data (the callers make
// them), but sending every debug line to syslog would halve the runs. Nothing goes to stderr,
// which would drown the fuzzer's own report, and nothing to the console, where the log falls
// back without a syslog daemon and which costs more than the code under test. So the log is never
// opened (that would ask for the console fallback): its lines go through the C library's logger,
// opened here without it.
inline bool logOnce()
{
    static const bool opened = [] {
        openlog("tapgate-fuzz", LOG_NDELAY, LOG_LOCAL1);
        Log::setLevel(Log::LevelError);
        return true;
    }();
    return opened;
}

}  // namespace fuzzing
