#include "NFC/Protocols/DESFire.h"

#include <map>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Common/NFCCrypto.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "core/Log.h"
#include "core/String.h"

namespace NFC {

namespace {

// A card that answers the first authentication step with plain success has not issued a
// challenge: that is a malformed answer, never an authenticated session.
DESFire::Error authenticationRefused(DESFire::Error first)
{
    return first == DESFire::OperationOK ? DESFire::InvalidResponseSize : first;
}

// No answer may grow a buffer past what a card can hold.
constexpr size_t MaxAnswerData = 0x10000;
constexpr size_t MaxFrame = 60;

using Bytes = DESFire::Bytes;

Bytes slice(const Bytes& v, size_t from, size_t n)
{
    return Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

}  // namespace

void DESFire::logValue(const char* format, const Bytes& value)
{
    if (::Log::enabled(::Log::LevelDebug))
        ::Log::debug(format, static_cast<int>(value.size()), String::toHexExcerpt(value).c_str());
}

void DESFire::logToken(const Bytes& encRndB, const Bytes& rndB, const Bytes& rndBrot, const Bytes& rndA,
                       const Bytes& rndArndB, const Bytes& token)
{
    logValue("-- RndB_enc     : (%02d) %s", encRndB);
    logValue("-- RndB         : (%02d) %s", rndB);
    logValue("-- RndB_rot     : (%02d) %s", rndBrot);
    logValue("-- RndA         : (%02d) %s", rndA);
    logValue("-- RndARndB     : (%02d) %s", rndArndB);
    logValue("-- RndARndB_enc : (%02d) %s", token);
}

DESFire::DESFire(std::shared_ptr<ISO14443> link, const Bytes& uid, const Bytes& ats)
    : Tag(std::move(link), MifareDESFire, uid, ats)
{
}

DESFire::~DESFire() = default;

void DESFire::assignMifareSAM(std::shared_ptr<MifareSAM> sam)
{
    m_sam = std::move(sam);
}

void DESFire::assignLGsam(std::shared_ptr<LGsam> sam)
{
    m_lgSam = std::move(sam);
}

bool DESFire::hasSam() const
{
    return m_sam || m_lgSam;
}

// ---- framing and status ----

DESFire::Error DESFire::checkResponse(const Bytes& answer, unsigned minSize)
{
    if (answer.empty())
        return InvalidResponseSize;
    const uint8_t status = answer[0];
    if (answer.size() == 1) {
        // A refusal carries no data and needs none; a success without the data is malformed.
        if (minSize > 1 && (status == OperationOK || status == AdditionalFrame))
            return InvalidResponseSize;
        return status;
    }
    if (minSize > answer.size())
        return InvalidResponseSize;
    return status;
}

std::string DESFire::errorstr(Error code) const
{
    if (code == SamFailure)
        return m_lgSam ? LGsam::errorToStr(m_lgSamError) : MifareSAM::errorToStr(m_samError);
    static const std::map<Error, std::string> table = {
        {0x00, "None"},
        {0x0C, "No changes done to backup files"},
        {0x0E, "Insufficient NV-Memory to complete command"},
        {0x1C, "Command code not supported"},
        {0x1E, "CRC or MAC does not match data. Padding not valid"},
        {0x40, "Invalid key number specified"},
        {0x7E, "Length of command string invalid"},
        {0x9D, "Current configuration/status does not allow the requested command"},
        {0x9E, "Value of the parameter(s) invalid"},
        {0xA0, "Requested Application ID not present on PICC"},
        {0xA1, "Unrecoverable error within the application, application will be disabled"},
        {0xAE, "Current authentication status does not allow the requested command"},
        {0xAF, "Additional data frame is expected to be send"},
        {0xBE, "Attempt to read/write data beyond the file's/record's limits"},
        {0xC1, "Unrecoverable error within PICC, PICC will be disabled"},
        {0xCA, "Previous command was not fully completed (not all frames were provided)"},
        {0xCD, "PICC was disabled by an unrecoverable error"},
        {0xCE, "Maximum number of allowed application was reached"},
        {0xDE, "Creation failed because of duplicate id"},
        {0xEE, "Could not complete NV-write operation due to loss of power"},
        {0xF0, "Specified file number does not exist"},
        {0xF1, "Unrecoverable error within file, file will be disabled"},
        {0xFFFA, "RndA does not match that received from PICC"},
        {0xFFFB, "Mismatching CMAC received from PICC"},
        {0xFFFC, "Error occured during SAM operation"},
        {0xFFFD, "Timeout waiting for transponder response"},
        {0xFFFE, "Invalid response size"},
        {0xFFFF, "Unknown error"},
    };
    const auto it = table.find(code);
    return it == table.end() ? table.at(UnknownError) : it->second;
}

bool DESFire::transceive(const Bytes& tx, Bytes& rx)
{
    rx.clear();
    return m_iso14443 && m_iso14443->TDX4(tx, rx);
}

DESFire::Error DESFire::command(const Bytes& tx, unsigned minSize, Bytes* answer)
{
    Bytes rx;
    if (!transceive(tx, rx))
        return Timeout;
    if (!rx.empty() && rx[0] == OperationOK)
        commandCompleted();
    const Error result = checkResponse(rx, minSize);
    if (answer)
        *answer = std::move(rx);
    return result;
}

DESFire::Error DESFire::readFrames(const Bytes& tx, Bytes& out, size_t group)
{
    Bytes frame = tx;
    Bytes rx;
    size_t gathered = 0;
    for (;;) {
        if (!transceive(frame, rx))
            return Timeout;
        if (rx.empty())
            return InvalidResponseSize;
        const uint8_t status = rx[0];
        if (status == OperationOK)
            commandCompleted();
        if (status != OperationOK && status != AdditionalFrame)
            return status;
        const size_t n = rx.size() - 1;
        if ((group && n % group != 0) || gathered + n > MaxAnswerData)
            return InvalidResponseSize;
        out.insert(out.end(), rx.begin() + 1, rx.end());
        gathered += n;
        if (status == OperationOK)
            return OperationOK;
        frame = {AdditionalFrame};
    }
}

DESFire::Error DESFire::writeFrames(const Bytes& frame, Bytes& last)
{
    size_t pos = std::min(frame.size(), MaxFrame);
    Bytes tx = slice(frame, 0, pos);
    for (;;) {
        if (!transceive(tx, last))
            return Timeout;
        if (last.empty())
            return InvalidResponseSize;
        const uint8_t status = last[0];
        if (status == OperationOK)
            commandCompleted();
        if (pos == frame.size() || status != AdditionalFrame)
            return status;
        const size_t n = std::min(frame.size() - pos, MaxFrame - 1);
        tx.assign(1, AdditionalFrame);
        tx.insert(tx.end(), frame.begin() + static_cast<long>(pos),
                  frame.begin() + static_cast<long>(pos + n));
        pos += n;
    }
}

// ---- authentication ----

Bytes DESFire::defaultKey()
{
    // The factory key of a blank card: two-key Triple-DES of zeros.
    Bytes key;
    for (int i = 0; i < 16; ++i) key.push_back(0x00);
    return key;
}

DESFire::Error DESFire::authenticate(uint8_t keyNo, uint8_t samKeyNo, uint8_t authMode, bool cascadeUid,
                                     uint8_t samKeyVer)
{
    m_sessionKey.clear();
    if (m_sam)
        return authenticate_MifareSAM(keyNo, samKeyNo, authMode, cascadeUid, samKeyVer);
    if (m_lgSam)
        return authenticate_LGsam(keyNo, samKeyNo);
    return authenticate(0, defaultKey());
}

template <class Sam>
DESFire::Error DESFire::finishSamAuthentication(const std::shared_ptr<Sam>& sam, const Bytes& samAnswer,
                                                int& errorStore)
{
    const Bytes zeros(8, 0x00);
    if (samAnswer.size() < 16) {
        // Nothing fit to send the card: the SAM's session is closed all the same.
        (void)sam->authenticatePICCPart2(zeros);
        errorStore = MifareSAM::WrongResponseSize;
        return SamFailure;
    }
    Bytes tx = {AdditionalFrame};
    tx.insert(tx.end(), samAnswer.begin(), samAnswer.begin() + 16);
    Bytes rx;
    if (!transceive(tx, rx)) {
        (void)sam->authenticatePICCPart2(zeros);
        return Timeout;
    }
    const Error status = checkResponse(rx, 9);
    if (status != OperationOK && status != AdditionalFrame) {
        (void)sam->authenticatePICCPart2(zeros);
        return status;
    }
    const int result = sam->authenticatePICCPart2(slice(rx, 1, 8));
    if (result != 0) {
        errorStore = result;
        return SamFailure;
    }
    return OperationOK;
}

DESFire::Error DESFire::authenticate_MifareSAM(uint8_t keyNo, uint8_t samKeyNo, uint8_t authMode,
                                               bool cascadeUid, uint8_t samKeyVer)
{
    if (!m_sam)
        return UnknownError;
    Bytes rx;
    const Error first = command({0x0A, keyNo}, 9, &rx);
    if (first != AdditionalFrame)
        return authenticationRefused(first);
    const Bytes encRndB = slice(rx, 1, 8);
    Bytes divInput;
    if (cascadeUid)
        divInput.push_back(0x88);
    divInput.insert(divInput.end(), m_uid.begin(), m_uid.end());
    Bytes out;
    const int result = m_sam->authenticatePICCPart1(samKeyNo, authMode, encRndB, divInput, out, samKeyVer);
    if (result != 0) {
        m_samError = result;
        return SamFailure;
    }
    return finishSamAuthentication(m_sam, out, m_samError);
}

DESFire::Error DESFire::authenticate_LGsam(uint8_t keyNo, uint8_t samKeyNo)
{
    if (!m_lgSam)
        return UnknownError;
    // File 02 holds what keys the SAM: the diversification input, the centre and the key set version.
    Bytes file;
    const Error read = command({0xBD, 0x02, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00}, 18, &file);
    if (read != OperationOK && read != AdditionalFrame)
        return read;
    ByteReader reader(file);
    reader.skip(7);
    const uint8_t VKSETissuer = reader.u8();
    const uint8_t IDcenter = reader.u8();
    reader.skip(1);
    const Bytes divInput = reader.bytes(8);
    if (!reader.ok())
        return InvalidResponseSize;

    Bytes rx;
    const Error first = command({0x1A, keyNo}, 9, &rx);
    if (first != AdditionalFrame)
        return authenticationRefused(first);
    Bytes out;
    const int result =
        m_lgSam->authenticatePICCPart1(samKeyNo, slice(rx, 1, 8), divInput, IDcenter, VKSETissuer, out);
    if (result != 0) {
        m_lgSamError = result;
        return SamFailure;
    }
    return finishSamAuthentication(m_lgSam, out, m_lgSamError);
}

DESFire::Error DESFire::authenticate(uint8_t keyNo, const Bytes& key)
{
    m_sessionKey.clear();
    Bytes rx;
    const Error first = command({0x1A, keyNo}, 9, &rx);
    if (first != AdditionalFrame)
        return authenticationRefused(first);
    Crypto crypto(Crypto::CBC_3DES, key);
    const Bytes encRndB(rx.begin() + 1, rx.end());
    const Bytes rndB = crypto.decrypt(encRndB);
    if (rndB.size() != encRndB.size())
        return rndB.empty() && encRndB.size() % 8 == 0 ? UnknownError : InvalidResponseSize;
    const Bytes rndBrot = Crypto::rotateLeft(rndB, 1);
    const Bytes rndA = Crypto::random(static_cast<unsigned>(rndB.size()));
    const Bytes rndArndB = Crypto::concat(rndA, rndBrot);
    const Bytes token = crypto.encrypt(rndArndB);
    logToken(encRndB, rndB, rndBrot, rndA, rndArndB, token);

    Bytes tx = {AdditionalFrame};
    tx.insert(tx.end(), token.begin(), token.end());
    const Error second = command(tx, 9, &rx);
    if (second != OperationOK)
        return second;
    const Bytes encRndA(rx.begin() + 1, rx.end());
    if (encRndA.size() % 8 != 0)
        return InvalidResponseSize;
    const Bytes rndAdec = crypto.decrypt(encRndA);
    const Bytes rndArot = Crypto::rotateRight(rndAdec, 1);
    logValue("-- RndA_enc     : (%02d) %s", encRndA);
    logValue("-- RndA_dec     : (%02d) %s", rndAdec);
    logValue("-- RndA_rot     : (%02d) %s", rndArot);
    if (rndArot != rndA)
        return AuthenticationError;
    m_sessionKey = generateSessionKey(key, rndA, rndB);
    logValue("-- Session Key  : (%02d) %s", m_sessionKey);
    return OperationOK;
}

Bytes DESFire::generateSessionKey(const Bytes& key, const Bytes& rndA, const Bytes& rndB)
{
    if (rndA.size() < 4 || rndB.size() < 4)
        return {};
    Bytes out = slice(rndA, 0, 4);
    out.insert(out.end(), rndB.begin(), rndB.begin() + 4);
    if (Crypto::isSingleDESKey(key)) {
        const Bytes half = out;
        out.insert(out.end(), half.begin(), half.end());
    } else {
        out.insert(out.end(), rndA.end() - 4, rndA.end());
        out.insert(out.end(), rndB.end() - 4, rndB.end());
    }
    return out;
}

DESFire::Error DESFire::authenticateAESPart1(uint8_t keyNo, Bytes& encRndB)
{
    m_sessionKey.clear();
    Bytes rx;
    const Error result = command({0xAA, keyNo}, 17, &rx);
    if (result == AdditionalFrame)
        encRndB.assign(rx.begin() + 1, rx.end());
    return result;
}

DESFire::Error DESFire::authenticateAESPart2(const Bytes& cryptogram, Bytes& encRndA)
{
    Bytes tx = {AdditionalFrame};
    tx.insert(tx.end(), cryptogram.begin(), cryptogram.end());
    Bytes rx;
    const Error result = command(tx, 17, &rx);
    if (result == OperationOK)
        encRndA.assign(rx.begin() + 1, rx.end());
    return result;
}

DESFire::Error DESFire::authForReload(uint8_t keyNo, uint8_t samKeyNo, uint8_t VKSETissuer, Bytes& divInput,
                                      uint8_t trt, Bytes& transCnt, Bytes& balanceOrPriceAmt,
                                      Bytes& nativeCMD, Bytes& out)
{
    if (!m_lgSam)
        return UnknownError;
    return reload_LGcard(keyNo, samKeyNo, VKSETissuer, divInput, trt, transCnt, balanceOrPriceAmt, nativeCMD,
                         out);
}

DESFire::Error DESFire::reload_LGcard(uint8_t keyNo, uint8_t samKeyNo, uint8_t VKSETissuer, Bytes& divInput,
                                      uint8_t trt, Bytes& transCnt, Bytes& balanceOrPriceAmt,
                                      Bytes& nativeCMD, Bytes& out)
{
    if (!m_lgSam)
        return UnknownError;
    Bytes rx;
    const Error first = command({0x1A, keyNo}, 9, &rx);
    if (first != AdditionalFrame)
        return authenticationRefused(first);
    Bytes cryptogram;
    int result =
        m_lgSam->initSAMforCardReload(samKeyNo, slice(rx, 1, 8), divInput, 1, VKSETissuer, trt, cryptogram);
    if (result == 0 && cryptogram.size() < 16)
        result = LGsam::WrongAnswerSize;
    if (result != 0) {
        m_lgSamError = result;
        return SamFailure;
    }
    Bytes tx = {AdditionalFrame};
    tx.insert(tx.end(), cryptogram.begin(), cryptogram.begin() + 16);
    const Error second = command(tx, 9, &rx);
    if (second != OperationOK && second != AdditionalFrame)
        return second;
    result = m_lgSam->debitSAMforCardReload(1, VKSETissuer, trt, divInput, transCnt, balanceOrPriceAmt,
                                            slice(rx, 1, 8), nativeCMD, out);
    if (result != 0) {
        m_lgSamError = result;
        return SamFailure;
    }
    return OperationOK;
}

DESFire::Error DESFire::getSAMbalance(uint32_t& samTransSN, uint32_t& countBal, uint32_t& daysBal,
                                      uint32_t& minutesBal, uint32_t& valueBal)
{
    if (!m_lgSam)
        return UnknownError;
    LGsam::SAMbalanceData data;
    const int result = m_lgSam->getSAMbalance(data);
    if (result != 0) {
        m_lgSamError = result;
        return SamFailure;
    }
    samTransSN = data.samTransSN;
    countBal = data.countBal;
    daysBal = data.daysBal;
    minutesBal = data.minutesBal;
    valueBal = data.valueBal;
    return OperationOK;
}

// ---- keys ----

DESFire::Error DESFire::changeKey(uint8_t keyNo, const Bytes& newKey, const Bytes& oldKey)
{
    // Without a session the key would go over the air in clear, for a card that refuses it anyway.
    if (m_sessionKey.empty())
        return UnknownError;
    const Bytes header = {0xC4, keyNo};
    if (oldKey.empty() || oldKey == newKey)
        return changeKeyCrypto(keyNo, encodeDataEV1Full(header, newKey));
    if (oldKey.size() < newKey.size())
        return UnknownError;
    // Another key than the one authenticated: the card undoes the XOR and checks the new key's own CRC.
    Bytes newKeyCrc;
    ByteWriter(newKeyCrc).u32le(Crypto::crc32(newKey));
    return changeKeyCrypto(keyNo,
                           encodeDataEV1Full(header, Crypto::XOR(newKey, oldKey, newKey.size()), newKeyCrc));
}

DESFire::Error DESFire::changeKeyCrypto(uint8_t keyNo, const Bytes& cryptogram)
{
    Bytes tx = {0xC4, keyNo};
    tx.insert(tx.end(), cryptogram.begin(), cryptogram.end());
    return command(tx, 0);
}

DESFire::Error DESFire::changeKeyPICC(uint8_t keyCompMethod, uint8_t keyNo, bool isMasterKey,
                                      uint8_t keyNoCur, uint8_t keyVerCur, uint8_t keyNoNew,
                                      uint8_t keyVerNew)
{
    if (!m_sam)
        return SamFailure;
    const Bytes divInput = (keyCompMethod & 0x06) ? m_uid : Bytes();
    Bytes cryptogram;
    const int result = m_sam->changeKeyPICC(keyCompMethod, keyNo, isMasterKey, keyNoCur, keyVerCur, keyNoNew,
                                            keyVerNew, divInput, cryptogram);
    if (result != 0) {
        m_samError = result;
        return SamFailure;
    }
    return changeKeyCrypto(keyNo, cryptogram);
}

Bytes DESFire::encodeDataEV1Full(const Bytes& header, const Bytes& value)
{
    return encodeDataEV1Full(header, value, {});
}

Bytes DESFire::encodeDataEV1Full(const Bytes& header, const Bytes& value, const Bytes& trailer)
{
    if (m_sessionKey.empty())
        return value;
    const Bytes crcInput = Crypto::concat(header, value);
    const uint32_t crc = Crypto::crc32(crcInput);
    Bytes plain = value;
    ByteWriter(plain).u32le(crc).bytes(trailer);
    while (plain.size() % 8 != 0) plain.push_back(0x00);
    Crypto crypto(Crypto::CBC_3DES, m_sessionKey);
    const Bytes cipher = crypto.encrypt(plain);
    if (!::Log::enabled(::Log::LevelDebug))
        return cipher;
    ::Log::debug("Encoding data for EV1 secure messaging");
    ::Log::debug("-- Header  : (%d) %s", static_cast<int>(header.size()),
                 String::toHexExcerpt(header).c_str());
    ::Log::debug("-- Value   : (%d) %s", static_cast<int>(value.size()), String::toHexExcerpt(value).c_str());
    ::Log::debug("-- CRC buf : (%d) %s", static_cast<int>(crcInput.size()),
                 String::toHexExcerpt(crcInput).c_str());
    ::Log::debug("-- CRC     : 0x%08X", crc);
    ::Log::debug("-- Plain   : (%d) %s", static_cast<int>(plain.size()), String::toHexExcerpt(plain).c_str());
    ::Log::debug("-- Cipher  : (%d) %s", static_cast<int>(cipher.size()),
                 String::toHexExcerpt(cipher).c_str());
    return cipher;
}

// ---- secure messaging through the SAM ----

DESFire::Error DESFire::samOutcome(int result)
{
    if (result == 0)
        return OperationOK;
    (m_sam ? m_samError : m_lgSamError) = result;
    return SamFailure;
}

DESFire::Error DESFire::encipherData(Bytes& data, int offset)
{
    if (!hasSam())
        return UnknownError;
    Bytes out;
    const Error result =
        samOutcome(m_sam ? m_sam->encipherData(data, out, offset) : m_lgSam->encipherData(data, out, offset));
    if (result == OperationOK)
        data = std::move(out);
    return result;
}

DESFire::Error DESFire::decipherData(Bytes& data, unsigned plainSize)
{
    if (!hasSam())
        return UnknownError;
    Bytes out;
    const Error result = samOutcome(m_sam ? m_sam->decipherData(data, out, plainSize)
                                          : m_lgSam->decipherData(data, out, plainSize));
    if (result == OperationOK)
        data = std::move(out);
    return result;
}

DESFire::Error DESFire::generateMAC(const Bytes& data, Bytes& mac)
{
    if (!hasSam())
        return UnknownError;
    return samOutcome(m_sam ? m_sam->generateMAC(data, mac, 0) : m_lgSam->generateMAC(data, mac));
}

DESFire::Error DESFire::verifyMAC(const Bytes& dataAndMac)
{
    if (!hasSam())
        return UnknownError;
    return samOutcome(m_sam ? m_sam->verifyMAC(dataAndMac, 0) : m_lgSam->verifyMAC(dataAndMac));
}

}  // namespace NFC
