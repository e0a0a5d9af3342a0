// A datagram socket connected to one peer, for sending. Used by one thread at a time. Never
// throws: failures return false and keep their text in error() as "(errno) text". The destructor
// closes the socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class UDPClient
{
public:
    UDPClient() = default;
    ~UDPClient();
    UDPClient(const UDPClient&) = delete;
    UDPClient& operator=(const UDPClient&) = delete;

    // Connecting again to the same peer keeps the socket; another peer replaces it.
    bool connect(const std::string& host, unsigned short port);
    // One datagram to the connected peer.
    bool send(const std::vector<uint8_t>& data);
    void close();
    bool connected() const { return m_fd != -1; }
    // The peer's numeric address; empty when not connected.
    std::string address();
    unsigned short port();
    const char* error() const { return m_error.c_str(); }
    int& getNative() { return m_fd; }

private:
    int m_fd = -1;
    std::string m_error;
};
