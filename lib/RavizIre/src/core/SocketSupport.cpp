#include "core/SocketSupport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include "core/Clock.h"
#include "core/String.h"

namespace SocketSupport {

namespace {

// getpeername or getsockname into storage; false for fd -1 or a failed call.
bool addressOf(int fd, int (*query)(int, sockaddr*, socklen_t*), sockaddr_storage& storage)
{
    socklen_t len = sizeof storage;
    return fd != -1 && query(fd, reinterpret_cast<sockaddr*>(&storage), &len) == 0;
}

}  // namespace

int resolve(const std::string& host, unsigned short port, int socketType, bool passive, AddressList& list)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    if (passive)
        hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    list.reset(rc == 0 ? found : nullptr);
    return rc;
}

void closeSocket(int& fd)
{
    if (fd == -1)
        return;
    ::close(fd);
    fd = -1;
}

int waitFor(int fd, short events, int ms)
{
    const double start = Clock::monotonicMillis();
    int left = ms < 0 ? -1 : ms;
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, left);
        if (rc >= 0 || errno != EINTR)
            return rc;
        if (ms >= 0) {
            const double elapsed = Clock::elapsedMonotonicMillis(start);
            left = elapsed >= ms ? 0 : ms - static_cast<int>(elapsed);
        }
    }
}

std::string hostText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            return text;
    } else if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text))
            return text;
    }
    return std::string();
}

unsigned short portOf(const sockaddr* address)
{
    if (address->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    if (address->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    return 0;
}

std::string peerHost(int fd)
{
    sockaddr_storage peer{};
    return addressOf(fd, getpeername, peer) ? hostText(reinterpret_cast<sockaddr*>(&peer)) : std::string();
}

unsigned short peerPort(int fd)
{
    sockaddr_storage peer{};
    return addressOf(fd, getpeername, peer) ? portOf(reinterpret_cast<sockaddr*>(&peer)) : 0;
}

unsigned short localPort(int fd)
{
    sockaddr_storage local{};
    return addressOf(fd, getsockname, local) ? portOf(reinterpret_cast<sockaddr*>(&local)) : 0;
}

std::string errnoText()
{
    const int code = errno;
    return String::format("(%d) %s", code, strerror(code));
}

}  // namespace SocketSupport
