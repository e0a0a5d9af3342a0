// A message that carries a payload to a service of type T: on the service's thread its handler
// calls target->onMessage(payload). The message owns its copy of the payload.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/BaseMessage.h"

template <class M, class T>
class Message : public BaseMessage
{
public:
    Message(const M& payload, T* target, const std::string& name = std::string())
        : BaseMessage(name), m_payload(payload), m_target(target)
    {
    }
    Message(M&& payload, T* target, const std::string& name = std::string())
        : BaseMessage(name), m_payload(std::move(payload)), m_target(target)
    {
    }

    std::unique_ptr<BaseMessage> clone() const override
    {
        return std::unique_ptr<BaseMessage>(new Message(*this));
    }
    void handler() const override { m_target->onMessage(m_payload); }

    const M& payload() const { return m_payload; }
    T* target() const { return m_target; }

private:
    Message(const Message&) = default;

    M m_payload;
    T* m_target;
};
