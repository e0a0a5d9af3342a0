#include "other/zmodem/libzmodem/Link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "core/Clock.h"
#include "other/zmodem/libzmodem/Protocol.h"

namespace zmodem {

namespace {

constexpr size_t kReadChunk = 128;

int pollMillis(int tenths, double started)
{
    if (tenths < 0)
        return -1;
    const double left = tenths * 100.0 - Clock::elapsedMonotonicMillis(started);
    return left > 0 ? static_cast<int>(left + 0.999) : 0;
}

long speedOf(speed_t speed)
{
    switch (speed) {
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        default:
            return 38400;
    }
}

}  // namespace

Link::Link(int fd, int writeStallTenths) : m_fd(fd), m_writeStallTenths(writeStallTenths)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) == 0) {
        m_socket = S_ISSOCK(st.st_mode);
        m_fifo = S_ISFIFO(st.st_mode);
        m_charDevice = S_ISCHR(st.st_mode);
    }
    m_tty = ::isatty(fd) == 1;
    // Non-blocking for the transfer, so that no read or write can hang past its time-out.
    m_savedFlags = ::fcntl(fd, F_GETFL);
    if (m_savedFlags >= 0)
        ::fcntl(fd, F_SETFL, m_savedFlags | O_NONBLOCK);
}

Link::~Link()
{
    restoreMode(true);
    if (m_savedFlags >= 0)
        ::fcntl(m_fd, F_SETFL, m_savedFlags);
}

int Link::readByte(int tenths)
{
    if (m_head < m_tail)
        return m_buffer[m_head++];
    if (m_lost)
        return CARRIER_LOST;
    m_head = m_tail = 0;
    const double started = Clock::monotonicMillis();
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, pollMillis(tenths, started));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return TIMEOUT;
        if (ready < 0) {
            m_lost = true;
            return CARRIER_LOST;
        }
        const ssize_t got = ::read(m_fd, m_buffer, kReadChunk);
        if (got > 0) {
            m_tail = static_cast<size_t>(got);
            return m_buffer[m_head++];
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        m_lost = true;  // end of file, hang-up (EIO) or reset
        return CARRIER_LOST;
    }
}

void Link::unread(uint8_t byte)
{
    if (m_head > 0) {
        m_buffer[--m_head] = byte;
        return;
    }
    // Only after a read, so the buffer always has room in front; keep the byte regardless.
    if (m_tail < sizeof m_buffer) {
        for (size_t i = m_tail; i > 0; --i) m_buffer[i] = m_buffer[i - 1];
        m_buffer[0] = byte;
        ++m_tail;
    }
}

bool Link::pending()
{
    if (m_head < m_tail)
        return true;
    if (m_lost)
        return false;
    int count = 0;
    if (::ioctl(m_fd, FIONREAD, &count) == 0)
        return count > 0;
    pollfd p{m_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

void Link::discardInput()
{
    m_head = m_tail = 0;
    uint8_t scratch[128];
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0)
            return;
        const ssize_t got = ::read(m_fd, scratch, sizeof scratch);
        if (got <= 0)
            return;
    }
}

bool Link::waitWritable()
{
    const double started = Clock::monotonicMillis();
    for (;;) {
        pollfd p{m_fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, pollMillis(m_writeStallTenths, started));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (p.revents & (POLLERR | POLLNVAL))
            return false;
        return true;
    }
}

bool Link::write(const uint8_t* data, size_t count)
{
    if (m_lost)
        return false;
    // A pipe whose reader went away raises SIGPIPE; hold it back on this thread and swallow the
    // one our write caused. Sockets say so with MSG_NOSIGNAL, ttys never raise it.
    sigset_t pipeSet;
    sigset_t previous;
    bool pipeWasPending = false;
    if (m_fifo) {
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
        sigset_t pendingSet;
        sigpending(&pendingSet);
        pipeWasPending = sigismember(&pendingSet, SIGPIPE) == 1;
    }
    bool ok = true;
    size_t done = 0;
    while (done < count) {
        const ssize_t sent = m_socket ? ::send(m_fd, data + done, count - done, MSG_NOSIGNAL)
                                      : ::write(m_fd, data + done, count - done);
        if (sent > 0) {
            done += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitWritable())
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            m_lost = true;
        ok = false;
        break;
    }
    if (m_fifo) {
        if (!ok && m_lost && !pipeWasPending) {
            const timespec zero{0, 0};
            sigtimedwait(&pipeSet, nullptr, &zero);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    return ok;
}

long Link::setRawMode(bool flowControl)
{
    if (!m_tty)
        return 38400;
    struct termios mode
    {
    };
    if (::tcgetattr(m_fd, &mode) != 0)
        return 38400;
    if (!m_modeSaved) {
        m_savedMode = mode;
        m_modeSaved = true;
    }
    mode.c_iflag = flowControl ? (IXON | BRKINT) : 0;
    mode.c_oflag = 0;
    mode.c_lflag = 0;
    mode.c_cflag &= ~(CSIZE | PARENB);
    mode.c_cflag |= CS8 | CREAD;
    mode.c_cc[VINTR] = flowControl ? _POSIX_VDISABLE : mode.c_cc[VINTR];
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 1;
    ::tcsetattr(m_fd, TCSADRAIN, &mode);
    return speedOf(::cfgetospeed(&mode));
}

void Link::restoreMode(bool dropInput)
{
    if (!m_modeSaved)
        return;
    m_modeSaved = false;
    if (!m_lost) {
        // tcdrain could wait forever on a receiver that holds XOFF; wait a bounded time instead.
        const double started = Clock::monotonicMillis();
        int queued = 0;
        while (::ioctl(m_fd, TIOCOUTQ, &queued) == 0 && queued > 0 &&
               Clock::elapsedMonotonicMillis(started) < 2000) {
            const timespec pause{0, 10 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }
    // Output stays either way: the cancel string or the final "OO" may still be on its way (a
    // pseudo-terminal reports no queued output, so the wait above cannot tell).
    if (dropInput)
        ::tcflush(m_fd, TCIFLUSH);
    ::tcsetattr(m_fd, TCSANOW, &m_savedMode);
    ::tcflow(m_fd, TCOON);
}

}  // namespace zmodem
