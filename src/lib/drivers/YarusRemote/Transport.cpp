#include "drivers/YarusRemote/Transport.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

#include "core/Clock.h"
#include "core/SerialPort.h"

namespace T2151 {

namespace {

const double BodyGraceMs = 1000;

}  // namespace

int Transport::SerialStream::readByte()
{
    return m_port.read();
}

size_t Transport::SerialStream::readBytes(size_t n, std::vector<uint8_t>& out)
{
    // The line's own time-out is per read: a reader or a noisy line that trickles a long body would
    // keep each wait short and the whole read long. The body gets the time-out plus the hunt's
    // grace in all, and each read takes only the bytes already there.
    const double start = Clock::monotonicMillis();
    const double bound = m_timeoutMs + BodyGraceMs;
    const int fd = m_port.getUnderlying();
    size_t got = 0;
    while (got < n) {
        const double left = bound - Clock::elapsedMonotonicMillis(start);
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        int ready;
        do ready = ::poll(&p, 1, std::min(m_timeoutMs, static_cast<int>(left) + 1));
        while (ready < 0 && errno == EINTR);
        if (ready <= 0)
            break;
        int pending = 0;
        if (::ioctl(fd, FIONREAD, &pending) != 0 || pending <= 0)
            pending = 1;  // a hang-up: the read reports it
        const std::vector<uint8_t> chunk =
            m_port.readBytes(static_cast<unsigned>(std::min(n - got, static_cast<size_t>(pending))));
        if (chunk.empty())
            break;
        out.insert(out.end(), chunk.begin(), chunk.end());
        got += chunk.size();
    }
    return got;
}

bool Transport::SerialStream::writeAll(const std::vector<uint8_t>& bytes)
{
    return m_port.writeBytes(bytes) == static_cast<int>(bytes.size());
}

void Transport::SerialStream::discard()
{
    m_port.flush();
}

bool Transport::SerialStream::setReadTimeout(int ms)
{
    m_timeoutMs = std::max(ms, 0);
    return m_port.setReadTimeout(ms);
}

Transport::Transport(SerialPort& port) : Channel(m_stream, "[T2151] "), m_port(port), m_stream(port) {}

bool Transport::sendFile(const std::string& path, int timeoutSec, const FileSender::Events& events)
{
    ZModemFileSender sender(m_port);
    return sender.send(path, timeoutSec, events);
}

}  // namespace T2151
