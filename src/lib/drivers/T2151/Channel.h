// A T2151 link as the command sets use it: a request out, its answer back, and the line a firmware
// file travels on. Each reader's transport derives from it with its own byte stream (which it owns
// and which must outlive the link) and its own ZMODEM sender; the networked one also serialises
// transceive. Called from the thread that owns the reader.
#pragma once

#include <string>

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/FileSender.h"
#include "drivers/T2151/Link.h"
#include "drivers/T2151/Message.h"

namespace T2151 {

class Channel
{
public:
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool transmit(const Message::Ptr& message);
    // Empty when nothing usable arrived; see Link::receive.
    Message::Ptr receive(int timeoutMs);
    // Empty without reading when the request could not be sent.
    virtual Message::Ptr transceive(const Message::Ptr& message, int timeoutMs);

    // The line was reopened with a time-out of its own: set ours again on the next receive.
    void reset() { m_link.resetTimeout(); }
    const std::string& prefix() const { return m_link.prefix(); }

    // ZMODEM on the reader's own line; true only when the reader took the whole file.
    virtual bool sendFile(const std::string& path, int timeoutSec, const FileSender::Events& events) = 0;

protected:
    // The link only keeps the stream's address here: a derived transport may build it afterwards.
    Channel(ByteStream& stream, std::string prefix);
    ~Channel() = default;

private:
    Link m_link;
};

}  // namespace T2151
