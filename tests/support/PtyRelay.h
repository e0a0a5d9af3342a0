// A serial line between two pseudo-terminals for tests and benchmarks: the near side is a tty
// path that the code under test opens as a serial port, the far side a tty descriptor handed to a
// peer program as its standard input and output (each side has its own tty settings, as two
// ends of a cable do). A thread copies bytes between the two masters and keeps the first bytes
// sent from near to far for inspection; it can also garble bytes on the way, as line noise does. When the far
// side is closed by everyone (the peer died and the test let go of its copy), the near side is hung up.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class PtyRelay
{
public:
    explicit PtyRelay(size_t keepBytes = 64 * 1024) : m_keep(keepBytes)
    {
        char name[256];
        if (::openpty(&m_nearMaster, &m_nearSlave, name, nullptr, nullptr) != 0 ||
            ::openpty(&m_farMaster, &m_farSlave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        m_nearPath = name;
        makeRaw(m_nearSlave);
        makeRaw(m_farSlave);
        for (int fd : {m_nearMaster, m_farMaster}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (::pipe(m_stop) != 0)
            throw std::runtime_error("pipe failed");
        m_thread = std::thread([this] { relay(); });
    }

    ~PtyRelay()
    {
        const char c = 'x';
        (void)!::write(m_stop[1], &c, 1);
        m_thread.join();
        for (int fd : {m_nearMaster, m_nearSlave, m_farMaster, m_farSlave, m_stop[0], m_stop[1]})
            if (fd >= 0)
                ::close(fd);
    }
    PtyRelay(const PtyRelay&) = delete;
    PtyRelay& operator=(const PtyRelay&) = delete;

    // The tty the code under test opens.
    const std::string& nearPath() const { return m_nearPath; }
    // The descriptor a peer program gets as its standard input and output.
    int farSlave() const { return m_farSlave; }
    // After this, the death of the peer hangs the near side up.
    void releaseFarSlave()
    {
        ::close(m_farSlave);
        m_farSlave = -1;
    }

    // Line noise: the bytes at these offsets of the near-to-far stream arrive as 'U' (or 'V').
    void corruptNearToFar(std::vector<size_t> offsets)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_corrupt = std::move(offsets);
    }

    // Bytes that went from the near side to the far side so far.
    size_t passedNearToFar() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_passed;
    }

    std::vector<uint8_t> sentByNear() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_nearToFar;
    }

private:
    static void makeRaw(int fd)
    {
        termios mode{};
        ::tcgetattr(fd, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(fd, TCSANOW, &mode);
    }

    struct Direction
    {
        int from;
        int to;
        std::vector<uint8_t> pending;
        size_t offset = 0;
    };

    void relay()
    {
        Direction out{m_nearMaster, m_farMaster, {}, 0};
        Direction back{m_farMaster, m_nearMaster, {}, 0};
        for (;;) {
            pollfd p[5];
            p[0] = {m_stop[0], POLLIN, 0};
            // Read a side only when what it sent before has gone on; write while something waits.
            p[1] = {out.from, static_cast<short>(out.pending.empty() ? POLLIN : 0), 0};
            p[2] = {back.from, static_cast<short>(back.pending.empty() ? POLLIN : 0), 0};
            p[3] = {out.to, static_cast<short>(out.pending.empty() ? 0 : POLLOUT), 0};
            p[4] = {back.to, static_cast<short>(back.pending.empty() ? 0 : POLLOUT), 0};
            if (::poll(p, 5, -1) < 0 && errno != EINTR)
                return;
            if (p[0].revents != 0)
                return;
            if (!move(out, p[1].revents, p[3].revents, true) ||
                !move(back, p[2].revents, p[4].revents, false)) {
                // The peer's side is gone: hang up the near side as a dropped line would.
                ::close(m_nearMaster);
                m_nearMaster = -1;
                return;
            }
        }
    }

    // False when the far side can no longer be used.
    bool move(Direction& d, short fromEvents, short toEvents, bool record)
    {
        if (d.pending.empty() && (fromEvents & (POLLIN | POLLHUP | POLLERR))) {
            uint8_t buffer[4096];
            const ssize_t got = ::read(d.from, buffer, sizeof buffer);
            if (got > 0) {
                d.pending.assign(buffer, buffer + got);
                d.offset = 0;
                if (record) {
                    std::lock_guard<std::mutex> guard(m_mutex);
                    for (size_t at : m_corrupt)
                        if (at >= m_passed && at < m_passed + static_cast<size_t>(got))
                            d.pending[at - m_passed] = d.pending[at - m_passed] == 'U' ? 'V' : 'U';
                    m_passed += static_cast<size_t>(got);
                    const size_t room = m_keep - std::min(m_keep, m_nearToFar.size());
                    m_nearToFar.insert(m_nearToFar.end(), buffer, buffer + std::min<size_t>(room, got));
                }
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                return d.from != m_farMaster;  // near side errors are the test's own doing
            }
        }
        if (!d.pending.empty() && (toEvents & (POLLOUT | POLLHUP | POLLERR))) {
            const ssize_t put = ::write(d.to, d.pending.data() + d.offset, d.pending.size() - d.offset);
            if (put > 0) {
                d.offset += static_cast<size_t>(put);
                if (d.offset == d.pending.size())
                    d.pending.clear();
            } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
                if (d.to == m_farMaster)
                    return false;
                d.pending.clear();
            }
        }
        return true;
    }

    size_t m_keep;
    int m_nearMaster = -1;
    int m_nearSlave = -1;
    int m_farMaster = -1;
    int m_farSlave = -1;
    int m_stop[2] = {-1, -1};
    std::string m_nearPath;
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_nearToFar;
    std::vector<size_t> m_corrupt;
    size_t m_passed = 0;
    std::thread m_thread;
};

}  // namespace testsupport
