// The LG transit SAM ("LSAM") in one contact slot: T=0 commands for card authentication and
// reload sessions, MACs, Tpass/Tvalue record encryption, certificates, the SAM's own value
// reload and its key sets and parameters. The object holds only the link (shared with the
// driver) and the unlocked flag; records are the caller's. Used on the reader's thread only.
// Every operation is virtual so that remote SAMs can stand in for a local one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/SAM.h"
#include "NFC/T0.h"

namespace NFC {

class LGsam : public SAM
{
public:
    using Bytes = std::vector<uint8_t>;
    // 0, a status word of the SAM, or one of the internal codes below.
    using ErrorCode = int;

    enum : ErrorCode
    {
        Success = 0,
        WrongLength = 0x6700,
        BadParameter = 0x6A86,
        TransmitFailed = 0xFF01,
        WrongAnswerSize = 0xFF02,
    };

    // Answer of SELECT (81 bytes a[0..80]); a[0..3] and a[61..70] are not kept.
    struct SAMinfo
    {
        std::array<uint8_t, 4> status{};                 // a[4..7]
        std::array<uint8_t, 8> samId{};                  // a[8..15]
        std::array<std::array<uint8_t, 4>, 13> words{};  // a[16], a[20], a[25], a[29] .. a[57], a[72], a[76]
        std::array<uint8_t, 3> flags{};                  // a[24], a[71], a[80]
        Bytes aid;                                       // from GET DATA 02 01
    };

    struct Version
    {
        std::array<uint8_t, 2> data{};  // GET DATA 02 00
        Bytes samId;                    // SAMinfo a[8..15]
        uint8_t major = 0;              // a[19] as "%X" text read back
        uint8_t minor = 0;              // a[18] likewise
        uint8_t release = 0;            // a[16..17] as hex text read back, plus 0x30
        std::string aid;                // hexadecimal text
        Bytes status;                   // a[7]
        Bytes flag;                     // a[24]
    };

    struct SAMbalanceData
    {
        uint32_t samTransSN = 0;
        uint32_t valueBal = 0;
        uint32_t countBal = 0;
        uint32_t daysBal = 0;
        uint32_t minutesBal = 0;
    };

    // 23 bytes on the wire.
    struct SindRequest
    {
        uint8_t idCenter = 0;
        uint8_t vkset = 0;
        uint8_t trt = 0;
        Bytes idEp;  // 8 bytes
        uint32_t ntEp = 0;
        uint32_t mDa = 0;
        uint32_t balEp = 0;
    };

    // 44 bytes on the wire.
    struct SindResponse
    {
        uint8_t idCenter = 0;
        uint8_t vkset = 0;
        uint8_t trt = 0;
        Bytes idEp;
        uint32_t ntEp = 0;
        uint32_t mDa = 0;
        uint32_t balEp = 0;
        Bytes idSam;
        uint32_t ntSam = 0;
        uint32_t balSam = 0;
        uint32_t sind = 0;
        uint8_t alg = 0;
    };

    // 39 bytes on the wire; the byte strings go as stored and must have their sizes.
    struct SAMreloadReq
    {
        uint32_t valueBal = 0;
        uint32_t countBal = 0;
        uint32_t daysBal = 0;
        uint32_t minutesBal = 0;
        uint32_t hostTransSN = 0;
        Bytes date;        // 7 bytes
        Bytes sign2;       // 4 bytes
        Bytes hostRandom;  // 8 bytes
    };

    // 67 bytes on the wire.
    struct SAMreloadResp
    {
        uint8_t transType = 0;
        uint8_t transSubType = 0;
        Bytes samId;
        uint32_t samTransSN = 0;
        uint32_t hostTransSN = 0;
        uint32_t transValueBal = 0;
        uint32_t transCountBal = 0;
        uint32_t transDaysBal = 0;
        uint32_t transMinutesBal = 0;
        uint32_t valueBal = 0;
        uint32_t countBal = 0;
        uint32_t daysBal = 0;
        uint32_t minutesBal = 0;
        Bytes date;
        uint8_t keyVer = 0;
        uint8_t algoId = 0;
        Bytes signInd;
        Bytes sign3;
    };

    // 115 bytes on the wire: the SAM's state, then the record of its last load.
    struct SAMinitReloadData
    {
        uint8_t loadType = 0;  // a[0]
        uint8_t issuerId = 0;  // a[1]
        uint8_t keyVer = 0;    // a[2]
        Bytes samId;           // a[3..10]
        uint32_t samTransSN = 0;
        uint32_t valueBal = 0;
        uint32_t valueMaxBal = 0;
        uint32_t countBal = 0;
        uint32_t countMaxBal = 0;
        uint32_t daysBal = 0;
        uint32_t daysMaxBal = 0;
        uint32_t minutesBal = 0;
        uint32_t minutesMaxBal = 0;
        uint8_t algoId = 0;        // a[47]
        Bytes sign1;               // a[48..51]
        uint8_t transType = 0;     // a[52]
        uint8_t transSubType = 0;  // a[53]
        uint32_t hostTransSN = 0;  // a[54..57], the last load from here to a[93]
        uint32_t lastSamTransSN = 0;
        uint32_t transValueBal = 0;
        uint32_t transCountBal = 0;
        uint32_t transDaysBal = 0;
        uint32_t transMinutesBal = 0;
        uint32_t lastValueBal = 0;
        uint32_t lastCountBal = 0;
        uint32_t lastDaysBal = 0;
        uint32_t lastMinutesBal = 0;
        Bytes date;              // a[94..100]
        uint8_t lastKeyVer = 0;  // a[101]
        uint8_t lastAlgoId = 0;  // a[102]
        Bytes lastSign;          // a[103..106]
        Bytes random;            // a[107..114]
    };

    // Answer of initializeSAM: 28, 29 or 33 bytes by algorithm; fields an answer does not carry
    // keep their values.
    struct SAMinitData
    {
        uint8_t algoId = 0;
        uint8_t issuerId = 0;
        uint8_t keyVer = 0;
        uint8_t keyType = 0;  // algorithms 3 to 6 only
        uint8_t samType = 0;
        Bytes samId;  // 8 bytes
        Bytes sign1;  // 4 bytes
        uint32_t transSeq = 0;
        Bytes randomNum;          // 8 bytes
        uint8_t extraType = 0;    // algorithm 10 only
        uint32_t extraValue = 0;  // algorithm 10 only
    };

    static const Bytes ExpectedATR;

    LGsam(std::shared_ptr<ISO7816> link, const Bytes& atr);

    bool check() override;
    bool setDefaultPPS() override;

    virtual bool unlocked() const;
    virtual ErrorCode selectFile(SAMinfo& info);
    virtual ErrorCode getVersion(Version& version);
    virtual ErrorCode getIssuerKeyVersion(Bytes& out);
    virtual ErrorCode getHostSN(Bytes& out);
    virtual ErrorCode authenticatePICCPart1(uint8_t key, const Bytes& rndB, const Bytes& divInput,
                                            uint8_t IDcenter, uint8_t VKSETissuer, Bytes& out);
    virtual ErrorCode authenticatePICCPart2(const Bytes& encRndA);
    virtual ErrorCode initSAMforCardReload(uint8_t key, const Bytes& rndB, const Bytes& divInput,
                                           uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt, Bytes& out);
    virtual ErrorCode debitSAMforCardReload(uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt,
                                            const Bytes& divInput, const Bytes& transCnt,
                                            const Bytes& balanceOrPriceAmt, const Bytes& encRndAI,
                                            const Bytes& nativeCMD, Bytes& out);
    virtual ErrorCode verifyMAC(const Bytes& data);
    virtual ErrorCode generateMACforReload(const Bytes& data, Bytes& mac);
    virtual ErrorCode generateMAC(const Bytes& data, Bytes& mac);
    virtual ErrorCode getSind(const SindRequest& request, SindResponse& response);
    virtual ErrorCode checkIssueCertUL48(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                         const Bytes& uid, const Bytes& issueDate, const Bytes& issueCert);
    virtual ErrorCode encryptDecryptData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                         const Bytes& IDep, bool encrypt, const Bytes& encDecData,
                                         Bytes& out);
    virtual ErrorCode generateIssuerCert(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                         const Bytes& data, Bytes& out);
    virtual ErrorCode encryptTpassData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt,
                                       const Bytes& uid, const Bytes& counter, const Bytes& plainData,
                                       Bytes& out);
    virtual ErrorCode decryptTpassData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer, const Bytes& uid,
                                       const Bytes& counter, const Bytes& encData, Bytes& out);
    virtual ErrorCode encryptTvalueData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt,
                                        const Bytes& uid, const Bytes& passPrice, const Bytes& remainValue,
                                        const Bytes& plainData, Bytes& out);
    virtual ErrorCode decryptTvalueData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                        const Bytes& uid, const Bytes& counter, const Bytes& encData,
                                        Bytes& out);
    // Framed as the MIFARE SAM frames them; what earlier frames brought stays in the output when a
    // later frame fails.
    virtual ErrorCode decipherData(const Bytes& cipher, Bytes& plain, unsigned plainSize);
    virtual ErrorCode encipherData(const Bytes& plain, Bytes& cipher, int offset);
    virtual ErrorCode initializeSAM(uint8_t algo, SAMinitData& data);
    // keyData is cut into keyNum equal shares, one command each; keyNum 0 sends nothing.
    virtual ErrorCode addUpdateKeySet(bool add, bool withCounter, uint8_t keySet, const Bytes& samId,
                                      uint8_t attr1, uint8_t attr2, uint8_t attr3, uint8_t attr4,
                                      uint8_t keyNum, const Bytes& keyData, Bytes& out);
    virtual ErrorCode updateParameter(const Bytes& header, uint8_t kind, const Bytes& param1,
                                      const Bytes& param2, const Bytes& param3, const Bytes& param4,
                                      const Bytes& param5, Bytes& out);
    virtual ErrorCode initReloadSAM(bool load, uint8_t p1, SAMinitReloadData& data);
    virtual ErrorCode reloadSAM(bool load, uint8_t p2, const SAMreloadReq& request, SAMreloadResp& response);
    virtual ErrorCode updateIssuer(const Bytes& issuer, uint8_t kind, const Bytes& data, Bytes& out);
    virtual ErrorCode onlineAuth(const Bytes& first, const Bytes& second, const Bytes& third, Bytes& out);
    // The first failure ends it; balances read before it keep their new values.
    virtual ErrorCode getSAMbalance(SAMbalanceData& data);

    static std::string errorToStr(ErrorCode code);

private:
    ErrorCode codeOf(const T0::Result& result) const;
    ErrorCode receive(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, size_t length, Bytes& answer);
    ErrorCode send(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data);
    ErrorCode sendAndFetch(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                           size_t minLength, size_t maxLength, Bytes& answer);
    ErrorCode cardSession(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& rndB, const Bytes& divInput,
                          uint8_t IDcenter, uint8_t VKSETissuer, Bytes& out);
    ErrorCode framed(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& frame, Bytes& out);
    // Tpass and Tvalue records come back through the same 29-byte command, told apart by ins.
    ErrorCode decryptRecord(uint8_t ins, uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                            const Bytes& uid, const Bytes& counter, const Bytes& encData, Bytes& out);

    bool m_unlocked = false;
};

}  // namespace NFC
