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
    SocketSupport::AddressList list;
    const int rc = SocketSupport::resolve(address, port, SOCK_DGRAM, true, list);
    if (rc != 0 || !list) {
        m_error = String::format("(%d) %s: %s", rc, gai_strerror(rc),
                                 String::escaped(address, String::MaxPathExcerptBytes).c_str());
        return false;
    }
    m_fd = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    const int one = 1;
    const bool ok = m_fd >= 0 && setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                    bind(m_fd, list->ai_addr, list->ai_addrlen) == 0;
    if (!ok) {
        m_error = SocketSupport::errnoText();
        SocketSupport::closeSocket(m_fd);
    }
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
    SocketSupport::closeSocket(m_fd);
}

unsigned short UDPServer::port() const
{
    return SocketSupport::localPort(m_fd);
}
