// The T2151 frame: start byte 0x1A, 16-bit big-endian payload length, payload, CRC-16 (the
// CCITT polynomial from 0xFFFF, high byte first) over everything before it. `encode` builds one;
// the Framer takes the receiving side's bytes as they come, hunting for the start byte, and says
// when a frame, a ZMODEM start ("rz") or a fault is complete. No I/O of its own; one per receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace T2151 {

class Framer
{
public:
    static constexpr uint8_t Start = 0x1A;
    static constexpr size_t MaxPayload = 0xFFFF;
    // Bytes skipped while hunting before the receive gives up on a line that only babbles.
    static constexpr size_t MaxSkipped = 65536;

    enum class Result
    {
        NeedMore,
        Frame,        // payload() holds it
        ZmodemStart,  // the reader sent "rz"
        BadCrc,       // computedCrc() and receivedCrc() tell both values
        Overrun,      // MaxSkipped bytes without a frame
    };

    static uint16_t crc(const uint8_t* data, size_t size, uint16_t crc = 0xFFFF);
    // False (and out untouched) for a payload too long for the length field.
    [[nodiscard]] static bool encode(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out);

    // How many bytes the next step wants: 1 while hunting, 2 for the length, then payload and CRC.
    size_t wanted() const;
    // Takes bytes up to the end of the current step; used tells how many.
    Result feed(const uint8_t* data, size_t size, size_t& used);

    const std::vector<uint8_t>& payload() const { return m_payload; }
    uint16_t computedCrc() const { return m_computed; }
    uint16_t receivedCrc() const { return m_received; }
    size_t skipped() const { return m_skipped; }

private:
    enum class State
    {
        Hunt,
        AfterR,
        Length,
        Body
    };

    State m_state = State::Hunt;
    size_t m_skipped = 0;
    uint8_t m_header[3] = {Start, 0, 0};
    size_t m_headerFill = 1;
    size_t m_length = 0;
    std::vector<uint8_t> m_body;  // payload then the two CRC bytes
    std::vector<uint8_t> m_payload;
    uint16_t m_computed = 0;
    uint16_t m_received = 0;
};

}  // namespace T2151
