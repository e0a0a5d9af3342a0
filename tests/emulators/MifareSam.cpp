#include "emulators/MifareSam.h"

#include <algorithm>
#include <cstring>

#include "emulators/ByteOps.h"

namespace emulators {

using cardcrypto::Cipher;

namespace {

constexpr uint16_t SW_OK = 0x9000;
constexpr uint16_t SW_MORE = 0x90AF;
constexpr uint16_t SW_WRONG_LENGTH = 0x6700;
constexpr uint16_t SW_CRYPTOGRAM = 0x6982;
constexpr uint16_t SW_ENTRY_CRC = 0x6984;
constexpr uint16_t SW_CONDITIONS = 0x6985;
constexpr uint16_t SW_NOT_ALLOWED = 0x6986;
constexpr uint16_t SW_CHAIN_EXPECTED = 0x6883;
constexpr uint16_t SW_BAD_DATA = 0x6A80;
constexpr uint16_t SW_VERSION_NOT_FOUND = 0x6A82;
constexpr uint16_t SW_BAD_P1P2 = 0x6A86;
constexpr uint16_t SW_KEY_REF = 0x6502;
constexpr uint16_t SW_KUC_REF = 0x6503;
constexpr uint16_t SW_AUTH_FAILED = 0x901E;

SlotCard::Response status(uint16_t sw)
{
    return {{}, sw};
}

Bytes atrFor(MifareSam::Generation generation)
{
    Bytes atr = {0x3B, 0xDF, 0x18, 0xFF, 0x81, 0xF1, 0xFE, 0x43, 0x00, 0x3F};
    const char* text = generation == MifareSam::Generation::AV2 ? "MIFARE Plus SAM" : "MIFARE SAM AV30";
    atr.push_back(generation == MifareSam::Generation::AV2 ? 0x03 : 0x07);
    atr.push_back(0x83);
    atr.insert(atr.end(), text, text + std::strlen(text));
    atr.push_back(generation == MifareSam::Generation::AV2 ? 0x3B : 0x11);
    return atr;
}

}  // namespace

MifareSam::KeyEntry MifareSam::KeyEntry::make(KeyType type, KeyClass keyClass, const Bytes& key,
                                              uint8_t version)
{
    KeyEntry entry;
    entry.set = static_cast<uint16_t>(type << 11);
    entry.extSet = keyClass;
    Bytes all = key;
    all.resize(48, 0x00);
    entry.keyA = slice(all, 0, 16);
    entry.keyB = slice(all, 16, 16);
    entry.keyC = slice(all, 32, 16);
    entry.verA = entry.verB = entry.verC = version;
    return entry;
}

MifareSam::MifareSam(Generation generation) : m_generation(generation)
{
    m_version = {0x04, 0x01, 0x01, 0x03, 0x02, 0x1C, 0x01, 0x04, 0x01, 0x01, 0x03, 0x02, 0x1C, 0x01, 0x04,
                 0x5A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x00, 0x11, 0x22, 0x33, 0x44, 0x15, 0x20, 0x21, 0x09};
    m_version.push_back(generation == Generation::AV2 ? 0xA2 : 0xA3);
}

void MifareSam::setKeyEntry(uint8_t keyNo, const KeyEntry& entry)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.at(keyNo) = entry;
}

MifareSam::KeyEntry MifareSam::keyEntry(uint8_t keyNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.at(keyNo);
}

void MifareSam::setCounter(uint8_t refNo, const Counter& counter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counters.at(refNo) = counter;
}

MifareSam::Counter MifareSam::counter(uint8_t refNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters.at(refNo);
}

void MifareSam::setVersion(const Bytes& version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = version;
}

void MifareSam::setAv1Answers(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_av1Answers = on;
}

void MifareSam::setUnlocked(bool unlocked)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unlocked = unlocked;
}

void MifareSam::setUnlockedFromPowerOn(bool unlocked)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unlockedFromPowerOn = unlocked;
}

bool MifareSam::unlocked() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unlocked;
}

bool MifareSam::activated() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_activated;
}

void MifareSam::forceRandom(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_forced.insert(m_forced.end(), bytes.begin(), bytes.end());
}

void MifareSam::refuseNext(uint8_t ins, uint16_t sw, size_t after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refusal = Refusal{ins, sw, after};
}

void MifareSam::shortenNext(uint8_t ins, size_t size, size_t after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_short = ShortAnswer{ins, size, after};
}

void MifareSam::overwriteNext(uint8_t ins, const Bytes& bytes, size_t after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_overwrite = Overwrite{ins, bytes, after};
}

MifareSam::CardSession MifareSam::cardSession() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session;
}

Bytes MifareSam::av1SessionKey() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_av1SessionKey;
}

std::optional<Bytes> MifareSam::powerOn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = true;
    m_unlocked = m_unlockedFromPowerOn;
    m_host = {};
    m_picc = {};
    m_session = {};
    m_offlines.fill({});
    m_chain = {};
    m_av1SessionKey.clear();
    m_loadedIv.clear();
    return atrFor(m_generation);
}

void MifareSam::powerOff()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = false;
}

std::optional<SlotCard::Response> MifareSam::apdu(const Apdu& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_powered)
        return std::nullopt;
    if (m_refusal && m_refusal->ins == command.ins && m_refusal->after-- == 0) {
        const uint16_t sw = m_refusal->sw;
        m_refusal.reset();
        return status(sw);
    }
    m_channel = command.cla & 0x03;
    Response r = handle(command);
    if (m_short && m_short->ins == command.ins && m_short->after-- == 0) {
        if (r.data.size() > m_short->size)
            r.data.resize(m_short->size);
        m_short.reset();
    }
    if (m_overwrite && m_overwrite->ins == command.ins && m_overwrite->after-- == 0) {
        std::copy_n(m_overwrite->bytes.begin(), std::min(m_overwrite->bytes.size(), r.data.size()),
                    r.data.begin());
        m_overwrite.reset();
    }
    return r;
}

std::optional<SlotCard::Response> MifareSam::tpdu(const Bytes&, const Bytes&)
{
    // A T=1 SAM: no T=0 commands.
    return std::nullopt;
}

// ---- helpers ----

Bytes MifareSam::draw(size_t n)
{
    Bytes out = cardcrypto::random(n);
    for (size_t i = 0; i < n && !m_forced.empty(); ++i) {
        out[i] = m_forced.front();
        m_forced.pop_front();
    }
    return out;
}

Cipher MifareSam::cipherOf(KeyType type)
{
    return (type == Aes128 || type == Aes192) ? Cipher::AES : Cipher::TDES;
}

size_t MifareSam::randomSize(KeyType type)
{
    return (type == ThreeKeyTdes || type == Aes128 || type == Aes192) ? 16 : 8;
}

std::optional<Bytes> MifareSam::keyOf(const KeyEntry& entry, uint8_t version) const
{
    if (entry.type() == ThreeKeyTdes || entry.type() == Aes192) {
        const Bytes all = entry.keyA + entry.keyB + entry.keyC;
        if (version == entry.verA)
            return slice(all, 0, 24);
        if (version == entry.verB)
            return slice(all, 24, 24);
        return std::nullopt;
    }
    if (version == entry.verA)
        return entry.keyA;
    if (version == entry.verB)
        return entry.keyB;
    if (version == entry.verC)
        return entry.keyC;
    return std::nullopt;
}

bool MifareSam::countUse(const KeyEntry& entry)
{
    if (entry.refNoKUC >= Counters)
        return true;
    Counter& c = m_counters[entry.refNoKUC];
    if (c.value >= c.limit)
        return false;
    ++c.value;
    return true;
}

Bytes MifareSam::hostMac(const Bytes& key, const Bytes& message) const
{
    Bytes padded = message;
    padded.resize(16, 0x00);
    const Bytes full = cardcrypto::cmac(Cipher::AES, key, padded);
    Bytes out;
    for (size_t i = 1; i < full.size(); i += 2) out.push_back(full[i]);
    return out;
}

Bytes MifareSam::hostSessionKey(const Bytes& key, const Bytes& rndA, const Bytes& rndB) const
{
    auto vector = [&](size_t a, size_t x, uint8_t constant) {
        Bytes sv = slice(rndA, a, 5) + slice(rndB, a, 5) + xorOf(slice(rndA, x, 5), slice(rndB, x, 5));
        sv.push_back(constant);
        Bytes iv(16, 0x00);
        return cardcrypto::cbcEncrypt(Cipher::AES, key, iv, sv);
    };
    if (key.size() == 16)
        return vector(7, 0, 0x91);
    const Bytes e1 = vector(7, 0, 0x93);
    const Bytes e2 = vector(6, 1, 0x94);
    return slice(e1, 0, 8) + xorOf(slice(e1, 8, 8), slice(e2, 0, 8)) + slice(e2, 8, 8);
}

// ---- dispatch ----

SlotCard::Response MifareSam::handle(const Apdu& c)
{
    if ((c.cla & 0xFC) != 0x80)
        return status(0x6E00);
    const bool chainable = c.ins == 0x7C || c.ins == 0x5C || c.ins == 0xED || c.ins == 0xDD;
    if (m_chain.active && c.ins != m_chain.ins) {
        m_chain = {};
        return status(SW_CHAIN_EXPECTED);
    }
    if (chainable) {
        if (c.p1 != 0x00 && c.p1 != 0xAF) {
            m_chain = {};
            return status(SW_BAD_P1P2);
        }
        if (!m_chain.active) {
            m_chain = {};
            m_chain.ins = c.ins;
            m_chain.active = true;
        }
        m_chain.data.insert(m_chain.data.end(), c.data.begin(), c.data.end());
        const bool final = c.p1 == 0x00;
        Response r;
        if (c.ins == 0xED)
            r = encipher(c.p2 & 0x0F, final);
        else if (c.ins == 0xDD)
            r = decipher(final);
        else if (final)
            r = mac(c.ins, c.p2, m_chain.data);
        else
            r = status(SW_MORE);
        if (final || (r.sw != SW_MORE && r.sw != SW_OK))
            m_chain = {};
        return r;
    }

    switch (c.ins) {
        case 0x60:
            return {m_version, SW_OK};
        case 0x84:
            return {draw(c.le ? c.le : 8), SW_OK};
        case 0x64: {
            if (c.p1 >= KeyEntries)
                return status(SW_KEY_REF);
            const KeyEntry& e = m_entries[c.p1];
            Bytes a = {e.verA,
                       e.verB,
                       e.verC,
                       static_cast<uint8_t>(e.dfAID >> 16),
                       static_cast<uint8_t>(e.dfAID >> 8),
                       static_cast<uint8_t>(e.dfAID),
                       e.dfKeyNo,
                       e.keyNoCEK,
                       e.keyVCEK,
                       e.refNoKUC,
                       static_cast<uint8_t>(e.set),
                       static_cast<uint8_t>(e.set >> 8)};
            if (!m_av1Answers)
                a.push_back(e.extSet);
            return {a, SW_OK};
        }
        case 0x6C: {
            if (c.p1 >= Counters)
                return status(SW_KUC_REF);
            const Counter& k = m_counters[c.p1];
            Bytes a;
            appendLe(a, k.limit, 4);
            a.push_back(k.keyNo);
            a.push_back(k.keyVer);
            appendLe(a, k.value, 4);
            return {a, SW_OK};
        }
        case 0xC1:
            return changeKeyEntry(c);
        case 0xCC: {
            if (!m_unlocked)
                return status(SW_CONDITIONS);
            if (c.p1 >= Counters)
                return status(SW_KUC_REF);
            if (c.data.size() != 6)
                return status(SW_WRONG_LENGTH);
            Counter& k = m_counters[c.p1];
            if (c.p2 & 0x80)
                k.limit = static_cast<uint32_t>(c.data[0] | c.data[1] << 8 | c.data[2] << 16 |
                                                static_cast<uint32_t>(c.data[3]) << 24);
            if (c.p2 & 0x40)
                k.keyNo = c.data[4];
            if (c.p2 & 0x20)
                k.keyVer = c.data[5];
            return status(SW_OK);
        }
        case 0x10:
        case 0xA4:
            return hostAuthenticate(c);
        case 0x01:
            return activateOfflineKey(c);
        case 0x71:
            if (c.data.size() != 8 && c.data.size() != 16)
                return status(SW_WRONG_LENGTH);
            m_loadedIv = c.data;
            return status(SW_OK);
        case 0xCA:
            m_host = {};
            m_picc = {};
            m_session = {};
            m_offlines.fill({});
            m_av1SessionKey.clear();
            return status(SW_OK);
        case 0x0A:
            return authenticatePicc(c);
        case 0x0D:
            return offlineCipher(c, false);
        case 0x0E:
            return offlineCipher(c, true);
        case 0xC4:
            return changeKeyPicc(c);
        default:
            return status(0x6D00);
    }
}

// ---- key entries ----

SlotCard::Response MifareSam::changeKeyEntry(const Apdu& c)
{
    if (!m_unlocked)
        return status(SW_CONDITIONS);
    if (c.p1 >= KeyEntries)
        return status(SW_KEY_REF);
    Bytes body;
    KeyEntry& e = m_entries[c.p1];
    uint8_t extSet = e.extSet;
    if (c.data.size() == 61) {
        body = c.data;
        extSet = body[60];
    } else if (c.data.size() == 64) {
        // The AV1 form: enciphered under the AV1 session key, CRC_A over the 60 entry bytes.
        if (m_av1SessionKey.empty())
            return status(SW_CONDITIONS);
        Bytes iv(8, 0x00);
        body = cardcrypto::cbcDecrypt(Cipher::TDES, m_av1SessionKey, iv, c.data);
        const uint16_t crc = cardcrypto::crcA(slice(body, 0, 60));
        if (body.size() != 64 || body[60] != static_cast<uint8_t>(crc) ||
            body[61] != static_cast<uint8_t>(crc >> 8) || body[62] != 0 || body[63] != 0)
            return status(SW_ENTRY_CRC);
    } else {
        return status(SW_WRONG_LENGTH);
    }
    e.keyA = slice(body, 0, 16);
    e.keyB = slice(body, 16, 16);
    e.keyC = slice(body, 32, 16);
    e.dfAID = static_cast<uint32_t>(body[48] << 16 | body[49] << 8 | body[50]);
    e.dfKeyNo = body[51];
    e.keyNoCEK = body[52];
    e.keyVCEK = body[53];
    e.refNoKUC = body[54];
    e.set = static_cast<uint16_t>(body[55] << 8 | body[56]);
    e.verA = body[57];
    e.verB = body[58];
    e.verC = body[59];
    e.extSet = extSet;
    return status(SW_OK);
}

// ---- host authentication ----

SlotCard::Response MifareSam::hostAuthenticate(const Apdu& c)
{
    const size_t n = c.data.size();
    const bool first = (c.ins == 0x10 && (n == 2 || n == 5)) || (c.ins == 0xA4 && (n == 2 || n == 3));
    if (first)
        return hostPassOne(c);
    HostAuth& h = m_host;
    if (h.stage == 11 && c.ins == 0xA4)
        return av1PassTwo(c);
    if (h.stage == 1 && c.ins == h.ins && n == 20) {
        Bytes suffix;
        if (h.ins == 0x10 && h.p1 == 0x03)
            suffix = {0x03, 0x00, 0x00, 0x00};
        else if (h.ins == 0x10 && h.p1 == 0x01)
            suffix = {0x01};
        if (slice(c.data, 0, 8) != hostMac(h.key, h.rnd2 + suffix)) {
            m_host = {};
            return status(SW_AUTH_FAILED);
        }
        h.rnd1 = slice(c.data, 8, 12);
        h.ke = hostSessionKey(h.key, h.rnd1, h.rnd2);
        h.rndB = draw(16);
        Bytes iv(16, 0x00);
        const Bytes enc = cardcrypto::cbcEncrypt(Cipher::AES, h.ke, iv, h.rndB);
        h.stage = 2;
        return {hostMac(h.key, h.rnd1 + suffix) + enc, SW_MORE};
    }
    if (h.stage == 2 && c.ins == h.ins && n == 32) {
        Bytes iv(16, 0x00);
        const Bytes plain = cardcrypto::cbcDecrypt(Cipher::AES, h.ke, iv, c.data);
        if (plain.size() != 32 || slice(plain, 16, 16) != cardcrypto::rotateLeft(h.rndB, 2)) {
            m_host = {};
            return status(SW_AUTH_FAILED);
        }
        Bytes iv2(16, 0x00);
        const Bytes answer =
            cardcrypto::cbcEncrypt(Cipher::AES, h.ke, iv2, cardcrypto::rotateLeft(slice(plain, 0, 16), 2));
        if (h.ins == 0xA4) {
            m_unlocked = true;
        } else if (h.p1 == 0x01) {
            m_unlocked = false;
        } else {
            m_unlocked = true;
            if (h.p1 == 0x03)
                m_activated = true;
        }
        m_host = {};
        return {answer, SW_OK};
    }
    m_host = {};
    return status(SW_WRONG_LENGTH);
}

SlotCard::Response MifareSam::hostPassOne(const Apdu& c)
{
    m_host = {};
    const uint8_t keyNo = c.data[0];
    if (keyNo >= KeyEntries)
        return status(SW_KEY_REF);
    const KeyEntry& e = m_entries[keyNo];
    if (e.keyClass() != Host)
        return status(SW_CONDITIONS);
    const std::optional<Bytes> key = keyOf(e, c.data[1]);
    if (!key)
        return status(SW_VERSION_NOT_FOUND);
    if (c.ins == 0x10) {
        const bool valid =
            (c.p1 == 0x03 && c.data.size() == 5) || ((c.p1 == 0x00 || c.p1 == 0x01) && c.data.size() == 2);
        if (!valid)
            return status(SW_BAD_P1P2);
    }
    const bool av1 = c.ins == 0xA4 && c.data.size() == 2;
    if (av1) {
        if (e.type() != DesfireNative && e.type() != Iso10116 && e.type() != Aes128)
            return status(SW_CONDITIONS);
        const Cipher cipher = cipherOf(e.type());
        m_host.type = e.type();
        m_host.key = *key;
        m_host.rnd2 = draw(cardcrypto::blockSize(cipher));
        m_host.stage = 11;
        Bytes iv(cardcrypto::blockSize(cipher), 0x00);
        return {cardcrypto::cbcEncrypt(cipher, *key, iv, m_host.rnd2), SW_MORE};
    }
    if (e.type() != Aes128 && e.type() != Aes192)
        return status(SW_CONDITIONS);
    m_host.ins = c.ins;
    m_host.p1 = c.p1;
    m_host.key = *key;
    m_host.rnd2 = draw(12);
    m_host.stage = 1;
    return {m_host.rnd2, SW_MORE};
}

SlotCard::Response MifareSam::av1PassTwo(const Apdu& c)
{
    const HostAuth h = m_host;
    m_host = {};
    const Cipher cipher = cipherOf(h.type);
    const size_t bs = cardcrypto::blockSize(cipher);
    if (c.data.size() != 2 * bs)
        return status(SW_WRONG_LENGTH);
    Bytes iv(bs, 0x00);
    const Bytes plain = cardcrypto::cbcDecrypt(cipher, h.key, iv, c.data);
    const Bytes rndA = slice(plain, 0, bs);
    if (slice(plain, bs, bs) != cardcrypto::rotateLeft(h.rnd2, 1))
        return status(SW_AUTH_FAILED);
    const Bytes& rndB = h.rnd2;
    m_av1SessionKey = slice(rndA, 0, 4) + slice(rndB, 0, 4);
    if (singleDes(h.key))
        m_av1SessionKey = m_av1SessionKey + slice(rndA, 0, 4) + slice(rndB, 0, 4);
    else
        m_av1SessionKey = m_av1SessionKey + slice(rndA, bs - 4, 4) + slice(rndB, bs - 4, 4);
    m_unlocked = true;
    Bytes iv2(bs, 0x00);
    return {cardcrypto::cbcEncrypt(cipher, h.key, iv2, cardcrypto::rotateLeft(rndA, 1)), SW_OK};
}

// ---- offline keys ----

SlotCard::Response MifareSam::activateOfflineKey(const Apdu& c)
{
    if (!m_unlocked)
        return status(SW_CONDITIONS);
    if (c.data.size() < 2)
        return status(SW_WRONG_LENGTH);
    if (c.data[0] >= KeyEntries)
        return status(SW_KEY_REF);
    const KeyEntry& e = m_entries[c.data[0]];
    if (e.keyClass() != OfflineCrypto && e.keyClass() != OfflineChange)
        return status(SW_CONDITIONS);
    std::optional<Bytes> key = keyOf(e, c.data[1]);
    if (!key)
        return status(SW_VERSION_NOT_FOUND);
    const Bytes divInput(c.data.begin() + 2, c.data.end());
    if ((c.p1 & 0x01) != !divInput.empty())
        return status(SW_WRONG_LENGTH);
    if (!divInput.empty()) {
        key = cardcrypto::diversify(cipherOf(e.type()), *key, divInput);
        if (key->empty())
            return status(SW_BAD_DATA);
    }
    if (!countUse(e))
        return status(SW_NOT_ALLOWED);
    m_session = {};
    m_offlines[m_channel] = {true, e.type(), *key};
    m_loadedIv.clear();
    return status(SW_OK);
}

SlotCard::Response MifareSam::offlineCipher(const Apdu& c, bool encrypt)
{
    if (!m_offlines[m_channel].active)
        return status(SW_CONDITIONS);
    const Cipher cipher = cipherOf(m_offlines[m_channel].type);
    const size_t bs = cardcrypto::blockSize(cipher);
    if (c.data.empty() || c.data.size() % bs != 0)
        return status(SW_WRONG_LENGTH);
    // Every offline command starts from the loaded IV; nothing chains from one to the next.
    Bytes iv = m_loadedIv.size() == bs ? m_loadedIv : Bytes(bs, 0x00);
    const Bytes out = encrypt ? cardcrypto::cbcEncrypt(cipher, m_offlines[m_channel].key, iv, c.data)
                              : cardcrypto::cbcDecrypt(cipher, m_offlines[m_channel].key, iv, c.data);
    return {out, SW_OK};
}

// ---- card authentication ----

SlotCard::Response MifareSam::authenticatePicc(const Apdu& c)
{
    if (!c.hasLe) {
        if (!m_picc.pending)
            return status(SW_NOT_ALLOWED);
        const PiccAuth p = m_picc;
        m_picc = {};
        const Cipher cipher = cipherOf(p.type);
        const size_t rs = randomSize(p.type);
        if (c.data.size() != rs)
            return status(SW_WRONG_LENGTH);
        Bytes iv = p.type == DesfireNative ? Bytes(8, 0x00) : p.iv;
        const Bytes rndA = cardcrypto::cbcDecrypt(cipher, p.key, iv, c.data);
        if (rndA != cardcrypto::rotateLeft(p.rndA, 1))
            return status(SW_AUTH_FAILED);
        const Bytes& a = p.rndA;
        const Bytes& b = p.rndB;
        Bytes key = slice(a, 0, 4) + slice(b, 0, 4);
        if (p.type == ThreeKeyTdes)
            key = key + slice(a, 6, 4) + slice(b, 6, 4) + slice(a, 12, 4) + slice(b, 12, 4);
        else if (rs == 16)
            key = key + slice(a, 12, 4) + slice(b, 12, 4);
        else if (singleDes(p.key))
            key = key + slice(a, 0, 4) + slice(b, 0, 4);
        else
            key = key + slice(a, 4, 4) + slice(b, 4, 4);
        m_session = {true, p.type, key, Bytes(cardcrypto::blockSize(cipher), 0x00)};
        return status(SW_OK);
    }

    m_picc = {};
    m_session = {};
    m_offlines[m_channel] = {};
    if (!m_unlocked)
        return status(SW_CONDITIONS);
    if (c.data.size() < 2)
        return status(SW_WRONG_LENGTH);
    if (c.data[0] >= KeyEntries)
        return status(SW_KEY_REF);
    const KeyEntry& e = m_entries[c.data[0]];
    if (e.keyClass() != Picc || e.type() == Mifare)
        return status(SW_CONDITIONS);
    std::optional<Bytes> key = keyOf(e, c.data[1]);
    if (!key)
        return status(SW_VERSION_NOT_FOUND);
    const size_t rs = randomSize(e.type());
    if (c.data.size() < 2 + rs)
        return status(SW_WRONG_LENGTH);
    const Bytes encRndB = slice(c.data, 2, rs);
    const Bytes divInput(c.data.begin() + 2 + static_cast<long>(rs), c.data.end());
    if ((c.p1 & 0x01) != !divInput.empty())
        return status(SW_WRONG_LENGTH);
    if (!divInput.empty()) {
        key = cardcrypto::diversify(cipherOf(e.type()), *key, divInput);
        if (key->empty())
            return status(SW_BAD_DATA);
    }
    if (!countUse(e))
        return status(SW_NOT_ALLOWED);

    PiccAuth p;
    p.type = e.type();
    p.key = *key;
    const Cipher cipher = cipherOf(p.type);
    Bytes iv(cardcrypto::blockSize(cipher), 0x00);
    p.rndB = cardcrypto::cbcDecrypt(cipher, p.key, iv, encRndB);
    p.rndA = draw(rs);
    const Bytes token = p.rndA + cardcrypto::rotateLeft(p.rndB, 1);
    Bytes answer;
    if (p.type == DesfireNative) {
        answer = cardcrypto::sendModeEncipher(p.key, token);
    } else {
        // EV1: the chain runs on from the card's challenge through to its answer.
        answer = cardcrypto::cbcEncrypt(cipher, p.key, iv, token);
        p.iv = iv;
    }
    p.pending = true;
    m_picc = p;
    return {answer, SW_MORE};
}

// ---- card session: MAC and ciphering ----

SlotCard::Response MifareSam::mac(uint8_t ins, uint8_t p2, const Bytes& data)
{
    const bool session = m_session.active;
    if (!session && !m_offlines[m_channel].active)
        return status(SW_CONDITIONS);
    const KeyType type = session ? m_session.type : m_offlines[m_channel].type;
    const Cipher cipher = cipherOf(type);
    const bool native = session && type == DesfireNative;
    const size_t full = native ? 8 : cardcrypto::blockSize(cipher);
    size_t size = p2 & 0x1F;
    if (size == 0)
        size = native ? 4 : 8;
    size = std::min(size, full);
    Bytes message = data;
    if (ins == 0x5C) {
        if (message.size() < size)
            return status(SW_WRONG_LENGTH);
        message.resize(message.size() - size);
    }
    Bytes value;
    if (native) {
        value = cardcrypto::cbcMac(m_session.key, message);
    } else if (session) {
        value = cardcrypto::cmac(cipher, m_session.key, message, m_session.iv);
        m_session.iv = value;
    } else {
        value = cardcrypto::cmac(cipher, m_offlines[m_channel].key, message);
    }
    value.resize(size);
    if (ins == 0x7C)
        return {value, SW_OK};
    return status(Bytes(data.end() - static_cast<long>(size), data.end()) == value ? SW_OK : SW_AUTH_FAILED);
}

SlotCard::Response MifareSam::encipher(uint8_t offset, bool final)
{
    if (!m_session.active)
        return status(SW_CONDITIONS);
    const bool native = m_session.type == DesfireNative;
    const Cipher cipher = cipherOf(m_session.type);
    const size_t bs = cardcrypto::blockSize(cipher);
    Chain& ch = m_chain;
    if (ch.iv.empty())
        ch.iv = native ? Bytes(8, 0x00) : m_session.iv;
    // The offset bytes count in the CRC but are not enciphered; the CRC follows the data, so every
    // whole block of data can be enciphered as soon as it has come.
    const size_t clear = std::min<size_t>(offset, ch.data.size());
    Bytes body(ch.data.begin() + static_cast<long>(clear), ch.data.end());
    if (final) {
        if (native)
            appendLe(body, cardcrypto::crcA(ch.data), 2);
        else
            appendLe(body, cardcrypto::crc32(ch.data), 4);
        padZeros(body, bs);
    } else {
        body.resize(body.size() / bs * bs);
    }
    const Bytes fresh = slice(body, ch.done, body.size() - ch.done);
    ch.done = body.size();
    const Bytes out = native ? cardcrypto::sendModeEncipher(m_session.key, fresh, &ch.iv)
                             : cardcrypto::cbcEncrypt(cipher, m_session.key, ch.iv, fresh);
    if (!final)
        return {out, SW_MORE};
    if (!native)
        m_session.iv = ch.iv;
    return {out, SW_OK};
}

SlotCard::Response MifareSam::decipher(bool final)
{
    if (!m_session.active)
        return status(SW_CONDITIONS);
    Chain& ch = m_chain;
    if (ch.data.size() < 3)
        return status(SW_WRONG_LENGTH);
    const bool native = m_session.type == DesfireNative;
    const Cipher cipher = cipherOf(m_session.type);
    const size_t bs = cardcrypto::blockSize(cipher);
    const size_t crcSize = native ? 2 : 4;
    if (ch.iv.empty()) {
        ch.iv = native ? Bytes(8, 0x00) : m_session.iv;
        ch.length = static_cast<size_t>(ch.data[0] | ch.data[1] << 8 | ch.data[2] << 16);
    }
    const size_t available = (ch.data.size() - 3) / bs * bs;
    const Bytes fresh = slice(ch.data, 3 + ch.done, available - ch.done);
    ch.done = available;
    const Bytes plain = cardcrypto::cbcDecrypt(cipher, m_session.key, ch.iv, fresh);
    ch.plain.insert(ch.plain.end(), plain.begin(), plain.end());
    // Plain data goes out as it is deciphered; the CRC behind it is checked at the end.
    const size_t upto = std::min(ch.length, ch.plain.size());
    const Bytes out = slice(ch.plain, ch.released, upto - ch.released);
    ch.released = upto;
    if (!final)
        return {out, SW_MORE};
    if (ch.data.size() - 3 != available || available == 0 || ch.length == 0 ||
        ch.length + crcSize > available)
        return status(SW_WRONG_LENGTH);
    const Bytes content = slice(ch.plain, 0, ch.length);
    Bytes crc;
    if (native) {
        appendLe(crc, cardcrypto::crcA(content), 2);
    } else {
        Bytes covered = content;
        covered.push_back(0x00);
        appendLe(crc, cardcrypto::crc32(covered), 4);
    }
    if (slice(ch.plain, ch.length, crcSize) != crc)
        return status(SW_CRYPTOGRAM);
    if (!native)
        m_session.iv = ch.iv;
    return {out, SW_OK};
}

SlotCard::Response MifareSam::changeKeyPicc(const Apdu& c)
{
    if (!m_unlocked || !m_session.active)
        return status(SW_CONDITIONS);
    if (c.data.size() < 4)
        return status(SW_WRONG_LENGTH);
    if (c.data[0] >= KeyEntries || c.data[2] >= KeyEntries)
        return status(SW_KEY_REF);
    std::optional<Bytes> current = keyOf(m_entries[c.data[0]], c.data[1]);
    const KeyEntry& newEntry = m_entries[c.data[2]];
    std::optional<Bytes> next = keyOf(newEntry, c.data[3]);
    if (!current || !next)
        return status(SW_VERSION_NOT_FOUND);
    const Bytes divInput(c.data.begin() + 4, c.data.end());
    if ((c.p1 & 0x06) && divInput.empty())
        return status(SW_WRONG_LENGTH);
    if (c.p1 & 0x02)
        current = cardcrypto::diversify(cipherOf(m_entries[c.data[0]].type()), *current, divInput);
    if (c.p1 & 0x04)
        next = cardcrypto::diversify(cipherOf(newEntry.type()), *next, divInput);
    if (current->empty() || next->empty())
        return status(SW_BAD_DATA);
    const bool other = (c.p1 & 0x01) != 0;
    const Bytes keyData = other ? xorOf(*next, *current) : *next;

    if (m_session.type == DesfireNative) {
        Bytes body = keyData;
        appendLe(body, cardcrypto::crcA(keyData), 2);
        if (other)
            appendLe(body, cardcrypto::crcA(*next), 2);
        padZeros(body, 8);
        return {cardcrypto::sendModeEncipher(m_session.key, body), SW_OK};
    }
    const Cipher cipher = cipherOf(m_session.type);
    Bytes body = keyData;
    if (newEntry.type() == Aes128)
        body.push_back(c.data[3]);
    Bytes covered = {0xC4, static_cast<uint8_t>(c.p2 & 0x0F)};
    covered = covered + body;
    appendLe(body, cardcrypto::crc32(covered), 4);
    if (other)
        appendLe(body, cardcrypto::crc32(*next), 4);
    padZeros(body, cardcrypto::blockSize(cipher));
    return {cardcrypto::cbcEncrypt(cipher, m_session.key, m_session.iv, body), SW_OK};
}

}  // namespace emulators
