#include "NFC/Protocols/DESFireEV2.h"

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Common/NFCCrypto.h"
#include "NFC/Protocols/MifareSAM.h"
#include "core/Log.h"
#include "core/String.h"

namespace NFC {

namespace {

using Bytes = DESFireEV2::Bytes;

constexpr uint8_t AuthenticateEV2FirstCmd = 0x71;
constexpr size_t KeySize = 16;
constexpr size_t RandomSize = 16;
constexpr size_t AnswerSize = 32;  // TI, RndA', PDcap2, PCDcap2
constexpr size_t MacSize = 8;
constexpr uint32_t Max24 = 0xFFFFFF;

void u24le(ByteWriter& w, uint32_t value)
{
    w.u8(static_cast<uint8_t>(value))
        .u8(static_cast<uint8_t>(value >> 8))
        .u8(static_cast<uint8_t>(value >> 16));
}

Bytes firstBytes(const Bytes& v, size_t n)
{
    return Bytes(v.begin(), v.begin() + static_cast<long>(n));
}

// The bytes of a card answer after its status byte.
Bytes dataOf(const Bytes& answer)
{
    return answer.empty() ? Bytes() : Bytes(answer.begin() + 1, answer.end());
}

Bytes sessionVector(uint8_t first, uint8_t second, const Bytes& rndA, const Bytes& rndB)
{
    if (rndA.size() < RandomSize || rndB.size() < RandomSize)
        return {};
    Bytes sv = {first, second, 0x00, 0x01, 0x00, 0x80};
    sv.reserve(6 + 2 + 6 + 10 + 8);
    sv.insert(sv.end(), rndA.begin(), rndA.begin() + 2);
    for (size_t i = 0; i < 6; ++i) sv.push_back(static_cast<uint8_t>(rndA[2 + i] ^ rndB[i]));
    sv.insert(sv.end(), rndB.begin() + 6, rndB.begin() + 16);
    sv.insert(sv.end(), rndA.begin() + 8, rndA.begin() + 16);
    return sv;
}

Bytes cmacKey(const Bytes& sv, const Bytes& key)
{
    if (sv.empty() || key.size() != KeySize)
        return {};
    return Crypto::CMAC(sv, key);
}

// fileNo offset(3) length(3) data, the fields a data or record command and its MAC share.
Bytes fileFields(uint8_t fileNo, uint32_t offset, uint32_t length, const Bytes& data)
{
    Bytes fields;
    fields.reserve(7 + data.size());
    ByteWriter w(fields);
    w.u8(fileNo);
    u24le(w, offset);
    u24le(w, length);
    w.bytes(data);
    return fields;
}

}  // namespace

DESFireEV2::DESFireEV2(std::shared_ptr<ISO14443> link, const Bytes& uid, const Bytes& ats)
    : DESFire(std::move(link), uid, ats)
{
}

DESFireEV2::~DESFireEV2() = default;

Bytes DESFireEV2::challenge(unsigned n)
{
    return Crypto::random(n);
}

// ---- authentication ----

DESFireEV2::Error DESFireEV2::authenticateEV2FirstPart1(uint8_t keyNo, Bytes& encRndB)
{
    // The last byte is the length of our capabilities: none are sent.
    Bytes rx;
    const Error result = command({AuthenticateEV2FirstCmd, keyNo, 0x00}, 1 + RandomSize, &rx);
    if (result == OperationOK)
        return InvalidResponseSize;  // a success where the card's challenge belongs is no answer to use
    if (result != AdditionalFrame)
        return result;
    encRndB = firstBytes(dataOf(rx), RandomSize);
    return OperationOK;
}

DESFireEV2::Error DESFireEV2::authenticateEV2FirstPart2(const Bytes& token, Bytes& encAnswer)
{
    Bytes tx = {AdditionalFrame};
    tx.insert(tx.end(), token.begin(), token.end());
    Bytes rx;
    // The card's answer ends the authentication, no command of a session: a success starts the
    // count again, a failure leaves the session it found as it was.
    const uint16_t counter = m_cmdCtr;
    const Error result = command(tx, 1 + AnswerSize, &rx);
    m_cmdCtr = counter;
    if (result != OperationOK)
        return result;
    encAnswer = firstBytes(dataOf(rx), AnswerSize);
    return OperationOK;
}

template <class Derive>
DESFireEV2::Error DESFireEV2::finishEV2First(const Bytes& rndA, const Bytes& rndB, const Bytes& plain,
                                             Derive derive)
{
    ByteReader r(plain);
    const Bytes ti = r.bytes(4);
    const Bytes rndAreceived = r.bytes(RandomSize);
    const Bytes pdCap2 = r.bytes(6);
    const Bytes pcdCap2 = r.bytes(6);
    if (!r.ok())
        return InvalidResponseSize;
    logValue("-- TI           : (%02d) %s", ti);
    logValue("-- RndA_rx      : (%02d) %s", rndAreceived);
    logValue("-- PDCap2       : (%02d) %s", pdCap2);
    logValue("-- PCDCap2      : (%02d) %s", pcdCap2);
    if (Crypto::rotateRight(rndAreceived, 1) != rndA)
        return RndAMismatch;

    // Both keys or neither: a session with one key missing would MAC with nothing.
    Bytes macKey, encKey;
    Error result = derive(sessionVectorMac(rndA, rndB), macKey);
    if (result == OperationOK)
        result = derive(sessionVectorEnc(rndA, rndB), encKey);
    if (result != OperationOK)
        return result;
    m_sessionKeyMac = std::move(macKey);
    m_sessionKeyEnc = std::move(encKey);
    m_ti = ti;
    m_cmdCtr = 0;
    m_authenticated = true;
    return OperationOK;
}

DESFireEV2::Error DESFireEV2::authenticateEV2First(uint8_t keyNo, const Bytes& key)
{
    if (key.size() != KeySize)
        return UnknownError;
    Bytes encRndB;
    Error result = authenticateEV2FirstPart1(keyNo, encRndB);
    if (result != OperationOK)
        return result;
    // Each cryptogram of the exchange starts from a zero IV, as the card computes it: one cipher
    // object per cryptogram, never one chain across them.
    const Bytes rndB = Crypto(Crypto::CBC_AES128, key).decrypt(encRndB);
    if (rndB.size() != RandomSize)
        return UnknownError;
    const Bytes rndBrot = Crypto::rotateLeft(rndB, 1);
    const Bytes rndA = challenge(RandomSize);
    const Bytes rndArndB = Crypto::concat(rndA, rndBrot);
    const Bytes token = Crypto(Crypto::CBC_AES128, key).encrypt(rndArndB);
    logToken(encRndB, rndB, rndBrot, rndA, rndArndB, token);

    Bytes encAnswer;
    if ((result = authenticateEV2FirstPart2(token, encAnswer)) != OperationOK)
        return result;
    const Bytes plain = Crypto(Crypto::CBC_AES128, key).decrypt(encAnswer);
    return finishEV2First(rndA, rndB, plain, [&key](const Bytes& sv, Bytes& out) {
        out = cmacKey(sv, key);
        return out.size() == KeySize ? OperationOK : SamFailure;
    });
}

DESFireEV2::Error DESFireEV2::authenticateEV2First(uint8_t keyNo, uint8_t samKeyNo,
                                                   std::shared_ptr<MifareSAM> sam)
{
    ::Log::debug("Authenticating EV2 First with diversified key (desKeyNo=%d, samKeyNo=%d, samKeyVer=%d)",
                 keyNo, samKeyNo, 0);
    if (!sam)
        return UnknownError;
    // A SAM result, or a SAM answer shorter than asked for, kept as this object's SAM error.
    auto samFailed = [this](int code, const Bytes* answer = nullptr, size_t wanted = 0) {
        if (code == 0 && answer && answer->size() < wanted)
            code = MifareSAM::WrongResponseSize;
        if (code == 0)
            return false;
        setSamError(code);
        return true;
    };

    Bytes encRndB;
    Error result = authenticateEV2FirstPart1(keyNo, encRndB);
    if (result != OperationOK)
        return result;
    Bytes rndB;
    if (samFailed(sam->activateOfflineKey(samKeyNo, 0, m_uid)) ||
        samFailed(sam->decipherOfflineData(encRndB, rndB), &rndB, RandomSize))
        return SamFailure;
    rndB.resize(RandomSize);
    const Bytes rndBrot = Crypto::rotateLeft(rndB, 1);
    const Bytes rndA = challenge(RandomSize);
    const Bytes rndArndB = Crypto::concat(rndA, rndBrot);
    Bytes token;
    if (samFailed(sam->encipherOfflineData(rndArndB, token), &token, AnswerSize))
        return SamFailure;
    token.resize(AnswerSize);
    logToken(encRndB, rndB, rndBrot, rndA, rndArndB, token);

    Bytes encAnswer;
    if ((result = authenticateEV2FirstPart2(token, encAnswer)) != OperationOK)
        return result;
    Bytes plain;
    if (samFailed(sam->decipherOfflineData(encAnswer, plain), &plain, AnswerSize))
        return SamFailure;
    // The SAM's offline key is still current: it MACs the session vectors into the session keys.
    return finishEV2First(rndA, rndB, plain, [&](const Bytes& sv, Bytes& out) {
        Bytes mac;
        int code = sam->generateMAC(sv, mac, KeySize);
        if (code == 0 && mac.size() != KeySize)
            code = MifareSAM::WrongResponseSize;
        if (code != 0) {
            setSamError(code);
            return SamFailure;
        }
        out = std::move(mac);
        return OperationOK;
    });
}

Bytes DESFireEV2::sessionVectorMac(const Bytes& rndA, const Bytes& rndB)
{
    return sessionVector(0x5A, 0xA5, rndA, rndB);
}

Bytes DESFireEV2::sessionVectorEnc(const Bytes& rndA, const Bytes& rndB)
{
    return sessionVector(0xA5, 0x5A, rndA, rndB);
}

Bytes DESFireEV2::generateSessionKeyMac(const Bytes& rndA, const Bytes& rndB, const Bytes& key)
{
    return cmacKey(sessionVectorMac(rndA, rndB), key);
}

Bytes DESFireEV2::generateSessionKeyEnc(const Bytes& rndA, const Bytes& rndB, const Bytes& key)
{
    return cmacKey(sessionVectorEnc(rndA, rndB), key);
}

// ---- MACs ----

Bytes DESFireEV2::sessionMAC(uint8_t first, const Bytes& fields) const
{
    Bytes input;
    input.reserve(1 + 2 + m_ti.size() + fields.size());
    ByteWriter(input).u8(first).u16le(m_cmdCtr).bytes(m_ti).bytes(fields);
    if (::Log::enabled(::Log::LevelDebug))
        ::Log::debug("Data for CMAC : (%d) %s", static_cast<int>(input.size()),
                     String::toHexExcerpt(input).c_str());
    return Crypto::MACt(input, m_sessionKeyMac);
}

Bytes DESFireEV2::generateRequestMAC(uint8_t cmd) const
{
    return sessionMAC(cmd, {});
}

Bytes DESFireEV2::generateRequestMAC(uint8_t cmd, uint8_t fileNo) const
{
    return sessionMAC(cmd, {fileNo});
}

Bytes DESFireEV2::generateRequestMAC(uint8_t cmd, uint8_t fileNo, uint32_t offset, uint32_t length,
                                     const Bytes& data) const
{
    return sessionMAC(cmd, fileFields(fileNo, offset, length, data));
}

Bytes DESFireEV2::generateResponseMAC(uint8_t status, const Bytes& data) const
{
    return sessionMAC(status, data);
}

Bytes DESFireEV2::encodeRequest(FileCommSet commSet, uint8_t cmd, uint8_t fileNo, uint32_t offset,
                                uint32_t length, const Bytes& data) const
{
    const Bytes fields = fileFields(fileNo, offset, length, data);
    Bytes frame;
    frame.reserve(1 + fields.size() + MacSize);
    ByteWriter w(frame);
    w.u8(cmd).bytes(fields);
    if (commSet == MACed && m_authenticated)
        w.bytes(sessionMAC(cmd, fields));
    return frame;
}

DESFireEV2::Error DESFireEV2::decodeResponse(FileCommSet commSet, const Bytes& answer)
{
    Bytes ignored;
    return decodeResponse(commSet, answer, ignored);
}

DESFireEV2::Error DESFireEV2::decodeResponse(FileCommSet commSet, const Bytes& answer, Bytes& out)
{
    // The card counted the command once it answered it, whatever we make of the answer.
    ++m_cmdCtr;
    return checkAnswer(commSet, answer, out);
}

void DESFireEV2::commandCompleted()
{
    ++m_cmdCtr;
}

DESFireEV2::Error DESFireEV2::checkAnswer(FileCommSet commSet, const Bytes& answer, Bytes& out) const
{
    if (commSet != MACed || !m_authenticated) {
        out = answer;
        return OperationOK;
    }
    if (answer.size() < MacSize)
        return InvalidResponseSize;
    Bytes data = firstBytes(answer, answer.size() - MacSize);
    const Bytes mac(answer.end() - static_cast<long>(MacSize), answer.end());
    if (mac != generateResponseMAC(OperationOK, data))
        return MacMismatch;
    out = std::move(data);
    return OperationOK;
}

// ---- data, records, transactions ----

DESFireEV2::Error DESFireEV2::readMaced(uint8_t cmd, uint8_t fileNo, uint32_t offset, uint32_t count,
                                        Bytes& out)
{
    Bytes gathered;
    const Error result = readFrames(encodeRequest(MACed, cmd, fileNo, offset, count, {}), gathered);
    if (result != OperationOK)
        return result;
    return checkAnswer(MACed, gathered, out);
}

DESFireEV2::Error DESFireEV2::writeMaced(uint8_t cmd, uint8_t fileNo, uint32_t offset, const Bytes& data)
{
    if (data.size() > Max24)
        return LengthError;
    Bytes last;
    const Error result = writeFrames(
        encodeRequest(MACed, cmd, fileNo, offset, static_cast<uint32_t>(data.size()), data), last);
    if (result != OperationOK)
        return result;
    Bytes ignored;
    return checkAnswer(MACed, dataOf(last), ignored);
}

DESFireEV2::Error DESFireEV2::macedCommand(uint8_t cmd, const Bytes& fields, Bytes* out)
{
    Bytes tx;
    tx.reserve(1 + fields.size() + MacSize);
    ByteWriter w(tx);
    w.u8(cmd).bytes(fields);
    if (m_authenticated)
        w.bytes(sessionMAC(cmd, fields));
    Bytes rx;
    // Only an authenticated session's answer carries a MAC to make room for.
    const Error result = command(tx, m_authenticated ? 1 + MacSize : 0, &rx);
    if (result != OperationOK)
        return result;
    Bytes data;
    const Error checked = checkAnswer(MACed, dataOf(rx), data);
    if (checked == OperationOK && out)
        *out = std::move(data);
    return checked;
}

DESFireEV2::Error DESFireEV2::readData(uint8_t fileNo, uint32_t offset, uint32_t length, Bytes& out, bool)
{
    ::Log::debug("Reading  'Data' file   : id=%02x, offset=% 4d, size=% 4d", fileNo, static_cast<int>(offset),
                 static_cast<int>(length));
    return readMaced(0xBD, fileNo, offset, length, out);
}

DESFireEV2::Error DESFireEV2::readRecords(uint8_t fileNo, uint32_t offset, uint32_t count, uint32_t length,
                                          Bytes& out, bool)
{
    ::Log::debug("Reading  'Record' file : id=%02x, size=% 4d, offset=% 2d, noOfRecords=% 2d", fileNo,
                 static_cast<int>(length), static_cast<int>(offset), static_cast<int>(count));
    return readMaced(0xBB, fileNo, offset, count, out);
}

DESFireEV2::Error DESFireEV2::writeData(uint8_t fileNo, uint32_t offset, const Bytes& data, bool, bool,
                                        const Bytes&)
{
    ::Log::debug("Writing  'Data'  file  : id=%02x, size=% 4d, offset=%d", fileNo,
                 static_cast<int>(data.size()), static_cast<int>(offset));
    return writeMaced(0x3D, fileNo, offset, data);
}

DESFireEV2::Error DESFireEV2::writeRecord(uint8_t fileNo, uint32_t offset, const Bytes& data, bool, bool)
{
    ::Log::debug("Writing  'Record' file : id=%02x, size=% 4d, offset=%d", fileNo,
                 static_cast<int>(data.size()), static_cast<int>(offset));
    return writeMaced(0x3B, fileNo, offset, data);
}

// ---- values ----

DESFireEV2::Error DESFireEV2::getValue(uint8_t fileNo, uint32_t& value, bool enciphered)
{
    if (!m_authenticated || !enciphered)
        return DESFire::getValue(fileNo, value, false);
    Bytes data;
    const Error result = macedCommand(0x6C, {fileNo}, &data);
    if (result != OperationOK)
        return result;
    ByteReader r(data);
    const uint32_t low = r.u16le();
    const uint32_t read = low | static_cast<uint32_t>(r.u16le()) << 16;
    if (!r.ok() || r.remaining() != 0)
        return InvalidResponseSize;
    value = read;
    return OperationOK;
}

DESFireEV2::Error DESFireEV2::valueChange(uint8_t cmd, uint8_t fileNo, uint32_t amount)
{
    Bytes fields;
    ByteWriter(fields).u8(fileNo).u32le(amount);
    return macedCommand(cmd, fields);
}

DESFireEV2::Error DESFireEV2::credit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac,
                                     bool reloadMac, const Bytes& givenMac)
{
    if (!m_authenticated || !(encipher || withMac))
        return DESFire::credit(fileNo, amount, false, false, reloadMac, givenMac);
    return valueChange(0x0C, fileNo, amount);
}

DESFireEV2::Error DESFireEV2::debit(uint8_t fileNo, uint32_t amount, bool encipher, bool withMac,
                                    bool reloadMac, const Bytes& givenMac)
{
    if (!m_authenticated || !(encipher || withMac))
        return DESFire::debit(fileNo, amount, false, false, reloadMac, givenMac);
    return valueChange(0xDC, fileNo, amount);
}

DESFireEV2::Error DESFireEV2::limitedCredit(uint8_t fileNo, uint32_t amount)
{
    if (!m_authenticated)
        return DESFire::limitedCredit(fileNo, amount);
    return valueChange(0x1C, fileNo, amount);
}

// ---- data, records, transactions ----

DESFireEV2::Error DESFireEV2::clearRecordFile(uint8_t fileNo)
{
    ::Log::debug("Clear record file (fileId=%02x)", fileNo);
    return macedCommand(0xEB, {fileNo});
}

DESFireEV2::Error DESFireEV2::commitTransaction()
{
    ::Log::debug("Commit transaction.");
    return macedCommand(0xC7, {});
}

DESFireEV2::Error DESFireEV2::abortTransaction()
{
    ::Log::debug("Abort transaction.");
    return macedCommand(0xA7, {});
}

}  // namespace NFC
