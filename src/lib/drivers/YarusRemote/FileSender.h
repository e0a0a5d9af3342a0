// Sends one file to the reader across the line the reader listens on (firmware updates). The
// seam lets the command set be tested without a real transfer; ZModemFileSender is the one the
// program uses. A sender runs on the calling thread, which owns the line for the whole transfer.
#pragma once

#include <functional>
#include <string>

class SerialPort;

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

class ZModemFileSender : public FileSender
{
public:
    explicit ZModemFileSender(SerialPort& port) : m_port(port) {}
    bool send(const std::string& path, int timeoutSec, const Events& events) override;

private:
    SerialPort& m_port;
};

}  // namespace T2151
