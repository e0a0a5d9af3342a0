// Constants of the ZMODEM wire format shared by the frame encoder, the header decoder and the
// sender: control characters, frame types, subpacket ends, receiver capability flags and the
// positions of the four header bytes. Header-only, no state.
#pragma once

#include <array>
#include <cstdint>

namespace zmodem {

constexpr uint8_t ZPAD = '*';
constexpr uint8_t ZDLE = 0x18;  // also CAN
constexpr uint8_t ZDLEE = ZDLE ^ 0x40;
constexpr uint8_t ZBIN = 'A';
constexpr uint8_t ZHEX = 'B';
constexpr uint8_t ZBIN32 = 'C';
constexpr uint8_t CAN = 0x18;
constexpr uint8_t XON = 0x11;
constexpr uint8_t XOFF = 0x13;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t BS = 0x08;
constexpr uint8_t NAK = 0x15;

// Frame types.
enum FrameType : int
{
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
    ZSTDERR = 19,
};
constexpr int FrameTypeCount = 20;

// Results of a header read that are not frame types.
constexpr int ERROR = -1;
constexpr int TIMEOUT = -2;
constexpr int CARRIER_LOST = -3;

// Subpacket ends (after ZDLE).
constexpr uint8_t ZCRCE = 'h';  // frame ends, no answer expected
constexpr uint8_t ZCRCG = 'i';  // frame goes on, no answer expected
constexpr uint8_t ZCRCQ = 'j';  // frame goes on, ZACK expected
constexpr uint8_t ZCRCW = 'k';  // frame ends, ZACK expected
constexpr uint8_t ZRUB0 = 'l';  // escaped 0x7F
constexpr uint8_t ZRUB1 = 'm';  // escaped 0xFF

// Header byte positions: flags count down from byte 3, a position is little-endian in 0..3.
constexpr int ZF0 = 3;
constexpr int ZF1 = 2;
constexpr int ZF2 = 1;
constexpr int ZF3 = 0;
constexpr int ZP0 = 0;
constexpr int ZP1 = 1;

// ZRINIT capabilities in ZF0.
constexpr uint8_t CANFDX = 0x01;
constexpr uint8_t CANOVIO = 0x02;
constexpr uint8_t CANBRK = 0x04;
constexpr uint8_t CANFC32 = 0x20;
constexpr uint8_t ESCCTL = 0x40;
constexpr uint8_t ESC8 = 0x80;

using Header = std::array<uint8_t, 4>;

inline Header positionHeader(uint32_t position)
{
    return Header{static_cast<uint8_t>(position), static_cast<uint8_t>(position >> 8),
                  static_cast<uint8_t>(position >> 16), static_cast<uint8_t>(position >> 24)};
}

inline uint32_t headerPosition(const Header& header)
{
    return static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
           static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
}

// Name of a frame type or of a read result, for log lines.
const char* frameTypeName(int type);

}  // namespace zmodem
