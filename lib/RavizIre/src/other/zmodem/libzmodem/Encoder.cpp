#include "other/zmodem/libzmodem/Encoder.h"

#include "other/zmodem/libzmodem/Crc.h"

namespace zmodem {

namespace {

const char kHexDigits[] = "0123456789abcdef";

void putHex(Encoder::Bytes& out, uint8_t byte)
{
    out.push_back(static_cast<uint8_t>(kHexDigits[byte >> 4]));
    out.push_back(static_cast<uint8_t>(kHexDigits[byte & 0x0F]));
}

}  // namespace

Encoder::Encoder(bool escapeControl)
{
    setEscapeControl(escapeControl);
}

void Encoder::setEscapeControl(bool on)
{
    m_escapeControl = on;
    for (unsigned c = 0; c < 256; ++c) {
        const unsigned low = c & 0x7F;
        if (on)
            m_escape[c] = low < 0x20;
        else
            m_escape[c] = c == ZDLE || low == 0x10 || low == XON || low == XOFF;
    }
}

void Encoder::put(Bytes& out, uint8_t byte)
{
    bool escape = m_escape[byte];
    // "@" CR is the start of a Telenet command; break it up when CR is not escaped anyway.
    if (!escape && (byte & 0x7F) == CR && (m_last & 0x7F) == '@')
        escape = true;
    if (escape) {
        out.push_back(ZDLE);
        putRaw(out, byte ^ 0x40);
    } else {
        putRaw(out, byte);
    }
}

void Encoder::putEscaped(Bytes& out, const uint8_t* data, size_t count)
{
    // The hot path of a transfer: room for the worst case first, then plain pointer writes.
    const size_t start = out.size();
    out.resize(start + 2 * count);
    uint8_t* p = out.data() + start;
    uint8_t last = m_last;
    const bool crAfterAt = !m_escapeControl;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        if (m_escape[byte] || (crAfterAt && (byte & 0x7F) == CR && (last & 0x7F) == '@')) {
            *p++ = ZDLE;
            last = byte ^ 0x40;
        } else {
            last = byte;
        }
        *p++ = last;
    }
    out.resize(static_cast<size_t>(p - out.data()));
    m_last = last;
}

void Encoder::hexHeader(Bytes& out, int type, const Header& header)
{
    out.push_back(ZPAD);
    out.push_back(ZPAD);
    out.push_back(ZDLE);
    out.push_back(ZHEX);
    const auto frame = static_cast<uint8_t>(type);
    putHex(out, frame);
    uint16_t crc = crc16Update(0, frame);
    for (uint8_t b : header) {
        putHex(out, b);
        crc = crc16Update(crc, b);
    }
    putHex(out, static_cast<uint8_t>(crc >> 8));
    putHex(out, static_cast<uint8_t>(crc));
    out.push_back(CR);
    out.push_back(LF | 0x80);
    if (type != ZFIN && type != ZACK)
        out.push_back(XON);
    m_last = out.back();
}

void Encoder::binaryHeader(Bytes& out, int type, const Header& header)
{
    out.push_back(ZPAD);
    out.push_back(ZDLE);
    putRaw(out, m_crc32 ? ZBIN32 : ZBIN);
    const auto frame = static_cast<uint8_t>(type);
    put(out, frame);
    if (m_crc32) {
        uint32_t crc = crc32Update(0xFFFFFFFFu, frame);
        for (uint8_t b : header) {
            put(out, b);
            crc = crc32Update(crc, b);
        }
        crc = ~crc;
        for (int i = 0; i < 4; ++i) put(out, static_cast<uint8_t>(crc >> (8 * i)));
    } else {
        uint16_t crc = crc16Update(0, frame);
        for (uint8_t b : header) {
            put(out, b);
            crc = crc16Update(crc, b);
        }
        put(out, static_cast<uint8_t>(crc >> 8));
        put(out, static_cast<uint8_t>(crc));
    }
}

void Encoder::dataSubpacket(Bytes& out, const uint8_t* data, size_t count, uint8_t end)
{
    putEscaped(out, data, count);
    out.push_back(ZDLE);
    putRaw(out, end);
    if (m_crc32) {
        const uint32_t crc = ~crc32Update(crc32Run(data, count), end);
        for (int i = 0; i < 4; ++i) put(out, static_cast<uint8_t>(crc >> (8 * i)));
    } else {
        const uint16_t crc = crc16Update(crc16(data, count), end);
        put(out, static_cast<uint8_t>(crc >> 8));
        put(out, static_cast<uint8_t>(crc));
    }
    if (end == ZCRCW)
        putRaw(out, XON);
}

void Encoder::cancel(Bytes& out)
{
    out.insert(out.end(), 10, CAN);
    out.insert(out.end(), 10, BS);
}

}  // namespace zmodem
