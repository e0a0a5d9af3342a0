// The reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320), table-driven and kept as the running
// register: ZMODEM frames complement it at the end, the cards' CRC leaves it as it is. Stateless;
// any thread may call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Crc32 {

constexpr uint32_t Preset = 0xFFFFFFFFu;

// The byte table behind update, for loops that checksum while they do other work with each byte:
// crc = Table[(crc ^ byte) & 0xFF] ^ (crc >> 8).
extern const std::array<uint32_t, 256> Table;

uint32_t update(uint32_t crc, uint8_t byte);
uint32_t update(uint32_t crc, const uint8_t* data, size_t count);

}  // namespace Crc32
