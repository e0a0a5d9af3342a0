#include "drivers/T2151/Channel.h"

#include <utility>

namespace T2151 {

Channel::Channel(ByteStream& stream, std::string prefix) : m_link(stream, std::move(prefix)) {}

bool Channel::transmit(const Message::Ptr& message)
{
    return message && m_link.transmit(*message);
}

Message::Ptr Channel::receive(int timeoutMs)
{
    return m_link.receive(timeoutMs);
}

Message::Ptr Channel::transceive(const Message::Ptr& message, int timeoutMs)
{
    if (!transmit(message))
        return nullptr;
    return receive(timeoutMs);
}

}  // namespace T2151
