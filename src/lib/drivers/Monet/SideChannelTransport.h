// Frames side-channel messages on the TCP stream to the Monet reader: a two-byte big-endian
// payload length, then the payload. Holds a reference to the driver's connected TCPClient and
// nothing of the exchanges: an answer is simply the next frame that arrives, so each send first
// discards what arrived since the last one, within a bound of frames and time. Used on the thread
// that drives the reader; takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/TCPClient.h"
#include "drivers/Monet/Clock.h"
#include "drivers/Monet/SideChannelMsg.h"

namespace MonetReader {

class SideChannelTransport
{
public:
    using Bytes = std::vector<uint8_t>;

    struct Limits
    {
        // Frames discarded before a send, at most this many and for at most this long, so that a
        // reader flooding events cannot hold a request back.
        int drainFrames = 32;
        int64_t drainMs = 50;
    };

    SideChannelTransport(TCPClient& client, std::shared_ptr<Monet::Clock> clock, Limits limits);
    SideChannelTransport(TCPClient& client, std::shared_ptr<Monet::Clock> clock)
        : SideChannelTransport(client, std::move(clock), Limits{})
    {
    }

    [[nodiscard]] bool transmit(const SideChannelMsg::Ptr& msg);
    // One frame's message; empty when no payload byte arrived in time.
    SideChannelMsg::Ptr receive(int timeoutMs);
    // One frame's payload; empty when nothing arrived in time.
    Bytes readBytes(int timeoutMs);
    SideChannelMsg::Ptr transceive(const SideChannelMsg::Ptr& msg, int timeoutMs);

private:
    // Pending frames thrown away before a send; false when the socket cannot be polled.
    bool drain();
    // Reads one frame; false when not even the length arrived.
    bool readFrame(int timeoutMs, Bytes& payload);

    TCPClient& m_client;
    std::shared_ptr<Monet::Clock> m_clock;
    Limits m_limits;
};

}  // namespace MonetReader
