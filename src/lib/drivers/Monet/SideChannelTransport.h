// Frames side-channel messages on the TCP stream to the Monet reader: a two-byte big-endian
// payload length, then the payload. Holds a reference to the driver's connected TCPClient and
// nothing of the exchanges but card events: an answer is the next frame that arrives and is not a
// card event, and each send first discards what else arrived since the last one, within a bound of
// frames and time. A card event (a card in the field, a bank-card tap and its result) that comes
// while a request is sent or answered is no stale answer: it is kept, a few at most, for the next
// receive, which is the next search's. A frame is read within a bound as a whole, whatever the
// gaps between its bytes; one that is not whole by then leaves the stream out of step, so the
// connection is closed and the driver's next open makes a new one. Used on the thread that drives
// the reader; takes no lock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "core/TCPClient.h"
#include "drivers/Monet/Clock.h"
#include "drivers/Monet/SideChannelFramer.h"
#include "drivers/Monet/SideChannelMsg.h"
#include "drivers/Monet/Timing.h"

namespace MonetReader {

class SideChannelTransport
{
public:
    using Bytes = std::vector<uint8_t>;

    struct Limits
    {
        // Frames discarded before a send, at most this many and for at most this long, so that a
        // reader flooding events cannot hold a request back.
        int drainFrames = Monet::Timing{}.drainFrames;
        int64_t drainMs = Monet::Timing{}.drainMs;
    };

    SideChannelTransport(TCPClient& client, std::shared_ptr<Monet::Clock> clock, Limits limits);
    SideChannelTransport(TCPClient& client, std::shared_ptr<Monet::Clock> clock)
        : SideChannelTransport(client, std::move(clock), Limits{})
    {
    }

    // To be called once the client is connected anew: the events kept from the connection before
    // are forgotten, and the stream is set up so that a small frame costs no round of waiting
    // either way (ours go at once; theirs are acknowledged at once, see readUntil).
    void connected();

    [[nodiscard]] bool transmit(const SideChannelMsg::Ptr& msg);
    // One frame's message, a kept card event first; empty when no payload byte arrived in time.
    // Events dropped since the last receive (more came than are kept) are reported here, in one
    // warning with their count.
    SideChannelMsg::Ptr receive(int timeoutMs);
    // The same straight off the stream: the kept events stay for the search.
    SideChannelMsg::Ptr receiveFrame(int timeoutMs);
    // The next frame that is not a card event; card events that come first are kept. No frame is
    // begun after timeoutMs, however many events come, and the one begun by then gets its own
    // bound (readFrame's).
    SideChannelMsg::Ptr receiveAnswer(int timeoutMs);
    // Card events kept so far in the transport's life: the stamp of the last one kept. An event
    // kept after this was read stamps above it.
    uint64_t keptSoFar() const { return m_keptSoFar; }
    // Takes away the events (payloads) kept with a stamp up to upTo that spent says a read has
    // already served; returns how many went.
    size_t forgetKept(uint64_t upTo, const std::function<bool(const Bytes&)>& spent);
    // One frame's payload; empty when nothing arrived in time.
    Bytes readBytes(int timeoutMs);
    SideChannelMsg::Ptr transceive(const SideChannelMsg::Ptr& msg, int timeoutMs);

    // What a frame may take beyond the wait for its first byte, counted from that byte.
    static constexpr int64_t FrameGraceMs = 1000;

private:
    enum class Frame
    {
        None,   // not a byte of it within the wait
        Whole,  // payload holds it
        Broken  // begun but not whole in time, or the peer closed in it: the connection is closed
    };

    // Pending frames thrown away before a send; false when the socket cannot be polled or a frame
    // was still coming in when the drain's time ran out.
    bool drain();
    // One frame: its first byte within waitMs, the whole of it within waitMs + FrameGraceMs of
    // that byte, on the steady clock and on the driver's, and never after clockEndMs on the
    // driver's clock (-1 for no such end).
    Frame readFrame(int waitMs, int64_t clockEndMs, Bytes& payload);
    // Feeds the framer what is already here and what arrives until its frame has begun (or, with
    // untilWhole, is whole); false when the deadline (steady milliseconds) or clockEndMs passes
    // first, or the peer closes.
    bool readInto(bool untilWhole, int64_t deadlineMs, int64_t clockEndMs);

    // Keeps the payload when it is a card event; false (nothing kept) for any other frame.
    bool keepIfEvent(Bytes& payload);
    // One warning for the events dropped since the last one, if any.
    void reportDropped();

    // Longest single wait while the driver's clock has an end to meet.
    static constexpr int64_t ClockSliceMs = 5;
    // Card events kept between searches; a reader announces one card at a time, so a few cover a
    // tap and its result with room to spare. When full, the oldest goes.
    static constexpr size_t KeptEventsCapacity = 8;

    TCPClient& m_client;
    std::shared_ptr<Monet::Clock> m_clock;
    Limits m_limits;
    SideChannelFramer m_framer;
    Bytes m_chunk;  // what one read took off the socket
    struct Kept
    {
        uint64_t stamp;
        Bytes payload;
    };
    std::deque<Kept> m_kept;   // oldest first, at most KeptEventsCapacity
    uint64_t m_keptSoFar = 0;  // never reset, so a stamp taken before a reconnection stays below
    size_t m_dropped = 0;      // events dropped for room since the last warning
};

}  // namespace MonetReader
