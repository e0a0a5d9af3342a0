#include "core/Crc32.h"

#include <array>

namespace Crc32 {
namespace {

constexpr std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        table[i] = crc;
    }
    return table;
}

}  // namespace

constexpr std::array<uint32_t, 256> Table = makeTable();

uint32_t update(uint32_t crc, uint8_t byte)
{
    return Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

uint32_t update(uint32_t crc, const uint8_t* data, size_t count)
{
    for (size_t i = 0; i < count; ++i) crc = Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace Crc32
