// Command set of a MIFARE SAM AV2/AV3 in one contact slot: key entries and usage counters, host
// authentication and lock/unlock, card authentication on the host's behalf, MAC and ciphering under
// the SAM's card session, offline keys. Every operation is one or more ISO 7816-4 APDUs over the
// slot's link and returns 0, the SAM's status word or an internal 0xFF0x code; out-parameters are
// written only on success. Every SAM operation is virtual so that a remote SAM can stand in for a
// local one. Lives in a std::shared_ptr; used on the reader's thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NFC/SAM.h"

namespace NFC {

class MifareSAM : public SAM
{
public:
    using Bytes = std::vector<uint8_t>;
    using ErrorCode = int;

    enum : ErrorCode
    {
        Success = 0,
        WrongLength = 0x6700,
        IncorrectParameters = 0x6A80,
        TransmitFailed = 0xFF01,
        WrongResponseSize = 0xFF02,
        IccNotPresent = 0xFF03,
        PowerFailed = 0xFF04,
        PpsFailed = 0xFF05,
        CommSettingsFailed = 0xFF06,
        UnexpectedAtr = 0xFF07,
        RndAMismatch = 0xFF08,
    };

    struct KeyEntry
    {
        uint8_t verA = 0;
        uint8_t verB = 0;
        uint8_t verC = 0;
        uint32_t dfAID = 0;  // 24 bits used
        uint8_t dfKeyNo = 0;
        uint8_t keyNoCEK = 0;
        uint8_t keyVCEK = 0;
        uint8_t refNoKUC = 0;
        uint16_t SET = 0;    // bits 11-13: key type
        uint8_t extSET = 0;  // bits 0-2: key class
        Bytes keyA;
        Bytes keyB;
        Bytes keyC;

        std::string keyType() const;
        std::string keyClass() const;
    };

    struct KUCEntry
    {
        uint32_t limit = 0;
        uint8_t keyNoCKUC = 0;
        uint8_t keyVCKUC = 0;
        uint32_t curVal = 0;
    };

    struct Version
    {
        uint8_t hwVendor = 0, hwType = 0, hwSubtype = 0, hwMajor = 0, hwMinor = 0, hwStorage = 0,
                hwProtocol = 0;
        uint8_t swVendor = 0, swType = 0, swSubtype = 0, swMajor = 0, swMinor = 0, swStorage = 0,
                swProtocol = 0;
        Bytes uid;    // 7 bytes
        Bytes batch;  // 5 bytes
        // Answer bytes 26-30 in order: production data, then the mode byte.
        uint8_t production1 = 0, production2 = 0, production3 = 0, production4 = 0, mode = 0;
    };

    static const Bytes ExpectedATR_AV2;
    static const Bytes ExpectedATR_AV3;

    MifareSAM(std::shared_ptr<ISO7816> link, const Bytes& atr);

    // Asks for the version, through the virtual getVersion so that a remote SAM answers it.
    bool check() override;
    bool setDefaultPPS() override;

    virtual bool unlocked() const;
    virtual ErrorCode getKeyEntry(int keyNo, KeyEntry& entry);
    virtual ErrorCode getKUCEntry(int refNo, KUCEntry& entry);
    // Keys must be 16 bytes each: anything else is refused (0x6700) before it reaches the SAM.
    virtual ErrorCode changeKeyEntry(int keyNo, const KeyEntry& entry);
    virtual ErrorCode changeKeyEntryAV1Mode(int keyNo, const KeyEntry& entry, const Bytes& sessionKey);
    virtual ErrorCode getVersion(Version& version);
    virtual ErrorCode getRandom(int& value);
    virtual ErrorCode lockUnlock(const Bytes& key, uint8_t keyNo, uint8_t keyVer, bool activate, bool lock);
    virtual ErrorCode authenticateHost(const Bytes& key, uint8_t keyNo, uint8_t keyVer);
    virtual ErrorCode authenticateHostAV1mode(const Bytes& key, uint8_t keyNo, uint8_t keyVer,
                                              Bytes& sessionKey);
    virtual ErrorCode activateOfflineKey(uint8_t keyNo, uint8_t keyVer, const Bytes& divInput);
    virtual ErrorCode loadInitVector(const Bytes& iv);
    virtual ErrorCode killAuthentication();
    virtual ErrorCode authenticatePICCPart1(uint8_t keyNo, uint8_t authMode, const Bytes& encRndB,
                                            const Bytes& divInput, Bytes& out, uint8_t keyVer);
    virtual ErrorCode authenticatePICCPart2(const Bytes& encRndA);
    virtual ErrorCode generateMAC(const Bytes& data, Bytes& mac, uint8_t size);
    virtual ErrorCode verifyMAC(const Bytes& dataAndMac, uint8_t size);
    virtual ErrorCode decipherData(const Bytes& cipher, Bytes& plain, unsigned plainSize);
    virtual ErrorCode encipherData(const Bytes& plain, Bytes& cipher, int offset);
    virtual ErrorCode decipherOfflineData(const Bytes& cipher, Bytes& plain);
    virtual ErrorCode encipherOfflineData(const Bytes& plain, Bytes& cipher);
    virtual ErrorCode changeKeyPICC(uint8_t keyCompMethod, uint8_t desKeyNum, bool isMasterKey,
                                    uint8_t keyNumCur, uint8_t keyVerCur, uint8_t keyNumNew,
                                    uint8_t keyVerNew, const Bytes& divInput, Bytes& out);
    virtual ErrorCode changeKUCEntry(int refNo, const KUCEntry& entry);
    virtual ErrorCode changeKUCEntry(int refNo, const Bytes& crypto);

    static std::string errorToStr(ErrorCode code);
    // The code-to-text table; other SAM classes start from it and change what differs.
    static const std::map<int, std::string>& errorTable();

    // AES-CMAC of the message zero-padded to 16 bytes, odd bytes kept. Empty for a message longer
    // than 16 bytes or a key the CMAC refuses.
    static Bytes MACt(const Bytes& message, const Bytes& key);
    static Bytes generateSessionKey(const Bytes& key, const Bytes& rndA, const Bytes& rndB);
    static Bytes generateSessionKeyAV1mode(const Bytes& key, const Bytes& rndA, const Bytes& rndB);
    static Bytes calculateEncHost(const Bytes& sessionKey, const Bytes& encRndB, const Bytes& rndA2);
    static Bytes calculateRndA(const Bytes& sessionKey, const Bytes& encRndA);
    static void rotateLeft(Bytes& v, unsigned n);
    static void rotateRight(Bytes& v, unsigned n);
    static bool isSingleDESKey(const Bytes& key);

protected:
    // One APDU with the class byte of this SAM's channel. A failed exchange gives 0xFF01; data longer
    // than a short APDU carries gives 0x6700 and nothing is sent. Otherwise 0 and the status word.
    [[nodiscard]] ErrorCode transmit(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data, bool hasLe,
                                     Bytes* response, int& sw, uint16_t le = 0);
    // The same, with a status word other than 0x9000 returned as the result.
    [[nodiscard]] ErrorCode command(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data, bool hasLe,
                                    Bytes* response);

    ErrorCode authenticateHostPart2(const Bytes& key, const Bytes& rndB, Bytes& rndA, Bytes& encRndB);
    ErrorCode authenticateHostPart2AV1mode(const Bytes& key, const Bytes& encRndB, Bytes& sessionKey);
    ErrorCode lockUnlockPart2(const Bytes& key, const Bytes& macInput, Bytes& rndA, Bytes& encRndB);

    bool m_unlocked = false;

private:
    // The three passes shared by lockUnlock (0x10) and authenticateHost (0xA4).
    ErrorCode hostAuthentication(uint8_t ins, uint8_t p1, const Bytes& firstData, const Bytes& macSuffix,
                                 const Bytes& key);
    ErrorCode finishHostAuthentication(uint8_t ins, const Bytes& key, const Bytes& rndA, const Bytes& rndB,
                                       const Bytes& encRndB);
    ErrorCode secondPass(uint8_t ins, const Bytes& key, const Bytes& macInput, Bytes& rndA, Bytes& encRndB);
    // Sends data in frames of at most frameSize bytes, 0xAF in P1 while more follows; p2 goes on the
    // last frame only unless p2OnEvery. Answers are joined, or the last one kept.
    ErrorCode chained(uint8_t ins, const Bytes& data, size_t frameSize, uint8_t p2, bool p2OnEvery,
                      bool leOnLast, bool leOnEvery, Bytes* joined, Bytes* last);
};

}  // namespace NFC
