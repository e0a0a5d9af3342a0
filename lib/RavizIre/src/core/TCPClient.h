// One TCP stream, outgoing (connect) or accepted (from TCPServer), with per-socket time-outs and
// keep-alive settings. A plain value: copies share the descriptor and exactly one of them may
// close it; the destructor leaves the socket open. One thread at a time uses an object, though one
// thread may read while another writes. Connection failures throw std::runtime_error; reads and
// writes return counts, -1 meaning the connection is gone (the socket is then closed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TCPClient
{
public:
    TCPClient() = default;
    // Wraps an accepted socket; the settings stay at their defaults and none is applied.
    explicit TCPClient(int descriptor) : m_fd(descriptor) {}

    // Connecting again to the peer already connected keeps that connection; another peer
    // replaces it. Throws std::runtime_error with the system text, "Connect timeout", or a
    // resolver text for a host that cannot be found.
    void connect(const std::string& host, unsigned short port);
    bool connected() const { return m_fd != -1; }
    void close();

    // The peer's numeric address and port; empty and 0 when not connected.
    std::string address();
    unsigned short port();

    void setConnectTimeout(int ms) { m_connectTimeout = ms; }
    void setReadTimeout(int ms);
    void setWriteTimeout(int ms);
    void setKeepAlive(bool on);
    void setKeepAliveTime(int seconds);
    void setKeepAliveInterval(int seconds);
    void setKeepAliveProbes(int count);

    int connectTimeout() const { return m_connectTimeout; }
    int readTimeout() const { return m_readTimeout; }
    int writeTimeout() const { return m_writeTimeout; }
    bool keepAlive() const { return m_keepAlive; }
    int keepAliveTime() const { return m_keepAliveTime; }
    int keepAliveInterval() const { return m_keepAliveInterval; }
    int keepAliveProbes() const { return m_keepAliveProbes; }

    // True when data, or the peer's close, is waiting; false on time-out. Throws on a poll error.
    bool available(int ms);

    // One byte (0-255), or -1 on time-out (socket kept) or when the peer is gone (socket closed).
    int read();
    // Appends up to n bytes; returns their count. Stops early at the read time-out or when the
    // peer closes: the bytes received up to then are returned and the next read reports the
    // close with -1. -1 also on a hard error.
    int read(std::vector<uint8_t>& data, unsigned n);
    // 1, 0 on write time-out, -1 when the peer is gone.
    int write(unsigned char byte);
    // The count written (short only on write time-out), -1 when the peer is gone.
    int write(const std::vector<uint8_t>& data);

    int& getNative() { return m_fd; }

private:
    void applyOptions();

    int m_fd = -1;
    int m_connectTimeout = 0;
    int m_readTimeout = 0;
    int m_writeTimeout = 0;
    bool m_keepAlive = false;
    int m_keepAliveTime = 7200;
    int m_keepAliveInterval = 75;
    int m_keepAliveProbes = 9;
};
