// The two checksums of ZMODEM frames, table-driven: CRC-16 as XMODEM computes it (polynomial
// 0x1021, initial value 0, sent high byte first) and the IEEE 802.3 CRC-32 (reflected, initial
// 0xFFFFFFFF, complemented at the end, sent low byte first). Stateless; any thread may call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/Crc32.h"

namespace zmodem {

// The byte table behind crc16Update: crc = (crc << 8) ^ crc16Table[((crc >> 8) ^ byte) & 0xFF].
extern const std::array<uint16_t, 256> crc16Table;

uint16_t crc16Update(uint16_t crc, uint8_t byte);
uint16_t crc16(const uint8_t* data, size_t count, uint16_t crc = 0);

// The running value before the final complement; start from 0xFFFFFFFF.
inline uint32_t crc32Update(uint32_t crc, uint8_t byte)
{
    return Crc32::update(crc, byte);
}
inline uint32_t crc32Run(const uint8_t* data, size_t count, uint32_t crc = Crc32::Preset)
{
    return Crc32::update(crc, data, count);
}
// The finished CRC-32 of a whole buffer.
inline uint32_t crc32(const uint8_t* data, size_t count)
{
    return ~crc32Run(data, count);
}

}  // namespace zmodem
