// The byte pipe beneath a T2151 link: a serial line for the Yarus reader, a TCP connection for the
// networked reader. The framing and message code reads and writes only through this, so one
// implementation serves both. Implementations belong to their driver and are used by one thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Clock.h"

namespace T2151 {

class ByteStream
{
public:
    virtual ~ByteStream() = default;

    // Both reads wait at most the read time-out for each byte and never past deadlineMs (on
    // Clock::monotonicMillis): once it has passed they take only what is already here.
    // One byte (0-255); -1 when none came or on an error.
    virtual int readByte(double deadlineMs) = 0;
    // Up to n bytes appended to out; fewer when the line stays quiet or the deadline passes.
    virtual size_t readBytes(size_t n, std::vector<uint8_t>& out, double deadlineMs) = 0;
    // True only when every byte went out.
    virtual bool writeAll(const std::vector<uint8_t>& bytes) = 0;
    // Drops unread input (a late answer to an earlier request) and unsent output.
    virtual void discard() = 0;
    // The longest wait of each single read, in ms.
    virtual bool setReadTimeout(int ms) = 0;

protected:
    // One wait for input: the read time-out, cut short by the deadline; none once it has passed.
    static int waitMs(int timeoutMs, double deadlineMs)
    {
        const double left = deadlineMs - Clock::monotonicMillis();
        return left <= 0 ? 0 : std::min(timeoutMs, static_cast<int>(std::ceil(left)));
    }
};

}  // namespace T2151
