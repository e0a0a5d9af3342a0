#include "NFC/Protocols/MifareSAM.h"

#include <algorithm>
#include <utility>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Common/NFCCrypto.h"
#include "NFC/Crc16.h"

namespace NFC {

namespace {

constexpr uint16_t SW_OK = 0x9000;
constexpr uint16_t SW_MORE = 0x90AF;
constexpr size_t ShortApduMax = 255;
constexpr size_t MacFrame = 255;
constexpr size_t EncipherFrame = 0xF6;
constexpr size_t DecipherFrame = 0xF8;
constexpr size_t HostRandomSize = 12;

MifareSAM::Bytes atrOf(const char* head, const char* text, uint8_t last)
{
    MifareSAM::Bytes atr = {0x3B, 0xDF, 0x18, 0xFF, 0x81, 0xF1, 0xFE, 0x43, 0x00, 0x3F};
    atr.push_back(static_cast<uint8_t>(head[0]));
    atr.push_back(0x83);
    atr.insert(atr.end(), text, text + 15);
    atr.push_back(last);
    return atr;
}

bool hostKeyLengthValid(const MifareSAM::Bytes& key)
{
    return key.size() == 16 || key.size() == 24;
}

// A session vector of the AV2 host session key: rndA[a..a+4] || rndB[a..a+4] ||
// (rndA[x..x+4] XOR rndB[x..x+4]) || constant.
MifareSAM::Bytes sessionVector(const MifareSAM::Bytes& rndA, const MifareSAM::Bytes& rndB, size_t a, size_t x,
                               uint8_t constant)
{
    MifareSAM::Bytes sv;
    sv.reserve(16);
    sv.insert(sv.end(), rndA.begin() + a, rndA.begin() + a + 5);
    sv.insert(sv.end(), rndB.begin() + a, rndB.begin() + a + 5);
    for (size_t i = 0; i < 5; ++i) sv.push_back(static_cast<uint8_t>(rndA[x + i] ^ rndB[x + i]));
    sv.push_back(constant);
    return sv;
}

// Each host-authentication cryptogram starts from a zero IV, as the SAM computes it.
MifareSAM::Bytes encryptFresh(Crypto::Mode mode, const MifareSAM::Bytes& key, const MifareSAM::Bytes& data)
{
    Crypto crypto(mode, key);
    return crypto.encrypt(data);
}

MifareSAM::Bytes decryptFresh(Crypto::Mode mode, const MifareSAM::Bytes& key, const MifareSAM::Bytes& data)
{
    Crypto crypto(mode, key);
    return crypto.decrypt(data);
}

void appendKeyEntryBody(ByteWriter& w, const MifareSAM::KeyEntry& entry)
{
    w.bytes(entry.keyA).bytes(entry.keyB).bytes(entry.keyC);
    w.u8(static_cast<uint8_t>(entry.dfAID >> 16)).u8(static_cast<uint8_t>(entry.dfAID >> 8));
    w.u8(static_cast<uint8_t>(entry.dfAID));
    w.u8(entry.dfKeyNo).u8(entry.keyNoCEK).u8(entry.keyVCEK).u8(entry.refNoKUC);
    // SET is read least significant byte first but written most significant byte first.
    w.u16be(entry.SET);
    w.u8(entry.verA).u8(entry.verB).u8(entry.verC);
}

bool keysWellFormed(const MifareSAM::KeyEntry& entry)
{
    return entry.keyA.size() == 16 && entry.keyB.size() == 16 && entry.keyC.size() == 16;
}

}  // namespace

const MifareSAM::Bytes MifareSAM::ExpectedATR_AV2 = atrOf("\x03", "MIFARE Plus SAM", 0x3B);
const MifareSAM::Bytes MifareSAM::ExpectedATR_AV3 = atrOf("\x07", "MIFARE SAM AV30", 0x11);

std::string MifareSAM::KeyEntry::keyType() const
{
    static const char* const names[] = {"TDEA DESFire4", "TDEA ISO10116", "MIFARE",        "3TDEA ISO10116",
                                        "AES128",        "AES192",        "TDEA ISO10116", "Unknown"};
    return names[(SET >> 11) & 0x07];
}

std::string MifareSAM::KeyEntry::keyClass() const
{
    static const char* const names[] = {"Host",          "PICC",          "OfflineChange", "Unknown",
                                        "OfflineCrypto", "OfflineUpload", "OfflinePerso",  "Unknown"};
    return names[extSET & 0x07];
}

MifareSAM::MifareSAM(std::shared_ptr<ISO7816> link, const Bytes& atr) : SAM(std::move(link), atr, MifareAV) {}

const std::map<int, std::string>& MifareSAM::errorTable()
{
    static const std::map<int, std::string> table = {
        {0x6400, "EEPROM busy, access collision, memory range cannot be mapped, execution error."},
        {0x6401, "RC52x/RC663 interface error."},
        {0x6502, "SAM Key reference invalid."},
        {0x6503, "SAM Key usage counter number invalid."},
        {0x6581, "EEPROM high voltage failure. SAM permanently disabled."},
        {0x6700, "Wrong length of the APDU or wrong Lc byte."},
        {0x6883, "Final chained command expected; running command aborted, new command ignored."},
        {0x6982, "Security status not satisfied (cryptogram incorrect)."},
        {0x6984, "Referenced data invalid (Key Entry or KUC CRC invalid)."},
        {0x6985, "Conditions of use not satisfied (host authentication with KeyNo 00h required)."},
        {0x6986, "Command not allowed in current conditions."},
        {0x6A80, "Incorrect parameters in the command data field or incorrect APDU framing."},
        {0x6A82, "Key Version not found."},
        {0x6A84, "SAM Host protection error, only valid in AV2 mode."},
        {0x6A86, "Incorrect value for parameter P1 and/or P2."},
        {0x6C00, "Incorrect Le value."},
        {0x6D00,
         "Instruction code not supported or invalid or not available in the current state of the SAM."},
        {0x6E00, "Class not supported."},
        {0x6F00, "No precise diagnosis."},
        {0x901E, "Authentication failed, mismatching CMACs, RndB does not match that decrypted from host."},
        {0xFF01, "APDU transmit failed or no response received."},
        {0xFF02, "Received APDU data has wrong size."},
        {0xFF03, "ICC not present in selected slot."},
        {0xFF04, "ICC power on/off failed."},
        {0xFF05, "Set Protocol Parameter Selection (PPS) failed."},
        {0xFF06, "Set Communication settings failed."},
        {0xFF07, "Unexpected Answer-to-Reset received."},
        {0xFF08, "SAM authentication failed, received RndA does not match calculated RndA."},
    };
    return table;
}

std::string MifareSAM::errorToStr(ErrorCode code)
{
    const auto& table = errorTable();
    const auto it = table.find(code);
    return it == table.end() ? "Unknown error code." : it->second;
}

// ---- framing ----

MifareSAM::ErrorCode MifareSAM::transmit(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data, bool hasLe,
                                         Bytes* response, int& sw, uint16_t le)
{
    if (data && data->empty())
        data = nullptr;
    if (data && data->size() > ShortApduMax)
        return WrongLength;
    Driver::APDUHeader header;
    header.CLA = static_cast<uint8_t>(0x80 | logicalChannel());
    header.INS = ins;
    header.P1 = p1;
    header.P2 = p2;
    header.Lc = static_cast<uint16_t>(data ? data->size() : 0);
    header.Le = le;
    header.hasLe = hasLe;
    if (response)
        response->clear();
    sw = 0;
    if (!m_iso7816->exchangeAPDU(header, data, response, sw))
        return TransmitFailed;
    return Success;
}

MifareSAM::ErrorCode MifareSAM::command(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes* data, bool hasLe,
                                        Bytes* response)
{
    int sw = 0;
    const ErrorCode rc = transmit(ins, p1, p2, data, hasLe, response, sw);
    if (rc != Success)
        return rc;
    return sw == SW_OK ? Success : sw;
}

MifareSAM::ErrorCode MifareSAM::chained(uint8_t ins, const Bytes& data, size_t frameSize, uint8_t p2,
                                        bool p2OnEvery, bool leOnLast, bool leOnEvery, Bytes* joined,
                                        Bytes* last)
{
    size_t pos = 0;
    Bytes answer;
    do {
        const size_t n = std::min(frameSize, data.size() - pos);
        const bool more = pos + n < data.size();
        const Bytes frame(data.begin() + pos, data.begin() + pos + n);
        int sw = 0;
        const ErrorCode rc = transmit(ins, more ? 0xAF : 0x00, (more && !p2OnEvery) ? 0x00 : p2, &frame,
                                      leOnEvery || (!more && leOnLast), &answer, sw);
        if (rc != Success)
            return rc;
        if (sw != SW_OK && sw != SW_MORE)
            return sw;
        if (joined)
            joined->insert(joined->end(), answer.begin(), answer.end());
        pos += n;
    } while (pos < data.size());
    if (last)
        *last = std::move(answer);
    return Success;
}

// ---- Part: versions, key entries, counters ----

bool MifareSAM::check()
{
    Version version;
    return getVersion(version) == Success;
}

bool MifareSAM::setDefaultPPS()
{
    const uint8_t pps1 = 0x18;
    if (!setPPS(T1, &pps1))
        return false;
    Driver::CommSettings settings;
    settings.protocol = 1;
    settings.option = 5;
    settings.value1 = 0;
    settings.value2 = 0;
    const uint8_t t1[7] = {0x18, 0x00, 0x00, 0x43, 0x00, 0xFE, 0x00};
    std::copy(t1, t1 + 7, settings.protocolData);
    return m_iso7816->setCommSettings(settings);
}

bool MifareSAM::unlocked() const
{
    return m_unlocked;
}

MifareSAM::ErrorCode MifareSAM::getKeyEntry(int keyNo, KeyEntry& entry)
{
    Bytes answer;
    const ErrorCode rc = command(0x64, static_cast<uint8_t>(keyNo), 0x00, nullptr, true, &answer);
    if (rc != Success)
        return rc;
    if (answer.size() < 12)
        return WrongResponseSize;
    ByteReader r(answer);
    KeyEntry e = entry;
    e.verA = r.u8();
    e.verB = r.u8();
    e.verC = r.u8();
    const uint32_t aidHigh = r.u8();
    const uint16_t aidLow = r.u16be();
    e.dfAID = aidHigh << 16 | aidLow;
    e.dfKeyNo = r.u8();
    e.keyNoCEK = r.u8();
    e.keyVCEK = r.u8();
    e.refNoKUC = r.u8();
    e.SET = r.u16le();
    // The AV1 form of the answer has no extended settings.
    e.extSET = r.remaining() > 0 ? r.u8() : 0;
    if (!r.ok())
        return WrongResponseSize;
    entry = std::move(e);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::getKUCEntry(int refNo, KUCEntry& entry)
{
    Bytes answer;
    const ErrorCode rc = command(0x6C, static_cast<uint8_t>(refNo), 0x00, nullptr, true, &answer);
    if (rc != Success)
        return rc;
    ByteReader r(answer);
    KUCEntry e;
    e.limit = r.u16le();
    e.limit |= static_cast<uint32_t>(r.u16le()) << 16;
    e.keyNoCKUC = r.u8();
    e.keyVCKUC = r.u8();
    e.curVal = r.u16le();
    e.curVal |= static_cast<uint32_t>(r.u16le()) << 16;
    if (!r.ok())
        return WrongResponseSize;
    entry = e;
    return Success;
}

MifareSAM::ErrorCode MifareSAM::changeKeyEntry(int keyNo, const KeyEntry& entry)
{
    // The SAM takes a fixed 61-byte body; other key lengths would go out under a wrong Lc.
    if (!keysWellFormed(entry))
        return WrongLength;
    Bytes data;
    data.reserve(61);
    ByteWriter w(data);
    appendKeyEntryBody(w, entry);
    w.u8(entry.extSET);
    return command(0xC1, static_cast<uint8_t>(keyNo), 0xFF, &data, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::changeKeyEntryAV1Mode(int keyNo, const KeyEntry& entry,
                                                      const Bytes& sessionKey)
{
    if (!keysWellFormed(entry))
        return WrongLength;
    Bytes plain;
    plain.reserve(64);
    ByteWriter w(plain);
    appendKeyEntryBody(w, entry);
    w.u16le(crc16(plain.data(), plain.size(), 0x6363));
    w.u8(0x00).u8(0x00);
    const Bytes cipher = encryptFresh(Crypto::CBC_3DES, sessionKey, plain);
    // A session key the cipher refuses leaves nothing of the fixed 64 bytes to send.
    if (cipher.size() != 64)
        return WrongLength;
    return command(0xC1, static_cast<uint8_t>(keyNo), 0xFF, &cipher, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::changeKUCEntry(int refNo, const KUCEntry& entry)
{
    Bytes data;
    ByteWriter(data).u32le(entry.limit).u8(entry.keyNoCKUC).u8(entry.keyVCKUC);
    return command(0xCC, static_cast<uint8_t>(refNo), 0x80, &data, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::changeKUCEntry(int refNo, const Bytes& crypto)
{
    return command(0xCC, static_cast<uint8_t>(refNo), 0x80, &crypto, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::getVersion(Version& version)
{
    Bytes answer;
    const ErrorCode rc = command(0x60, 0x00, 0x00, nullptr, true, &answer);
    if (rc != Success)
        return rc;
    if (answer.size() < 31)
        return WrongResponseSize;
    ByteReader r(answer);
    Version v;
    for (uint8_t* field :
         {&v.hwVendor, &v.hwType, &v.hwSubtype, &v.hwMajor, &v.hwMinor, &v.hwStorage, &v.hwProtocol,
          &v.swVendor, &v.swType, &v.swSubtype, &v.swMajor, &v.swMinor, &v.swStorage, &v.swProtocol})
        *field = r.u8();
    r.bytes(7, v.uid);
    r.bytes(5, v.batch);
    for (uint8_t* field : {&v.production1, &v.production2, &v.production3, &v.production4, &v.mode})
        *field = r.u8();
    if (!r.ok())
        return WrongResponseSize;
    version = std::move(v);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::getRandom(int& value)
{
    Bytes answer;
    int sw = 0;
    ErrorCode rc = transmit(0x84, 0x00, 0x00, nullptr, true, &answer, sw, 4);
    if (rc != Success)
        return rc;
    if (sw != SW_OK)
        return sw;
    if (answer.size() < 4)
        return WrongResponseSize;
    ByteReader r(answer);
    const uint32_t high = r.u16be();
    const uint32_t low = r.u16be();
    value = static_cast<int>(high << 16 | low);
    // The SAM is asked once more and that answer is not used.
    Bytes ignored;
    (void)transmit(0x84, 0x00, 0x00, nullptr, true, &ignored, sw, 4);
    return Success;
}

// ---- host authentication ----

MifareSAM::Bytes MifareSAM::MACt(const Bytes& message, const Bytes& key)
{
    if (message.size() > 16)
        return {};
    Bytes padded = message;
    padded.resize(16, 0x00);
    const Bytes cmac = Crypto::CMAC(padded, key);
    if (cmac.size() != 16)
        return {};
    Bytes out;
    out.reserve(8);
    for (size_t i = 1; i < 16; i += 2) out.push_back(cmac[i]);
    return out;
}

void MifareSAM::rotateLeft(Bytes& v, unsigned n)
{
    if (v.empty())
        return;
    std::rotate(v.begin(), v.begin() + (n % v.size()), v.end());
}

void MifareSAM::rotateRight(Bytes& v, unsigned n)
{
    if (v.empty())
        return;
    std::rotate(v.begin(), v.end() - (n % v.size()), v.end());
}

bool MifareSAM::isSingleDESKey(const Bytes& key)
{
    return Crypto::isSingleDESKey(key);
}

MifareSAM::Bytes MifareSAM::generateSessionKey(const Bytes& key, const Bytes& rndA, const Bytes& rndB)
{
    if (rndA.size() < HostRandomSize || rndB.size() < HostRandomSize)
        return {};
    if (key.size() == 16)
        return encryptFresh(Crypto::CBC_AES128, key, sessionVector(rndA, rndB, 7, 0, 0x91));
    const Bytes e1 = encryptFresh(Crypto::CBC_AES128, key, sessionVector(rndA, rndB, 7, 0, 0x93));
    const Bytes e2 = encryptFresh(Crypto::CBC_AES128, key, sessionVector(rndA, rndB, 6, 1, 0x94));
    if (e1.size() != 16 || e2.size() != 16)
        return {};
    Bytes ke(e1.begin(), e1.begin() + 8);
    for (size_t i = 0; i < 8; ++i) ke.push_back(static_cast<uint8_t>(e1[8 + i] ^ e2[i]));
    ke.insert(ke.end(), e2.begin() + 8, e2.end());
    return ke;
}

MifareSAM::Bytes MifareSAM::generateSessionKeyAV1mode(const Bytes& key, const Bytes& rndA, const Bytes& rndB)
{
    if (rndA.size() < 4 || rndB.size() < 4)
        return {};
    Bytes sk(rndA.begin(), rndA.begin() + 4);
    sk.insert(sk.end(), rndB.begin(), rndB.begin() + 4);
    if (isSingleDESKey(key)) {
        sk.insert(sk.end(), rndA.begin(), rndA.begin() + 4);
        sk.insert(sk.end(), rndB.begin(), rndB.begin() + 4);
    } else {
        sk.insert(sk.end(), rndA.end() - 4, rndA.end());
        sk.insert(sk.end(), rndB.end() - 4, rndB.end());
    }
    return sk;
}

MifareSAM::Bytes MifareSAM::calculateEncHost(const Bytes& sessionKey, const Bytes& encRndB,
                                             const Bytes& rndA2)
{
    Bytes rndB = decryptFresh(Crypto::CBC_AES128, sessionKey, encRndB);
    if (rndB.size() != 16)
        return {};
    rotateLeft(rndB, 2);
    return encryptFresh(Crypto::CBC_AES128, sessionKey, Crypto::concat(rndA2, rndB));
}

MifareSAM::Bytes MifareSAM::calculateRndA(const Bytes& sessionKey, const Bytes& encRndA)
{
    Bytes rndA = decryptFresh(Crypto::CBC_AES128, sessionKey, encRndA);
    rotateRight(rndA, 2);
    return rndA;
}

MifareSAM::ErrorCode MifareSAM::secondPass(uint8_t ins, const Bytes& key, const Bytes& macInput, Bytes& rndA,
                                           Bytes& encRndB)
{
    const Bytes mac = MACt(macInput, key);
    if (mac.size() != 8)
        return IncorrectParameters;
    rndA = Crypto::random(HostRandomSize);
    const Bytes data = Crypto::concat(mac, rndA);
    Bytes answer;
    int sw = 0;
    const ErrorCode rc = transmit(ins, 0x00, 0x00, &data, true, &answer, sw);
    if (rc != Success)
        return rc;
    if (sw != SW_MORE)
        return sw;
    // The SAM's own MAC (bytes 0-7) is not checked; its cryptogram follows it.
    if (answer.size() < 24)
        return WrongResponseSize;
    encRndB.assign(answer.begin() + 8, answer.begin() + 24);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::authenticateHostPart2(const Bytes& key, const Bytes& rndB, Bytes& rndA,
                                                      Bytes& encRndB)
{
    return secondPass(0xA4, key, rndB, rndA, encRndB);
}

MifareSAM::ErrorCode MifareSAM::lockUnlockPart2(const Bytes& key, const Bytes& macInput, Bytes& rndA,
                                                Bytes& encRndB)
{
    return secondPass(0x10, key, macInput, rndA, encRndB);
}

MifareSAM::ErrorCode MifareSAM::finishHostAuthentication(uint8_t ins, const Bytes& key, const Bytes& rndA,
                                                         const Bytes& rndB, const Bytes& encRndB)
{
    const Bytes ke = generateSessionKey(key, rndA, rndB);
    const Bytes rndA2 = Crypto::random(16);
    const Bytes encHost = calculateEncHost(ke, encRndB, rndA2);
    if (encHost.size() != 32)
        return IncorrectParameters;
    Bytes answer;
    int sw = 0;
    const ErrorCode rc = transmit(ins, 0x00, 0x00, &encHost, true, &answer, sw);
    if (rc != Success)
        return rc;
    if (sw != SW_OK)
        return sw;
    if (answer.size() < 16)
        return WrongResponseSize;
    return calculateRndA(ke, answer) == rndA2 ? Success : RndAMismatch;
}

MifareSAM::ErrorCode MifareSAM::hostAuthentication(uint8_t ins, uint8_t p1, const Bytes& firstData,
                                                   const Bytes& macSuffix, const Bytes& key)
{
    if (!hostKeyLengthValid(key))
        return IncorrectParameters;
    Bytes rndB;
    int sw = 0;
    ErrorCode rc = transmit(ins, p1, 0x00, &firstData, true, &rndB, sw);
    if (rc != Success)
        return rc;
    if (sw != SW_MORE)
        return sw;
    if (rndB.size() != HostRandomSize)
        return WrongResponseSize;
    Bytes rndA;
    Bytes encRndB;
    rc = secondPass(ins, key, Crypto::concat(rndB, macSuffix), rndA, encRndB);
    if (rc != Success)
        return rc;
    return finishHostAuthentication(ins, key, rndA, rndB, encRndB);
}

MifareSAM::ErrorCode MifareSAM::authenticateHost(const Bytes& key, uint8_t keyNo, uint8_t keyVer)
{
    m_unlocked = false;
    const ErrorCode rc = hostAuthentication(0xA4, 0x00, {keyNo, keyVer, 0x00}, {}, key);
    m_unlocked = rc == Success;
    return rc;
}

MifareSAM::ErrorCode MifareSAM::lockUnlock(const Bytes& key, uint8_t keyNo, uint8_t keyVer, bool activate,
                                           bool lock)
{
    m_unlocked = false;
    uint8_t p1 = 0x00;
    Bytes data = {keyNo, keyVer};
    Bytes suffix;
    if (activate) {
        p1 = 0x03;
        data.insert(data.end(), {0x00, 0x00, 0x00});
        suffix = {0x03, 0x00, 0x00, 0x00};
    } else if (lock) {
        p1 = 0x01;
        suffix = {0x01};
    }
    const ErrorCode rc = hostAuthentication(0x10, p1, data, suffix, key);
    if (rc == Success)
        m_unlocked = activate || !lock;
    return rc;
}

MifareSAM::ErrorCode MifareSAM::authenticateHostPart2AV1mode(const Bytes& key, const Bytes& encRndB,
                                                             Bytes& sessionKey)
{
    const bool des = isSingleDESKey(key);
    const Crypto::Mode mode = des ? Crypto::CBC_3DES : Crypto::CBC_AES128;
    const size_t block = des ? 8 : 16;
    // An empty or partial challenge would make an empty RndA that any empty answer matches.
    if (encRndB.empty() || encRndB.size() % block != 0)
        return WrongResponseSize;
    const Bytes rndB = decryptFresh(mode, key, encRndB);
    if (rndB.size() != encRndB.size())
        return IncorrectParameters;
    const Bytes rndA = Crypto::random(static_cast<unsigned>(rndB.size()));
    const Bytes token = encryptFresh(mode, key, Crypto::concat(rndA, Crypto::rotateLeft(rndB, 1)));
    if (token.size() != 2 * rndB.size())
        return IncorrectParameters;
    Bytes answer;
    int sw = 0;
    const ErrorCode rc = transmit(0xA4, 0x00, 0x00, &token, true, &answer, sw);
    if (rc != Success)
        return rc;
    if (sw != SW_OK)
        return sw;
    if (answer.size() < rndA.size())
        return WrongResponseSize;
    Bytes echoed = decryptFresh(mode, key, answer);
    rotateRight(echoed, 1);
    if (echoed != rndA)
        return RndAMismatch;
    sessionKey = generateSessionKeyAV1mode(key, rndA, rndB);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::authenticateHostAV1mode(const Bytes& key, uint8_t keyNo, uint8_t keyVer,
                                                        Bytes& sessionKey)
{
    m_unlocked = false;
    if (!hostKeyLengthValid(key))
        return IncorrectParameters;
    const Bytes data = {keyNo, keyVer};
    Bytes encRndB;
    int sw = 0;
    ErrorCode rc = transmit(0xA4, 0x00, 0x00, &data, true, &encRndB, sw);
    if (rc != Success)
        return rc;
    if (sw != SW_MORE)
        return sw;
    rc = authenticateHostPart2AV1mode(key, encRndB, sessionKey);
    m_unlocked = rc == Success;
    return rc;
}

MifareSAM::ErrorCode MifareSAM::activateOfflineKey(uint8_t keyNo, uint8_t keyVer, const Bytes& divInput)
{
    Bytes data = {keyNo, keyVer};
    data.insert(data.end(), divInput.begin(), divInput.end());
    return command(0x01, divInput.empty() ? 0x00 : 0x01, 0x00, &data, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::loadInitVector(const Bytes& iv)
{
    return command(0x71, 0x00, 0x00, &iv, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::killAuthentication()
{
    return command(0xCA, 0x00, 0x00, nullptr, false, nullptr);
}

// ---- card authentication, MAC and ciphering ----

MifareSAM::ErrorCode MifareSAM::authenticatePICCPart1(uint8_t keyNo, uint8_t authMode, const Bytes& encRndB,
                                                      const Bytes& divInput, Bytes& out, uint8_t keyVer)
{
    Bytes data = {keyNo, keyVer};
    data.insert(data.end(), encRndB.begin(), encRndB.end());
    if (authMode & 0x01)
        data.insert(data.end(), divInput.begin(), divInput.end());
    Bytes answer;
    int sw = 0;
    const ErrorCode rc = transmit(0x0A, authMode, 0x00, &data, true, &answer, sw);
    if (rc != Success)
        return rc;
    if (sw != SW_MORE)
        return sw;
    // The SAM answers RndA followed by the rotated RndB, each as long as the card's challenge.
    if (answer.size() < 16 || answer.size() < 2 * encRndB.size())
        return WrongResponseSize;
    out = std::move(answer);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::authenticatePICCPart2(const Bytes& encRndA)
{
    return command(0x0A, 0x00, 0x00, &encRndA, false, nullptr);
}

MifareSAM::ErrorCode MifareSAM::generateMAC(const Bytes& data, Bytes& mac, uint8_t size)
{
    if (data.empty())
        return Success;
    Bytes last;
    const ErrorCode rc = chained(0x7C, data, MacFrame, size & 0x1F, false, true, false, nullptr, &last);
    if (rc != Success)
        return rc;
    // Without a length the SAM gives its session's own; none is shorter than four bytes.
    const size_t wanted = (size & 0x1F) ? (size & 0x1F) : 4;
    if (last.size() < wanted)
        return WrongResponseSize;
    mac = std::move(last);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::verifyMAC(const Bytes& dataAndMac, uint8_t size)
{
    if (dataAndMac.empty())
        return Success;
    return chained(0x5C, dataAndMac, MacFrame, size & 0x1F, false, false, false, nullptr, nullptr);
}

MifareSAM::ErrorCode MifareSAM::encipherData(const Bytes& plain, Bytes& cipher, int offset)
{
    if (plain.empty())
        return Success;
    Bytes joined;
    const ErrorCode rc = chained(0xED, plain, EncipherFrame, static_cast<uint8_t>(offset & 0x0F), true, true,
                                 true, &joined, nullptr);
    if (rc != Success)
        return rc;
    // The SAM enciphers what follows the offset together with a CRC of at least two bytes, in whole
    // blocks of at least eight: anything less is a cut answer.
    const size_t clear = std::min(plain.size(), static_cast<size_t>(offset & 0x0F));
    const size_t minimum = (plain.size() - clear + 2 + 7) / 8 * 8;
    if (joined.size() < minimum || joined.size() % 8 != 0)
        return WrongResponseSize;
    cipher.insert(cipher.end(), joined.begin(), joined.end());
    return Success;
}

MifareSAM::ErrorCode MifareSAM::decipherData(const Bytes& cipher, Bytes& plain, unsigned plainSize)
{
    if (cipher.empty())
        return Success;
    // The plain length goes in front of the first frame and counts against its size.
    Bytes data;
    data.reserve(cipher.size() + 3);
    ByteWriter(data).u8(static_cast<uint8_t>(plainSize)).u8(static_cast<uint8_t>(plainSize >> 8));
    data.push_back(static_cast<uint8_t>(plainSize >> 16));
    data.insert(data.end(), cipher.begin(), cipher.end());

    Bytes joined;
    size_t pos = 0;
    size_t frameSize = 3 + DecipherFrame;
    while (pos < data.size()) {
        const size_t n = std::min(frameSize, data.size() - pos);
        const bool more = pos + n < data.size();
        const Bytes frame(data.begin() + pos, data.begin() + pos + n);
        Bytes answer;
        int sw = 0;
        // Chained frames carry 0xAF so that the SAM takes the next frame as the same ciphertext.
        const ErrorCode rc = transmit(0xDD, more ? 0xAF : 0x00, 0x00, &frame, true, &answer, sw);
        if (rc != Success)
            return rc;
        if (sw != SW_OK && sw != SW_MORE)
            return sw;
        joined.insert(joined.end(), answer.begin(), answer.end());
        pos += n;
        frameSize = DecipherFrame;
    }
    if (joined.size() < plainSize)
        return WrongResponseSize;
    plain.insert(plain.end(), joined.begin(), joined.end());
    return Success;
}

MifareSAM::ErrorCode MifareSAM::encipherOfflineData(const Bytes& plain, Bytes& cipher)
{
    const Bytes padded = Crypto::pad(plain, 16);
    Bytes answer;
    const ErrorCode rc = command(0x0E, 0x00, 0x00, &padded, true, &answer);
    if (rc != Success)
        return rc;
    if (answer.size() < padded.size())
        return WrongResponseSize;
    cipher = std::move(answer);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::decipherOfflineData(const Bytes& cipher, Bytes& plain)
{
    Bytes answer;
    const ErrorCode rc = command(0x0D, 0x00, 0x00, &cipher, true, &answer);
    if (rc != Success)
        return rc;
    if (answer.size() < cipher.size())
        return WrongResponseSize;
    // Deciphered challenges may end in 0x80 00.. themselves: the whole plaintext is returned.
    plain = std::move(answer);
    return Success;
}

MifareSAM::ErrorCode MifareSAM::changeKeyPICC(uint8_t keyCompMethod, uint8_t desKeyNum, bool isMasterKey,
                                              uint8_t keyNumCur, uint8_t keyVerCur, uint8_t keyNumNew,
                                              uint8_t keyVerNew, const Bytes& divInput, Bytes& out)
{
    Bytes data = {keyNumCur, keyVerCur, keyNumNew, keyVerNew};
    data.insert(data.end(), divInput.begin(), divInput.end());
    const uint8_t p2 = static_cast<uint8_t>((isMasterKey ? 0x10 : 0x00) | (desKeyNum & 0x0F));
    Bytes answer;
    const ErrorCode rc = command(0xC4, keyCompMethod, p2, &data, true, &answer);
    if (rc != Success)
        return rc;
    // The shortest ChangeKey cryptogram is three DES blocks.
    if (answer.size() < 24 || answer.size() % 8 != 0)
        return WrongResponseSize;
    out = std::move(answer);
    return Success;
}

}  // namespace NFC
