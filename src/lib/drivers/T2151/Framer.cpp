#include "drivers/T2151/Framer.h"

#include <algorithm>

#include "NFC/ByteWriter.h"
#include "other/zmodem/libzmodem/Crc.h"

namespace T2151 {

uint16_t Framer::crc(const uint8_t* data, size_t size, uint16_t crc)
{
    return zmodem::crc16(data, size, crc);
}

bool Framer::encode(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out)
{
    if (payload.size() > MaxPayload)
        return false;
    const size_t begin = out.size();
    out.reserve(begin + payload.size() + 5);
    NFC::ByteWriter writer(out);
    writer.u8(Start).u16be(static_cast<uint16_t>(payload.size())).bytes(payload);
    writer.u16be(crc(out.data() + begin, out.size() - begin));
    return true;
}

size_t Framer::wanted() const
{
    switch (m_state) {
        case State::Length:
            return 3 - m_headerFill;
        case State::Body:
            return m_length + 2 - m_body.size();
        default:
            return 1;
    }
}

Framer::Result Framer::feed(const uint8_t* data, size_t size, size_t& used)
{
    used = 0;
    while (used < size) {
        switch (m_state) {
            case State::Hunt: {
                const uint8_t byte = data[used++];
                if (byte == Start) {
                    m_state = State::Length;
                    m_headerFill = 1;
                    break;
                }
                if (byte == 'r')
                    m_state = State::AfterR;
                if (++m_skipped >= MaxSkipped)
                    return Result::Overrun;
                break;
            }
            case State::AfterR: {
                // The byte after 'r' is taken whatever it is: a start byte here begins nothing.
                const uint8_t byte = data[used++];
                if (byte == 'z') {
                    m_state = State::Hunt;
                    return Result::ZmodemStart;
                }
                m_state = State::Hunt;
                if (++m_skipped >= MaxSkipped)
                    return Result::Overrun;
                break;
            }
            case State::Length: {
                m_header[m_headerFill++] = data[used++];
                if (m_headerFill == 3) {
                    m_length = static_cast<size_t>(m_header[1]) << 8 | m_header[2];
                    m_body.clear();
                    m_body.reserve(m_length + 2);
                    m_state = State::Body;
                }
                break;
            }
            case State::Body: {
                const size_t take = std::min(size - used, wanted());
                m_body.insert(m_body.end(), data + used, data + used + take);
                used += take;
                if (m_body.size() < m_length + 2)
                    break;
                m_state = State::Hunt;
                m_skipped = 0;
                m_computed = crc(m_body.data(), m_length, crc(m_header, 3));
                m_received = static_cast<uint16_t>(m_body[m_length] << 8 | m_body[m_length + 1]);
                m_body.resize(m_length);
                m_payload.swap(m_body);
                return m_computed == m_received ? Result::Frame : Result::BadCrc;
            }
        }
    }
    return Result::NeedMore;
}

}  // namespace T2151
