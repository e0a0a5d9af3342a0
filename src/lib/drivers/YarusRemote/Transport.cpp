#include "drivers/YarusRemote/Transport.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>

#include "core/Clock.h"
#include "core/SerialPort.h"

namespace T2151 {

bool Transport::SerialStream::wait(double deadlineMs)
{
    // poll(2) would sit out the whole wait on a closed port's descriptor (-1).
    if (!m_port.isOpen())
        return false;
    pollfd p{m_port.getUnderlying(), POLLIN, 0};
    int ready;
    do ready = ::poll(&p, 1, waitMs(m_timeoutMs, deadlineMs));
    while (ready < 0 && errno == EINTR);
    return ready > 0;
}

int Transport::SerialStream::readByte(double deadlineMs)
{
    return wait(deadlineMs) ? m_port.read() : -1;
}

size_t Transport::SerialStream::readBytes(size_t n, std::vector<uint8_t>& out, double deadlineMs)
{
    // The line's own time-out is per read: a reader or a noisy line that trickles a long body would
    // keep each wait short and the whole read long. Each read takes only the bytes already there.
    size_t got = 0;
    while (got < n) {
        const bool late = Clock::monotonicMillis() >= deadlineMs;
        if (!wait(deadlineMs))
            break;
        int pending = 0;
        if (::ioctl(m_port.getUnderlying(), FIONREAD, &pending) != 0 || pending <= 0)
            pending = 1;  // a hang-up: the read reports it
        const std::vector<uint8_t> chunk =
            m_port.readBytes(static_cast<unsigned>(std::min(n - got, static_cast<size_t>(pending))));
        if (chunk.empty())
            break;
        out.insert(out.end(), chunk.begin(), chunk.end());
        got += chunk.size();
        if (late)
            break;
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
    // Each wait is what the line itself would wait: whole tenths of a second, at least one.
    m_timeoutMs = ms <= 0 ? 0 : std::min(std::max(ms / 100, 1), 255) * 100;
    return m_port.setReadTimeout(ms);
}

Transport::Transport(SerialPort& port) : Channel(m_stream, "[T2151] "), m_port(port), m_stream(port) {}

bool Transport::sendFile(const std::string& path, int timeoutSec, const FileSender::Events& events)
{
    ZModemFileSender sender(m_port);
    return sender.send(path, timeoutSec, events);
}

}  // namespace T2151
