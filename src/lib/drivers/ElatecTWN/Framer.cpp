#include "drivers/ElatecTWN/Framer.h"

#include <exception>

#include "NFC/ByteWriter.h"
#include "core/String.h"

namespace ElatecTWN {

bool Framer::encode(Transport transport, const std::vector<uint8_t>& frame, std::vector<uint8_t>& out)
{
    if (frame.size() > MaxFrame)
        return false;
    if (transport == Transport::Binary) {
        NFC::ByteWriter(out).u16le(static_cast<uint16_t>(frame.size())).bytes(frame);
        return true;
    }
    static const char digits[] = "0123456789ABCDEF";
    out.reserve(out.size() + frame.size() * 2 + 1);
    for (uint8_t b : frame) {
        out.push_back(static_cast<uint8_t>(digits[b >> 4]));
        out.push_back(static_cast<uint8_t>(digits[b & 0x0F]));
    }
    out.push_back('\r');
    return true;
}

void Framer::reset()
{
    m_state = m_transport == Transport::Binary ? State::Length0 : State::Line;
    m_expected = 0;
    m_frame.clear();
    m_text.clear();
    m_error.clear();
}

bool Framer::started() const
{
    switch (m_state) {
        case State::Length0:
            return false;
        case State::Line:
            return !m_text.empty();
        default:
            return true;
    }
}

Framer::Result Framer::finish() const
{
    if (m_state == State::Done)
        return Result::Frame;
    return started() ? Result::Truncated : Result::NeedMore;
}

size_t Framer::wanted() const
{
    switch (m_state) {
        case State::Length0:
            return 2;
        case State::Length1:
            return 1;
        case State::Body:
            return m_expected - m_frame.size();
        default:
            return 1;  // a line's length is not known ahead
    }
}

Framer::Result Framer::feed(const uint8_t* data, size_t size, size_t& consumed)
{
    if (m_state == State::Done)
        reset();
    consumed = 0;
    while (consumed < size) {
        const uint8_t byte = data[consumed++];
        const Result result = m_transport == Transport::Binary ? feedBinary(byte) : feedAscii(byte);
        if (result != Result::NeedMore)
            return result;
    }
    return Result::NeedMore;
}

Framer::Result Framer::feedBinary(uint8_t byte)
{
    switch (m_state) {
        case State::Length0:
            m_frame.clear();
            m_expected = byte;
            m_state = State::Length1;
            return Result::NeedMore;
        case State::Length1:
            m_expected |= static_cast<size_t>(byte) << 8;
            m_frame.reserve(m_expected);
            m_state = State::Body;
            break;
        case State::Body:
            m_frame.push_back(byte);
            break;
        default:
            return Result::NeedMore;
    }
    if (m_frame.size() < m_expected)
        return Result::NeedMore;
    m_state = State::Done;
    return Result::Frame;
}

Framer::Result Framer::feedAscii(uint8_t byte)
{
    const bool terminator = byte == '\r' || byte == '\n';
    if (m_state == State::SkipLine) {
        if (terminator)
            m_state = State::Line;
        return Result::NeedMore;
    }
    if (!terminator) {
        if (m_text.size() >= 2 * MaxFrame) {
            m_text.clear();
            m_state = State::SkipLine;
            return Result::TooLarge;
        }
        m_text.push_back(static_cast<char>(byte));
        return Result::NeedMore;
    }
    // The second half of a CR LF pair (or a blank line) is no answer.
    if (m_text.empty())
        return Result::NeedMore;
    m_state = State::Done;
    try {
        m_frame = String::fromHex(m_text);
    } catch (const std::exception& e) {
        m_frame.clear();
        m_error = e.what();
        return Result::BadText;
    }
    return Result::Frame;
}

}  // namespace ElatecTWN
