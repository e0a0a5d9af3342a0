#include "core/SocketSupport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>

#include "core/Clock.h"
#include "core/String.h"

namespace SocketSupport {

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

std::string errnoText()
{
    const int code = errno;
    return String::format("(%d) %s", code, strerror(code));
}

}  // namespace SocketSupport
