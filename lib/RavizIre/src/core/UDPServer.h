// A bound datagram socket that receives from any sender and tells who sent each datagram. Used by
// one thread at a time. Never throws: failures return false and keep their text in error() as
// "(errno) text". The destructor closes the socket.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class UDPServer
{
public:
    static const std::string ANY_ADDRESS;

    UDPServer() = default;
    ~UDPServer();
    UDPServer(const UDPServer&) = delete;
    UDPServer& operator=(const UDPServer&) = delete;

    // Port 0 lets the system choose; port() tells which one it chose.
    bool listen(unsigned short port, const std::string& address);
    // True when a datagram is waiting within ms; false on time-out or error.
    bool available(int ms);
    // One datagram, cut to maxSize bytes when longer; data is replaced by it.
    bool receive(std::vector<uint8_t>& data, std::string& address, unsigned short& port, unsigned maxSize);
    void close();
    unsigned short port() const;
    const char* error() const { return m_error.c_str(); }
    int& getNative() { return m_fd; }

private:
    int m_fd = -1;
    std::string m_error;
};
