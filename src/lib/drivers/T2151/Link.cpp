#include "drivers/T2151/Link.h"

#include <exception>
#include <utility>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/String.h"
#include "drivers/T2151/Framer.h"

namespace T2151 {

namespace {

// What a receive may take beyond its time-out before a line that keeps talking is given up.
const double ReceiveGraceMs = 1000;

}  // namespace

Link::Link(ByteStream& stream, std::string prefix) : m_stream(stream), m_prefix(std::move(prefix)) {}

bool Link::transmit(const Message& message)
{
    std::vector<uint8_t> frame;
    if (!Framer::encode(message.serialize(), frame)) {
        Log::error("%sERROR: Message too long to send", m_prefix.c_str());
        return false;
    }
    if (Log::enabled(Log::LevelDebug))
        Log::debug("%sTX (% 3d) : %s", m_prefix.c_str(), static_cast<int>(frame.size()),
                   String::toHexExcerpt(frame).c_str());
    m_stream.discard();
    return m_stream.writeAll(frame);
}

Message::Ptr Link::receive(int timeoutMs)
{
    try {
        return receiveFrame(timeoutMs);
    } catch (const std::exception& e) {
        Log::error("%sERROR: Receive failed: %s", m_prefix.c_str(),
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    return nullptr;
}

Message::Ptr Link::receiveFrame(int timeoutMs)
{
    // A negative time-out would make each read wait for ever, past any bound of the hunt.
    if (timeoutMs < 0)
        timeoutMs = 0;
    if (timeoutMs != m_timeout) {
        m_stream.setReadTimeout(timeoutMs);
        m_timeout = timeoutMs;
    }
    const double start = Clock::monotonicMillis();
    const double bound = timeoutMs + ReceiveGraceMs;
    const double deadline = start + bound;
    Framer framer;
    std::vector<uint8_t> chunk;
    for (;;) {
        if (Clock::elapsedMonotonicMillis(start) > bound) {
            Log::error("%sERROR: No frame within %d ms (%d bytes skipped)", m_prefix.c_str(),
                       static_cast<int>(bound), static_cast<int>(framer.skipped()));
            return nullptr;
        }
        const size_t want = framer.wanted();
        chunk.clear();
        if (want == 1) {
            const int byte = m_stream.readByte(deadline);
            if (byte < 0)
                return nullptr;
            chunk.push_back(static_cast<uint8_t>(byte));
        } else if (m_stream.readBytes(want, chunk, deadline) < want) {
            return nullptr;
        }
        size_t used = 0;
        switch (framer.feed(chunk.data(), chunk.size(), used)) {
            case Framer::Result::NeedMore:
                break;
            case Framer::Result::ZmodemStart:
                return Message::zmodemStart();
            case Framer::Result::Overrun:
                Log::error("%sERROR: No frame within %d ms (%d bytes skipped)", m_prefix.c_str(),
                           static_cast<int>(bound), static_cast<int>(framer.skipped()));
                return nullptr;
            case Framer::Result::BadCrc:
                Log::error("%sCRC Error (exp=%04X, recv=%04X)", m_prefix.c_str(), framer.computedCrc(),
                           framer.receivedCrc());
                return nullptr;
            case Framer::Result::Frame: {
                const std::vector<uint8_t>& payload = framer.payload();
                if (Log::enabled(Log::LevelDebug))
                    Log::debug("%sRX (% 3d) : %X%04X%s%02X", m_prefix.c_str(),
                               static_cast<int>(payload.size() + 5), Framer::Start,
                               static_cast<unsigned>(payload.size()), String::toHexExcerpt(payload).c_str(),
                               framer.receivedCrc());
                return Message::make(payload);
            }
        }
    }
}

Message::Ptr Link::transceive(const Message& message, int timeoutMs)
{
    if (!transmit(message))
        return nullptr;
    return receive(timeoutMs);
}

}  // namespace T2151
