// The byte link of one transfer over a descriptor the caller owns (a tty, a socket, a pipe): reads
// through a small buffer with time-outs in tenths of a second, whole writes that never raise
// SIGPIPE and give up when the peer stops taking data, and the tty modes of a transfer. The
// descriptor's flags and tty settings are put back by the destructor. Used by one thread.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

namespace zmodem {

class Link
{
public:
    // writeStallTenths: how long a write may wait for the peer to take any byte (< 0: no limit).
    Link(int fd, int writeStallTenths);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // One byte (0-255), or TIMEOUT when none came within `tenths` (< 0: wait without limit), or
    // CARRIER_LOST when the peer closed the link or it failed.
    int readByte(int tenths);
    // The byte goes back in front of the next read.
    void unread(uint8_t byte);
    // Bytes are waiting (buffered here or in the driver).
    bool pending();
    void discardInput();

    // False when the bytes could not all be written: the link failed or the peer took nothing
    // for the stall time.
    [[nodiscard]] bool write(const uint8_t* data, size_t count);
    bool lost() const { return m_lost; }

    bool isTty() const { return m_tty; }
    bool isCharDevice() const { return m_charDevice; }
    // Raw 8-bit mode; `flowControl` adds XON/XOFF control of our output. Returns the output speed
    // in bps (38400 when it is not a known rate, as for a socket).
    long setRawMode(bool flowControl);
    // Waits (bounded) for queued output to leave and restores the settings found at the first
    // setRawMode. Input waiting then is dropped only when `dropInput`: once a session has ended
    // with its "OO", what the peer sends next is the caller's (a reader's report follows at once).
    void restoreMode(bool dropInput);

private:
    bool waitWritable();

    int m_fd;
    int m_writeStallTenths;
    int m_savedFlags = -1;
    bool m_socket = false;
    bool m_fifo = false;
    bool m_tty = false;
    bool m_charDevice = false;
    bool m_lost = false;
    bool m_modeSaved = false;
    struct termios m_savedMode
    {
    };
    uint8_t m_buffer[256] = {};
    size_t m_head = 0;
    size_t m_tail = 0;
};

}  // namespace zmodem
