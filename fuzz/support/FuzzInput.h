// A cursor over one fuzz input that hands out numbers and byte strings and, once the input is
// used up, keeps answering "nothing left" instead of reading past it. It does not own the bytes;
// one per input, used by the thread that runs the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

class FuzzInput
{
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    size_t remaining() const { return m_size - m_pos; }

    // False once the input is used up, so that a driver call then fails like a dead line.
    bool u8(uint8_t& value)
    {
        if (empty())
            return false;
        value = m_data[m_pos++];
        return true;
    }

    uint8_t u8Or(uint8_t fallback)
    {
        uint8_t value = fallback;
        u8(value);
        return value;
    }

    uint16_t u16be()
    {
        const uint8_t high = u8Or(0);
        const uint8_t low = u8Or(0);
        return static_cast<uint16_t>(high << 8 | low);
    }

    // Up to count bytes: fewer when the input ends first.
    std::vector<uint8_t> bytes(size_t count)
    {
        const size_t take = count < remaining() ? count : remaining();
        std::vector<uint8_t> out(m_data + m_pos, m_data + m_pos + take);
        m_pos += take;
        return out;
    }

    // A byte string with a big-endian 16-bit length in front.
    std::vector<uint8_t> block() { return bytes(u16be()); }

    std::vector<uint8_t> rest() { return bytes(remaining()); }

    std::string text(size_t count)
    {
        const std::vector<uint8_t> raw = bytes(count);
        return std::string(raw.begin(), raw.end());
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace fuzzing
