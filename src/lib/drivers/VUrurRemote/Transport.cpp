#include "drivers/VUrurRemote/Transport.h"

#include <sys/socket.h>

#include <algorithm>

#include "core/TCPClient.h"
#include "drivers/T2151/Framer.h"

namespace vurur {

int Transport::TcpStream::readByte()
{
    return m_client.read();
}

size_t Transport::TcpStream::readBytes(size_t n, std::vector<uint8_t>& out)
{
    const int got = m_client.read(out, static_cast<unsigned>(n));
    return got > 0 ? static_cast<size_t>(got) : 0;
}

bool Transport::TcpStream::writeAll(const std::vector<uint8_t>& bytes)
{
    return m_client.write(bytes) == static_cast<int>(bytes.size());
}

void Transport::TcpStream::discard()
{
    // Only what is already here, and no more than a hunt would skip: a peer that never stops
    // talking must not hold the request back.
    uint8_t buffer[4096];
    size_t dropped = 0;
    while (m_client.connected() && dropped < T2151::Framer::MaxSkipped) {
        const ssize_t n = ::recv(m_client.getNative(), buffer,
                                 std::min(sizeof buffer, T2151::Framer::MaxSkipped - dropped), MSG_DONTWAIT);
        if (n <= 0)
            return;  // nothing more, or the close, which the next read reports
        dropped += static_cast<size_t>(n);
    }
}

bool Transport::TcpStream::setReadTimeout(int ms)
{
    // A socket time-out of 0 would mean no limit at all.
    m_client.setReadTimeout(std::max(ms, 1));
    return true;
}

Transport::Transport(TCPClient& client) : m_client(client), m_stream(client), m_link(m_stream, "[vurur] ") {}

bool Transport::transmit(const Message::Ptr& message)
{
    return message && m_link.transmit(*message);
}

Message::Ptr Transport::receive(int timeoutMs)
{
    return m_link.receive(timeoutMs);
}

Message::Ptr Transport::transceive(const Message::Ptr& message, int timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!transmit(message))
        return nullptr;
    return receive(timeoutMs);
}

}  // namespace vurur
