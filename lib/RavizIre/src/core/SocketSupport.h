// Small helpers shared by the socket classes: interrupted-safe polling, address text and error
// text. Stateless; any thread may call.
#pragma once

#include <netdb.h>
#include <sys/socket.h>

#include <memory>
#include <string>

namespace SocketSupport {

struct AddressListFree
{
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListFree>;

// getaddrinfo for one socket type (SOCK_STREAM, SOCK_DGRAM), any family; passive asks for an
// address to bind. Returns getaddrinfo's code; list holds the answer only when it is 0.
[[nodiscard]] int resolve(const std::string& host, unsigned short port, int socketType, bool passive,
                          AddressList& list);

// Closes fd unless it is -1, and leaves it -1.
void closeSocket(int& fd);

// Waits up to ms (negative: without limit) for the events on fd, retrying after signals with the
// time that is left. Returns poll's result: > 0 ready, 0 time-out, -1 error (errno set).
[[nodiscard]] int waitFor(int fd, short events, int ms);

// Numeric host text of an IPv4 or IPv6 socket address; empty for other families.
std::string hostText(const sockaddr* address);
unsigned short portOf(const sockaddr* address);
// The far end of a connected socket; empty and 0 for fd -1 or a socket without one.
std::string peerHost(int fd);
unsigned short peerPort(int fd);
// The port a socket is bound to; 0 for fd -1 or an unbound socket.
unsigned short localPort(int fd);

// "(errno) text" for the current errno.
std::string errnoText();

}  // namespace SocketSupport
