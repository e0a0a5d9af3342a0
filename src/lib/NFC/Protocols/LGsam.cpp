#include "NFC/Protocols/LGsam.h"

#include <algorithm>
#include <map>
#include <utility>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Protocols/MifareSAM.h"
#include "core/String.h"

namespace NFC {

namespace {

constexpr uint8_t ClaIso = 0x00;
constexpr uint8_t ClaSam = 0x80;
constexpr int SwOk = 0x9000;
constexpr int SwMore = 0x90AF;

// Frame sizes of the MIFARE SAM's chained cipher commands, which this SAM shares.
constexpr size_t EncipherFrame = 0xF6;
constexpr size_t DecipherFrame = 0xF8;

constexpr size_t SelectAnswer = 81;
constexpr size_t ReloadInitAnswer = 115;
constexpr size_t ReloadAnswer = 67;
constexpr size_t SindAnswer = 44;
constexpr size_t SindRequestSize = 23;
constexpr size_t ReloadRequestSize = 39;

uint32_t u32be(ByteReader& in)
{
    const uint32_t high = in.u16be();
    const uint32_t low = in.u16be();
    return high << 16 | low;
}

void u32be(ByteWriter& out, uint32_t value)
{
    out.u16be(static_cast<uint16_t>(value >> 16)).u16be(static_cast<uint16_t>(value));
}

template <size_t N>
void take(ByteReader& in, std::array<uint8_t, N>& field)
{
    const std::vector<uint8_t> bytes = in.bytes(N);
    if (bytes.size() == N)
        std::copy(bytes.begin(), bytes.end(), field.begin());
}

// P2 of the card reload commands by transaction type; -1 for a type the SAM does not know.
int reloadP2(uint8_t trt)
{
    switch (trt) {
        case 2:
            return 0x00;
        case 8:
            return 0x02;
        case 9:
            return 0x01;
        case 10:
            return 0x02;
        case 11:
            return 0x03;
        default:
            return -1;
    }
}

}  // namespace

const LGsam::Bytes LGsam::ExpectedATR = {0x3B, 0x72, 0x18, 0x00, 0x00, 0xAA, 0xDD};

LGsam::LGsam(std::shared_ptr<ISO7816> link, const Bytes& atr) : SAM(std::move(link), atr, SAM::LG) {}

bool LGsam::check()
{
    Bytes serial;
    return getHostSN(serial) == Success;
}

bool LGsam::setDefaultPPS()
{
    const uint8_t pps1 = 0x18;
    if (!setPPS(T0, &pps1))
        return false;
    Driver::CommSettings settings;
    settings.protocol = T0;
    settings.option = 5;
    // bmFindexDindex, bmTCCKST0, bGuardTimeT0, bWaitingIntegerT0, bClockStop; the rest is T=1's.
    const uint8_t t0[5] = {0x18, 0x00, 0x00, 0x0A, 0x00};
    std::copy(t0, t0 + 5, settings.protocolData);
    return m_iso7816->setCommSettings(settings);
}

bool LGsam::unlocked() const
{
    return m_unlocked;
}

LGsam::ErrorCode LGsam::codeOf(const T0::Result& result) const
{
    switch (result.outcome) {
        case T0::Outcome::Done:
            return Success;
        case T0::Outcome::LinkFailure:
            return TransmitFailed;
        case T0::Outcome::WrongLength:
            return WrongAnswerSize;
        case T0::Outcome::Status:
            return result.sw;
        case T0::Outcome::TooLong:
            return WrongLength;
    }
    return TransmitFailed;
}

LGsam::ErrorCode LGsam::receive(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, size_t length,
                                Bytes& answer)
{
    const Driver::TPDUHeader header{cla, ins, p1, p2, static_cast<uint8_t>(length)};
    return codeOf(T0::receive(*m_iso7816, header, length, answer));
}

LGsam::ErrorCode LGsam::send(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data)
{
    const Driver::TPDUHeader header{ClaSam, ins, p1, p2, 0};
    return codeOf(T0::send(*m_iso7816, header, data));
}

LGsam::ErrorCode LGsam::sendAndFetch(uint8_t cla, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data,
                                     size_t minLength, size_t maxLength, Bytes& answer)
{
    const Driver::TPDUHeader header{cla, ins, p1, p2, 0};
    return codeOf(T0::sendAndFetch(*m_iso7816, header, data, minLength, maxLength, answer));
}

LGsam::ErrorCode LGsam::selectFile(SAMinfo& info)
{
    // The application identifier, as a TLV: tag, length, identifier.
    Bytes tlv;
    const Driver::TPDUHeader getData{ClaIso, 0xCA, 0x02, 0x01, 0x0C};
    ErrorCode rc = codeOf(T0::receive(*m_iso7816, getData, 12, tlv, true));
    if (rc != Success)
        return rc;
    ByteReader tlvIn(tlv);
    tlvIn.skip(1);
    const uint8_t aidLength = tlvIn.u8();
    Bytes aid = tlvIn.bytes(aidLength);
    if (!tlvIn.ok())
        return WrongAnswerSize;

    Bytes answer;
    rc = sendAndFetch(ClaIso, 0xA4, 0x04, 0x00, aid, SelectAnswer, SelectAnswer, answer);
    if (rc != Success)
        return rc;

    SAMinfo cut;
    ByteReader in(answer);
    in.skip(4);
    take(in, cut.status);
    take(in, cut.samId);
    take(in, cut.words[0]);
    take(in, cut.words[1]);
    cut.flags[0] = in.u8();
    for (size_t i = 2; i <= 10; ++i) take(in, cut.words[i]);
    in.skip(10);
    cut.flags[1] = in.u8();
    take(in, cut.words[11]);
    take(in, cut.words[12]);
    cut.flags[2] = in.u8();
    if (!in.ok())
        return WrongAnswerSize;
    cut.aid = std::move(aid);
    info = std::move(cut);
    m_unlocked = true;
    return Success;
}

LGsam::ErrorCode LGsam::getVersion(Version& version)
{
    Bytes data;
    ErrorCode rc = receive(ClaIso, 0xCA, 0x02, 0x00, 2, data);
    if (rc != Success)
        return rc;
    SAMinfo info;
    rc = selectFile(info);
    if (rc != Success)
        return rc;

    // The SAM reports these as digits; they are read back from text as it always has been, so
    // a leading zero reads as octal.
    const std::array<uint8_t, 4>& word = info.words[0];
    Version out;
    ByteReader dataIn(data);
    out.data = {dataIn.u8(), dataIn.u8()};
    out.samId.assign(info.samId.begin(), info.samId.end());
    out.major = static_cast<uint8_t>(String::toInteger(String::format("%X", word[3]), 0));
    out.minor = static_cast<uint8_t>(String::toInteger(String::format("%X", word[2]), 0));
    out.release = static_cast<uint8_t>(String::toInteger(String::toHex(word.data(), 2), 0) + 0x30);
    out.aid = String::toHex(info.aid);
    out.status = {info.status[3]};
    out.flag = {info.flags[0]};
    version = std::move(out);
    return Success;
}

LGsam::ErrorCode LGsam::getIssuerKeyVersion(Bytes& out)
{
    return sendAndFetch(ClaIso, 0x78, 0x02, 0x00, {0x01}, 1, 2, out);
}

LGsam::ErrorCode LGsam::getHostSN(Bytes& out)
{
    return receive(ClaIso, 0xCA, 0x01, 0x02, 4, out);
}

LGsam::ErrorCode LGsam::cardSession(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& rndB,
                                    const Bytes& divInput, uint8_t IDcenter, uint8_t VKSETissuer, Bytes& out)
{
    Bytes data;
    ByteWriter(data).u8(IDcenter).u8(VKSETissuer).bytes(divInput).bytes(rndB);
    // The enciphered RndA and the rotated RndB for the card.
    const size_t expected = 2 * rndB.size();
    return sendAndFetch(ClaSam, ins, p1, p2, data, expected, expected, out);
}

LGsam::ErrorCode LGsam::authenticatePICCPart1(uint8_t key, const Bytes& rndB, const Bytes& divInput,
                                              uint8_t IDcenter, uint8_t VKSETissuer, Bytes& out)
{
    return cardSession(0x0A, key, 0x00, rndB, divInput, IDcenter, VKSETissuer, out);
}

LGsam::ErrorCode LGsam::authenticatePICCPart2(const Bytes& encRndA)
{
    return send(0x0A, 0x00, 0x00, encRndA);
}

LGsam::ErrorCode LGsam::initSAMforCardReload(uint8_t key, const Bytes& rndB, const Bytes& divInput,
                                             uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt, Bytes& out)
{
    const int p2 = reloadP2(trt);
    if (p2 < 0)
        return BadParameter;
    return cardSession(0x52, key, static_cast<uint8_t>(p2), rndB, divInput, IDcenter, VKSETissuer, out);
}

LGsam::ErrorCode LGsam::debitSAMforCardReload(uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt,
                                              const Bytes& divInput, const Bytes& transCnt,
                                              const Bytes& balanceOrPriceAmt, const Bytes& encRndAI,
                                              const Bytes& nativeCMD, Bytes& out)
{
    // The SAM counts these three as one 16-byte block.
    if (divInput.size() + transCnt.size() + balanceOrPriceAmt.size() != 16)
        return WrongLength;
    const int p2 = reloadP2(trt);
    Bytes data;
    ByteWriter(data)
        .u8(IDcenter)
        .u8(VKSETissuer)
        .u8(trt)
        .bytes(divInput)
        .bytes(transCnt)
        .bytes(balanceOrPriceAmt)
        .bytes(encRndAI)
        .bytes(nativeCMD);
    return sendAndFetch(ClaSam, 0x54, 0x00, p2 < 0 ? 0xFF : static_cast<uint8_t>(p2), data, 0x34, 0x34, out);
}

LGsam::ErrorCode LGsam::verifyMAC(const Bytes& data)
{
    return send(0x5C, 0x00, 0x00, data);
}

LGsam::ErrorCode LGsam::generateMACforReload(const Bytes& data, Bytes& mac)
{
    return sendAndFetch(ClaSam, 0xE2, 0x00, 0x00, data, 8, 8, mac);
}

LGsam::ErrorCode LGsam::generateMAC(const Bytes& data, Bytes& mac)
{
    return sendAndFetch(ClaSam, 0x7C, 0x00, 0x00, data, 8, 8, mac);
}

LGsam::ErrorCode LGsam::getSind(const SindRequest& request, SindResponse& response)
{
    Bytes data;
    ByteWriter out(data);
    out.u8(request.idCenter).u8(request.vkset).u8(request.trt).bytes(request.idEp);
    u32be(out, request.ntEp);
    u32be(out, request.mDa);
    u32be(out, request.balEp);
    if (data.size() != SindRequestSize)
        return WrongLength;

    Bytes answer;
    const ErrorCode rc = sendAndFetch(ClaSam, 0x18, 0x00, 0x00, data, SindAnswer, SindAnswer, answer);
    if (rc != Success)
        return rc;
    ByteReader in(answer);
    SindResponse cut;
    cut.idCenter = in.u8();
    cut.vkset = in.u8();
    cut.trt = in.u8();
    cut.idEp = in.bytes(8);
    cut.ntEp = u32be(in);
    cut.mDa = u32be(in);
    cut.balEp = u32be(in);
    cut.idSam = in.bytes(8);
    cut.ntSam = u32be(in);
    cut.balSam = u32be(in);
    cut.sind = u32be(in);
    cut.alg = in.u8();
    if (!in.ok())
        return WrongAnswerSize;
    response = std::move(cut);
    return Success;
}

LGsam::ErrorCode LGsam::checkIssueCertUL48(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                           const Bytes& uid, const Bytes& issueDate, const Bytes& issueCert)
{
    Bytes data;
    ByteWriter(data).u8(IDcenter).u8(VKSETissuer).bytes(uid).bytes(issueDate).bytes(issueCert);
    if (data.size() != 0x0D)
        return WrongLength;
    return send(0x10, IDkey, 0x00, data);
}

LGsam::ErrorCode LGsam::encryptDecryptData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                           const Bytes& IDep, bool encrypt, const Bytes& encDecData,
                                           Bytes& out)
{
    if (IDep.size() != 8)
        return WrongLength;
    Bytes data;
    ByteWriter(data).u8(IDcenter).u8(VKSETissuer).bytes(IDep).bytes(encDecData);
    return sendAndFetch(ClaSam, 0xE4, IDkey, encrypt ? 0x00 : 0x01, data, 1, T0::MaxAnswer, out);
}

LGsam::ErrorCode LGsam::generateIssuerCert(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                           const Bytes& data, Bytes& out)
{
    Bytes command;
    ByteWriter(command).u8(IDkey).u8(IDcenter).u8(VKSETissuer).bytes(data);
    return sendAndFetch(ClaSam, 0x7E, 0x00, 0x00, command, 2, 2, out);
}

LGsam::ErrorCode LGsam::encryptTpassData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt,
                                         const Bytes& uid, const Bytes& counter, const Bytes& plainData,
                                         Bytes& out)
{
    Bytes data;
    ByteWriter(data).u8(IDcenter).u8(VKSETissuer).u8(trt).bytes(uid).bytes(counter).bytes(plainData);
    if (data.size() != 0x1A)
        return WrongLength;
    return sendAndFetch(ClaSam, 0xFC, IDkey, 0xFF, data, 0x10, 0x10, out);
}

LGsam::ErrorCode LGsam::decryptRecord(uint8_t ins, uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                      const Bytes& uid, const Bytes& counter, const Bytes& encData,
                                      Bytes& out)
{
    Bytes data;
    ByteWriter(data).u8(IDcenter).u8(VKSETissuer).bytes(uid).bytes(counter).bytes(encData);
    if (data.size() != 0x1D)
        return WrongLength;
    return sendAndFetch(ClaSam, ins, IDkey, 0x00, data, 0x0C, 0x0C, out);
}

LGsam::ErrorCode LGsam::decryptTpassData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                         const Bytes& uid, const Bytes& counter, const Bytes& encData,
                                         Bytes& out)
{
    return decryptRecord(0xFA, IDkey, IDcenter, VKSETissuer, uid, counter, encData, out);
}

LGsam::ErrorCode LGsam::encryptTvalueData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer, uint8_t trt,
                                          const Bytes& uid, const Bytes& passPrice, const Bytes& remainValue,
                                          const Bytes& plainData, Bytes& out)
{
    Bytes data;
    ByteWriter(data)
        .u8(IDcenter)
        .u8(VKSETissuer)
        .u8(trt)
        .bytes(uid)
        .bytes(passPrice)
        .bytes(remainValue)
        .bytes(plainData);
    if (data.size() != 0x1E)
        return WrongLength;
    return sendAndFetch(ClaSam, 0xF6, IDkey, 0xFF, data, 0x3C, 0x3C, out);
}

LGsam::ErrorCode LGsam::decryptTvalueData(uint8_t IDkey, uint8_t IDcenter, uint8_t VKSETissuer,
                                          const Bytes& uid, const Bytes& counter, const Bytes& encData,
                                          Bytes& out)
{
    return decryptRecord(0xF4, IDkey, IDcenter, VKSETissuer, uid, counter, encData, out);
}

LGsam::ErrorCode LGsam::framed(uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& frame, Bytes& out)
{
    const Driver::TPDUHeader header{static_cast<uint8_t>(ClaSam | logicalChannel()), ins, p1, p2, 0};
    Bytes scratch;
    const T0::Result first = T0::exchange(*m_iso7816, header, &frame, scratch);
    if (!first.ok())
        return codeOf(first);
    if (first.sw == SwOk || first.sw == SwMore)
        return Success;
    const size_t waiting = T0::announced(first.sw);
    if (waiting == 0)
        return first.sw;
    const T0::Result fetched = T0::getResponse(*m_iso7816, waiting, scratch, SwMore);
    if (!fetched.ok())
        return codeOf(fetched);
    out.insert(out.end(), scratch.begin(), scratch.end());
    return Success;
}

LGsam::ErrorCode LGsam::decipherData(const Bytes& cipher, Bytes& plain, unsigned plainSize)
{
    Bytes frame;
    for (size_t offset = 0; offset < cipher.size(); offset += DecipherFrame) {
        const size_t n = std::min(DecipherFrame, cipher.size() - offset);
        frame.clear();
        ByteWriter out(frame);
        if (offset == 0)
            out.u16le(static_cast<uint16_t>(plainSize)).u8(static_cast<uint8_t>(plainSize >> 16));
        out.bytes(cipher.data() + offset, n);
        const ErrorCode rc = framed(0xDD, 0x00, 0x00, frame, plain);
        if (rc != Success)
            return rc;
    }
    return Success;
}

LGsam::ErrorCode LGsam::encipherData(const Bytes& plain, Bytes& cipher, int offset)
{
    Bytes frame;
    const uint8_t p2 = static_cast<uint8_t>(offset & 0x0F);
    for (size_t at = 0; at < plain.size(); at += EncipherFrame) {
        const size_t n = std::min(EncipherFrame, plain.size() - at);
        frame.assign(plain.begin() + at, plain.begin() + at + n);
        const bool more = at + n < plain.size();
        const ErrorCode rc = framed(0xED, more ? 0xAF : 0x00, p2, frame, cipher);
        if (rc != Success)
            return rc;
    }
    return Success;
}

LGsam::ErrorCode LGsam::initializeSAM(uint8_t algo, SAMinitData& data)
{
    size_t length;
    switch (algo) {
        case 2:
        case 7:
            length = 28;
            break;
        case 3:
        case 4:
        case 5:
        case 6:
            length = 29;
            break;
        case 10:
            length = 33;
            break;
        default:
            return BadParameter;
    }
    Bytes answer;
    const ErrorCode rc = receive(ClaSam, 0x22, algo, 0x00, length, answer);
    if (rc != Success)
        return rc;

    SAMinitData cut = data;
    ByteReader in(answer);
    cut.algoId = in.u8();
    cut.issuerId = in.u8();
    cut.keyVer = in.u8();
    if (length == 29)
        cut.keyType = in.u8();
    cut.samType = in.u8();
    cut.samId = in.bytes(8);
    if (length == 33) {
        cut.extraType = in.u8();
        cut.extraValue = u32be(in);
    }
    cut.sign1 = in.bytes(4);
    cut.transSeq = u32be(in);
    cut.randomNum = in.bytes(8);
    if (!in.ok())
        return WrongAnswerSize;
    data = std::move(cut);
    return Success;
}

LGsam::ErrorCode LGsam::addUpdateKeySet(bool add, bool withCounter, uint8_t keySet, const Bytes& samId,
                                        uint8_t attr1, uint8_t attr2, uint8_t attr3, uint8_t attr4,
                                        uint8_t keyNum, const Bytes& keyData, Bytes& /*out*/)
{
    if (keyNum == 0)
        return Success;
    // Every share must be whole and every command must fit: a refusal comes before the first
    // share, so that no key set is left half written by our own doing.
    const size_t share = keyData.size() / keyNum;
    const size_t fixed = withCounter ? 14 : 13;
    if (samId.size() != 8 || share == 0 || share * keyNum != keyData.size() || share + fixed > T0::MaxData)
        return WrongLength;

    Bytes data;
    for (size_t i = 0; i < keyNum; ++i) {
        data.clear();
        ByteWriter out(data);
        out.bytes(samId).u8(keySet).u8(attr1).u8(attr2).u8(attr3).u8(attr4);
        if (withCounter)
            out.u8(static_cast<uint8_t>(i + 1));
        out.bytes(keyData.data() + i * share, share);
        const ErrorCode rc = send(add ? 0x74 : 0x76, 0x01, 0x00, data);
        if (rc != Success)
            return rc;
    }
    return Success;
}

LGsam::ErrorCode LGsam::updateParameter(const Bytes& header, uint8_t kind, const Bytes& param1,
                                        const Bytes& param2, const Bytes& param3, const Bytes& param4,
                                        const Bytes& param5, Bytes& out)
{
    Bytes data;
    ByteWriter(data).bytes(header).u8(kind).bytes(param1).bytes(param2).bytes(param3).bytes(param4).bytes(
        param5);
    if (data.size() != 0x5B)
        return WrongLength;
    return sendAndFetch(ClaSam, 0x26, 0x00, 0x00, data, 4, 4, out);
}

LGsam::ErrorCode LGsam::initReloadSAM(bool load, uint8_t p1, SAMinitReloadData& data)
{
    Bytes answer;
    const ErrorCode rc = receive(ClaSam, load ? 0x34 : 0xB4, p1, 0x00, ReloadInitAnswer, answer);
    if (rc != Success)
        return rc;
    ByteReader in(answer);
    SAMinitReloadData cut;
    cut.loadType = in.u8();
    cut.issuerId = in.u8();
    cut.keyVer = in.u8();
    cut.samId = in.bytes(8);
    cut.samTransSN = u32be(in);
    cut.valueBal = u32be(in);
    cut.valueMaxBal = u32be(in);
    cut.countBal = u32be(in);
    cut.countMaxBal = u32be(in);
    cut.daysBal = u32be(in);
    cut.daysMaxBal = u32be(in);
    cut.minutesBal = u32be(in);
    cut.minutesMaxBal = u32be(in);
    cut.algoId = in.u8();
    cut.sign1 = in.bytes(4);
    cut.transType = in.u8();
    cut.transSubType = in.u8();
    cut.hostTransSN = u32be(in);
    cut.lastSamTransSN = u32be(in);
    cut.transValueBal = u32be(in);
    cut.transCountBal = u32be(in);
    cut.transDaysBal = u32be(in);
    cut.transMinutesBal = u32be(in);
    cut.lastValueBal = u32be(in);
    cut.lastCountBal = u32be(in);
    cut.lastDaysBal = u32be(in);
    cut.lastMinutesBal = u32be(in);
    cut.date = in.bytes(7);
    cut.lastKeyVer = in.u8();
    cut.lastAlgoId = in.u8();
    cut.lastSign = in.bytes(4);
    cut.random = in.bytes(8);
    if (!in.ok())
        return WrongAnswerSize;
    data = std::move(cut);
    return Success;
}

LGsam::ErrorCode LGsam::reloadSAM(bool load, uint8_t p2, const SAMreloadReq& request, SAMreloadResp& response)
{
    if (request.date.size() != 7 || request.sign2.size() != 4 || request.hostRandom.size() != 8)
        return WrongLength;
    Bytes data;
    ByteWriter out(data);
    for (uint32_t value :
         {request.valueBal, request.countBal, request.daysBal, request.minutesBal, request.hostTransSN})
        u32be(out, value);
    out.bytes(request.date).bytes(request.sign2).bytes(request.hostRandom);
    if (data.size() != ReloadRequestSize)
        return WrongLength;

    Bytes answer;
    const ErrorCode rc =
        sendAndFetch(ClaSam, load ? 0x36 : 0xB6, 0x00, p2, data, ReloadAnswer, ReloadAnswer, answer);
    if (rc != Success)
        return rc;
    ByteReader in(answer);
    SAMreloadResp cut;
    cut.transType = in.u8();
    cut.transSubType = in.u8();
    cut.samId = in.bytes(8);
    cut.samTransSN = u32be(in);
    cut.hostTransSN = u32be(in);
    cut.transValueBal = u32be(in);
    cut.transCountBal = u32be(in);
    cut.transDaysBal = u32be(in);
    cut.transMinutesBal = u32be(in);
    cut.valueBal = u32be(in);
    cut.countBal = u32be(in);
    cut.daysBal = u32be(in);
    cut.minutesBal = u32be(in);
    cut.date = in.bytes(7);
    cut.keyVer = in.u8();
    cut.algoId = in.u8();
    cut.signInd = in.bytes(4);
    cut.sign3 = in.bytes(4);
    if (!in.ok())
        return WrongAnswerSize;
    response = std::move(cut);
    return Success;
}

LGsam::ErrorCode LGsam::updateIssuer(const Bytes& issuer, uint8_t kind, const Bytes& data, Bytes& out)
{
    Bytes command;
    ByteWriter(command).bytes(issuer).u8(kind).bytes(data);
    if (command.size() != 0x0D)
        return WrongLength;
    return sendAndFetch(ClaSam, 0x72, 0x00, 0x00, command, 4, 4, out);
}

LGsam::ErrorCode LGsam::onlineAuth(const Bytes& first, const Bytes& second, const Bytes& third, Bytes& out)
{
    Bytes data;
    ByteWriter(data).bytes(first).bytes(second).bytes(third);
    if (data.size() != 0x14)
        return WrongLength;
    return sendAndFetch(ClaSam, 0x2C, 0x00, 0x00, data, 4, 4, out);
}

LGsam::ErrorCode LGsam::getSAMbalance(SAMbalanceData& data)
{
    uint32_t* const fields[] = {&data.samTransSN, &data.valueBal, &data.countBal, &data.daysBal,
                                &data.minutesBal};
    Bytes answer;
    for (uint8_t n = 1; n <= 5; ++n) {
        const ErrorCode rc = receive(ClaSam, 0x56, 0x00, n, 4, answer);
        if (rc != Success)
            return rc;
        ByteReader in(answer);
        const uint32_t value = u32be(in);
        if (!in.ok())
            return WrongAnswerSize;
        *fields[n - 1] = value;
    }
    return Success;
}

std::string LGsam::errorToStr(ErrorCode code)
{
    // The MIFARE SAM's rows, two of them worded for this SAM, and the SAM's own.
    static const std::map<int, std::string> texts = [] {
        std::map<int, std::string> table = MifareSAM::errorTable();
        table[0x6A82] = "File not found.";
        table[0x6A84] = "There is insufficient memory space in record or file.";
        table.insert({
            {0x6981, "Command incompatible with file structure."},
            {0x6983, "Authentication method blocked."},
            {0x6988, "MAC Error."},
            {0x6A81, "Function not supported."},
            {0x6A83, "Record not found."},
            {0x6A85, "Lc inconsistent with TLV structure."},
            {0x9101, "Incorrect data."},
            {0x9103, "Command order error."},
            {0x9104, "Transaction count exceeded."},
            {0x9105, "Duplication process error(Parameter update, PIN Update)."},
            {0x910B, "Chargeable amount exceeded."},
            {0x910C, "LSAM balance is insufficient."},
            {0x910D, "Transaction amount error."},
            {0x9110, "Unregistered algorithm."},
            {0x9111, "Key version inconsistence."},
            {0x9112, "Algorithm error."},
            {0x9113, "Encrypted/Decrypted data length."},
            {0x9114, "TRT value error by transaction type."},
            {0x9120, "Transaction status error"},
            {0x9131, "CERTISSUE error"},
            {0x9132, "CERTTRANS error"},
            {0x9133, "CERTLOAD error"},
            {0x9141, "Inconsistence between TYPESAM and command use"},
            {0x9151, "Pass applicable Zone error"},
            {0x9152, "Pass remaining count error"},
            {0x9153, "Pass in use"},
            {0x9154, "Error in amount before UL"},
            {0x9155, "Error in transaction count before UL"},
            {0x9156, "UL transaction amount error"},
            {0x9157, "UL EV1 PACK verification error"},
            {0x9158, "CSN inconsistent error"},
            {0x9159, "UL128 remaining count integrity error"},
            {0x915A, "UL128 remaining balance integrity error"},
            {0x915B, "Inconsistence error between UL128 data and card data"},
            {0x915C, "UL128 pass remained data error"},
            {0x91A1, "IDCENTER error"},
            {0x91A2, "IDCENTER is not exist in the LSAM"},
        });
        return table;
    }();
    const auto it = texts.find(code);
    return it == texts.end() ? "Unknown error code." : it->second;
}

}  // namespace NFC
