#include "other/zmodem/libzmodem/Crc.h"

#include <array>

namespace zmodem {
namespace {

constexpr std::array<uint16_t, 256> makeCrc16Table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[i] = crc;
    }
    return table;
}

}  // namespace

constexpr std::array<uint16_t, 256> crc16Table = makeCrc16Table();

uint16_t crc16Update(uint16_t crc, uint8_t byte)
{
    return static_cast<uint16_t>((crc << 8) ^ crc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

uint16_t crc16(const uint8_t* data, size_t count, uint16_t crc)
{
    for (size_t i = 0; i < count; ++i) crc = crc16Update(crc, data[i]);
    return crc;
}

}  // namespace zmodem
