// The reader of the VozeLUCv1 limited-use ticket on a MIFARE Ultralight EV1: the 128-byte page
// image of pages 4 to 35 with its three blocks enciphered by the LG transit SAM, the issuer
// certificate, the chip password from map version 2 on, and the chip's counters #2 and #3 bound
// into the TVALUE and TPASS cryptograms so that a torn write is repaired from TBACKUP at the next
// read. It keeps every page it read or wrote for its life and never rewrites an unchanged one.
// Built per detected card by the factory; the manager's worker alone calls it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/CardReader.h"
#include "Velmora/UltralightEV1CardReader.h"
#include "Velmora/UltralightPageIO.h"
#include "core/DateTime.h"

namespace NFC {
class LGsam;
class Ultralight;
}  // namespace NFC

namespace VozeLUCv1 {

class CardReader : public RFID::CardReader
{
public:
    using Bytes = std::vector<uint8_t>;

    // The chip configuration that create writes (pages 37 to 40).
    using Configuration = RFID::UltralightEV1CardReader::Configuration;

    // What page 4 and the first half of page 5 say about the key set.
    struct IssuerData
    {
        uint8_t issueCenter = 0;
        uint8_t keyVersion = 0;
        uint8_t mapVersion = 0;
        Bytes issueDate;  // the date pair without the holder bit
        Bytes certificate;
    };

    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);
    ~CardReader() override;

    // Writes the issue data, certificate and chip configuration; the flag is not used.
    std::shared_ptr<RFID::Card> create(bool flag) override;
    // The ticket holds one usage and one top-up record: the counts are not used.
    std::shared_ptr<RFID::Card> read(unsigned usageLogs, unsigned topupLogs) override;
    std::shared_ptr<RFID::Card> write(const VariantMap& data) override;

    // The image to write (plain records placed, blocks enciphered), or empty on failure.
    Bytes serializeData(const VariantMap& map);
    VariantMap deserializeData(const Bytes& image) const;

    int counter2() const { return m_counter2; }
    int counter3() const { return m_counter3; }

protected:
    // Every plain record of the map into the image, the transaction type checked: nothing is sent.
    bool serializePlainData(Bytes& image, const VariantMap& map);
    // The three encipherments over an image whose plain records are placed.
    bool encryptData(Bytes& image, const VariantMap& map);

    bool readCounters();
    bool writeCounters();
    bool encryptPassData(Bytes& image, const VariantMap& map);
    bool encryptValueData(Bytes& image, const VariantMap& map);
    bool encryptEncTransData(Bytes& image, const VariantMap& map);
    bool decryptData(Bytes& image);
    bool generatePassword(const Bytes& uid, uint8_t keyVersion, uint32_t& pwd, uint16_t& pack);
    bool verifyPassword(uint32_t pwd, uint16_t pack);
    bool sendPassword(uint8_t keyVersion, uint8_t mapVersion);
    static IssuerData extractIssuerData(const Bytes& image);
    bool verifyIssuerCert(const Bytes& image);
    bool generateIssuerCert(uint8_t keyVersion, const Date& today, Bytes& certificate);
    static Bytes prepareIssuerData(uint8_t keyVersion, const Bytes& certificate, const Date& today);

    // Pages first to last, both included.
    bool readPages(int first, int last, Bytes& out) { return m_pages.readPages(first, last + 1, out); }
    // Pages first to last - 1 from bytes, 4 a page.
    bool writePages(int first, int last, const Bytes& bytes)
    {
        return m_pages.writePages(first, last, bytes);
    }
    bool writeConfig(const Configuration& config);
    // Attaches the SAM's balance record to the error; the empty card, for the failing flow.
    std::shared_ptr<RFID::Card> addSamMetadataToError();

private:
    // One enciphered record and how it is recovered.
    struct Record;
    bool decryptRecord(Bytes& image, const Record& record, uint8_t issueCenter, uint8_t keyVersion,
                       uint8_t mapVersion);
    // True for the LG SAM's success; otherwise failure logged and the SAM's text as the error of
    // operation.
    bool lsamStep(const char* operation, int rc, const char* failure);
    // True when the LG SAM's answer (what: "encrypted TPASS") has the expected length; otherwise
    // the error of operation.
    bool lsamGave(const char* operation, const std::string& what, size_t expected, size_t received);
    // TTRANS_OD enciphered or deciphered in place under the block key; failures under operation.
    bool cipherTrans(Bytes& image, bool encipher, const char* operation);
    // 0, or the chip's error; member follows the chip.
    int incrementCounter(int chipCounter, int& member);
    bool balance(VariantMap& map);
    bool checkTransactionType(uint8_t trt);

    std::shared_ptr<NFC::Ultralight> m_ultralight;
    std::shared_ptr<NFC::LGsam> m_lgsam;
    RFID::UltralightPageIO m_pages;
    int m_counter2 = 0;
    int m_counter3 = 0;
    // Whether m_counter2 and m_counter3 are what the chip holds.
    bool m_countersKnown = false;
    Bytes m_topUpSign;
};

}  // namespace VozeLUCv1
