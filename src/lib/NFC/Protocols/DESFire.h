// Command set of a MIFARE DESFire EV1 card in the reader's field: native commands framed with the
// card's additional frames both ways, authentication through an attached MIFARE SAM or LG SAM or
// with a 2K3DES key in clear, applications, files, keys, data, values and records, with secure
// messaging through the SAM. Every operation returns the card's status byte or one of the internal
// codes 0xFFFA-0xFFFF. The object owns only its session key and SAM pointers (shared with their other
// holders); out-parameters belong to the caller. Lives in a std::shared_ptr; used on the reader's
// thread only.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Tag.h"

namespace NFC {

class MifareSAM;
class LGsam;

class DESFire : public Tag
{
public:
    using Bytes = std::vector<uint8_t>;
    // An unsigned 16-bit value: 0, the card's status byte or an internal code.
    using Error = int;

    enum : Error
    {
        OperationOK = 0x00,
        NoChanges = 0x0C,
        OutOfEeprom = 0x0E,
        IllegalCommand = 0x1C,
        IntegrityError = 0x1E,
        NoSuchKey = 0x40,
        LengthError = 0x7E,
        PermissionDenied = 0x9D,
        ParameterError = 0x9E,
        ApplicationNotFound = 0xA0,
        ApplicationIntegrityError = 0xA1,
        AuthenticationError = 0xAE,
        AdditionalFrame = 0xAF,
        BoundaryError = 0xBE,
        PiccIntegrityError = 0xC1,
        CommandAborted = 0xCA,
        PiccDisabled = 0xCD,
        CountError = 0xCE,
        DuplicateError = 0xDE,
        EepromError = 0xEE,
        FileNotFound = 0xF0,
        FileIntegrityError = 0xF1,
        RndAMismatch = 0xFFFA,
        MacMismatch = 0xFFFB,
        SamFailure = 0xFFFC,
        Timeout = 0xFFFD,
        InvalidResponseSize = 0xFFFE,
        UnknownError = 0xFFFF,
    };

    // The file communication-setting byte, sent and stored as given.
    enum FileCommSet : uint8_t
    {
        Plain = 0x00,
        MACed = 0x01,
        Enciphered = 0x03,
    };

    struct Version
    {
        uint8_t hwVendorID = 0, hwType = 0, hwSubtype = 0, hwMajorVersion = 0, hwMinorVersion = 0,
                hwStorageSize = 0, hwProtocol = 0;
        uint8_t swVendorID = 0, swType = 0, swSubtype = 0, swMajorVersion = 0, swMinorVersion = 0,
                swStorageSize = 0, swProtocol = 0;
        Bytes uid;      // 7 bytes
        Bytes batchNo;  // 5 bytes
        uint8_t productionWeek = 0;
        uint8_t productionYear = 0;

        std::string toString() const;
    };

    struct FileSettings
    {
        uint32_t fileType = 0;  // 0 standard, 1 backup, 2 value, 3 linear record, 4 cyclic record
        uint32_t communication = 0;
        uint16_t accessRights = 0;
        uint32_t p1 = 0;  // file size, lower limit or record size
        uint32_t p2 = 0;  // upper limit or maximum records
        uint32_t p3 = 0;  // limited-credit value or current records
        bool limitedCreditEnabled = false;
    };

    struct KeySettings1
    {
        bool allowChangeMasterKey = false;
        bool freeDirectoryList = false;
        bool freeCreateDelete = false;
        bool configurationChangeable = false;
        uint8_t changeKeyAccessRights = 0;

        uint8_t pack() const;
        static KeySettings1 unpack(uint8_t byte);
    };

    struct KeySettings2
    {
        uint8_t numberOfKeys = 0;  // as the card gives it: key count in the low nibble
    };

    DESFire(std::shared_ptr<ISO14443> link, const Bytes& uid, const Bytes& ats);
    ~DESFire() override;

    void assignMifareSAM(std::shared_ptr<MifareSAM> sam);
    void assignLGsam(std::shared_ptr<LGsam> sam);
    std::shared_ptr<MifareSAM> sam() const { return m_sam; }
    void setSamError(int code) { m_samError = code; }

    // The card's status, checked against the length the command needs. A lone success or
    // additional-frame byte never satisfies a minimum above one byte; a lone error status is the result.
    static Error checkResponse(const Bytes& answer, unsigned minSize = 0);
    // For 0xFFFC the text of the stored SAM error of this object.
    std::string errorstr(Error code) const;

    // ---- authentication and keys ----
    virtual Error authenticate(uint8_t keyNo, uint8_t samKeyNo, uint8_t authMode, bool cascadeUid,
                               uint8_t samKeyVer);
    virtual Error authForReload(uint8_t keyNo, uint8_t samKeyNo, uint8_t VKSETissuer, Bytes& divInput,
                                uint8_t trt, Bytes& transCnt, Bytes& balanceOrPriceAmt, Bytes& nativeCMD,
                                Bytes& out);
    virtual Error authenticate(uint8_t keyNo, const Bytes& key);

    // ---- files ----
    virtual Error getFileSettings(uint8_t fileNo, FileSettings& settings);
    virtual Error setFileSettings(uint8_t fileNo, FileCommSet comm, uint16_t accessRights);
    virtual Error createDataFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights, uint32_t size);
    virtual Error createBackupFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights, uint32_t size);
    virtual Error createValueFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights, uint32_t lower,
                                  uint32_t upper, uint32_t value, bool limitedCredit, bool freeGetValue);
    virtual Error createLinearRecordFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                         uint32_t recordSize, uint32_t maxRecords);
    virtual Error createCyclicRecordFile(uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                                         uint32_t recordSize, uint32_t maxRecords);
    virtual Error deleteFile(uint8_t fileNo);

    // ---- data, values, records ----
    // Secure messaging needs an attached SAM: asked for without one, nothing is sent (0xFFFF).
    virtual Error readData(uint8_t fileNo, uint32_t offset, uint32_t length, Bytes& out, bool enciphered);
    virtual Error writeData(uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher, bool withMac,
                            const Bytes& givenMac);
    virtual Error getValue(uint8_t fileNo, uint32_t& value, bool enciphered);
    virtual Error credit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac, bool reloadMac,
                         const Bytes& givenMac);
    virtual Error debit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac, bool reloadMac,
                        const Bytes& givenMac);
    virtual Error limitedCredit(uint8_t fileNo, uint32_t amount);
    virtual Error writeRecord(uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher,
                              bool withMac);
    virtual Error readRecords(uint8_t fileNo, uint32_t offset, uint32_t count, uint32_t length, Bytes& out,
                              bool enciphered);
    virtual Error clearRecordFile(uint8_t fileNo);
    virtual Error commitTransaction();
    virtual Error abortTransaction();

    virtual Error changeKeyPICC(uint8_t keyCompMethod, uint8_t keyNo, bool isMasterKey, uint8_t keyNoCur,
                                uint8_t keyVerCur, uint8_t keyNoNew, uint8_t keyVerNew);

    Error authenticate_MifareSAM(uint8_t keyNo, uint8_t samKeyNo, uint8_t authMode, bool cascadeUid,
                                 uint8_t samKeyVer);
    Error authenticate_LGsam(uint8_t keyNo, uint8_t samKeyNo);
    static Bytes generateSessionKey(const Bytes& key, const Bytes& rndA, const Bytes& rndB);
    Error authenticateAESPart1(uint8_t keyNo, Bytes& encRndB);
    Error authenticateAESPart2(const Bytes& cryptogram, Bytes& encRndA);
    Error reload_LGcard(uint8_t keyNo, uint8_t samKeyNo, uint8_t VKSETissuer, Bytes& divInput, uint8_t trt,
                        Bytes& transCnt, Bytes& balanceOrPriceAmt, Bytes& nativeCMD, Bytes& out);
    Error getSAMbalance(uint32_t& samTransSN, uint32_t& countBal, uint32_t& daysBal, uint32_t& minutesBal,
                        uint32_t& valueBal);
    // Needs the session key of a local authentication: without one nothing is sent (0xFFFF).
    Error changeKey(uint8_t keyNo, const Bytes& newKey, const Bytes& oldKey);
    Error changeKeyCrypto(uint8_t keyNo, const Bytes& cryptogram);
    Bytes encodeDataEV1Full(const Bytes& header, const Bytes& value);

    // Secure messaging through the attached SAM (the MIFARE SAM first); 0xFFFF with none attached,
    // 0xFFFC with the SAM's code stored when it fails.
    Error encipherData(Bytes& data, int offset);
    Error decipherData(Bytes& data, unsigned plainSize);
    Error generateMAC(const Bytes& data, Bytes& mac);
    Error verifyMAC(const Bytes& dataAndMac);

    // ---- card and applications ----
    static Version version(std::shared_ptr<ISO14443> link);
    Error getApplicationIDs(std::vector<uint32_t>& aids);
    Error selectApplication(uint32_t aid);
    Error createApplication(uint32_t aid, const KeySettings1& ks1, const KeySettings2& ks2);
    Error getFileIDs(Bytes& ids);
    Error getKeySettings(KeySettings1& ks1, KeySettings2& ks2);
    Error changeKeySettings(KeySettings1& ks1);
    Error format();

protected:
    // One ISO 14443-4 exchange; false when the reader got no answer.
    [[nodiscard]] bool transceive(const Bytes& tx, Bytes& rx);
    // A single-frame command: 0xFFFD without an answer, else checkResponse (answer, minSize).
    [[nodiscard]] Error command(const Bytes& tx, unsigned minSize, Bytes* answer = nullptr);
    // Follows the card's additional frames, appending each answer's data to out. With group set, every
    // answer must carry a whole number of group-byte items.
    [[nodiscard]] Error readFrames(const Bytes& tx, Bytes& out, size_t group = 0);
    // Sends frame in pieces of at most 60 bytes; last keeps the answer to the last piece.
    [[nodiscard]] Error writeFrames(const Bytes& frame, Bytes& last);
    bool hasSam() const;
    // Called once for every command the card ended with success, before its answer is looked at:
    // the point where a session that counts the card's commands counts them all.
    virtual void commandCompleted() {}
    // One debug line of an authentication value; format takes its length, then its hex.
    static void logValue(const char* format, const Bytes& value);
    // The debug lines of the reader's token in the first step of a clear-key authentication.
    static void logToken(const Bytes& encRndB, const Bytes& rndB, const Bytes& rndBrot, const Bytes& rndA,
                         const Bytes& rndArndB, const Bytes& token);

    std::shared_ptr<MifareSAM> m_sam;
    int m_samError = 0;
    std::shared_ptr<LGsam> m_lgSam;
    int m_lgSamError = 0;
    Bytes m_sessionKey;

private:
    // 0 for a SAM result of 0; otherwise the code is kept for the SAM in use and 0xFFFC returned.
    Error samOutcome(int result);
    // A create-file command: number, setting, access rights, then the 24-bit sizes.
    Error createFile(uint8_t cmd, uint8_t fileNo, FileCommSet comm, uint16_t accessRights,
                     std::initializer_list<uint32_t> sizes);
    Error valueChange(uint8_t cmd, uint8_t fileNo, uint32_t amount, bool encipher, bool withMac,
                      bool reloadMac, const Bytes& givenMac);
    Error readSecured(const Bytes& frame, unsigned plainSize, Bytes& out, bool enciphered);
    Error writeSecured(uint8_t cmd, uint8_t fileNo, uint32_t offset, const Bytes& data, bool encipher,
                       bool withMac, const Bytes& givenMac, bool macFirst);
    // Ends a SAM card authentication at the card: forwards the SAM's answer and has the SAM check the
    // card's, closing the SAM's session with zeros whenever the card fails.
    template <class Sam>
    Error finishSamAuthentication(const std::shared_ptr<Sam>& sam, const Bytes& samAnswer, int& errorStore);
    Bytes encodeDataEV1Full(const Bytes& header, const Bytes& value, const Bytes& trailer);
    static Bytes defaultKey();
};

}  // namespace NFC
