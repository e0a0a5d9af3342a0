#include "core/TCPServer.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "core/String.h"
#include "core/SocketSupport.h"

const std::string TCPServer::ANY_ADDRESS = "0.0.0.0";

namespace {

// Failures of one incoming connection, or of resources that come back, not of the listening
// socket itself: the server stays usable after them.
bool isTransient(int code)
{
    switch (code) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

}  // namespace

void TCPServer::listen(unsigned short port, const std::string& address)
{
    close();
    SocketSupport::AddressList list;
    const int rc = SocketSupport::resolve(address, port, SOCK_STREAM, true, list);
    if (rc != 0 || !list)
        throw std::runtime_error("Cannot resolve address '" +
                                 String::escaped(address, String::MaxPathExcerptBytes) +
                                 "': " + gai_strerror(rc));

    int code = 0;
    // Non-blocking so that a connection that vanishes between poll and accept cannot block us.
    m_fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, list->ai_protocol);
    const int one = 1;
    if (m_fd < 0 || setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(m_fd, list->ai_addr, list->ai_addrlen) != 0 || ::listen(m_fd, 1) != 0)
        code = errno;
    if (code != 0) {
        SocketSupport::closeSocket(m_fd);
        throw std::runtime_error(strerror(code));
    }
}

void TCPServer::close()
{
    SocketSupport::closeSocket(m_fd);
}

unsigned short TCPServer::port() const
{
    return SocketSupport::localPort(m_fd);
}

TCPClient TCPServer::accept()
{
    if (m_fd == -1)
        throw std::runtime_error(strerror(EBADF));
    const int ready = SocketSupport::waitFor(m_fd, POLLIN, m_timeout < 0 ? -1 : m_timeout);
    if (ready < 0) {
        const int code = errno;
        close();
        throw std::runtime_error(strerror(code));
    }
    if (ready == 0)
        return TCPClient();
    // The accepted socket does not inherit O_NONBLOCK: it blocks as a client socket does.
    const int fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        if (isTransient(code))
            return TCPClient();
        close();
        throw std::runtime_error(strerror(code));
    }
    return TCPClient(fd);
}
