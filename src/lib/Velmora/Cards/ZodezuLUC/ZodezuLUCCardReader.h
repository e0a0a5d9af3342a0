// The layout reader of the ZodezuLUC ticket on Ultralight C: a block-status word, an information
// record with its own MAC, a selector page and two MACed copies of the contract, so that a write
// torn in the copy pages leaves the old copy readable. Card keys are derived, and MACs made and
// checked, by the MIFARE SAMs in slots 0 and 1; without SAMs the card stays under the chip's
// default key with zero MACs. The second generation (ZodezuLUCv2) shares this class through its
// format record. One object serves one detected card on the manager's worker thread; it holds
// the SAMs shared with the SAM management, which uses them on the same thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/UltralightCCardReader.h"

namespace NFC {
class MifareSAM;
}

namespace ZodezuLUC {

class CardReader : public RFID::UltralightCCardReader
{
public:
    // The card image as read, or as built for a write; the encoder fills only blockStatus,
    // cardInfo and layoutData.
    struct CardData
    {
        Bytes blockStatus;
        Bytes cardInfo;
        Bytes cardInfoMac;
        Bytes layoutSelector;
        Bytes layoutAMac;
        Bytes layoutBMac;
        Bytes layoutData;
    };

    // What tells the generations apart.
    struct Format
    {
        const char* name;
        size_t infoSize;          // information record bytes, from byte 4 of page 4 on
        size_t selectorByte;      // the byte of page 13 whose bit 0 names copy B
        const char* contractKey;  // the copy record's first key
        bool riderType;           // information offset 26 carries "info/riderType"
        uint8_t lockMark;         // lock byte 0 after a creation with SAMs; 0 for none
    };

    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);
    ~CardReader() override;

    std::shared_ptr<RFID::Card> create(bool flag) override;
    std::shared_ptr<RFID::Card> read(unsigned usageLogs, unsigned topupLogs) override;
    std::shared_ptr<RFID::Card> write(const VariantMap& data) override;
    void resetCardState() override;

    VariantMap decodeCardData(const CardData& data) const;
    // Throws std::out_of_range ("Key not found: <key>") for a missing key, and what the hex codec
    // throws for an electronic id that is not exactly 14 hex digits.
    CardData encodeCardData(const VariantMap& map) const;

    std::shared_ptr<NFC::MifareSAM> getSam(int slot) const;
    // Through the SAM in slot 0 with the UID-diversified card key, else with the default key;
    // sends nothing once done until resetCardState.
    bool authenticate();
    // The card key through the SAM in slot 1, inserted at the front of key (callers pass it empty).
    bool generateAuthKey(Bytes& key);
    bool generateSignature(Bytes& mac, const Bytes& data);
    bool verifySignature(const Bytes& mac, const Bytes& data);

    // CMAC subkeys for a 64-bit block; an empty L throws std::out_of_range.
    static void generateSubKeys(const Bytes& L, Bytes& K1, Bytes& K2);
    static Bytes leftShiftOneBit(const Bytes& v);
    static Bytes XOR(const uint8_t* a, const uint8_t* b, size_t n);

    bool readCardData(CardData& data);
    bool writeCardData(const CardData& data);
    bool writeDefaultData();

protected:
    CardReader(const Format& format, std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);

    // The card key, AUTH0 5 / AUTH1 0 and the lock-byte mark; true with nothing written when
    // there are no SAMs.
    bool writeDefaultConfig();

    const Format& m_format;
    unsigned m_layoutB = 0;
    // Whether m_layoutB is what the card holds: not after a write or create that failed on its way.
    bool m_layoutKnown = false;
    bool m_authenticated = false;
    std::vector<std::shared_ptr<NFC::MifareSAM>> m_sams;

private:
    // Page 13 again, with both copies' MACs in the same READ: which copy the card now selects.
    bool readSelector();
    // After a failure once a page went out: the selector is read again before the next write.
    bool forgetLayout();
    // The selector page that names copy B (or A).
    Bytes selector(bool copyB) const;
    // Block status, information record, its MAC and zero padding: pages 4 to 12.
    Bytes head(const CardData& data) const;
    // The copy MAC input: pages 4 to 12, the selector page, the copy.
    static Bytes copyMacInput(const Bytes& head, const Bytes& selector, const Bytes& copy);
    // The information MAC input: the record with zeros to 28 bytes.
    static Bytes infoMacInput(const Bytes& info);
    bool defaultKeyAuthentication();
};

}  // namespace ZodezuLUC
