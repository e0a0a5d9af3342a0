#include "emulators/LGSam.h"

#include <algorithm>

#include "emulators/ByteOps.h"
#include "emulators/CardCrypto.h"
#include "emulators/LGSamResponder.h"

namespace emulators {

namespace {

using cardcrypto::Cipher;

constexpr uint16_t SwOk = 0x9000;
constexpr uint16_t SwWrongLength = 0x6700;
constexpr uint16_t SwWrongP1P2 = 0x6B00;
constexpr uint16_t SwUnknownIns = 0x6D00;
constexpr uint16_t SwUnknownCla = 0x6E00;
constexpr uint16_t SwDataLength = 0x9113;
constexpr uint16_t SwTrt = 0x9114;
constexpr uint16_t SwBalanceShort = 0x910C;
constexpr uint16_t SwCertificate = 0x9131;
constexpr uint16_t SwPassIntegrity = 0x9159;
constexpr uint16_t SwValueIntegrity = 0x915A;

// Purposes keep the keys of the operations apart.
enum Purpose : uint8_t
{
    Tpass = 1,
    Tvalue = 2,
    Block = 3,
    Password = 4,
    Certificate = 5,
    TopUp = 6,
};

constexpr size_t MaxRecorded = 10000;
constexpr size_t UidSize = 7;
constexpr size_t PlainSize = 12;
constexpr size_t BlockSize = 16;
constexpr size_t TopUpAt = 55;

Bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

uint32_t be32(const Bytes& v, size_t at)
{
    return uint32_t(v[at]) << 24 | uint32_t(v[at + 1]) << 16 | uint32_t(v[at + 2]) << 8 | v[at + 3];
}

// Whole blocks, each on its own (ECB).
Bytes blocks(const Bytes& key, const Bytes& data, bool encrypt)
{
    Bytes out;
    for (size_t at = 0; at + BlockSize <= data.size(); at += BlockSize) {
        Bytes iv(BlockSize, 0x00);
        const Bytes block = slice(data, at, BlockSize);
        const Bytes done = encrypt ? cardcrypto::cbcEncrypt(Cipher::AES, key, iv, block)
                                   : cardcrypto::cbcDecrypt(Cipher::AES, key, iv, block);
        out.insert(out.end(), done.begin(), done.end());
    }
    return out;
}

Bytes padded(Bytes v)
{
    v.push_back(0x80);
    padZeros(v, BlockSize);
    return v;
}

SlotCard::Response status(uint16_t sw)
{
    return {{}, sw};
}

bool isGetResponse(const Bytes& header)
{
    return header[0] == 0x00 && header[1] == 0xC0 && header[2] == 0x00 && header[3] == 0x00;
}

}  // namespace

LGSam::LGSam(const Bytes& masterKey) : m_master(masterKey) {}

void LGSam::setIssuerKeyVersions(const Bytes& versions)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_versions = versions;
}

void LGSam::setBalance(const Balance& balance)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_balance = balance;
}

LGSam::Balance LGSam::balance() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_balance;
}

void LGSam::setPasswordLength(size_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_passwordLength = length;
}

size_t LGSam::passwordLength() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_passwordLength;
}

void LGSam::refuseNext(uint16_t sw, int ins, int skip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_knobs.push_back({true, sw, ins, skip});
}

void LGSam::resizeNext(int delta, int ins, int skip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_knobs.push_back({false, delta, ins, skip});
}

Bytes LGSam::passwordAnswer(uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& input) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return derived(cardKey(Password, keyId, center, keySet, input), input);
}

// passwordLength() bytes: CMACs of the payload followed by a block number.
Bytes LGSam::derived(const Bytes& key, const Bytes& payload) const
{
    Bytes out;
    for (uint8_t i = 0; out.size() < m_passwordLength; ++i) {
        const Bytes more = cardcrypto::cmac(Cipher::AES, key, payload + Bytes{i});
        out.insert(out.end(), more.begin(), more.end());
    }
    out.resize(m_passwordLength);
    return out;
}

Bytes LGSam::issuerCertificate(uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& uid,
                               const Bytes& datePair) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return certificate(keyId, center, keySet, uid, datePair);
}

Bytes LGSam::lastTopUpSignature() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_topUpSign;
}

std::vector<Bytes> LGSam::commands() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

void LGSam::clearCommands()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.clear();
}

std::optional<Bytes> LGSam::powerOn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = true;
    m_hasWaiting = false;
    return LGSamResponder::Atr;
}

void LGSam::powerOff()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = false;
}

std::optional<SlotCard::Response> LGSam::apdu(const Apdu&)
{
    return std::nullopt;
}

std::optional<SlotCard::Response> LGSam::tpdu(const Bytes& header, const Bytes& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_powered || header.size() != 5)
        return std::nullopt;
    // Bounded, so that a model serving a long run of the emulator tool does not grow without end.
    if (m_commands.size() < MaxRecorded)
        m_commands.push_back(header + data);
    // P3 counts the data that follows; a SAM given another count would lose step with the reader.
    if (!data.empty() && header[4] != data.size())
        return status(SwWrongLength);

    if (isGetResponse(header)) {
        if (!m_hasWaiting)
            return status(SwWrongP1P2);
        const size_t asked = header[4] == 0 ? 256 : header[4];
        if (asked != m_waiting.size())
            return status(static_cast<uint16_t>(0x6C00 | (m_waiting.size() & 0xFF)));
        m_hasWaiting = false;
        return Response{std::move(m_waiting), SwOk};
    }
    m_hasWaiting = false;

    m_resize = 0;
    auto knob = std::find_if(m_knobs.begin(), m_knobs.end(),
                             [&](const Knob& k) { return k.ins == AnyCommand || k.ins == header[1]; });
    if (knob != m_knobs.end() && knob->skip > 0) {
        --knob->skip;
        knob = m_knobs.end();
    }
    if (knob != m_knobs.end()) {
        const Knob taken = *knob;
        m_knobs.erase(knob);
        if (taken.refuse)
            return status(static_cast<uint16_t>(taken.value));
        m_resize = taken.value;
    }
    return run(header, data);
}

// An outgoing command's answer: announced by 0x61xx, given to the GET RESPONSE that follows.
SlotCard::Response LGSam::out(Bytes answer)
{
    if (m_resize < 0)
        answer.resize(answer.size() - std::min(answer.size(), static_cast<size_t>(-m_resize)));
    else
        answer.resize(answer.size() + static_cast<size_t>(m_resize), 0xEE);
    if (answer.empty())
        return status(SwOk);
    m_waiting = std::move(answer);
    m_hasWaiting = true;
    return status(static_cast<uint16_t>(0x6100 | (m_waiting.size() & 0xFF)));
}

SlotCard::Response LGSam::run(const Bytes& header, const Bytes& data)
{
    const uint8_t cla = header[0], ins = header[1], p1 = header[2], p2 = header[3];
    if (cla == 0x00) {
        if (ins == 0x78 && p1 == 0x02 && data == Bytes{0x01})
            return out(m_versions);
        if (ins == 0xCA && p1 == 0x01 && p2 == 0x02 && header[4] == 4) {
            // The host serial number, asked for in the incoming case.
            Bytes serial = {0x4C, 0x47, 0x00, 0x01};
            serial.resize(static_cast<size_t>(std::max(0, 4 + m_resize)), 0xEE);
            return {serial, SwOk};
        }
        return status(SwUnknownIns);
    }
    if (cla != 0x80)
        return status(SwUnknownCla);
    switch (ins) {
        case 0xFC:
            return encryptTpass(p1, data);
        case 0xFA:
            return decryptTpass(p1, data);
        case 0xF6:
            return encryptTvalue(p1, data);
        case 0xF4:
            return decryptTvalue(p1, data);
        case 0xE4:
            if (p2 > 1)
                return status(SwWrongP1P2);
            return encryptDecrypt(p1, p2 == 0, data);
        case 0x10:
            return checkCertificate(p1, data);
        case 0x7E:
            return generateCertificate(data);
        case 0x56:
            if (p1 != 0 || p2 < 1 || p2 > 5 || header[4] != 4)
                return status(SwWrongP1P2);
            return balanceField(p2);
        default:
            return status(SwUnknownIns);
    }
}

Bytes LGSam::cardKey(uint8_t purpose, uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& uid) const
{
    Bytes root(BlockSize, 0x00);
    root[0] = purpose;
    root[1] = keyId;
    root[2] = center;
    root[3] = keySet;
    const Bytes setKey = blocks(m_master, root, true);
    return blocks(setKey, slice(padded(uid), 0, BlockSize), true);
}

// center, key set, trt, UID, counter, plain 12.
SlotCard::Response LGSam::encryptTpass(uint8_t keyId, const Bytes& data)
{
    if (data.size() != 3 + UidSize + 4 + PlainSize)
        return status(SwWrongLength);
    const uint8_t trt = data[2];
    if (trt != 2 && (trt < 8 || trt > 11))
        return status(SwTrt);
    const Bytes key = cardKey(Tpass, keyId, data[0], data[1], slice(data, 3, UidSize));
    const Bytes block = slice(data, 3 + UidSize + 4, PlainSize) + slice(data, 3 + UidSize, 4);
    ++m_balance.samTransSN;
    return out(blocks(key, block, true));
}

// center, key set, UID, counter, block 16.
SlotCard::Response LGSam::decryptTpass(uint8_t keyId, const Bytes& data)
{
    if (data.size() != 2 + UidSize + 4 + BlockSize)
        return status(SwWrongLength);
    const Bytes key = cardKey(Tpass, keyId, data[0], data[1], slice(data, 2, UidSize));
    const Bytes plain = blocks(key, slice(data, 2 + UidSize + 4, BlockSize), false);
    if (slice(plain, PlainSize, 4) != slice(data, 2 + UidSize, 4))
        return status(SwPassIntegrity);
    return out(slice(plain, 0, PlainSize));
}

// center, key set, trt, UID, amount, remaining value, plain 12.
SlotCard::Response LGSam::encryptTvalue(uint8_t keyId, const Bytes& data)
{
    if (data.size() != 3 + UidSize + 8 + PlainSize)
        return status(SwWrongLength);
    const uint8_t trt = data[2];
    if (trt != 2 && (trt < 8 || trt > 11))
        return status(SwTrt);
    const Bytes uid = slice(data, 3, UidSize);
    const uint32_t amount = be32(data, 3 + UidSize);
    if (amount > m_balance.valueBal)
        return status(SwBalanceShort);
    const Bytes key = cardKey(Tvalue, keyId, data[0], data[1], uid);
    const Bytes plain = slice(data, 3 + UidSize + 8, PlainSize);
    const Bytes block = blocks(key, plain + slice(cardcrypto::cmac(Cipher::AES, key, plain), 0, 4), true);

    m_balance.valueBal -= amount;
    ++m_balance.samTransSN;
    const Bytes signKey = cardKey(TopUp, keyId, data[0], data[1], uid);
    m_topUpSign = slice(cardcrypto::cmac(Cipher::AES, signKey,
                                         block + slice(data, 3 + UidSize, 8) + be32(m_balance.samTransSN)),
                        0, 4);
    Bytes answer =
        block + uid + slice(data, 3 + UidSize, 8) + be32(m_balance.samTransSN) + be32(m_balance.valueBal);
    answer.resize(TopUpAt, 0x00);
    answer = answer + m_topUpSign;
    answer.push_back(0x00);
    return out(answer);
}

// center, key set, UID, counter, block 16.
SlotCard::Response LGSam::decryptTvalue(uint8_t keyId, const Bytes& data)
{
    if (data.size() != 2 + UidSize + 4 + BlockSize)
        return status(SwWrongLength);
    const Bytes key = cardKey(Tvalue, keyId, data[0], data[1], slice(data, 2, UidSize));
    const Bytes plainBlock = blocks(key, slice(data, 2 + UidSize + 4, BlockSize), false);
    const Bytes plain = slice(plainBlock, 0, PlainSize);
    // The record carries its counter in plain bytes 8 to 10.
    if (slice(plainBlock, PlainSize, 4) != slice(cardcrypto::cmac(Cipher::AES, key, plain), 0, 4) ||
        slice(plain, 8, 3) != slice(data, 2 + UidSize + 1, 3))
        return status(SwValueIntegrity);
    return out(plain);
}

// center, key set, diversification input 8, data.
SlotCard::Response LGSam::encryptDecrypt(uint8_t keyId, bool encrypt, const Bytes& data)
{
    if (data.size() < 10)
        return status(SwWrongLength);
    const Bytes input = slice(data, 2, 8);
    const Bytes payload = slice(data, 10, data.size() - 10);
    if (!payload.empty() && payload.size() % BlockSize == 0)
        return out(blocks(cardKey(Block, keyId, data[0], data[1], input), payload, encrypt));
    if (!encrypt)
        return status(SwDataLength);
    return out(derived(cardKey(Password, keyId, data[0], data[1], input), payload));
}

Bytes LGSam::certificate(uint8_t keyId, uint8_t center, uint8_t keySet, const Bytes& uid,
                         const Bytes& date) const
{
    const Bytes key = cardKey(Certificate, keyId, center, keySet, uid);
    return slice(cardcrypto::cmac(Cipher::AES, key, uid + date), 0, 2);
}

// center, key set, UID, issue-date pair, certificate.
SlotCard::Response LGSam::checkCertificate(uint8_t keyId, const Bytes& data)
{
    if (data.size() != 2 + UidSize + 2 + 2)
        return status(SwWrongLength);
    const Bytes uid = slice(data, 2, UidSize);
    if (certificate(keyId, data[0], data[1], uid, slice(data, 2 + UidSize, 2)) !=
        slice(data, 2 + UidSize + 2, 2))
        return status(SwCertificate);
    return status(SwOk);
}

// Two bytes, the certificate key id, then the input: centre, key set, UID, issue-date pair.
SlotCard::Response LGSam::generateCertificate(const Bytes& data)
{
    if (data.size() != 3 + 2 + UidSize + 2)
        return status(SwWrongLength);
    return out(certificate(data[2], data[3], data[4], slice(data, 5, UidSize), slice(data, 5 + UidSize, 2)));
}

// Incoming case: four bytes, most significant first.
SlotCard::Response LGSam::balanceField(uint8_t n)
{
    const uint32_t fields[] = {m_balance.samTransSN, m_balance.valueBal, m_balance.countBal,
                               m_balance.daysBal, m_balance.minutesBal};
    Bytes value = be32(fields[n - 1]);
    value.resize(static_cast<size_t>(std::max(0, 4 + m_resize)), 0xEE);
    return {value, SwOk};
}

}  // namespace emulators
