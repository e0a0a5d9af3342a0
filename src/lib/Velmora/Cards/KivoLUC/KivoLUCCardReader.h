// The reader of the KivoLUC limited-use ticket on a MIFARE Ultralight EV1: one 80-byte record and
// its 8-byte certificate on pages 4 to 25, read with one FAST_READ (READs when the card refuses it)
// and written page by page, unchanged pages skipped through a page cache kept for the reader's life.
// The MIFARE SAM derives the card's PWD and PACK (offline key 0x15 on logical channel 1) and makes
// and checks the certificate (offline key 0x16 on channel 2); without a MIFARE SAM the ticket is
// neither protected nor certified. Built per detected card by the factory; the manager's worker
// alone calls it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Velmora/CardReader.h"
#include "Velmora/Cards/KivoLUC/OfflineSam.h"
#include "Velmora/UltralightEV1CardReader.h"
#include "Velmora/UltralightPageIO.h"

namespace NFC {
class Ultralight;
}

namespace KivoLUC {

class CardReader : public RFID::CardReader
{
public:
    using Bytes = std::vector<uint8_t>;

    // The chip's configuration pages 37 to 40, as the Ultralight EV1 base reader lays them out.
    using Configuration = RFID::UltralightEV1CardReader::Configuration;

    static constexpr int FirstPage = 4;
    static constexpr int EndPage = 26;  // pages 4 to 25
    static constexpr size_t RecordSize = 80;
    static constexpr size_t CertificateSize = 8;
    static constexpr size_t ImageSize = RecordSize + CertificateSize;

    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);
    ~CardReader() override;

    // The flag is not used.
    std::shared_ptr<RFID::Card> create(bool flag) override;
    // The ticket holds one usage and one top-up entry: the counts are not used.
    std::shared_ptr<RFID::Card> read(unsigned usageLogs, unsigned topupLogs) override;
    std::shared_ptr<RFID::Card> write(const VariantMap& data) override;

    // The 80-byte record of the map; throws std::out_of_range for a missing key.
    static Bytes serializeData(const VariantMap& data);
    // The 41 keys of the record at the start of image; empty for an image under 80 bytes.
    static VariantMap deserializeData(const Bytes& image);

    bool activateOfflineKey(int channel, int position, int version);
    bool encipherOfflineData(int channel, Bytes& out, const Bytes& in);
    bool generateMac(int channel, Bytes& mac, const Bytes& data);
    bool verifyMac(int channel, const Bytes& data);
    bool generatePassword(const Bytes& uid, uint32_t& pwd, uint16_t& pack);
    bool verifyPassword(uint32_t pwd, uint16_t pack);
    bool generateCert(Bytes& cert, const Bytes& record);
    bool verifyCert(const Bytes& image);

    // Page ranges are half-open: first up to, not including, end.
    bool readPages(int first, int end, Bytes& out) { return m_pages.readPages(first, end, out); }
    // An image shorter than the range is refused with nothing written.
    bool writePages(int first, int end, const Bytes& image) { return m_pages.writePages(first, end, image); }
    bool writeConfig(const Configuration& config);

private:
    // generatePassword, then PWD_AUTH; true at once without a SAM.
    bool authenticate();
    // Sends the password again when this reader had sent it: selecting the card again drops it.
    void reauthenticate();

    std::shared_ptr<NFC::Ultralight> m_ultralight;
    OfflineSam m_offline;
    RFID::UltralightPageIO m_pages;
    bool m_passwordSent = false;
};

}  // namespace KivoLUC
