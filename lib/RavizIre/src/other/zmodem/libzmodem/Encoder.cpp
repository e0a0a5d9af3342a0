#include "other/zmodem/libzmodem/Encoder.h"

#include "core/Crc32.h"
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

namespace {

struct Crc16Check
{
    static constexpr size_t kBytes = 2;
    uint16_t crc = 0;
    void add(uint8_t byte) { crc = static_cast<uint16_t>((crc << 8) ^ crc16Table[((crc >> 8) ^ byte) & 0xFF]); }
    // High byte first.
    uint8_t byte(size_t i) const { return static_cast<uint8_t>(crc >> (8 * (1 - i))); }
};

struct Crc32Check
{
    static constexpr size_t kBytes = 4;
    uint32_t crc = Crc32::Preset;
    void add(uint8_t byte) { crc = Crc32::Table[(crc ^ byte) & 0xFF] ^ (crc >> 8); }
    // Complemented, low byte first.
    uint8_t byte(size_t i) const { return static_cast<uint8_t>(~crc >> (8 * i)); }
};

}  // namespace

template <class Check, bool kCrAfterAt>
uint8_t* Encoder::escapeAndCheck(uint8_t* p, const uint8_t* data, size_t count, uint8_t end)
{
    // The hot loop of a transfer: one pass, each byte checksummed and written once. Without the
    // CR rule it has no branch on the data: the escaped form is written, and the pointer moves
    // past one or both of its bytes.
    Check check;
    const uint8_t* escape = m_escape.data();
    uint8_t last = m_last;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = data[i];
        check.add(byte);
        if (kCrAfterAt) {
            if (escape[byte] || ((byte & 0x7F) == CR && (last & 0x7F) == '@')) {
                *p++ = ZDLE;
                last = byte ^ 0x40;
            } else {
                last = byte;
            }
            *p++ = last;
        } else {
            const uint8_t e = escape[byte];
            p[0] = e ? uint8_t(ZDLE) : byte;
            p[1] = byte ^ 0x40;
            p += 1 + e;
        }
    }
    if (!kCrAfterAt && count > 0)
        last = p[-1];
    check.add(end);
    *p++ = ZDLE;
    *p++ = end;
    last = end;
    for (size_t i = 0; i < Check::kBytes; ++i) {
        const uint8_t byte = check.byte(i);
        if (escape[byte] || (kCrAfterAt && (byte & 0x7F) == CR && (last & 0x7F) == '@')) {
            *p++ = ZDLE;
            last = byte ^ 0x40;
        } else {
            last = byte;
        }
        *p++ = last;
    }
    m_last = last;
    return p;
}

void Encoder::dataSubpacket(Bytes& out, const uint8_t* data, size_t count, uint8_t end)
{
    // Room for the worst case (every byte, the end and the checksum escaped, an XON), then plain
    // pointer writes.
    const size_t start = out.size();
    out.resize(start + 2 * count + 2 + 2 * 4 + 1);
    uint8_t* p = out.data() + start;
    const bool crAfterAt = !m_escapeControl;
    if (m_crc32)
        p = crAfterAt ? escapeAndCheck<Crc32Check, true>(p, data, count, end)
                      : escapeAndCheck<Crc32Check, false>(p, data, count, end);
    else
        p = crAfterAt ? escapeAndCheck<Crc16Check, true>(p, data, count, end)
                      : escapeAndCheck<Crc16Check, false>(p, data, count, end);
    if (end == ZCRCW) {
        *p++ = XON;
        m_last = XON;
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

void Encoder::cancel(Bytes& out)
{
    out.insert(out.end(), 10, CAN);
    out.insert(out.end(), 10, BS);
}

}  // namespace zmodem
