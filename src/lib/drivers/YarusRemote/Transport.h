// The T2151 link on a serial line: frames go out and come back through the driver's SerialPort,
// which the driver owns, opens and closes; the transport only sets its read time-out. No lock: one
// request in flight, from the thread that owns the reader.
#pragma once

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/Channel.h"

class SerialPort;

namespace T2151 {

class Transport : public Channel
{
public:
    explicit Transport(SerialPort& port);

    bool sendFile(const std::string& path, int timeoutSec, const FileSender::Events& events) override;

private:
    class SerialStream : public ByteStream
    {
    public:
        explicit SerialStream(SerialPort& port) : m_port(port) {}
        int readByte(double deadlineMs) override;
        size_t readBytes(size_t n, std::vector<uint8_t>& out, double deadlineMs) override;
        bool writeAll(const std::vector<uint8_t>& bytes) override;
        void discard() override;
        bool setReadTimeout(int ms) override;

    private:
        // Input waiting, within the read time-out and the deadline; false when none came.
        bool wait(double deadlineMs);

        SerialPort& m_port;
        int m_timeoutMs = 0;
    };

    SerialPort& m_port;
    SerialStream m_stream;
};

}  // namespace T2151
