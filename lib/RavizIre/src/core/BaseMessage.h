// A request queued to a message service and handled on the service's thread. Each message gets a
// process-wide id (1, 2, 3, ...); a clone keeps the id of the message it copies. The queue owns
// the queued copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class BaseMessage
{
public:
    explicit BaseMessage(const std::string& name = std::string());
    virtual ~BaseMessage() = default;

    virtual std::unique_ptr<BaseMessage> clone() const;
    // Runs on the service's thread; the base does nothing.
    virtual void handler() const {}
    // Runs instead of handler() when an accepted message is discarded unhandled because its
    // service stopped: a message whose sender waits for a reply releases the sender here.
    virtual void dropped() const {}

    const std::string& name() const { return m_name; }
    uint64_t id() const { return m_id; }

    static uint64_t getUniqueId();

protected:
    BaseMessage(const BaseMessage&) = default;
    BaseMessage& operator=(const BaseMessage&) = default;

private:
    std::string m_name;
    uint64_t m_id;
};
