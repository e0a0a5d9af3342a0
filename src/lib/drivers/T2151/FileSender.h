// Sends one file to the reader across the line the reader listens on (firmware updates). The
// seam lets the command set be tested without a real transfer; ZModemFileSender is the one the
// program uses. A sender runs on the calling thread, which owns the line for the whole transfer.
#pragma once

#include <functional>
#include <string>

class SerialPort;
class TCPClient;

namespace T2151 {

class FileSender
{
public:
    struct Events
    {
        std::function<void()> started;
        std::function<void(long transferred, long total, int minutesLeft, int secondsLeft)> progress;
        std::function<void()> finished;
    };

    virtual ~FileSender() = default;
    // True only when the receiver took the whole file. timeoutSec bounds each wait for the
    // receiver. The events run on the calling thread and may be empty.
    virtual bool send(const std::string& path, int timeoutSec, const Events& events) = 0;
};

// The events that report a transfer as a reader's progress callback takes it: (0, 0, 0) at the
// start, the percentage and the time left while it runs, (100, 0, 0) at the end.
FileSender::Events progressEvents(const std::function<void(int, int, int)>& progress);

// 100 x transferred / total in 64 bits, within 0..100; 0 for a total of 0.
int percentOf(long transferred, long total);

// ZMODEM on the reader's serial line, or on its TCP connection for a networked reader.
class ZModemFileSender : public FileSender
{
public:
    explicit ZModemFileSender(SerialPort& port) : m_port(&port) {}
    explicit ZModemFileSender(TCPClient& client) : m_client(&client) {}
    bool send(const std::string& path, int timeoutSec, const Events& events) override;

private:
    SerialPort* m_port = nullptr;
    TCPClient* m_client = nullptr;
};

}  // namespace T2151
