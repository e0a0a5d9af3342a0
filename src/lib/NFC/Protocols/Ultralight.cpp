#include "NFC/Protocols/Ultralight.h"

#include <map>
#include <utility>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Crc16.h"

namespace NFC {

namespace {

const uint8_t CmdRead = 0x30;
const uint8_t CmdFastRead = 0x3A;
const uint8_t CmdWrite = 0xA2;
const uint8_t CmdGetVersion = 0x60;
const uint8_t CmdReadCounter = 0x39;
const uint8_t CmdIncrCounter = 0xA5;
const uint8_t CmdPwdAuth = 0x1B;
const uint8_t CmdAuthenticate = 0x1A;
const uint8_t CmdAuthenticateMore = 0xAF;

const uint8_t Ack = 0x0A;
const uint16_t CrcAStart = 0x6363;

const size_t PageSize = 4;
const size_t ReadPayload = 16;
const size_t VersionPayload = 8;
const size_t CounterPayload = 3;
const size_t PackPayload = 2;
// The leading status byte (0xAF or 0x00) and the 8-byte cryptogram.
const size_t AuthPayload = 9;
const size_t CryptogramSize = 8;

// Some readers stand for "no answer to GET_VERSION" with eight of these.
const uint8_t NoVersionFiller = 0x99;

Ultralight::Error fromAckNak(uint8_t code)
{
    switch (code) {
        case Ack:
            return Ultralight::None;
        case 0x00:
            return Ultralight::InvalidArgument;
        case 0x01:
            return Ultralight::InvalidCrc;
        case 0x04:
            return Ultralight::CounterOverflow;
        case 0x02:
        case 0x05:
        case 0x07:
            return Ultralight::EEPROMWriteError;
        case 0x06:
        case 0x09:
            return Ultralight::OtherError;
        default:
            return Ultralight::Unknown;
    }
}

}  // namespace

Ultralight::Ultralight(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                       const std::vector<uint8_t>& ats)
    : Tag(std::move(link), MifareUltralight, uid, ats)
{
}

std::shared_ptr<Ultralight> Ultralight::make(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                                             const std::vector<uint8_t>& ats)
{
    return std::make_shared<Ultralight>(std::move(link), uid, ats);
}

uint16_t Ultralight::crcA(const uint8_t* data, size_t size)
{
    return crc16(data, size, CrcAStart);
}

Ultralight::Error Ultralight::transceive(std::vector<uint8_t>& frame, size_t payloadSize,
                                         std::vector<uint8_t>& payload)
{
    ByteWriter(frame).u16le(crcA(frame.data(), frame.size()));

    std::vector<uint8_t> answer;
    if (!m_iso14443->TDX3(frame, answer)) {
        if (frame[0] == CmdGetVersion && answer.size() == VersionPayload) {
            bool filler = true;
            for (uint8_t b : answer) filler = filler && b == NoVersionFiller;
            if (filler)
                return GetVersionFailed;
        }
        return Timeout;
    }
    if (answer.empty())
        return InvalidResponseSize;

    if (answer.size() == 1) {
        const Error result = fromAckNak(answer[0]);
        // An ACK carries no data: where data was expected it is no success.
        if (result == None && payloadSize != 0)
            return InvalidResponseSize;
        return result;
    }

    // An ACK-only command may also be answered by the CRC of an empty frame (63 63).
    const size_t expected = payloadSize + 2;
    if (answer.size() != expected)
        return InvalidResponseSize;
    // Over the answer and its own CRC the register comes out as zero.
    if (crcA(answer.data(), answer.size()) != 0)
        return InvalidCrc;
    ByteReader reader(answer);
    payload = reader.bytes(payloadSize);
    return reader.ok() ? None : InvalidResponseSize;
}

Ultralight::Error Ultralight::read(int page, std::vector<uint8_t>& data)
{
    std::vector<uint8_t> frame;
    ByteWriter(frame).u8(CmdRead).u8(static_cast<uint8_t>(page));
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, ReadPayload, payload);
    if (result == None)
        data = std::move(payload);
    return result;
}

Ultralight::Error Ultralight::fastRead(int start, int count, std::vector<uint8_t>& data)
{
    // A count of 0 or less would wait for an answer of two bytes or fewer.
    if (count < 1)
        return InvalidArgument;
    std::vector<uint8_t> frame;
    ByteWriter(frame)
        .u8(CmdFastRead)
        .u8(static_cast<uint8_t>(start))
        .u8(static_cast<uint8_t>(start + count - 1));
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, PageSize * static_cast<size_t>(count), payload);
    if (result == None)
        data = std::move(payload);
    return result;
}

Ultralight::Error Ultralight::write(int page, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> frame;
    ByteWriter(frame).u8(CmdWrite).u8(static_cast<uint8_t>(page)).bytes(data);
    std::vector<uint8_t> none;
    return transceive(frame, 0, none);
}

Ultralight::Error Ultralight::getVersion(std::vector<uint8_t>& version)
{
    std::vector<uint8_t> frame{CmdGetVersion};
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, VersionPayload, payload);
    if (result == None)
        version = std::move(payload);
    return result;
}

Ultralight::Error Ultralight::readCounter(int counter, int& value)
{
    std::vector<uint8_t> frame;
    ByteWriter(frame).u8(CmdReadCounter).u8(static_cast<uint8_t>(counter));
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, CounterPayload, payload);
    if (result == None) {
        ByteReader reader(payload);
        const uint16_t low = reader.u16le();
        value = low | reader.u8() << 16;
    }
    return result;
}

Ultralight::Error Ultralight::incrCounter(int counter, int increment)
{
    std::vector<uint8_t> frame;
    ByteWriter(frame)
        .u8(CmdIncrCounter)
        .u8(static_cast<uint8_t>(counter))
        .u8(static_cast<uint8_t>(increment))
        .u8(static_cast<uint8_t>(increment >> 8))
        .u8(static_cast<uint8_t>(increment >> 16))
        .u8(0x00);
    std::vector<uint8_t> none;
    return transceive(frame, 0, none);
}

Ultralight::Error Ultralight::authenticatePass(uint32_t password, uint16_t& pack)
{
    std::vector<uint8_t> frame;
    ByteWriter(frame)
        .u8(CmdPwdAuth)
        .u16be(static_cast<uint16_t>(password >> 16))
        .u16be(static_cast<uint16_t>(password));
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, PackPayload, payload);
    if (result == None)
        pack = ByteReader(payload).u16be();
    return result;
}

Ultralight::Error Ultralight::authenticatePart1(std::vector<uint8_t>& ekRndB)
{
    std::vector<uint8_t> frame{CmdAuthenticate, 0x00};
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, AuthPayload, payload);
    if (result == None)
        ekRndB.assign(payload.begin() + 1, payload.begin() + 1 + CryptogramSize);
    return result;
}

Ultralight::Error Ultralight::authenticatePart2(const std::vector<uint8_t>& ekRndAB,
                                                std::vector<uint8_t>& ekRndA)
{
    std::vector<uint8_t> frame;
    ByteWriter(frame).u8(CmdAuthenticateMore).bytes(ekRndAB);
    std::vector<uint8_t> payload;
    const Error result = transceive(frame, AuthPayload, payload);
    if (result == None)
        ekRndA.assign(payload.begin() + 1, payload.begin() + 1 + CryptogramSize);
    return result;
}

std::string Ultralight::errorToStr(Error error)
{
    static const std::map<uint32_t, std::string> names = {
        {None, "None"},
        {InvalidArgument, "InvalidArgument"},
        {InvalidCrc, "InvalidCrc"},
        {CounterOverflow, "CounterOverflow"},
        {EEPROMWriteError, "EEPROMWriteError"},
        {OtherError, "OtherError"},
        {Timeout, "Timeout"},
        {InvalidResponseSize, "InvalidResponseSize"},
        {Unknown, "Unknown"},
    };
    const auto it = names.find(error);
    // The texts are the system's own, spelling included.
    return it == names.end() ? "Unkown" : it->second;
}

}  // namespace NFC
