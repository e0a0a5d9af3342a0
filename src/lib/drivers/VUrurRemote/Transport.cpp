#include "drivers/VUrurRemote/Transport.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "core/Clock.h"
#include "core/TCPClient.h"
#include "drivers/T2151/Framer.h"

namespace vurur {

bool Transport::TcpStream::wait(double deadlineMs)
{
    return m_client.available(waitMs(m_timeoutMs, deadlineMs));
}

int Transport::TcpStream::readByte(double deadlineMs)
{
    return m_client.connected() && wait(deadlineMs) ? m_client.read() : -1;
}

size_t Transport::TcpStream::readBytes(size_t n, std::vector<uint8_t>& out, double deadlineMs)
{
    // A peer that trickles a long body byte by byte would keep each wait short and the whole read
    // long: each wait for more is one time-out, as for a single byte, and all of them end at the
    // deadline.
    size_t got = 0;
    while (got < n && m_client.connected()) {
        const bool late = Clock::monotonicMillis() >= deadlineMs;
        if (!wait(deadlineMs))
            break;
        const size_t before = out.size();
        out.resize(before + (n - got));
        const ssize_t r = ::recv(m_client.getNative(), out.data() + before, n - got, MSG_DONTWAIT);
        out.resize(before + (r > 0 ? static_cast<size_t>(r) : 0));
        if (r == 0) {
            m_client.close();  // the peer is gone: later reads report it at once
            break;
        }
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_client.close();
            break;
        }
        if (r > 0)
            got += static_cast<size_t>(r);
        if (late)
            break;
    }
    return got;
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
    m_timeoutMs = std::max(ms, 1);
    m_client.setReadTimeout(m_timeoutMs);
    return true;
}

Transport::Transport(TCPClient& client) : Channel(m_stream, "[vurur] "), m_client(client), m_stream(client) {}

Message::Ptr Transport::transceive(const Message::Ptr& message, int timeoutMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return Channel::transceive(message, timeoutMs);
}

bool Transport::sendFile(const std::string& path, int timeoutSec, const T2151::FileSender::Events& events)
{
    T2151::ZModemFileSender sender(m_client);
    return sender.send(path, timeoutSec, events);
}

}  // namespace vurur
