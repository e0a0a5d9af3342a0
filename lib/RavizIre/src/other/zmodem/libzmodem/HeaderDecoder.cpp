#include "other/zmodem/libzmodem/HeaderDecoder.h"

#include "other/zmodem/libzmodem/Crc.h"

namespace zmodem {

namespace {

int hexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isFlowControl(uint8_t c)
{
    return (c & 0x7F) == XON || (c & 0x7F) == XOFF;
}

}  // namespace

void HeaderDecoder::reset()
{
    m_state = State::Hunt;
    m_intro = 0;
    m_cans = 0;
    m_count = 0;
}

HeaderDecoder::Result HeaderDecoder::fail(Result result)
{
    m_state = State::Hunt;
    m_count = 0;
    return result;
}

HeaderDecoder::Result HeaderDecoder::feed(uint8_t byte)
{
    // Five CAN in a row never occur inside a frame (CAN itself is always escaped).
    if (byte == CAN) {
        if (++m_cans >= 5) {
            m_cans = 0;
            m_intro = 0;
            return fail(Result::Cancel);
        }
    } else {
        m_cans = 0;
    }

    switch (m_state) {
        case State::Hunt:
            if (byte == ZPAD || (byte & 0x7F) == ZPAD) {
                m_state = State::Pad;
                return Result::None;
            }
            if (isFlowControl(byte) || byte == CAN)
                return Result::None;
            if (++m_intro > m_introLimit) {
                m_intro = 0;
                return Result::IntroTooLong;
            }
            return Result::None;

        case State::Pad:
            if ((byte & 0x7F) == ZPAD)
                return Result::None;
            if (byte == ZDLE) {
                m_state = State::Zdle;
                return Result::None;
            }
            if (isFlowControl(byte))
                return Result::None;
            m_state = State::Hunt;
            return Result::None;

        case State::Zdle:
            m_count = 0;
            if (byte == ZHEX) {
                m_form = ZHEX;
                m_needed = 7;  // type, four header bytes, two CRC bytes
                m_highNibble = true;
                m_state = State::Hex;
            } else if (byte == ZBIN || byte == ZBIN32) {
                m_form = byte;
                m_needed = byte == ZBIN ? 7 : 9;
                m_state = State::Binary;
            } else if (byte != CAN && !isFlowControl(byte)) {
                m_state = State::Hunt;
            }
            return Result::None;

        case State::Hex: {
            const int value = hexValue(byte & 0x7F);
            if (value < 0)
                return fail(Result::BadHeader);
            if (m_highNibble) {
                m_bytes[m_count] = static_cast<uint8_t>(value << 4);
            } else {
                m_bytes[m_count] = static_cast<uint8_t>(m_bytes[m_count] | value);
                if (++m_count == m_needed)
                    return finish();
            }
            m_highNibble = !m_highNibble;
            return Result::None;
        }

        case State::Binary:
            if (byte == ZDLE) {
                m_state = State::BinaryEscape;
                return Result::None;
            }
            if (isFlowControl(byte))
                return Result::None;
            m_bytes[m_count] = byte;
            return ++m_count == m_needed ? finish() : Result::None;

        case State::BinaryEscape: {
            uint8_t value = 0;
            if (byte == CAN || isFlowControl(byte))
                return Result::None;  // part of a cancel run, or flow control from the line
            if (byte == ZRUB0)
                value = 0x7F;
            else if (byte == ZRUB1)
                value = 0xFF;
            else if ((byte & 0x60) == 0x40)
                value = byte ^ 0x40;
            else
                return fail(Result::BadHeader);
            m_state = State::Binary;
            m_bytes[m_count] = value;
            return ++m_count == m_needed ? finish() : Result::None;
        }
    }
    return Result::None;
}

HeaderDecoder::Result HeaderDecoder::finish()
{
    m_state = State::Hunt;
    m_count = 0;
    bool good = false;
    if (m_form == ZBIN32) {
        // The CRC-32 run over the data and its own complemented value leaves this residue.
        good = crc32Run(m_bytes, 9) == 0xDEBB20E3u;
    } else {
        good = crc16(m_bytes, 7) == 0;
    }
    if (!good)
        return Result::BadCrc;
    m_intro = 0;
    m_type = m_bytes[0];
    for (int i = 0; i < 4; ++i) m_header[i] = m_bytes[1 + i];
    return Result::Header;
}

}  // namespace zmodem
