// Builds the bytes of outgoing ZMODEM frames (hex and binary headers, data subpackets, the cancel
// string) into a caller-owned buffer, with ZDLE escaping and the checksum the receiver asked for.
// No I/O: the sender writes the buffer. Used by one thread (the transfer's).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "other/zmodem/libzmodem/Protocol.h"

namespace zmodem {

class Encoder
{
public:
    using Bytes = std::vector<uint8_t>;

    explicit Encoder(bool escapeControl = true);

    // On: every byte 0x00-0x1F and 0x80-0x9F is escaped. Off: only ZDLE, DLE, XON, XOFF (and
    // 0x90, 0x91, 0x93), and CR after an '@'.
    void setEscapeControl(bool on);
    bool escapeControl() const { return m_escapeControl; }
    // Binary headers and data subpackets carry CRC-32 (ZBIN32) instead of CRC-16.
    void setCrc32(bool on) { m_crc32 = on; }
    bool crc32() const { return m_crc32; }

    // "**" ZDLE 'B', 14 lower-case hex digits (type, header, CRC-16), CR, LF|0x80, then XON
    // unless the frame is ZFIN or ZACK.
    void hexHeader(Bytes& out, int type, const Header& header);
    // ZPAD ZDLE 'A' or 'C', then the escaped type, header and checksum.
    void binaryHeader(Bytes& out, int type, const Header& header);
    // Escaped data, ZDLE, the end character, the escaped checksum over data and end; an XON
    // follows a ZCRCW.
    void dataSubpacket(Bytes& out, const uint8_t* data, size_t count, uint8_t end);
    // Ten CAN and ten backspaces: makes any receiver give up.
    static void cancel(Bytes& out);

private:
    void put(Bytes& out, uint8_t byte);
    // Escapes the block and the end into p while checksumming them, then appends the escaped
    // checksum; p has room for the worst case. Returns the end of what was written.
    template <class Check, bool kCrAfterAt>
    uint8_t* escapeAndCheck(uint8_t* p, const uint8_t* data, size_t count, uint8_t end);
    void putRaw(Bytes& out, uint8_t byte)
    {
        out.push_back(byte);
        m_last = byte;
    }

    bool m_escapeControl = true;
    bool m_crc32 = false;
    uint8_t m_last = 0;
    std::array<uint8_t, 256> m_escape{};  // 1: sent as ZDLE, byte ^ 0x40
};

}  // namespace zmodem
