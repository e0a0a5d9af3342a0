// Sends files to a ZMODEM receiver at the far end of an open serial port or TCP connection (reader
// firmware uploads). The port or client stays the caller's and must outlive this object. transmit
// blocks the calling thread, and the Signals are emitted on it; the process's standard input and
// output are never touched, so several objects on different links may transfer at once.
#pragma once

#include <string>
#include <vector>

#include "core/Signal.h"

class SerialPort;
class TCPClient;

class ZModem
{
public:
    explicit ZModem(SerialPort& port);
    explicit ZModem(TCPClient& client);
    ~ZModem();
    ZModem(const ZModem&) = delete;
    ZModem& operator=(const ZModem&) = delete;

    // Sends the files in order; true when the receiver took every one. timeoutSec bounds each wait
    // for the receiver once the transfer runs (negative: no limit); a receiver that never starts
    // fails the call after about 30 seconds whatever it is.
    bool transmit(const std::vector<std::string>& files, int timeoutSec);

    // The engine's call-backs; self is the ZModem.
    static bool tick(const char* name, long transferred, long total, long bps, int minutesLeft,
                     int secondsLeft, void* self);
    static void complete(const char* name, int result, unsigned size, long date, void* self);

    // Never emitted by the sender; kept for users that connect to it.
    Signal<const std::string&, int, int> info;
    Signal<const std::string& /*name*/, long /*transferred*/, long /*total*/, long /*bps*/,
           int /*minutesLeft*/, int /*secondsLeft*/>
        progress;
    Signal<const std::string& /*name*/, bool /*success*/, int /*size*/, int /*date*/> completed;

    // Files completed successfully over the object's life, in completion order.
    const std::vector<std::string>& transferredFiles() const { return transferred; }

private:
    int m_fd;
    std::string m_unused;
    std::vector<std::string> transferred;
};
