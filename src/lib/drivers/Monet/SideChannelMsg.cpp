#include "drivers/Monet/SideChannelMsg.h"

#include "core/Log.h"

namespace MonetReader {

namespace {
constexpr uint8_t StatusFollows = 0x80;
}

SideChannelMsg::Ptr SideChannelMsg::make(const Bytes& payload)
{
    Ptr msg = make();
    msg->deserialize(payload);
    return msg;
}

SideChannelMsg::Bytes SideChannelMsg::popTAG(TAGs tag) const
{
    for (const TAGandValue& entry : m_tags)
        if (entry.tag == tag)
            return entry.value;
    return {};
}

bool SideChannelMsg::has(TAGs tag) const
{
    for (const TAGandValue& entry : m_tags)
        if (entry.tag == tag)
            return true;
    return false;
}

uint8_t SideChannelMsg::command() const
{
    for (const TAGandValue& entry : m_tags)
        if (entry.tag == TAG_COMMAND && !entry.value.empty())
            return entry.value[0];
    return 0;
}

SideChannelMsg::Bytes SideChannelMsg::serialize() const
{
    size_t size = 0;
    for (const TAGandValue& entry : m_tags) size += entry.value.size();
    Bytes out;
    out.reserve(size);
    for (const TAGandValue& entry : m_tags) out.insert(out.end(), entry.value.begin(), entry.value.end());
    return out;
}

bool SideChannelMsg::deserialize(const Bytes& payload)
{
    m_tags.clear();
    m_valid = false;
    if (payload.empty()) {
        Log::error("[Monet] Invalid TAG list detected");
        return false;
    }
    const uint8_t first = payload[0];
    m_tags.push_back({TAG_COMMAND, {static_cast<uint8_t>(first & ~StatusFollows)}});
    size_t pos = 1;
    if (first & StatusFollows) {
        if (payload.size() < 2) {
            Log::error("[Monet] Status not found in response");
            return false;
        }
        m_tags.push_back({TAG_STATUS, {payload[1]}});
        pos = 2;
    }
    if (pos < payload.size())
        m_tags.push_back({TAG_DATA, Bytes(payload.begin() + static_cast<long>(pos), payload.end())});
    m_valid = true;
    return true;
}

}  // namespace MonetReader
