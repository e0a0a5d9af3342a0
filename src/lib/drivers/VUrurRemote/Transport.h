// The T2151 link on a networked reader's TCP connection. The driver owns the client, connects and
// closes it; the transport only sets its read time-out. Input left over from an earlier request (a
// late answer) is dropped before each request goes out, so an answer is never taken for the next
// request's. One request and its answer hold the transport's lock, so threads never interleave on
// the connection; the firmware update uses transmit and receive without it and must run alone.
#pragma once

#include <mutex>

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/Link.h"
#include "drivers/VUrurRemote/Message.h"

class TCPClient;

namespace vurur {

class Transport
{
public:
    explicit Transport(TCPClient& client);
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    TCPClient& client() { return m_client; }

    bool transmit(const Message::Ptr& message);
    // Empty when nothing usable arrived: time-out, closed connection, CRC error, a peer that only
    // babbles. The bytes "rz" yield Message::zmodemStart().
    Message::Ptr receive(int timeoutMs);
    // Empty without reading when the request could not be sent.
    Message::Ptr transceive(const Message::Ptr& message, int timeoutMs);

    // The client was connected anew: set the read time-out again on the next receive.
    void reset() { m_link.resetTimeout(); }

private:
    class TcpStream : public T2151::ByteStream
    {
    public:
        explicit TcpStream(TCPClient& client) : m_client(client) {}
        int readByte() override;
        size_t readBytes(size_t n, std::vector<uint8_t>& out) override;
        bool writeAll(const std::vector<uint8_t>& bytes) override;
        void discard() override;
        bool setReadTimeout(int ms) override;

    private:
        TCPClient& m_client;
        int m_timeoutMs = 1;
    };

    std::mutex m_mutex;
    TCPClient& m_client;
    TcpStream m_stream;
    T2151::Link m_link;
};

}  // namespace vurur
