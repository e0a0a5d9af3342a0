// The MIFARE SAM of a Kivo ticket reader and what the reader keeps of it: the offline keys it has
// activated (each once per card), the card password it has derived (once per card), and the rule
// that each SAM command runs on its key's logical channel with the previous channel set back on
// every path. Both ticket generations use key 0x15 on channel 1 for PWD and PACK and key 0x16 on
// channel 2 for MACs. Owned by one reader on the worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace NFC {
class MifareSAM;
class SAM;
}  // namespace NFC

namespace RFID {
class CardReader;
}

namespace KivoLUC {

struct OfflineKey
{
    int channel;
    int position;
    int version;

    // channel x 65536 + position x 256 + version.
    uint32_t id() const;
};

constexpr OfflineKey PasswordKey{1, 0x15, 0};
constexpr OfflineKey MacKey{2, 0x16, 0};

class OfflineSam
{
public:
    using Bytes = std::vector<uint8_t>;

    // The SAM when it is a MIFARE SAM, else none.
    explicit OfflineSam(const std::shared_ptr<NFC::SAM>& sam);

    explicit operator bool() const { return m_sam != nullptr; }
    bool active(const OfflineKey& key) const;
    void forgetKeys() { m_keys.clear(); }

    // Each gives 0 or the SAM's code (NFC::MifareSAM::errorToStr has its text). activate remembers
    // the key on success; uid is the diversification input.
    int activate(const OfflineKey& key, const Bytes& uid);
    int encipher(int channel, const Bytes& in, Bytes& out);
    // size 0: the SAM's full MAC.
    int generateMac(int channel, const Bytes& data, Bytes& mac, uint8_t size);
    int verifyMac(int channel, const Bytes& data, uint8_t size);

    // The derived password, when there is one.
    bool password(uint32_t& pwd, uint16_t& pack) const;
    // Bytes 0 to 3 of the SAM's encipherment are PWD and bytes 4 and 5 PACK, each most significant
    // first, so the card stores them in the order the SAM gave them. False for fewer than six bytes.
    bool takePassword(const Bytes& out);

private:
    std::shared_ptr<NFC::MifareSAM> m_sam;
    std::vector<uint32_t> m_keys;
    // Any value is one the SAM may derive: whether there is a pair is kept apart.
    bool m_derived = false;
    uint32_t m_pwd = 0;
    uint16_t m_pack = 0;
};

// The card password for uid as both generations derive it, with reader's log lines and errors:
// zero without a SAM, the pair derived before for this card, else the pair in what encipher
// gives (the SAM's encipherment of uid under PasswordKey; encipher records its own failure).
bool derivePassword(RFID::CardReader& reader, OfflineSam& sam, const std::vector<uint8_t>& uid, uint32_t& pwd,
                    uint16_t& pack, const std::function<bool(std::vector<uint8_t>& out)>& encipher);

}  // namespace KivoLUC
