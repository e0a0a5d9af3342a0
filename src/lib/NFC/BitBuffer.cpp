#include "NFC/BitBuffer.h"

#include <algorithm>

BitBuffer::BitBuffer(const Bytes& bytes)
    : m_writePos(static_cast<unsigned>(bytes.size() * 8)), m_bytes(bytes.begin(), bytes.end())
{
}

bool BitBuffer::bitAt(unsigned position) const
{
    const uint8_t byte = m_bytes[position / 8 - m_readPos / 8];
    return (byte >> (7 - position % 8)) & 1;
}

void BitBuffer::pushBit(bool bit)
{
    if (m_writePos % 8 == 0)
        m_bytes.push_back(0x00);
    if (bit)
        m_bytes[m_writePos / 8 - m_readPos / 8] |= static_cast<uint8_t>(0x80 >> (m_writePos % 8));
    ++m_writePos;
}

bool BitBuffer::popBit()
{
    if (m_readPos >= m_writePos)
        return false;
    const bool bit = bitAt(m_readPos);
    ++m_readPos;
    if (m_readPos % 8 == 0)
        m_bytes.pop_front();
    return bit;
}

void BitBuffer::pushInt(uint32_t value, unsigned bits)
{
    for (unsigned i = bits; i-- > 0;) pushBit(i < 32 && ((value >> i) & 1));
}

uint32_t BitBuffer::popInt(unsigned bits)
{
    const unsigned available = std::min(bits, unreadBits());
    uint32_t result = 0;
    for (unsigned i = 0; i < available; ++i) result = (result << 1) | (popBit() ? 1u : 0u);
    // The rest lies past the end: zeros, shifted in without consuming anything.
    const unsigned missing = bits - available;
    return missing >= 32 ? 0 : result << missing;
}

void BitBuffer::pushChar6(const std::string& text, int count)
{
    if (count < 0)
        return;
    const size_t n = count == 0 ? text.size() : static_cast<size_t>(count);
    for (size_t k = 0; k < n; ++k) {
        uint32_t code = 0;
        if (k < text.size()) {
            const unsigned char c = std::max<unsigned char>(static_cast<unsigned char>(text[k]), 0x20);
            code = c <= 0x5F ? c - 0x20 : 0;
        }
        pushInt(code, 6);
    }
}

std::string BitBuffer::popChar6(int count)
{
    std::string text;
    if (count < 1)
        return text;
    text.reserve(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) text.push_back(static_cast<char>(0x20 + popInt(6)));
    return text;
}

void BitBuffer::pushBuffer(const BitBuffer& other)
{
    if (&other == this) {
        const BitBuffer copy(*this);
        pushBuffer(copy);
        return;
    }
    for (unsigned position = other.m_readPos; position < other.m_writePos; ++position)
        pushBit(other.bitAt(position));
}

BitBuffer BitBuffer::popBuffer(unsigned bits)
{
    BitBuffer taken;
    const unsigned n = std::min(bits, unreadBits());
    for (unsigned i = 0; i < n; ++i) taken.pushBit(popBit());
    return taken;
}

BitBuffer::Bytes BitBuffer::data() const
{
    const unsigned unread = unreadBits();
    Bytes out((unread + 7) / 8);
    const unsigned shift = m_readPos % 8;
    for (size_t i = 0; i < out.size(); ++i) {
        // Bits past m_writePos were never set, so the last byte needs no masking.
        uint8_t byte = static_cast<uint8_t>(m_bytes[i] << shift);
        if (shift != 0 && i + 1 < m_bytes.size())
            byte |= static_cast<uint8_t>(m_bytes[i + 1] >> (8 - shift));
        out[i] = byte;
    }
    return out;
}
