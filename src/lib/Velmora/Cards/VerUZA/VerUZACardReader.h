// The reader of the VerUZA rail ticket on a MIFARE Ultralight EV1: one 114-byte record in pages
// 4 to 32, a bit-packed data part of 58 bytes sealed by an ECDSA P-224 signature (r, s) made
// elsewhere and verified here with the public key of a key file, behind the chip password that
// the LG transit SAM derives from the UID. Built per detected card by the factory; the manager's
// worker alone calls it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/UltralightEV1CardReader.h"

namespace NFC {
class LGsam;
}

namespace VerUZA {

class CardReader : public RFID::UltralightEV1CardReader
{
public:
    static constexpr size_t RecordSize = 114;
    static constexpr size_t SignedSize = 58;
    static constexpr size_t SealPartSize = 28;
    static constexpr int FirstPage = 4;
    static constexpr int RecordPages = 29;
    static constexpr const char* KeyFileName = "ssb-ec224-pub.b64";

    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);
    ~CardReader() override;

    // Zeroes the record; a blank card (AUTH0 0xFF) also gets its password configuration when an
    // LG SAM is present. The flag is not used.
    std::shared_ptr<RFID::Card> create(bool flag) override;
    // The counts are not used.
    std::shared_ptr<RFID::Card> read(unsigned usageLogs, unsigned topupLogs) override;
    // Writes the record of the map when its seal verifies (or no key is installed, or it is all
    // zero); the card's data becomes the map as handed in.
    std::shared_ptr<RFID::Card> write(const VariantMap& data) override;

    // The 114 record bytes, or empty with the reason recorded under "encodeData".
    Bytes encodeData(const VariantMap& map);
    // Never fails: missing bits read as 0.
    VariantMap decodeData(const Bytes& record) const;

    // True when the seal verifies or the check is skipped (no key file, all-zero record).
    bool verifySignature(const Bytes& record);
    // The key bytes of a file name searched in the key directories (or of a path, read as it is);
    // empty when no file is there. Throws std::invalid_argument when the file is not Base64.
    Bytes readKey(const std::string& name) const;
    // 1 when the LG SAM lists issuer key version 1 ("prod"), otherwise 0 ("test"); never fails.
    uint8_t getIssuerKeyVersion();
    // PWD and PACK from the SAM; without a SAM both are left as the caller set them.
    bool generatePassword(const Bytes& uid, uint32_t& password, uint16_t& pack);
    // Proves the password when the card asks for it from page 4 and a SAM is present.
    bool authenticate();
    bool readCardData(Bytes& record);

    uint8_t issuerKeyVersion() const { return m_issuerKeyVersion; }

    // Where readKey looks, in order; the first file found wins. "~" is a directory name, not the
    // home directory. Tests point it at a temporary directory.
    static std::vector<std::string> keyDirectories();
    static void setKeyDirectories(std::vector<std::string> directories);

private:
    std::shared_ptr<NFC::LGsam> m_lgsam;
    uint8_t m_issuerKeyVersion = 0;
};

}  // namespace VerUZA
