#include "core/TCPClient.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "core/String.h"
#include "core/SocketSupport.h"

namespace {

timeval toTimeval(int ms)
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

[[noreturn]] void throwErrno(int code)
{
    throw std::runtime_error(strerror(code));
}

// Keeps a setting for the next connection and applies it to the open one, if there is one.
template <typename Setting, typename Option>
void remember(int fd, Setting& setting, Setting value, int level, int name, const Option& option)
{
    if (value == setting)
        return;
    setting = value;
    if (fd != -1)
        setsockopt(fd, level, name, &option, sizeof option);
}

}  // namespace

void TCPClient::connect(const std::string& host, unsigned short port)
{
    if (m_fd != -1) {
        if (address() == host && this->port() == port)
            return;
        close();
    }

    SocketSupport::AddressList list;
    const int rc = SocketSupport::resolve(host, port, SOCK_STREAM, false, list);
    if (rc != 0 || !list)
        throw std::runtime_error("Cannot resolve host '" +
                                 String::escaped(host, String::MaxPathExcerptBytes) +
                                 "': " + gai_strerror(rc));
    const addrinfo* found = list.get();

    m_fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (m_fd < 0) {
        const int code = errno;
        m_fd = -1;
        throwErrno(code);
    }

    auto fail = [this](int code) {
        SocketSupport::closeSocket(m_fd);
        throwErrno(code);
    };
    const timeval rcv = toTimeval(m_readTimeout);
    const timeval snd = toTimeval(m_writeTimeout);
    const int on = m_keepAlive ? 1 : 0;
    if (setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv) != 0 ||
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd) != 0 ||
        setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &m_keepAliveTime, sizeof m_keepAliveTime) != 0 ||
        setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &m_keepAliveInterval, sizeof m_keepAliveInterval) != 0 ||
        setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &m_keepAliveProbes, sizeof m_keepAliveProbes) != 0)
        fail(errno);

    const int flags = fcntl(m_fd, F_GETFL);
    if (m_connectTimeout > 0)
        fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    int code = 0;
    bool timedOut = false;
    if (::connect(m_fd, found->ai_addr, found->ai_addrlen) != 0) {
        code = errno;
        // An interrupted blocking connect goes on in the background, like a non-blocking one.
        if (code == EINPROGRESS || code == EINTR) {
            const int ready =
                SocketSupport::waitFor(m_fd, POLLOUT, m_connectTimeout > 0 ? m_connectTimeout : -1);
            if (ready < 0) {
                code = errno;
            } else if (ready == 0) {
                timedOut = true;
            } else {
                int soError = 0;
                socklen_t len = sizeof soError;
                if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
                    code = errno;
                else
                    code = soError;
            }
        }
    }
    if (m_connectTimeout > 0)
        fcntl(m_fd, F_SETFL, flags);
    if (timedOut) {
        SocketSupport::closeSocket(m_fd);
        throw std::runtime_error("Connect timeout");
    }
    if (code != 0)
        fail(code);
}

void TCPClient::close()
{
    SocketSupport::closeSocket(m_fd);
}

std::string TCPClient::address()
{
    return SocketSupport::peerHost(m_fd);
}

unsigned short TCPClient::port()
{
    return SocketSupport::peerPort(m_fd);
}

void TCPClient::setReadTimeout(int ms)
{
    remember(m_fd, m_readTimeout, ms, SOL_SOCKET, SO_RCVTIMEO, toTimeval(ms));
}

void TCPClient::setWriteTimeout(int ms)
{
    remember(m_fd, m_writeTimeout, ms, SOL_SOCKET, SO_SNDTIMEO, toTimeval(ms));
}

void TCPClient::setKeepAlive(bool on)
{
    remember(m_fd, m_keepAlive, on, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

void TCPClient::setKeepAliveTime(int seconds)
{
    remember(m_fd, m_keepAliveTime, seconds, IPPROTO_TCP, TCP_KEEPIDLE, seconds);
}

void TCPClient::setKeepAliveInterval(int seconds)
{
    remember(m_fd, m_keepAliveInterval, seconds, IPPROTO_TCP, TCP_KEEPINTVL, seconds);
}

void TCPClient::setKeepAliveProbes(int count)
{
    remember(m_fd, m_keepAliveProbes, count, IPPROTO_TCP, TCP_KEEPCNT, count);
}

bool TCPClient::available(int ms)
{
    if (m_fd == -1)
        return false;
    const int rc = SocketSupport::waitFor(m_fd, POLLIN, ms);
    if (rc < 0) {
        const int code = errno;
        close();
        throwErrno(code);
    }
    return rc > 0;
}

int TCPClient::read()
{
    if (m_fd == -1)
        return -1;
    for (;;) {
        uint8_t byte;
        const ssize_t r = recv(m_fd, &byte, 1, 0);
        if (r == 1)
            return byte;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return -1;
        close();
        return -1;
    }
}

int TCPClient::read(std::vector<uint8_t>& data, unsigned n)
{
    if (m_fd == -1)
        return -1;
    if (n == 0)
        return 0;
    const size_t start = data.size();
    data.resize(start + n);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(m_fd, data.data() + start + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // The peer closed or the connection broke. Bytes already here are still the peer's
        // message: hand them over, and let the next read meet the close.
        if (got > 0)
            break;
        data.resize(start);
        close();
        return -1;
    }
    data.resize(start + got);
    return static_cast<int>(got);
}

int TCPClient::write(unsigned char byte)
{
    if (m_fd == -1)
        return -1;
    for (;;) {
        const ssize_t w = send(m_fd, &byte, 1, MSG_NOSIGNAL);
        if (w == 1)
            return 1;
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        close();
        return -1;
    }
}

int TCPClient::write(const std::vector<uint8_t>& data)
{
    if (m_fd == -1)
        return -1;
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t w = send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (w > 0) {
            sent += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        close();
        return -1;
    }
    return static_cast<int>(sent);
}
