// The MIFARE Ultralight family's command set (Ultralight, Ultralight C, Ultralight EV1): page read
// and write, fast read, version, one-way counters, password authentication and the two halves of
// the Ultralight C mutual authentication, whose cryptography stays with the caller. Every command
// is one raw ISO 14443-3 frame; this class appends CRC_A and checks it on the answer. Out-values
// are written only on success. Lives in a std::shared_ptr; used on the reader's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Tag.h"

namespace NFC {

class Ultralight : public Tag
{
public:
    enum Error : uint32_t
    {
        None = 0,
        InvalidArgument = 1,
        InvalidCrc = 2,
        CounterOverflow = 3,
        EEPROMWriteError = 4,
        OtherError = 5,
        GetVersionFailed = 6,
        Timeout = 253,
        InvalidResponseSize = 254,
        Unknown = 255,
    };

    Ultralight(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
               const std::vector<uint8_t>& ats);

    static std::shared_ptr<Ultralight> make(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                                            const std::vector<uint8_t>& ats);

    // Four pages from page on (16 bytes).
    [[nodiscard]] Error read(int page, std::vector<uint8_t>& data);
    // count pages from start; the end page goes out as one byte. A count below 1 is refused
    // without sending anything.
    [[nodiscard]] Error fastRead(int start, int count, std::vector<uint8_t>& data);
    [[nodiscard]] Error write(int page, const std::vector<uint8_t>& data);
    // The 8 version bytes (Ultralight EV1).
    [[nodiscard]] Error getVersion(std::vector<uint8_t>& version);
    // A 24-bit one-way counter (Ultralight EV1).
    [[nodiscard]] Error readCounter(int counter, int& value);
    [[nodiscard]] Error incrCounter(int counter, int increment);
    // PWD_AUTH: the password goes most significant byte first; pack = first answer byte * 256 + second.
    [[nodiscard]] Error authenticatePass(uint32_t password, uint16_t& pack);
    // Ultralight C: the card's encrypted RndB (8 bytes).
    [[nodiscard]] Error authenticatePart1(std::vector<uint8_t>& ekRndB);
    // Ultralight C: sends the caller's 16-byte cryptogram, returns the card's 8-byte encrypted RndA'.
    [[nodiscard]] Error authenticatePart2(const std::vector<uint8_t>& ekRndAB, std::vector<uint8_t>& ekRndA);

    static std::string errorToStr(Error error);

    // CRC_A of ISO/IEC 14443-3 over the bytes (register start 0x6363); it goes out low byte first.
    static uint16_t crcA(const uint8_t* data, size_t size);

private:
    // Sends the frame with its CRC_A and checks the answer. A data answer must be
    // payloadSize + 2 bytes; its payload (CRC removed) lands in payload. payloadSize 0 means the
    // command is answered by an ACK alone.
    Error transceive(std::vector<uint8_t>& frame, size_t payloadSize, std::vector<uint8_t>& payload);
};

}  // namespace NFC
