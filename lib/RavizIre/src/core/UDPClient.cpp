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
    SocketSupport::AddressList list;
    const int rc = SocketSupport::resolve(host, port, SOCK_DGRAM, false, list);
    if (rc != 0 || !list) {
        m_error = String::format("(%d) %s: %s", rc, gai_strerror(rc),
                                 String::escaped(host, String::MaxPathExcerptBytes).c_str());
        return false;
    }
    m_fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    if (m_fd < 0) {
        m_error = SocketSupport::errnoText();
        m_fd = -1;
        return false;
    }
    const bool ok = ::connect(m_fd, list->ai_addr, list->ai_addrlen) == 0;
    if (!ok) {
        m_error = SocketSupport::errnoText();
        SocketSupport::closeSocket(m_fd);
    }
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
    SocketSupport::closeSocket(m_fd);
}

std::string UDPClient::address()
{
    return SocketSupport::peerHost(m_fd);
}

unsigned short UDPClient::port()
{
    return SocketSupport::peerPort(m_fd);
}
