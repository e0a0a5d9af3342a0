#include "emulators/VUrurReader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "emulators/Promptly.h"
#include "support/PeerProcess.h"

namespace emulators {

namespace {

const int UpdateCommand = 7;

int loopbackSocket(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

int VUrurReader::refusedPort()
{
    int port = 0;
    ::close(loopbackSocket(port));
    return port;
}

VUrurReader::VUrurReader()
{
    m_device.setNetworked("app ok", "sys ok");
    m_listen = loopbackSocket(m_port);
    if (::listen(m_listen, 8) != 0 || ::pipe(m_wake) != 0)
        throw std::runtime_error("listen failed");
    m_thread = std::thread([this] { run(); });
}

VUrurReader::~VUrurReader()
{
    m_device.close();
    (void)!::write(m_wake[1], "x", 1);
    m_thread.join();
    if (m_conn >= 0)
        ::close(m_conn);
    ::close(m_listen);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

void VUrurReader::setMute(bool mute)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mute = mute;
}

void VUrurReader::sendRaw(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_conn >= 0)
        write(m_conn, bytes);
}

size_t VUrurReader::accepted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

bool VUrurReader::waitForAccepted(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_accepted >= count; });
}

bool VUrurReader::waitForPeerCloses(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_peerCloses >= count; });
}

void VUrurReader::write(int fd, const Bytes& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t put = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0)
            return;
        done += static_cast<size_t>(put);
    }
}

void VUrurReader::drop(int fd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ::close(fd);
    if (m_conn == fd)
        m_conn = -1;
}

void VUrurReader::run()
{
    answerPromptly();
    uint8_t buffer[4096];
    for (;;) {
        int conn = -1;
        bool mute = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            conn = m_conn;
            mute = m_mute;
        }
        pollfd fds[3] = {{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}, {mute ? -1 : conn, POLLIN, 0}};
        int waitMs = -1;
        if (!m_late.empty())
            waitMs = std::max(0, static_cast<int>(m_late.front().first - nowMs()) + 1);
        if (::poll(fds, 3, waitMs) < 0)
            continue;
        while (!m_late.empty() && m_late.front().first <= nowMs()) {
            if (conn >= 0)
                write(conn, m_late.front().second);
            m_late.pop_front();
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN) {
            const int accepted = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) {
                // A driver that stops reading must not stall the emulator for good.
                const timeval limit{2, 0};
                ::setsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_conn >= 0)
                    ::close(m_conn);
                m_conn = accepted;
                ++m_accepted;
                m_changed.notify_all();
                abandonFrame();
                m_late.clear();
            }
            continue;
        }
        if (conn < 0 || !(fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::recv(conn, buffer, sizeof buffer, 0);
        if (n <= 0) {
            drop(conn);
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_peerCloses;
            m_changed.notify_all();
            continue;
        }
        // Nothing may leave the emulator's thread: a broken model only costs its answer.
        try {
            consume(conn, Bytes(buffer, buffer + n));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[VUrurReader] model failed: %s\n", e.what());
        }
    }
}

void VUrurReader::consume(int fd, const Bytes& input)
{
    m_serving = fd;
    Bytes payload;
    bool good = false;
    for (uint8_t byte : input) {
        if (!collecting() && byte != Start)
            continue;
        if (!collect(byte, payload, good) || !good)
            continue;
        int switchTo = 0;
        const T2151Device::Tlvs answerTlvs = m_device.handle(payload, 0, switchTo);
        const int command = commandOf(payload);
        if (command == UpdateCommand) {
            // The reader answers command 7 by starting its file receiver on the connection.
            runZmodem(fd);
            return;
        }
        answer(command, answerTlvs);
    }
}

bool VUrurReader::pause(int ms)
{
    // The wake pipe stays readable once the emulator is going away: a trickling answer ends then.
    pollfd wake{m_wake[0], POLLIN, 0};
    for (const double until = nowMs() + ms;;) {
        const double left = until - nowMs();
        if (left <= 0)
            return true;
        if (::poll(&wake, 1, static_cast<int>(left) + 1) > 0)
            return false;
    }
}

void VUrurReader::lineFault(const Fault& fault, const Bytes& wire)
{
    switch (fault.kind) {
        case Fault::Late:
            // Held back while the next requests are read and answered.
            m_late.emplace_back(nowMs() + fault.value, wire);
            return;
        case Fault::CloseMidFrame:
            write(m_serving, Bytes(wire.begin(), wire.begin() + static_cast<long>(wire.size() / 2)));
            drop(m_serving);
            return;
        case Fault::Close:
            drop(m_serving);
            return;
        default:
            write(m_serving, wire);
            return;
    }
}

void VUrurReader::runZmodem(int fd)
{
    const std::string directory = zmodemDirectory();
    if (directory.empty())
        return;  // no receiver: the sender finds nobody to talk to
    {
        testsupport::PeerProcess::Options options;
        options.workingDirectory = directory;
        options.stdinFd = fd;
        options.stdoutFd = fd;
        testsupport::PeerProcess rz({"rz", "-q"}, options);
        rz.wait();
    }
    zmodemFinished();
}

}  // namespace emulators
