// The reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320), table-driven and kept as the running
// register: ZMODEM frames complement it at the end, the cards' CRC leaves it as it is. Stateless;
// any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Crc32 {

constexpr uint32_t Preset = 0xFFFFFFFFu;

uint32_t update(uint32_t crc, uint8_t byte);
uint32_t update(uint32_t crc, const uint8_t* data, size_t count);

}  // namespace Crc32
