#include "emulators/PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace emulators {

PseudoTerminal::PseudoTerminal()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("no pseudo-terminal available");
    char name[128];
    if (ptsname_r(m_master, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal name");
    m_path = name;

    // Raw from the start, so nothing is echoed before the code under test configures the line.
    struct termios tio
    {
    };
    if (tcgetattr(m_master, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(m_master, TCSANOW, &tio);
    }
    m_slave = ::open(name, O_RDWR | O_NOCTTY);
    if (m_slave < 0 || pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("pseudo-terminal setup failed");
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PseudoTerminal::~PseudoTerminal()
{
    for (int fd : {m_master, m_slave, m_wake[0], m_wake[1]})
        if (fd >= 0)
            ::close(fd);
}

PseudoTerminal::Wait PseudoTerminal::wait(int timeoutMs)
{
    struct pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    for (;;) {
        const int rc = poll(fds, 2, timeoutMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (fds[1].revents & (POLLIN | POLLHUP)))
            return Wait::Stopped;
        if (rc == 0)
            return Wait::TimedOut;
        return Wait::Readable;
    }
}

bool PseudoTerminal::pause(int ms)
{
    if (ms <= 0)
        return true;
    struct pollfd fd = {m_wake[0], POLLIN, 0};
    for (;;) {
        const int rc = poll(&fd, 1, ms);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc == 0;
    }
}

size_t PseudoTerminal::readAvailable(std::vector<uint8_t>& out)
{
    uint8_t buffer[4096];
    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n <= 0)
        return 0;
    out.insert(out.end(), buffer, buffer + n);
    return static_cast<size_t>(n);
}

size_t PseudoTerminal::pending() const
{
    int count = 0;
    return ioctl(m_master, FIONREAD, &count) == 0 && count > 0 ? static_cast<size_t>(count) : 0;
}

bool PseudoTerminal::write(const uint8_t* data, size_t size)
{
    int stalls = 0;
    while (size > 0) {
        const ssize_t n = ::write(m_master, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // Nobody reads the other side: give up after a few seconds rather than hang.
            if (++stalls > 50)
                return false;
            struct pollfd fd = {m_master, POLLOUT, 0};
            poll(&fd, 1, 100);
            continue;
        }
        if (n <= 0)
            return false;
        m_written += static_cast<size_t>(n);
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int PseudoTerminal::baud() const
{
    struct termios tio
    {
    };
    if (tcgetattr(m_slave, &tio) != 0)
        return 0;
    static const struct
    {
        speed_t code;
        int baud;
    } speeds[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},    {B9600, 9600},
                  {B19200, 19200},   {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    const speed_t code = cfgetospeed(&tio);
    for (const auto& s : speeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

void PseudoTerminal::stop()
{
    const char byte = 1;
    if (::write(m_wake[1], &byte, 1) < 0) {
        // The pipe is ours and never full: a failure here leaves nothing to do.
    }
}

}  // namespace emulators
