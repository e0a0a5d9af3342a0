#include "drivers/Monet/SideChannelTransport.h"

#include <stdexcept>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "core/Log.h"
#include "core/String.h"

namespace MonetReader {

namespace {
constexpr size_t MaxPayload = 0xFFFF;
}

SideChannelTransport::SideChannelTransport(TCPClient& client, std::shared_ptr<Monet::Clock> clock,
                                           Limits limits)
    : m_client(client), m_clock(clock ? std::move(clock) : Monet::Clock::system()), m_limits(limits)
{
}

bool SideChannelTransport::drain()
{
    const int64_t start = m_clock->nowMillis();
    Bytes discarded;
    for (int frames = 0; frames < m_limits.drainFrames; ++frames) {
        if (m_clock->nowMillis() - start >= m_limits.drainMs)
            break;
        try {
            if (!m_client.available(0))
                break;
        } catch (const std::exception& e) {
            Log::error("[Monet] Error polling the side channel: %s", e.what());
            return false;
        }
        if (!readFrame(1, discarded))
            break;
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
        Log::debug("[Monet] %s (% 3d): %s", "TX", static_cast<int>(frame.size()), String::toHex(frame).c_str());
    if (m_client.write(frame) <= 0) {
        Log::error("[Monet] Error sending TCP message");
        return false;
    }
    return true;
}

bool SideChannelTransport::readFrame(int timeoutMs, Bytes& payload)
{
    payload.clear();
    // A read time-out of 0 would block without end on the socket.
    m_client.setReadTimeout(timeoutMs > 0 ? timeoutMs : 1);
    Bytes header;
    if (m_client.read(header, 2) != 2)
        return false;
    const size_t announced = NFC::ByteReader(header).u16be();
    if (announced > 0 && m_client.read(payload, static_cast<unsigned>(announced)) < 0)
        payload.clear();
    if (payload.size() != announced)
        Log::error("[Monet] Error receiving %d bytes", static_cast<int>(announced));
    else if (Log::enabled(Log::LevelDebug))
        Log::debug("[Monet] %s (% 3d): %s", "RX", static_cast<int>(announced),
                   String::toHex(payload).c_str());
    return true;
}

SideChannelMsg::Ptr SideChannelTransport::receive(int timeoutMs)
{
    const Bytes payload = readBytes(timeoutMs);
    if (payload.empty())
        return nullptr;
    return SideChannelMsg::make(payload);
}

SideChannelTransport::Bytes SideChannelTransport::readBytes(int timeoutMs)
{
    Bytes payload;
    readFrame(timeoutMs, payload);
    return payload;
}

SideChannelMsg::Ptr SideChannelTransport::transceive(const SideChannelMsg::Ptr& msg, int timeoutMs)
{
    if (!transmit(msg))
        return nullptr;
    return receive(timeoutMs);
}

}  // namespace MonetReader
