// The T2151 link on a serial line: frames go out and come back through the driver's SerialPort,
// which the driver owns, opens and closes; the transport only sets its read time-out. No lock: one
// request in flight, from the thread that owns the reader.
#pragma once

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/Link.h"
#include "drivers/T2151/Message.h"

class SerialPort;

namespace T2151 {

class Transport
{
public:
    explicit Transport(SerialPort& port);
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    SerialPort& serial() { return m_port; }

    bool transmit(const Message::Ptr& message);
    // Empty when nothing usable arrived; see Link::receive.
    Message::Ptr receive(int timeoutMs);
    // Empty without reading when the request could not be sent.
    Message::Ptr transceive(const Message::Ptr& message, int timeoutMs);

    // The port was reopened with a time-out of its own: set ours again on the next receive.
    void reset() { m_link.resetTimeout(); }

private:
    class SerialStream : public ByteStream
    {
    public:
        explicit SerialStream(SerialPort& port) : m_port(port) {}
        int readByte() override;
        size_t readBytes(size_t n, std::vector<uint8_t>& out) override;
        bool writeAll(const std::vector<uint8_t>& bytes) override;
        void discard() override;
        bool setReadTimeout(int ms) override;

    private:
        SerialPort& m_port;
    };

    SerialPort& m_port;
    SerialStream m_stream;
    Link m_link;
};

}  // namespace T2151
