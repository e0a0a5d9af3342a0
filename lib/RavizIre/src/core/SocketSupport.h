// Small helpers shared by the socket classes: interrupted-safe polling, address text and error
// text. Stateless; any thread may call.
#pragma once

#include <sys/socket.h>

#include <string>

namespace SocketSupport {

// Waits up to ms (negative: without limit) for the events on fd, retrying after signals with the
// time that is left. Returns poll's result: > 0 ready, 0 time-out, -1 error (errno set).
[[nodiscard]] int waitFor(int fd, short events, int ms);

// Numeric host text of an IPv4 or IPv6 socket address; empty for other families.
std::string hostText(const sockaddr* address);
unsigned short portOf(const sockaddr* address);

// "(errno) text" for the current errno.
std::string errnoText();

}  // namespace SocketSupport
