// One T2151 request/answer link over a byte stream: frames a message and writes it after dropping
// stale input, and receives the next frame, hunting for its start byte. The Yarus reader runs it on
// a serial line, the networked reader on a TCP connection. It remembers the read time-out it last
// gave the stream. No lock: one request in flight, from the one thread that owns the reader.
#pragma once

#include <string>

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/Message.h"

namespace T2151 {

class Link
{
public:
    // prefix starts every log line ("[T2151] ").
    Link(ByteStream& stream, std::string prefix);

    // False when the frame could not be built (payload over 65535 bytes) or not written whole.
    bool transmit(const Message& message);
    // The next frame's message, or empty when nothing usable came. timeoutMs bounds each wait for
    // a byte; the whole receive, however the bytes trickle in, ends within timeoutMs + 1 s of its
    // start, and gives up after Framer::MaxSkipped stray bytes.
    // The bytes "rz" yield Message::zmodemStart(). Never throws.
    Message::Ptr receive(int timeoutMs);
    Message::Ptr transceive(const Message& message, int timeoutMs);

    // Forgets the remembered time-out, for a stream that was reopened with its own.
    void resetTimeout() { m_timeout = Unknown; }
    ByteStream& stream() { return m_stream; }
    const std::string& prefix() const { return m_prefix; }

private:
    Message::Ptr receiveFrame(int timeoutMs);

    // Never a time-out a receive asks for, so the first receive always sets its own.
    static constexpr int Unknown = -1;

    ByteStream& m_stream;
    std::string m_prefix;
    int m_timeout = Unknown;
};

}  // namespace T2151
