#include "drivers/Monet/SideChannelTransport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <stdexcept>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "core/Log.h"
#include "core/String.h"

namespace MonetReader {

namespace {
constexpr size_t MaxPayload = 0xFFFF;

// The reader's own announcements that a search is waiting for; no request uses these codes.
constexpr uint8_t NonEMVcardPresent = 0x38;
constexpr uint8_t EMVcardDetected = 0x50;
constexpr uint8_t TapResult = 0x53;

void setTcpOption(int fd, int option)
{
    const int on = 1;
    if (fd >= 0)
        (void)::setsockopt(fd, IPPROTO_TCP, option, &on, sizeof on);
}
}  // namespace

SideChannelTransport::SideChannelTransport(TCPClient& client, std::shared_ptr<Monet::Clock> clock,
                                           Limits limits)
    : m_client(client), m_clock(clock ? std::move(clock) : Monet::Clock::system()), m_limits(limits)
{
}

void SideChannelTransport::connected()
{
    reportDropped();
    m_kept.clear();
    // A request is one write: holding it for the acknowledgement of the one before only delays it.
    setTcpOption(m_client.getNative(), TCP_NODELAY);
    setTcpOption(m_client.getNative(), TCP_QUICKACK);
}

bool SideChannelTransport::keepIfEvent(Bytes& payload)
{
    if (payload.empty())
        return false;
    const uint8_t code = NFC::ByteReader(payload).u8() & 0x7F;
    if (code != NonEMVcardPresent && code != EMVcardDetected && code != TapResult)
        return false;
    if (m_kept.size() >= KeptEventsCapacity) {
        // Counted, not logged one by one: a reader flooding events would flood the log as well.
        ++m_dropped;
        m_kept.pop_front();
    }
    Log::debug("[Monet] Card event 0x%02X kept for the next search", code);
    m_kept.push_back({++m_keptSoFar, std::move(payload)});
    payload.clear();
    return true;
}

bool SideChannelTransport::drain()
{
    // One end for the whole drain, on the driver's clock, that a frame caught coming in must meet too.
    const int64_t end = m_clock->nowMillis() + m_limits.drainMs;
    Bytes discarded;
    for (int frames = 0; frames < m_limits.drainFrames; ++frames) {
        if (m_clock->nowMillis() >= end)
            break;
        try {
            if (!m_client.available(0))
                break;
        } catch (const std::exception& e) {
            Log::error("[Monet] Error polling the side channel: %s",
                       String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
            return false;
        }
        const Frame frame = readFrame(1, end, discarded);
        if (frame == Frame::Broken)
            return false;
        if (frame == Frame::None)
            break;
        (void)keepIfEvent(discarded);
    }
    return true;
}

bool SideChannelTransport::transmit(const SideChannelMsg::Ptr& msg)
{
    if (!msg)
        return false;
    if (!drain()) {
        Log::error("[Monet] Error sending TCP message");
        return false;
    }
    const Bytes payload = msg->serialize();
    if (payload.size() > MaxPayload) {
        Log::error("[Monet] Message of %zu bytes does not fit a frame", payload.size());
        return false;
    }
    Bytes frame;
    frame.reserve(payload.size() + 2);
    NFC::ByteWriter(frame).u16be(static_cast<uint16_t>(payload.size())).bytes(payload);
    if (Log::enabled(Log::LevelDebug))
        Log::debug("[Monet] %s (% 3d): %s", "TX", static_cast<int>(frame.size()),
                   String::toHexExcerpt(frame).c_str());
    if (m_client.write(frame) <= 0) {
        Log::error("[Monet] Error sending TCP message");
        return false;
    }
    return true;
}

bool SideChannelTransport::readInto(bool untilWhole, int64_t deadlineMs, int64_t clockEndMs)
{
    while (untilWhole ? !m_framer.whole() : !m_framer.begun()) {
        // Time is looked at only when the bytes are not here yet, and past it only what is here counts.
        int64_t left = 0;
        bool ready = m_client.available(0);
        if (!ready) {
            left = deadlineMs - Monet::Clock::steadyMillis();
            if (clockEndMs >= 0)
                // In short waits, so that the end is seen however the driver's clock moves.
                left = std::min({left, clockEndMs - m_clock->nowMillis(), ClockSliceMs});
            if (left <= 0)
                return false;
            if (!m_client.available(static_cast<int>(left)))
                continue;
        }
        int here = 0;
        if (::ioctl(m_client.getNative(), FIONREAD, &here) != 0 || here <= 0)
            here = 1;  // the peer's close, which the read reports
        // No more than is here, so that the read never waits on its own, and nothing of the next frame.
        const size_t take = std::min(m_framer.wanted(), static_cast<size_t>(here));
        m_chunk.clear();
        if (m_client.read(m_chunk, static_cast<unsigned>(take)) <= 0)
            return false;
        (void)m_framer.feed(m_chunk.data(), m_chunk.size());
        // Acknowledged now, not when our next write could carry it: a reader whose stack holds a
        // small frame until the one before is acknowledged (Nagle) would otherwise send its next
        // card event only when our delayed acknowledgement runs out. The kernel drops the setting
        // on its own, so it is set again after each read.
        setTcpOption(m_client.getNative(), TCP_QUICKACK);
    }
    return true;
}

SideChannelTransport::Frame SideChannelTransport::readFrame(int waitMs, int64_t clockEndMs, Bytes& payload)
{
    payload.clear();
    m_framer.reset();
    try {
        if (!readInto(false, Monet::Clock::steadyMillis() + std::max(waitMs, 1), clockEndMs))
            return Frame::None;
        const int64_t deadline = Monet::Clock::steadyMillis() + std::max(waitMs, 0) + FrameGraceMs;
        // The same bound on the driver's clock, unless an earlier end was given (the drain's).
        if (clockEndMs < 0)
            clockEndMs = m_clock->nowMillis() + std::max(waitMs, 0) + FrameGraceMs;
        if (readInto(true, deadline, clockEndMs)) {
            payload = m_framer.take();
            if (Log::enabled(Log::LevelDebug))
                Log::debug("[Monet] %s (% 3d): %s", "RX", static_cast<int>(payload.size()),
                           String::toHexExcerpt(payload).c_str());
            return Frame::Whole;
        }
    } catch (const std::exception& e) {
        Log::error("[Monet] Error polling the side channel: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    Log::error("[Monet] Error receiving %d bytes", static_cast<int>(m_framer.expected()));
    // Whatever comes next would be read from the middle of this frame.
    Log::error("[Monet] Frame incomplete ===> Closing the side channel");
    m_client.close();
    m_framer.reset();
    return Frame::Broken;
}

void SideChannelTransport::reportDropped()
{
    if (m_dropped == 0)
        return;
    Log::warning("[Monet] More card events than a search takes ===> %zu oldest dropped", m_dropped);
    m_dropped = 0;
}

size_t SideChannelTransport::forgetKept(uint64_t upTo, const std::function<bool(const Bytes&)>& spent)
{
    const size_t before = m_kept.size();
    m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(),
                                [&](const Kept& kept) { return kept.stamp <= upTo && spent(kept.payload); }),
                 m_kept.end());
    return before - m_kept.size();
}

SideChannelMsg::Ptr SideChannelTransport::receive(int timeoutMs)
{
    // The burst of events that overflowed the kept ones ends when a search comes for them.
    reportDropped();
    if (!m_kept.empty()) {
        SideChannelMsg::Ptr event = SideChannelMsg::make(m_kept.front().payload);
        m_kept.pop_front();
        return event;
    }
    return receiveFrame(timeoutMs);
}

SideChannelMsg::Ptr SideChannelTransport::receiveFrame(int timeoutMs)
{
    const Bytes payload = readBytes(timeoutMs);
    if (payload.empty())
        return nullptr;
    return SideChannelMsg::make(payload);
}

SideChannelMsg::Ptr SideChannelTransport::receiveAnswer(int timeoutMs)
{
    // The first wait is the one asked for, to the millisecond; after a kept event, what is left of
    // it. No frame is begun past its end, so a reader that sends events without pause holds the
    // wait no longer than one that sends nothing (but for the frame in hand).
    const int64_t end = Monet::Clock::steadyMillis() + std::max(timeoutMs, 0);
    int waitMs = timeoutMs;
    for (;;) {
        Bytes payload = readBytes(waitMs);
        if (payload.empty())
            return nullptr;
        if (!keepIfEvent(payload))
            return SideChannelMsg::make(payload);
        const int64_t left = end - Monet::Clock::steadyMillis();
        if (left <= 0)
            return nullptr;
        waitMs = static_cast<int>(left);
    }
}

SideChannelTransport::Bytes SideChannelTransport::readBytes(int timeoutMs)
{
    Bytes payload;
    readFrame(timeoutMs, -1, payload);
    return payload;
}

SideChannelMsg::Ptr SideChannelTransport::transceive(const SideChannelMsg::Ptr& msg, int timeoutMs)
{
    if (!transmit(msg))
        return nullptr;
    return receiveAnswer(timeoutMs);
}

}  // namespace MonetReader
