#include "drivers/YarusRemote/Transport.h"

#include "core/SerialPort.h"

namespace T2151 {

int Transport::SerialStream::readByte()
{
    return m_port.read();
}

size_t Transport::SerialStream::readBytes(size_t n, std::vector<uint8_t>& out)
{
    const std::vector<uint8_t> got = m_port.readBytes(static_cast<unsigned>(n));
    out.insert(out.end(), got.begin(), got.end());
    return got.size();
}

bool Transport::SerialStream::writeAll(const std::vector<uint8_t>& bytes)
{
    return m_port.writeBytes(bytes) == static_cast<int>(bytes.size());
}

void Transport::SerialStream::discard()
{
    m_port.flush();
}

bool Transport::SerialStream::setReadTimeout(int ms)
{
    return m_port.setReadTimeout(ms);
}

Transport::Transport(SerialPort& port) : Channel(m_stream, "[T2151] "), m_port(port), m_stream(port) {}

bool Transport::sendFile(const std::string& path, int timeoutSec, const FileSender::Events& events)
{
    ZModemFileSender sender(m_port);
    return sender.send(path, timeoutSec, events);
}

}  // namespace T2151
