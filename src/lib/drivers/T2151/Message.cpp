#include "drivers/T2151/Message.h"

#include <stdexcept>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"

namespace T2151 {

Message::Ptr Message::make()
{
    return std::make_shared<Message>();
}

Message::Ptr Message::make(const std::vector<uint8_t>& payload)
{
    Ptr message = make();
    message->deserialize(payload);
    return message;
}

Message::Ptr Message::zmodemStart()
{
    Ptr message = make({0x01, 0x00, 0x01, 0x07});
    message->m_zmodemStart = true;
    return message;
}

void Message::pushInt(int tag, int width, int value)
{
    if (width > 4)
        width = 4;
    if (width < 0)
        width = 0;
    Tlv tlv;
    tlv.tag = tag;
    tlv.length = width;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        tlv.value.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> shift));
    m_tlvs.push_back(std::move(tlv));
}

void Message::pushVec(int tag, const std::vector<uint8_t>& value)
{
    m_tlvs.push_back({tag, static_cast<int32_t>(value.size()), value});
}

bool Message::take(int tag, std::vector<uint8_t>& value)
{
    for (auto it = m_tlvs.begin(); it != m_tlvs.end(); ++it) {
        if (it->tag != tag)
            continue;
        value = std::move(it->value);
        m_tlvs.erase(it);
        return true;
    }
    if (m_missing == Missing::Throw)
        throw std::out_of_range("TLV not found: " + std::to_string(tag));
    return false;
}

bool Message::has(int tag) const
{
    for (const Tlv& tlv : m_tlvs)
        if (tlv.tag == tag)
            return true;
    return false;
}

int Message::popInt(int tag)
{
    std::vector<uint8_t> value;
    if (!take(tag, value))
        return 0;
    // Bytes beyond four push the first ones out: a longer value reads as its last four bytes.
    uint32_t result = 0;
    for (uint8_t byte : value) result = (result << 8) | byte;
    return static_cast<int>(result);
}

std::vector<uint8_t> Message::popVec(int tag)
{
    std::vector<uint8_t> value;
    take(tag, value);
    return value;
}

std::string Message::popStr(int tag)
{
    std::vector<uint8_t> value;
    take(tag, value);
    return std::string(value.begin(), value.end());
}

std::vector<uint8_t> Message::serialize() const
{
    std::vector<uint8_t> out;
    size_t size = 0;
    for (const Tlv& tlv : m_tlvs) size += 3 + tlv.value.size();
    out.reserve(size);
    NFC::ByteWriter writer(out);
    for (const Tlv& tlv : m_tlvs) {
        writer.u8(static_cast<uint8_t>(tlv.tag)).u16be(static_cast<uint16_t>(tlv.length)).bytes(tlv.value);
    }
    return out;
}

void Message::deserialize(const std::vector<uint8_t>& payload)
{
    m_tlvs.clear();
    NFC::ByteReader reader(payload);
    while (reader.remaining() > 0) {
        if (reader.remaining() < 3) {
            m_valid = false;
            return;
        }
        Tlv tlv;
        tlv.tag = reader.u8();
        tlv.length = reader.u16be();
        if (static_cast<size_t>(tlv.length) > reader.remaining()) {
            m_valid = false;
            return;
        }
        reader.bytes(static_cast<size_t>(tlv.length), tlv.value);
        m_tlvs.push_back(std::move(tlv));
    }
    m_valid = true;
}

}  // namespace T2151
