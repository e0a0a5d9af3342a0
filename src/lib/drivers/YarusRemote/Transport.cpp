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

Transport::Transport(SerialPort& port) : m_port(port), m_stream(port), m_link(m_stream, "[T2151] ") {}

bool Transport::transmit(const Message::Ptr& message)
{
    return message && m_link.transmit(*message);
}

Message::Ptr Transport::receive(int timeoutMs)
{
    return m_link.receive(timeoutMs);
}

Message::Ptr Transport::transceive(const Message::Ptr& message, int timeoutMs)
{
    if (!transmit(message))
        return nullptr;
    return receive(timeoutMs);
}

}  // namespace T2151
