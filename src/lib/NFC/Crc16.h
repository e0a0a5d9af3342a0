// The reflected CCITT CRC-16 (polynomial 0x1021 processed as 0x8408, no final XOR) that both the
// Elatec host protocol (register start 0xFFFF) and ISO 14443-3 CRC_A (register start 0x6363) use.
// Stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace NFC {

inline uint16_t crc16(const uint8_t* data, size_t size, uint16_t crc)
{
    for (size_t i = 0; i < size; ++i) {
        uint8_t t = static_cast<uint8_t>(data[i] ^ crc);
        t = static_cast<uint8_t>(t ^ (t << 4));
        crc = static_cast<uint16_t>(((crc >> 8) | (t << 8)) ^ (t << 3) ^ (t >> 4));
    }
    return crc;
}

}  // namespace NFC
