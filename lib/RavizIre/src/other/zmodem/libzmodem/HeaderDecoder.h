// Finds ZMODEM headers in the bytes a receiver sends: a byte-fed state machine with no I/O that
// recognises hex headers, binary headers with CRC-16 or CRC-32 and a run of five CAN bytes, checks
// each checksum and resynchronises on the next ZPAD after anything malformed. Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "other/zmodem/libzmodem/Protocol.h"

namespace zmodem {

class HeaderDecoder
{
public:
    enum class Result
    {
        None,          // nothing complete yet
        Header,        // type() and header() hold a checked header
        Cancel,        // the receiver sent ZDLE and four more CAN
        BadCrc,        // a complete header whose checksum failed
        BadHeader,     // a header broken off by a byte that cannot be in it
        IntroTooLong,  // more than the allowed bytes of other text before a header
    };

    // introLimit: how many bytes of text other than a header are accepted before IntroTooLong.
    explicit HeaderDecoder(size_t introLimit = 1400 + 38400) : m_introLimit(introLimit) {}

    void setIntroLimit(size_t limit) { m_introLimit = limit; }
    // Forgets any partial header and the count of text bytes seen.
    void reset();

    Result feed(uint8_t byte);

    int type() const { return m_type; }
    const Header& header() const { return m_header; }
    // The form of the last complete header: ZHEX, ZBIN or ZBIN32.
    uint8_t form() const { return m_form; }

private:
    enum class State
    {
        Hunt,
        Pad,
        Zdle,
        Hex,
        Binary,
        BinaryEscape
    };

    Result finish();
    Result fail(Result result);

    State m_state = State::Hunt;
    size_t m_introLimit;
    size_t m_intro = 0;
    int m_cans = 0;
    uint8_t m_form = 0;
    uint8_t m_bytes[9] = {};  // type, four header bytes, up to four checksum bytes
    size_t m_count = 0;
    size_t m_needed = 0;
    bool m_highNibble = true;
    int m_type = 0;
    Header m_header{};
};

}  // namespace zmodem
