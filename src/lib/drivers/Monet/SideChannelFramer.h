// Cuts the Monet side channel's frames (a two-byte big-endian payload length, then the payload)
// out of the TCP stream as its bytes come, however the stream splits them. Byte-fed, with no I/O
// of its own: the transport reads the socket and feeds it, asking for no byte past the frame in
// hand, so that what follows stays in the socket for the next read (or the drain before a send).
// Owns the frame being assembled; one per transport, on the thread that reads the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace MonetReader {

class SideChannelFramer
{
public:
    using Bytes = std::vector<uint8_t>;

    static constexpr size_t LengthBytes = 2;

    // Bytes the frame in hand still lacks: its length bytes first, then its payload. Zero once
    // it is whole.
    size_t wanted() const;
    // Takes what the frame in hand lacks, its length bytes and then its payload, and no byte past
    // its end; returns how many it took.
    size_t feed(const uint8_t* data, size_t size);
    bool begun() const { return m_lengthBytes > 0; }
    bool whole() const { return m_lengthBytes == LengthBytes && m_payload.size() == m_length; }
    // What the frame in hand is waiting for: its payload's announced length once both length
    // bytes came, the length bytes' count before.
    size_t expected() const { return m_lengthBytes == LengthBytes ? m_length : LengthBytes; }
    // The payload of a whole frame (empty otherwise); the framer starts on the next frame.
    Bytes take();
    void reset();

private:
    uint8_t m_lengthField[LengthBytes] = {0, 0};
    size_t m_lengthBytes = 0;
    size_t m_length = 0;
    Bytes m_payload;
};

}  // namespace MonetReader
