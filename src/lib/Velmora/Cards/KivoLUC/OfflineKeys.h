// What the Kivo ticket readers share of their MIFARE SAM use: the offline keys a reader has
// activated (so each is activated once per card), the scope that puts the SAM on a key's logical
// channel for one command and puts the previous channel back on every path, and the split of the
// SAM's encipherment of the UID into the card's PWD and PACK. Owned by one reader on the worker
// thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "NFC/SAM.h"

namespace KivoLUC {

struct OfflineKey
{
    int channel;
    int position;
    int version;

    uint32_t id() const
    {
        return static_cast<uint32_t>(channel) * 65536u + static_cast<uint32_t>(position) * 256u +
               static_cast<uint32_t>(version);
    }
};

// The password key and the MAC key of both ticket generations.
constexpr OfflineKey PasswordKey{1, 0x15, 0};
constexpr OfflineKey MacKey{2, 0x16, 0};

class OfflineKeys
{
public:
    bool active(const OfflineKey& key) const
    {
        return std::find(m_ids.begin(), m_ids.end(), key.id()) != m_ids.end();
    }
    void add(const OfflineKey& key)
    {
        if (!active(key))
            m_ids.push_back(key.id());
    }
    void clear() { m_ids.clear(); }

private:
    std::vector<uint32_t> m_ids;
};

class ChannelScope
{
public:
    ChannelScope(NFC::SAM& sam, int channel) : m_sam(sam), m_saved(sam.logicalChannel())
    {
        sam.setLogicalChannel(static_cast<uint8_t>(channel));
    }
    ~ChannelScope() { m_sam.setLogicalChannel(m_saved); }
    ChannelScope(const ChannelScope&) = delete;
    ChannelScope& operator=(const ChannelScope&) = delete;

private:
    NFC::SAM& m_sam;
    const uint8_t m_saved;
};

// Bytes 0 to 3 of the SAM's output are PWD and bytes 4 and 5 PACK, each most significant first, so
// the card stores them in the order the SAM gave them. False for fewer than six bytes.
constexpr size_t PasswordAnswer = 6;
inline bool splitPassword(const std::vector<uint8_t>& out, uint32_t& pwd, uint16_t& pack)
{
    if (out.size() < PasswordAnswer)
        return false;
    pwd = static_cast<uint32_t>(out[0]) << 24 | static_cast<uint32_t>(out[1]) << 16 |
          static_cast<uint32_t>(out[2]) << 8 | out[3];
    pack = static_cast<uint16_t>(out[4] << 8 | out[5]);
    return true;
}

}  // namespace KivoLUC
