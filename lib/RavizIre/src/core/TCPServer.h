// A listening TCP socket that hands out accepted connections as TCPClient values. Used by one
// thread at a time (the control service's thread). Failures of listen and hard failures of accept
// throw std::runtime_error; the destructor leaves the socket open (the owner calls close).
#pragma once

#include <string>

#include "core/TCPClient.h"

class TCPServer
{
public:
    static const std::string ANY_ADDRESS;

    TCPServer() = default;

    // Port 0 lets the system choose; port() tells which one it chose.
    void listen(unsigned short port, const std::string& address);
    void close();
    bool listening() const { return m_fd != -1; }
    unsigned short port() const;

    // Waits up to the accept time-out for one connection. A time-out, or a connection that failed
    // before it could be taken, gives an unconnected client and keeps the socket listening.
    TCPClient accept();
    // Milliseconds; negative waits without limit.
    void setTimeout(int ms) { m_timeout = ms; }
    int timeout() const { return m_timeout; }

    int& getNative() { return m_fd; }

private:
    int m_fd = -1;
    int m_timeout = -1;
};
