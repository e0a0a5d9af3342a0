// Transport framing of the Elatec host protocol with no I/O of its own: encode() wraps a frame
// for the line, and feed() takes received bytes and yields whole answer frames or a distinct
// error. The binary form is a 16-bit little-endian length and the frame; the ASCII form is
// upper-case hex text ended by CR (answers end at CR or LF). The framer owns its buffers and is
// used by one thread (the owner of the reader line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ElatecTWN {

class Framer
{
public:
    enum class Transport
    {
        Binary,
        Ascii
    };

    enum class Result
    {
        NeedMore,   // no whole frame yet
        Frame,      // frame() holds one answer
        TooLarge,   // an ASCII line longer than any frame can be; skipped up to its end
        BadText,    // an ASCII line that is not hex; error() tells why
        Truncated,  // finish() while a frame was only partly received
    };

    // A binary frame carries at most 65535 bytes; an ASCII line twice that in hex digits.
    static constexpr size_t MaxFrame = 0xFFFF;

    explicit Framer(Transport transport) : m_transport(transport) { reset(); }

    Transport transport() const { return m_transport; }

    // Appends the line form of frame to out. False (nothing appended) when the frame is too long
    // for the binary length field.
    [[nodiscard]] static bool encode(Transport transport, const std::vector<uint8_t>& frame,
                                     std::vector<uint8_t>& out);

    // Starts looking for a new frame, dropping anything partial.
    void reset();

    // Consumes bytes up to and including the end of one frame (or error); consumed tells how
    // many, so bytes of a following frame stay with the caller.
    Result feed(const uint8_t* data, size_t size, size_t& consumed);

    // Input ended (time-out): Truncated when part of a frame came, else NeedMore.
    Result finish() const;

    // How many bytes can be read without reading past the current frame (at least 1).
    size_t wanted() const;

    // Whether any byte of the current frame has arrived.
    bool started() const;
    // Whether it is skipping the rest of an over-long line, whose end is where the next frame starts.
    bool skipping() const { return m_state == State::SkipLine; }

    const std::vector<uint8_t>& frame() const { return m_frame; }
    // The received ASCII line without its terminator.
    const std::string& text() const { return m_text; }
    const std::string& error() const { return m_error; }

private:
    enum class State
    {
        Length0,
        Length1,
        Body,
        Line,
        SkipLine,
        Done
    };

    Result feedBinary(uint8_t byte);
    Result feedAscii(uint8_t byte);

    Transport m_transport;
    State m_state = State::Length0;
    size_t m_expected = 0;
    std::vector<uint8_t> m_frame;
    std::string m_text;
    std::string m_error;
};

}  // namespace ElatecTWN
