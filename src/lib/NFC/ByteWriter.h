// Appends the fields of an outgoing frame to a byte vector that the caller owns; every multi-byte
// write names its byte order. Length fields are taken from what was actually written: reserve a
// field with a placeholder and fill it with the patch functions once the body is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace NFC {

class ByteWriter
{
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : m_out(out) {}

    ByteWriter& u8(uint8_t value)
    {
        m_out.push_back(value);
        return *this;
    }

    ByteWriter& u16le(uint16_t value)
    {
        m_out.push_back(static_cast<uint8_t>(value));
        m_out.push_back(static_cast<uint8_t>(value >> 8));
        return *this;
    }

    ByteWriter& u16be(uint16_t value)
    {
        m_out.push_back(static_cast<uint8_t>(value >> 8));
        m_out.push_back(static_cast<uint8_t>(value));
        return *this;
    }

    ByteWriter& u32le(uint32_t value)
    {
        for (int shift = 0; shift < 32; shift += 8) m_out.push_back(static_cast<uint8_t>(value >> shift));
        return *this;
    }

    ByteWriter& bytes(const std::vector<uint8_t>& data)
    {
        m_out.insert(m_out.end(), data.begin(), data.end());
        return *this;
    }

    ByteWriter& bytes(const uint8_t* data, size_t n)
    {
        m_out.insert(m_out.end(), data, data + n);
        return *this;
    }

    size_t size() const { return m_out.size(); }

    void patchU16le(size_t offset, uint16_t value)
    {
        m_out.at(offset) = static_cast<uint8_t>(value);
        m_out.at(offset + 1) = static_cast<uint8_t>(value >> 8);
    }

private:
    std::vector<uint8_t>& m_out;
};

}  // namespace NFC
