#include "core/UDPServer.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/SocketSupport.h"
#include "core/String.h"

const std::string UDPServer::ANY_ADDRESS = "0.0.0.0";

UDPServer::~UDPServer()
{
    close();
}

bool UDPServer::listen(unsigned short port, const std::string& address)
{
    close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        m_error = String::format("(%d) %s: %s", rc, gai_strerror(rc), address.c_str());
        return false;
    }
    m_fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int one = 1;
    const bool ok = m_fd >= 0 && setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                    bind(m_fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!ok) {
        m_error = SocketSupport::errnoText();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    freeaddrinfo(found);
    return ok;
}

bool UDPServer::available(int ms)
{
    return m_fd != -1 && SocketSupport::waitFor(m_fd, POLLIN, ms) > 0;
}

bool UDPServer::receive(std::vector<uint8_t>& data, std::string& address, unsigned short& port,
                        unsigned maxSize)
{
    data.resize(maxSize);
    sockaddr_storage from{};
    ssize_t r;
    do {
        socklen_t len = sizeof from;
        r = recvfrom(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        m_error = SocketSupport::errnoText();
        data.clear();
        return false;
    }
    data.resize(static_cast<size_t>(r));
    address = SocketSupport::hostText(reinterpret_cast<sockaddr*>(&from));
    port = SocketSupport::portOf(reinterpret_cast<sockaddr*>(&from));
    return true;
}

void UDPServer::close()
{
    if (m_fd == -1)
        return;
    ::close(m_fd);
    m_fd = -1;
}

unsigned short UDPServer::port() const
{
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (m_fd == -1 || getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return 0;
    return SocketSupport::portOf(reinterpret_cast<sockaddr*>(&local));
}
