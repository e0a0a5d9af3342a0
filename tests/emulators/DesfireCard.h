// An emulated MIFARE DESFire EV1/EV2 card for a reader emulator's field: the PICC level and its
// applications with 2K3DES keys and key settings, the five file types with their sizes, access
// rights and communication settings, the transaction rules (backup files, values and records change
// only on commit, abort and re-selection discard), native (0x0A), ISO (0x1A) and EV2 (0x71)
// authentication with their secure messaging, and
// additional frames in both directions. Written from the protocol on OpenSSL (CardCrypto), never on
// the code under test. Runs on the reader emulator's thread; every public call is thread-safe.
//
// Secure messaging follows the authentication that opened the session:
// - native (0x0A): the DESFire native scheme as the MIFARE SAM computes it for a "TDEA DESFire4"
//   key: data to the card is send-mode enciphered with a CRC16 (CRC_A) behind it, data from the card
//   CBC-enciphered with its CRC16, both from a zero IV; MACs are 4-byte CBC-MACs over every byte the
//   host MACs (the command header and the data as sent). A write or value change that carried a MAC
//   is answered with the status and a MAC over it.
// - ISO (0x1A): the EV1 scheme: the IV runs on from command to command, every command is CMACed into
//   it, plain answers carry an 8-byte CMAC over data and status, ChangeKey and ChangeKeySettings are
//   enciphered with a CRC32. Files in MAC or enciphered mode are refused (0x9D) in this scheme.
// - EV2 (0x71, AuthenticateEV2First): the application's key taken as AES-128; RndB of 16 bytes, each
//   cryptogram of the exchange under a zero IV, the answer TI || RndA' || PDcap2 || PCDcap2, session
//   keys by CMAC over SV1/SV2. Files in MAC mode and the record-clearing and transaction commands
//   carry 8-byte MACs (MACt under the session MAC key over cmd || CmdCtr || TI || header || data)
//   both ways; a request MAC that does not match is refused with 0x1E, which like every error ends
//   the session. Each command answered with success counts in CmdCtr; the answer's MAC covers
//   00 || CmdCtr || TI || data with the counter already advanced. Enciphered files are refused (0x9D).
// Where an enciphered write may or may not carry a MAC, the card tells them apart by length (data
// files, values) or by where the CRC lies (records); a frame that fills 60 bytes after the cipher
// text is the only case where it waits for a MAC that may not come.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>

#include "emulators/FieldCard.h"

namespace emulators {

class DesfireCard : public FieldCard
{
public:
    static constexpr uint32_t PiccAid = 0x000000;

    enum FileType : uint8_t
    {
        StandardData = 0,
        BackupData = 1,
        Value = 2,
        LinearRecord = 3,
        CyclicRecord = 4,
    };

    enum Comm : uint8_t
    {
        Plain = 0x00,
        Maced = 0x01,
        Enciphered = 0x03,
    };

    // What the card saw and sent, for counting against the protocol's minimum.
    struct Counters
    {
        size_t frames = 0;    // ISO 14443-4 exchanges
        size_t bytesIn = 0;   // command bytes
        size_t bytesOut = 0;  // answer bytes
    };

    enum class Scheme
    {
        None,
        Native,
        Iso,
        Ev2,
    };

    explicit DesfireCard(Bytes uid = {0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80});

    Identity identity() const override;
    // A new selection drops the authentication, as the card does on leaving and re-entering the field.
    void selected() override;
    std::optional<Bytes> exchange4(const Bytes& command) override;

    // ---- set-up and inspection (any thread) ----

    // A 16-byte 2K3DES key (an 8-byte DES key is taken as its two equal halves).
    void setKey(uint32_t aid, uint8_t keyNo, const Bytes& key);
    Bytes key(uint32_t aid, uint8_t keyNo) const;
    void setKeySettings(uint32_t aid, uint8_t settings);
    // GetVersion's three frames: 7 hardware, 7 software, 14 bytes UID/batch/production.
    void setVersion(const Bytes& hardware, const Bytes& software, const Bytes& production);
    // The next random bytes the card draws come from here first.
    void forceRandom(const Bytes& bytes);
    // Data bytes per answer frame (the card's own frame size; 59 by default).
    void setAnswerFrameData(size_t bytes);
    // The answer after the next `after` ones keeps only its first keep bytes (0: an empty answer).
    void cutNextAnswer(size_t keep, size_t after = 0);
    // The exchange after the next `after` ones goes unanswered.
    void muteNext(size_t after = 0);
    // The answer after the next `after` ones has the lowest bit of its last byte flipped.
    void flipNextAnswer(size_t after = 0);

    // Committed contents, whatever a transaction holds pending; empty when there is no such file.
    Bytes fileData(uint32_t aid, uint8_t fileNo) const;
    std::optional<int32_t> value(uint32_t aid, uint8_t fileNo) const;
    std::vector<Bytes> records(uint32_t aid, uint8_t fileNo) const;
    std::vector<uint32_t> applications() const;
    Scheme scheme() const;
    // Key number of the open session, -1 without one.
    int authenticatedKey() const;
    // EV2 session: the command counter and the transaction identifier (empty without a session).
    uint16_t commandCounter() const;
    Bytes transactionIdentifier() const;
    Counters counters() const;
    void resetCounters();

private:
    struct File
    {
        FileType type = StandardData;
        uint8_t comm = Plain;
        uint16_t access = 0xEEEE;
        Bytes data;                   // data files
        std::optional<Bytes> backup;  // backup file: the pending image
        int32_t lower = 0, upper = 0, value = 0;
        std::optional<int32_t> pendingValue;
        int32_t limitedCreditValue = 0;
        int32_t pendingDebits = 0;
        bool limitedCredit = false;
        bool freeGetValue = false;
        bool limitedCreditUsed = false;
        uint32_t recordSize = 0, maxRecords = 0;
        std::deque<Bytes> records;  // oldest first
        std::optional<Bytes> pendingRecord;
        bool pendingClear = false;

        bool pending() const
        {
            return backup || pendingValue || pendingRecord || pendingClear || limitedCreditUsed;
        }
    };

    struct Application
    {
        uint8_t keySettings = 0x0F;
        uint8_t keyCount = 1;
        std::vector<Bytes> keys;
        std::map<uint8_t, File> files;
    };

    struct Session
    {
        Scheme scheme = Scheme::None;
        uint8_t keyNo = 0;
        Bytes key;  // the session key (EV2: the encryption key)
        Bytes iv;   // ISO scheme: the chaining value
        Bytes macKey;
        Bytes ti;
        uint16_t counter = 0;
    };

    struct PendingAuth
    {
        uint8_t cmd = 0;
        uint8_t keyNo = 0;
        Bytes key;
        Bytes rndB;
        Bytes iv;
        Bytes pcdCap;  // EV2: the reader's capabilities, six bytes
    };

    // A write that comes in several frames.
    struct Incoming
    {
        Bytes command;  // all bytes so far, command byte first
        size_t headerSize = 0;
        size_t minPayload = 0;
        size_t maxPayload = 0;
    };

    enum class Right
    {
        Read,
        Write,
        ReadWrite,
        Change,
        GetValue,
        Credit,
        Debit,
        LimitedCredit,
    };

    // What an access check decided: refused (status), plain, or under the file's setting.
    struct Access
    {
        uint8_t status = 0;
        uint8_t comm = Plain;
    };

    Bytes handle(const Bytes& command);
    Bytes dispatch(const Bytes& command);
    // A success counts in an EV2 session; ev2Mac appends the answer's MAC there.
    Bytes answer(uint8_t status, const Bytes& data = {}, bool ev2Mac = false);
    Bytes failure(uint8_t status);
    Bytes continueIncoming(const Bytes& frame);

    Bytes authenticateFirst(uint8_t cmd, const Bytes& command);
    Bytes authenticateSecond(const Bytes& command);
    Bytes authenticateEv2Second(const PendingAuth& p, const Bytes& command);
    // MACt under the EV2 session MAC key of first || CmdCtr || TI || rest.
    Bytes ev2Mac(uint8_t first, const Bytes& rest) const;
    // An EV2 command whose first size bytes end in its MAC: 0 with the MAC checked and cut off, or
    // the card's refusal.
    uint8_t ev2Open(Bytes& command, size_t size) const;
    // A command of size bytes, followed by its MAC when comm and the session ask for one.
    uint8_t openCommand(Bytes& command, size_t size, uint8_t comm) const;
    bool ev2() const { return m_session.scheme == Scheme::Ev2; }
    Bytes getVersion();
    Bytes getKeySettings();
    Bytes changeKeySettings(const Bytes& command);
    Bytes changeKey(const Bytes& command);
    Bytes selectApplication(const Bytes& command);
    Bytes createApplication(const Bytes& command);
    Bytes getApplicationIDs();
    Bytes format();
    Bytes getFileIDs();
    Bytes getFileSettings(const Bytes& command);
    Bytes changeFileSettings(const Bytes& command);
    Bytes createFile(const Bytes& command);
    Bytes deleteFile(const Bytes& command);
    Bytes startWrite(const Bytes& command);
    Bytes finishWrite(const Incoming& in);
    Bytes readData(const Bytes& command);
    Bytes readRecords(const Bytes& command);
    Bytes getValue(const Bytes& command);
    Bytes changeValue(const Bytes& command);
    Bytes clearRecordFile(const Bytes& command);
    Bytes commit(const Bytes& command);
    Bytes abort(const Bytes& command);

    Application& current() { return m_apps.at(m_selected); }
    bool isMasterAuthenticated() const;
    // Create/delete and directory rights of the selected application.
    uint8_t checkMaster(bool freeBit) const;
    File* file(uint8_t fileNo);
    Access access(const File& f, Right right) const;
    // The file a command names in its second byte, checked in the card's order: length, presence,
    // type, access right. A refusal is in access.status.
    struct FileUse
    {
        File* file = nullptr;
        Access access;
    };
    FileUse useFile(const Bytes& command, size_t minSize, std::initializer_list<FileType> types, Right right);
    // The answer to a read: wrapped for the file's setting in the native scheme, MACed in EV2.
    Bytes readAnswer(const Bytes& data, uint8_t comm);
    // The plain data of a write or value change in the file's setting; a status on failure.
    std::optional<Bytes> openPayload(const Bytes& header, const Bytes& payload, size_t plainSize,
                                     uint8_t comm, bool record, bool& maced, uint8_t& status);
    // A read answer: the data wrapped for the setting.
    Bytes sealRead(const Bytes& data, uint8_t comm);
    Bytes sealStatus(bool maced);
    void discardPending();
    void dropSession();
    Bytes draw(size_t n);

    mutable std::mutex m_mutex;
    const Bytes m_uid;
    std::array<Bytes, 3> m_version;
    std::map<uint32_t, Application> m_apps;
    uint32_t m_selected = PiccAid;
    Session m_session;
    std::optional<PendingAuth> m_auth;
    std::optional<Incoming> m_incoming;
    std::deque<Bytes> m_outgoing;  // answer frames still to go, each fetched by an AF frame
    size_t m_frameData = 59;
    std::deque<uint8_t> m_forced;
    std::optional<size_t> m_cut;
    size_t m_cutAfter = 0;
    std::optional<size_t> m_muteAfter;
    std::optional<size_t> m_flipAfter;
    Counters m_counters;
};

}  // namespace emulators
