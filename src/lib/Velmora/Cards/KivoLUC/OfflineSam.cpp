#include "Velmora/Cards/KivoLUC/OfflineSam.h"

#include <algorithm>

#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Tag.h"
#include "Velmora/CardReader.h"
#include "core/String.h"

namespace KivoLUC {

namespace {

constexpr size_t PasswordAnswer = 6;

// Sets the SAM's logical channel for one command and the previous one back when it goes out of
// scope, whatever the command gave.
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

}  // namespace

uint32_t OfflineKey::id() const
{
    return static_cast<uint32_t>(channel) * 65536u + static_cast<uint32_t>(position) * 256u +
           static_cast<uint32_t>(version);
}

OfflineSam::OfflineSam(const std::shared_ptr<NFC::SAM>& sam)
    : m_sam(std::dynamic_pointer_cast<NFC::MifareSAM>(sam))
{
}

bool OfflineSam::active(const OfflineKey& key) const
{
    return std::find(m_keys.begin(), m_keys.end(), key.id()) != m_keys.end();
}

int OfflineSam::activate(const OfflineKey& key, const Bytes& uid)
{
    ChannelScope scope(*m_sam, key.channel);
    const int rc =
        m_sam->activateOfflineKey(static_cast<uint8_t>(key.position), static_cast<uint8_t>(key.version), uid);
    if (rc == NFC::MifareSAM::Success && !active(key))
        m_keys.push_back(key.id());
    return rc;
}

int OfflineSam::encipher(int channel, const Bytes& in, Bytes& out)
{
    ChannelScope scope(*m_sam, channel);
    return m_sam->encipherOfflineData(in, out);
}

int OfflineSam::generateMac(int channel, const Bytes& data, Bytes& mac, uint8_t size)
{
    ChannelScope scope(*m_sam, channel);
    return m_sam->generateMAC(data, mac, size);
}

int OfflineSam::verifyMac(int channel, const Bytes& data, uint8_t size)
{
    ChannelScope scope(*m_sam, channel);
    return m_sam->verifyMAC(data, size);
}

bool OfflineSam::password(uint32_t& pwd, uint16_t& pack) const
{
    if (!m_derived)
        return false;
    pwd = m_pwd;
    pack = m_pack;
    return true;
}

bool OfflineSam::takePassword(const Bytes& out)
{
    if (out.size() < PasswordAnswer)
        return false;
    m_pwd = static_cast<uint32_t>(out[0]) << 24 | static_cast<uint32_t>(out[1]) << 16 |
            static_cast<uint32_t>(out[2]) << 8 | out[3];
    m_pack = static_cast<uint16_t>(out[4] << 8 | out[5]);
    m_derived = true;
    return true;
}

bool derivePassword(RFID::CardReader& reader, OfflineSam& sam, const std::vector<uint8_t>& uid, uint32_t& pwd,
                    uint16_t& pack, const std::function<bool(std::vector<uint8_t>& out)>& encipher)
{
    reader.log(Log::LevelInfo, "Generating password for %s", NFC::Tag::shownUid(uid).c_str());
    if (!sam) {
        reader.log(Log::LevelWarning, "%s", RFID::CardReader::NoSam);
        pwd = 0;
        pack = 0;
        return true;
    }
    if (sam.password(pwd, pack)) {
        reader.log(Log::LevelDebug, "Skipping password generation (pwd=0x%08x, ack=0x%04x)", pwd, pack);
        return true;
    }
    std::vector<uint8_t> out;
    if (!encipher(out))
        return false;
    if (!sam.takePassword(out)) {
        reader.setError("generatePassword",
                        String::format("Wrong password/pack length received (%zu)", out.size()));
        return false;
    }
    return sam.password(pwd, pack);
}

}  // namespace KivoLUC
