#include "core/BaseMessage.h"

#include <atomic>

BaseMessage::BaseMessage(const std::string& name) : m_name(name), m_id(getUniqueId()) {}

std::unique_ptr<BaseMessage> BaseMessage::clone() const
{
    return std::unique_ptr<BaseMessage>(new BaseMessage(*this));
}

uint64_t BaseMessage::getUniqueId()
{
    static std::atomic<uint64_t> counter{0};
    return ++counter;
}
