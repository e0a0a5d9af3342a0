// The layout reader of the KivoLUCv2 ticket on Ultralight EV1: layout version 2 in the first byte of
// the OTP page (page 3), a 32-byte header on pages 4 to 11 whose page 11 selects the valid copy, and
// two copies of the products and last usage (A on pages 12 to 23, B on 24 to 35), each 44 bytes and
// a 4-byte signature made by the MIFARE SAM (offline key 0x16 on logical channel 2). A write goes to
// the copy not in use and switches the selector last, so a torn write leaves the previous copy
// valid. PWD and PACK come from the SAM's offline key 0x15 on channel 1; without a MIFARE SAM the
// ticket is neither protected nor signed. One object serves one detected card on the manager's
// worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Velmora/Cards/KivoLUC/OfflineSam.h"
#include "Velmora/UltralightEV1CardReader.h"

namespace NFC {
class Ultralight;
}

namespace KivoLUCv2 {

class CardReader : public RFID::UltralightEV1CardReader
{
public:
    // The ticket as read (layout: the 48 bytes of the selected copy) or as encoded (layout: the 44
    // data bytes).
    struct CardData
    {
        Bytes header;
        Bytes layout;
    };

    static constexpr size_t HeaderSize = 32;
    static constexpr size_t CopySize = 44;
    static constexpr size_t SignatureSize = 4;
    static constexpr size_t SelectorAt = 28;

    // The first SAM of the list, when there is one, is the reader's SAM.
    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);
    ~CardReader() override;

    // The flag is not used.
    std::shared_ptr<RFID::Card> create(bool flag) override;
    // The counts are not used.
    std::shared_ptr<RFID::Card> read(unsigned usageLogs, unsigned topupLogs) override;
    std::shared_ptr<RFID::Card> write(const VariantMap& data) override;

    // The layout version: the first byte of page 3; 0 when the page cannot be read.
    static unsigned readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight);

    // The header and copy of the map; throws std::out_of_range for a missing key. A map carrying
    // "usageLog/toStopId" keeps the zones of the current card.
    CardData encodeData(const VariantMap& data) const;
    // The 41 keys; empty for a header other than 32 bytes or a copy under 44.
    static VariantMap decodeData(const CardData& data);

    bool generatePassword(const Bytes& uid, uint32_t& pwd, uint16_t& pack);
    bool generateSignature(Bytes& signature, const Bytes& data);
    bool verifySignature(const Bytes& data);
    bool readCardData(CardData& data);
    bool writeCardData(const CardData& data);
    // The blank ticket, copy B selected; ticket: the card holds one, whose valid copy is never
    // overwritten in place.
    bool writeDefaultData(bool ticket = false);
    bool writeDefaultConfig();

private:
    // Activates the key on its channel once per card; errors reported under operation.
    bool activate(const KivoLUC::OfflineKey& key, const char* operation);
    // generatePassword, then PWD_AUTH; true at once without a SAM.
    bool authenticate();
    // The copy the selector names, from this reader's last verified read or completed write, else
    // from page 11.
    bool currentCopy(int& copy);
    // After a failure once a page went out: the selector is read again before the next write.
    bool forgetCopy();

    KivoLUC::OfflineSam m_offline;
    std::optional<int> m_copy;
};

}  // namespace KivoLUCv2
