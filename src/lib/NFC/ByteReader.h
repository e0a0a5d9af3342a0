// Bounds-checked cursor over bytes that came from outside (reader, card or SAM answers). It does
// not own the bytes: the caller keeps them alive while reading. Any read past the end sets a
// sticky error and yields zeros or an empty vector, so a parser checks ok() once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace NFC {

class ByteReader
{
public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    explicit ByteReader(const std::vector<uint8_t>& bytes) : ByteReader(bytes.data(), bytes.size()) {}

    [[nodiscard]] bool ok() const { return m_ok; }
    size_t remaining() const { return m_size - m_pos; }
    size_t position() const { return m_pos; }

    uint8_t u8()
    {
        if (!take(1))
            return 0;
        return m_data[m_pos - 1];
    }

    uint16_t u16le()
    {
        if (!take(2))
            return 0;
        return static_cast<uint16_t>(m_data[m_pos - 2] | (m_data[m_pos - 1] << 8));
    }

    uint16_t u16be()
    {
        if (!take(2))
            return 0;
        return static_cast<uint16_t>((m_data[m_pos - 2] << 8) | m_data[m_pos - 1]);
    }

    // Appends n bytes to out (nothing on a short input).
    void bytes(size_t n, std::vector<uint8_t>& out)
    {
        if (!take(n))
            return;
        out.insert(out.end(), m_data + m_pos - n, m_data + m_pos);
    }

    std::vector<uint8_t> bytes(size_t n)
    {
        std::vector<uint8_t> out;
        bytes(n, out);
        return out;
    }

    void skip(size_t n) { take(n); }

    // The next byte without taking it; false at the end (the error stays clear).
    [[nodiscard]] bool peek(uint8_t& out) const
    {
        if (!m_ok || m_pos == m_size)
            return false;
        out = m_data[m_pos];
        return true;
    }

private:
    bool take(size_t n)
    {
        if (!m_ok || n > m_size - m_pos) {
            m_ok = false;
            return false;
        }
        m_pos += n;
        return true;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

}  // namespace NFC
