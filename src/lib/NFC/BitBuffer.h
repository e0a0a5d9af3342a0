// A bit stream for fields that are not byte-aligned: unsigned integers up to 32 bits, text in a
// 6-bit character code, and runs of bits from other buffers; card layouts read a card's pages
// through it and write records back. Bits are stored most significant first (bit i of the stream is
// bit 7 - i % 8 of byte i / 8). The buffer owns its bytes; one thread uses a buffer at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class BitBuffer
{
public:
    using Bytes = std::vector<uint8_t>;

    BitBuffer() = default;
    // All bytes unread.
    explicit BitBuffer(const Bytes& bytes);

    // Appends the low `bits` bits of value, most significant first; above bit 31 zeros are written.
    void pushInt(uint32_t value, unsigned bits);
    // Reads `bits` bits, most significant first. Bits past the written data read as 0 and are not
    // consumed; for widths above 32 only the last 32 bits land in the result.
    uint32_t popInt(unsigned bits);

    // Appends count 6-bit codes (0 means the text's length, below 0 nothing): characters below 0x20
    // count as 0x20, characters above 0x5F and positions past the text give code 0.
    void pushChar6(const std::string& text, int count);
    // Reads count codes as the characters 0x20 + code; nothing for a count below 1. No trimming.
    std::string popChar6(int count);

    // Appends every unread bit of other; other is not changed (it may be this buffer).
    void pushBuffer(const BitBuffer& other);
    // Removes the next min(bits, unread) bits and returns them as a new buffer.
    BitBuffer popBuffer(unsigned bits);

    // The unread bits, packed most significant first, the last byte filled up with 0 bits.
    Bytes data() const;
    // Number of bits written and not yet read.
    unsigned unreadBits() const { return m_writePos - m_readPos; }

private:
    void pushBit(bool bit);
    bool popBit();
    bool bitAt(unsigned position) const;

    unsigned m_readPos = 0;
    unsigned m_writePos = 0;
    // Front byte holds bit m_readPos; a byte leaves the front once its last bit has been read.
    std::deque<uint8_t> m_bytes;
};
