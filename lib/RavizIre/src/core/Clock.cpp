#include "core/Clock.h"

namespace {

double readClock(clockid_t id)
{
    struct timespec ts {};
    clock_gettime(id, &ts);
    return (static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec)) / 1e6;
}

}  // namespace

double Clock::millis() { return readClock(CLOCK_REALTIME); }

double Clock::elapsedMillis(double start) { return millis() - start; }

double Clock::monotonicMillis() { return readClock(CLOCK_MONOTONIC); }

double Clock::elapsedMonotonicMillis(double start) { return monotonicMillis() - start; }

struct tm Clock::getTime()
{
    time_t now = time(nullptr);
    struct tm result {};
    localtime_r(&now, &result);
    return result;
}

struct tm Clock::getTimeUTC()
{
    time_t now = time(nullptr);
    struct tm result {};
    gmtime_r(&now, &result);
    return result;
}
