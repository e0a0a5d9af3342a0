// Command set of a MIFARE DESFire EV2 card: the DESFire command set with AuthenticateEV2First (0x71)
// under an AES key given in clear or held in a MIFARE SAM as an offline key diversified with the
// card's UID, and EV2 secure messaging in MAC mode for data, records, values and transactions: each
// of those commands carries a truncated CMAC over the command counter and the transaction
// identifier, and each answer's MAC is checked. Every command the card ends with success counts, the
// inherited ones too, as on the card. The object owns its session keys, TI and counter; out-parameters
// belong to the caller and are written only on success. Lives in a std::shared_ptr; used on the
// reader's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "NFC/Protocols/DESFire.h"

namespace NFC {

class DESFireEV2 : public DESFire
{
public:
    DESFireEV2(std::shared_ptr<ISO14443> link, const Bytes& uid, const Bytes& ats);
    ~DESFireEV2() override;

    // With a 16-byte AES key in clear; any other key length is refused unsent (0xFFFF).
    Error authenticateEV2First(uint8_t keyNo, const Bytes& key);
    // With the SAM's offline key samKeyNo, version 0, diversified with the card's UID; the same SAM
    // derives the session keys. Without a SAM nothing is sent (0xFFFF).
    Error authenticateEV2First(uint8_t keyNo, uint8_t samKeyNo, std::shared_ptr<MifareSAM> sam);
    // The two card exchanges: the card's 16-byte enciphered RndB, then its 32-byte answer.
    Error authenticateEV2FirstPart1(uint8_t keyNo, Bytes& encRndB);
    Error authenticateEV2FirstPart2(const Bytes& token, Bytes& encAnswer);

    // The 32-byte session vectors SV2 (MAC key) and SV1 (encryption key) of two 16-byte randoms;
    // empty when either is shorter.
    static Bytes sessionVectorMac(const Bytes& rndA, const Bytes& rndB);
    static Bytes sessionVectorEnc(const Bytes& rndA, const Bytes& rndB);
    // Session keys as the card derives them: CMAC of the session vector under the key that
    // authenticated. Empty when that is not a 16-byte key or the randoms are short.
    static Bytes generateSessionKeyMac(const Bytes& rndA, const Bytes& rndB, const Bytes& key);
    static Bytes generateSessionKeyEnc(const Bytes& rndA, const Bytes& rndB, const Bytes& key);

    // 8-byte MACs under the session MAC key over cmd || counter || TI || the command's fields
    // (numbers least significant byte first), and over status || counter || TI || data.
    Bytes generateRequestMAC(uint8_t cmd) const;
    Bytes generateRequestMAC(uint8_t cmd, uint8_t fileNo) const;
    Bytes generateRequestMAC(uint8_t cmd, uint8_t fileNo, uint32_t offset, uint32_t length,
                             const Bytes& data) const;
    Bytes generateResponseMAC(uint8_t status, const Bytes& data) const;

    // cmd fileNo offset(3) length(3) data, with the request MAC when MACed and authenticated.
    Bytes encodeRequest(FileCommSet commSet, uint8_t cmd, uint8_t fileNo, uint32_t offset, uint32_t length,
                        const Bytes& data) const;
    // Counts the command, then for a MACed answer in an authenticated session checks the MAC that
    // ends the answer's data: 0xFFFE when there is no room for one, 0xFFFB when it differs.
    Error decodeResponse(FileCommSet commSet, const Bytes& answer);
    Error decodeResponse(FileCommSet commSet, const Bytes& answer, Bytes& out);

    // Always in MAC mode, whatever the secure-messaging arguments say.
    Error readData(uint8_t fileNo, uint32_t offset, uint32_t length, Bytes& out, bool enciphered) override;
    Error writeData(uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher, bool withMac,
                    const Bytes& givenMac) override;
    Error writeRecord(uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher,
                      bool withMac) override;
    Error readRecords(uint8_t fileNo, uint32_t offset, uint32_t count, uint32_t length, Bytes& out,
                      bool enciphered) override;
    // In a session, MAC mode when secure messaging is asked for (limitedCredit: always), as the card
    // wants it for a MACed value file; otherwise the plain commands of the base.
    Error getValue(uint8_t fileNo, uint32_t& value, bool enciphered) override;
    Error credit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac, bool reloadMac,
                 const Bytes& givenMac) override;
    Error debit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac, bool reloadMac,
                const Bytes& givenMac) override;
    Error limitedCredit(uint8_t fileNo, uint32_t amount) override;
    Error clearRecordFile(uint8_t fileNo) override;
    Error commitTransaction() override;
    Error abortTransaction() override;

    bool authenticatedEV2() const { return m_authenticated; }
    uint16_t commandCounter() const { return m_cmdCtr; }
    const Bytes& transactionIdentifier() const { return m_ti; }

protected:
    // The host's random RndA; tests replace it to replay a published exchange.
    virtual Bytes challenge(unsigned n);

    Bytes m_sessionKeyMac;
    Bytes m_sessionKeyEnc;  // derived and kept; nothing here enciphers with it
    Bytes m_ti;
    uint16_t m_cmdCtr = 0;
    bool m_authenticated = false;

    // The card counts every command it ends with success, inherited ones included.
    void commandCompleted() override;

private:
    // The card's plain answer TI || RndA' || PDcap2 || PCDcap2 checked against RndA; on a match the
    // session keys come from derive and, only if both come, the new session replaces the old one.
    template <class Derive>
    Error finishEV2First(const Bytes& rndA, const Bytes& rndB, const Bytes& plain, Derive derive);
    // decodeResponse without the count: the exchange has counted the command already.
    Error checkAnswer(FileCommSet commSet, const Bytes& answer, Bytes& out) const;
    // A single-frame MAC-mode command: cmd, its fields, and the request MAC in a session; the answer's
    // data without its MAC go to out when given.
    Error macedCommand(uint8_t cmd, const Bytes& fields, Bytes* out = nullptr);
    Error valueChange(uint8_t cmd, uint8_t fileNo, uint32_t amount);
    Error readMaced(uint8_t cmd, uint8_t fileNo, uint32_t offset, uint32_t count, Bytes& out);
    Error writeMaced(uint8_t cmd, uint8_t fileNo, uint32_t offset, const Bytes& data);
    // MACt under the session MAC key of first || counter || TI || fields.
    Bytes sessionMAC(uint8_t first, const Bytes& fields) const;
};

}  // namespace NFC
