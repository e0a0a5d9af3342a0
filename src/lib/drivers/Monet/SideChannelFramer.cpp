#include "drivers/Monet/SideChannelFramer.h"

#include <algorithm>
#include <utility>

#include "NFC/ByteReader.h"

namespace MonetReader {

size_t SideChannelFramer::wanted() const
{
    if (m_lengthBytes < LengthBytes)
        return LengthBytes - m_lengthBytes;
    return m_length - m_payload.size();
}

size_t SideChannelFramer::feed(const uint8_t* data, size_t size)
{
    size_t taken = 0;
    while (taken < size && wanted() > 0) {
        const size_t take = std::min(wanted(), size - taken);
        if (m_lengthBytes < LengthBytes) {
            std::copy(data + taken, data + taken + take, m_lengthField + m_lengthBytes);
            m_lengthBytes += take;
            if (m_lengthBytes == LengthBytes)
                m_length = NFC::ByteReader(m_lengthField, LengthBytes).u16be();
        } else {
            m_payload.insert(m_payload.end(), data + taken, data + taken + take);
        }
        taken += take;
    }
    return taken;
}

SideChannelFramer::Bytes SideChannelFramer::take()
{
    Bytes payload;
    if (whole())
        payload = std::move(m_payload);
    reset();
    return payload;
}

void SideChannelFramer::reset()
{
    m_lengthBytes = 0;
    m_length = 0;
    m_payload.clear();
}

}  // namespace MonetReader
