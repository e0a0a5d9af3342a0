// Millisecond clocks and the current broken-down time. Stateless; any thread may call.
#pragma once

#include <ctime>

class Clock
{
public:
    // Wall clock (CLOCK_REALTIME) in milliseconds since the epoch, with a fraction. Moves when the
    // system time is set: use it for time of day and log prefixes, not for deadlines.
    static double millis();
    static double elapsedMillis(double start);

    // Monotonic clock (CLOCK_MONOTONIC) in milliseconds: every time-out, deadline and interval
    // is measured on this one so that setting the system time neither freezes nor fires them.
    static double monotonicMillis();
    static double elapsedMonotonicMillis(double start);

    static struct tm getTime();
    static struct tm getTimeUTC();
};
