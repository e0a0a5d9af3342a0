#include "core/UDPClient.h"

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/SocketSupport.h"
#include "core/String.h"

UDPClient::~UDPClient()
{
    close();
}

bool UDPClient::connect(const std::string& host, unsigned short port)
{
    if (m_fd != -1) {
        if (address() == host && this->port() == port)
            return true;
        close();
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        m_error = String::format("(%d) %s: %s", rc, gai_strerror(rc), host.c_str());
        return false;
    }
    m_fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (m_fd < 0) {
        m_error = SocketSupport::errnoText();
        m_fd = -1;
        freeaddrinfo(found);
        return false;
    }
    const bool ok = ::connect(m_fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!ok) {
        m_error = SocketSupport::errnoText();
        ::close(m_fd);
        m_fd = -1;
    }
    freeaddrinfo(found);
    return ok;
}

bool UDPClient::send(const std::vector<uint8_t>& data)
{
    for (;;) {
        if (::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) >= 0)
            return true;
        if (errno != EINTR)
            break;
    }
    m_error = SocketSupport::errnoText();
    return false;
}

void UDPClient::close()
{
    if (m_fd == -1)
        return;
    ::close(m_fd);
    m_fd = -1;
}

std::string UDPClient::address()
{
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (m_fd == -1 || getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return std::string();
    return SocketSupport::hostText(reinterpret_cast<sockaddr*>(&peer));
}

unsigned short UDPClient::port()
{
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (m_fd == -1 || getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return 0;
    return SocketSupport::portOf(reinterpret_cast<sockaddr*>(&peer));
}
