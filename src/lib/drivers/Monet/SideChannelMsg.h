// One message of the Monet reader's TCP side channel: a command code, the reader's status when it
// gives one, and data. Built per request or decoded from one received payload and dropped after
// use; the message owns copies of its bytes. Used on the thread that drives the reader.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace MonetReader {

enum TAGs : uint8_t
{
    TAG_COMMAND = 1,  // one byte, the command code (bits 0-6)
    TAG_STATUS = 2,   // one byte, the reader's status for the command
    TAG_DATA = 3,     // the rest of the payload
};

class SideChannelMsg
{
public:
    using Bytes = std::vector<uint8_t>;
    using Ptr = std::shared_ptr<SideChannelMsg>;

    struct TAGandValue
    {
        TAGs tag;
        Bytes value;
    };

    static Ptr make() { return Ptr(new SideChannelMsg()); }
    static Ptr make(const Bytes& payload);

    void pushTAG(TAGs tag, const Bytes& value) { m_tags.push_back({tag, value}); }
    // The first entry with the tag, or nothing; the entry stays.
    Bytes popTAG(TAGs tag) const;
    bool has(TAGs tag) const;

    // Payload bytes: the values in list order (the tags themselves are not written).
    Bytes serialize() const;
    // Replaces the content with the decoded payload; false (and not valid) when it cannot be.
    bool deserialize(const Bytes& payload);
    bool valid() const { return m_valid; }

    // Shorthands over the tags: the command code (0 without one), the data.
    uint8_t command() const;
    Bytes data() const { return popTAG(TAG_DATA); }

private:
    SideChannelMsg() = default;

    std::vector<TAGandValue> m_tags;
    bool m_valid = false;
};

}  // namespace MonetReader
