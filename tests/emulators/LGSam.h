// An emulated LG transit SAM for a reader emulator's contact slot, computing its answers on
// OpenSSL (CardCrypto) with a cipher and keys of its own: it speaks T=0 and hands every outgoing
// command's answer out behind 0x61xx to the GET RESPONSE that asks for exactly that length, as the
// scripted LGSamResponder does. Runs on the reader emulator's thread; every public call is
// thread-safe.
//
// The model's cryptography (the real SAM's is its own; callers rely only on lengths and status):
// every operation keys AES-128 with a key derived from a master key, a purpose byte, the key id
// (P1 or the key-id byte), the issue centre and the key set, then per card from the UID (7 bytes)
// or the 8-byte diversification input.
// - Tpass: block = E(plain 12 || counter 4); deciphering with another counter gives 0x9159.
// - Tvalue: block = E(plain 12 || CMAC(plain) 4), enciphered without a counter; deciphering checks
//   the CMAC and that the plain bytes 8 to 10 (the record's counter) are the counter given, else
//   0x915A. Enciphering takes the amount off the value balance (0x910C when it is short); every
//   Tpass and Tvalue encipherment counts one SAM transaction.
// - encryptDecryptData: whole blocks are enciphered or deciphered; any other input to encipher
//   (the password form) gives passwordLength() bytes derived from it.
// - Issuer certificates: the first two bytes of a CMAC over UID and issue-date pair; a wrong one
//   gives 0x9131.
#pragma once

#include <deque>
#include <mutex>
#include <optional>

#include "emulators/SlotCard.h"

namespace emulators {

class LGSam : public SlotCard
{
public:
    static constexpr int AnyCommand = -1;

    struct Balance
    {
        uint32_t samTransSN = 0;
        uint32_t valueBal = 1000000;
        uint32_t countBal = 1000;
        uint32_t daysBal = 365;
        uint32_t minutesBal = 100000;
    };

    explicit LGSam(const Bytes& masterKey = Bytes(16, 0x4C));

    // The answer of the issuer key version query (1 or 2 bytes in the field).
    void setIssuerKeyVersions(const Bytes& versions);
    void setBalance(const Balance& balance);
    Balance balance() const;
    // Length of the password-form answer of encryptDecryptData (8 by default).
    void setPasswordLength(size_t length);
    size_t passwordLength() const;

    // Knobs, each for the next command with that INS (AnyCommand: the next of all, GET RESPONSE
    // aside) once skip such commands have passed. refuseNext: the command is not run and answers
    // sw. resizeNext: the command runs and its answer comes delta bytes shorter (negative) or
    // longer (filled with 0xEE).
    void refuseNext(uint16_t sw, int ins = AnyCommand, int skip = 0);
    void resizeNext(int delta, int ins = AnyCommand, int skip = 0);

    // What the SAM derives in the password form for the diversification input (test set-up).
    Bytes passwordAnswer(uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& input) const;
    // The issuer certificate the SAM makes and accepts (test and tool set-up).
    Bytes issuerCertificate(uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& uid,
                            const Bytes& datePair) const;
    // The top-up signature of the last Tvalue encipherment (empty before the first).
    Bytes lastTopUpSignature() const;

    // Every TPDU received (header, then data), GET RESPONSE included, in order; the first 10000
    // since the last clear.
    std::vector<Bytes> commands() const;
    void clearCommands();

    std::optional<Bytes> powerOn() override;
    void powerOff() override;
    // This SAM speaks T=0 only; an APDU gets no answer.
    std::optional<Response> apdu(const Apdu& command) override;
    std::optional<Response> tpdu(const Bytes& header, const Bytes& data) override;

private:
    struct Knob
    {
        bool refuse;
        int value;
        int ins;
        int skip;
    };

    Response run(const Bytes& header, const Bytes& data);
    Response out(Bytes answer);
    Bytes derived(const Bytes& key, const Bytes& payload) const;
    Bytes cardKey(uint8_t purpose, uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& uid) const;
    Response encryptTpass(uint8_t keyId, const Bytes& data);
    Response decryptTpass(uint8_t keyId, const Bytes& data);
    Response encryptTvalue(uint8_t keyId, const Bytes& data);
    Response decryptTvalue(uint8_t keyId, const Bytes& data);
    Response encryptDecrypt(uint8_t keyId, bool encrypt, const Bytes& data);
    Response checkCertificate(uint8_t keyId, const Bytes& data);
    Response generateCertificate(const Bytes& data);
    Response balanceField(uint8_t n);
    Bytes certificate(uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& uid,
                      const Bytes& date) const;

    mutable std::mutex m_mutex;
    const Bytes m_master;
    bool m_powered = false;
    Bytes m_versions = {0x01};
    Balance m_balance;
    size_t m_passwordLength = 8;
    Bytes m_topUpSign;
    std::deque<Knob> m_knobs;
    int m_resize = 0;  // for the answer being made
    Bytes m_waiting;   // behind the last 0x61xx
    bool m_hasWaiting = false;
    std::vector<Bytes> m_commands;
};

}  // namespace emulators
