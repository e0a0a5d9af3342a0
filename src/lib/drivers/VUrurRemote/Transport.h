// The T2151 link on a networked reader's TCP connection. The driver owns the client, connects and
// closes it; the transport only sets its read time-out. Input left over from an earlier request (a
// late answer) is dropped before each request goes out, so an answer is never taken for the next
// request's. One request and its answer hold the transport's lock, so threads never interleave on
// the connection; the firmware update uses transmit and receive without it and must run alone.
#pragma once

#include <mutex>

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/Channel.h"
#include "drivers/VUrurRemote/Message.h"

class TCPClient;

namespace vurur {

class Transport : public T2151::Channel
{
public:
    explicit Transport(TCPClient& client);

    // Holds the lock from the request's first byte to the answer's last.
    Message::Ptr transceive(const Message::Ptr& message, int timeoutMs) override;
    bool sendFile(const std::string& path, int timeoutSec, const T2151::FileSender::Events& events) override;

private:
    class TcpStream : public T2151::ByteStream
    {
    public:
        explicit TcpStream(TCPClient& client) : m_client(client) {}
        int readByte(double deadlineMs) override;
        size_t readBytes(size_t n, std::vector<uint8_t>& out, double deadlineMs) override;
        bool writeAll(const std::vector<uint8_t>& bytes) override;
        void discard() override;
        bool setReadTimeout(int ms) override;

    private:
        // Input waiting (or the peer's close), within the read time-out and the deadline.
        bool wait(double deadlineMs);

        TCPClient& m_client;
        int m_timeoutMs = 1;
    };

    std::mutex m_mutex;
    TCPClient& m_client;
    TcpStream m_stream;
};

}  // namespace vurur
