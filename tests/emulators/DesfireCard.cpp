#include "emulators/DesfireCard.h"

#include <algorithm>

#include "emulators/ByteOps.h"
#include "emulators/CardCrypto.h"

namespace emulators {

using cardcrypto::Cipher;

namespace {

constexpr uint8_t OK = 0x00;
constexpr uint8_t NO_CHANGES = 0x0C;
constexpr uint8_t ILLEGAL_COMMAND = 0x1C;
constexpr uint8_t INTEGRITY_ERROR = 0x1E;
constexpr uint8_t NO_SUCH_KEY = 0x40;
constexpr uint8_t LENGTH_ERROR = 0x7E;
constexpr uint8_t PERMISSION_DENIED = 0x9D;
constexpr uint8_t PARAMETER_ERROR = 0x9E;
constexpr uint8_t APPLICATION_NOT_FOUND = 0xA0;
constexpr uint8_t AUTHENTICATION_ERROR = 0xAE;
constexpr uint8_t ADDITIONAL_FRAME = 0xAF;
constexpr uint8_t BOUNDARY_ERROR = 0xBE;
constexpr uint8_t COUNT_ERROR = 0xCE;
constexpr uint8_t DUPLICATE_ERROR = 0xDE;
constexpr uint8_t FILE_NOT_FOUND = 0xF0;

constexpr size_t MaxApplications = 28;
constexpr size_t MaxFrame = 60;

size_t roundUp(size_t n, size_t block)
{
    return (n + block - 1) / block * block;
}

// The card's half of the native scheme: it enciphers what the reader deciphered in send mode, so each
// plain block is E(C) XOR the previous cipher block, from a zero IV.
Bytes receiveModeDecipher(const Bytes& key, const Bytes& cipher)
{
    Bytes out;
    Bytes previous(8, 0x00);
    for (size_t pos = 0; pos + 8 <= cipher.size(); pos += 8) {
        const Bytes block = slice(cipher, pos, 8);
        Bytes zero(8, 0x00);
        out = out + xorOf(cardcrypto::cbcEncrypt(Cipher::TDES, key, zero, block), previous);
        previous = block;
    }
    return out;
}

Bytes nativeMac(const Bytes& key, const Bytes& data)
{
    return slice(cardcrypto::cbcMac(key, data), 0, 4);
}

Bytes crcA(const Bytes& data)
{
    Bytes out;
    appendLe(out, cardcrypto::crcA(data), 2);
    return out;
}

Bytes crc32(const Bytes& data)
{
    Bytes out;
    appendLe(out, cardcrypto::crc32(data), 4);
    return out;
}

bool isError(uint8_t status)
{
    return status != OK && status != NO_CHANGES && status != ADDITIONAL_FRAME;
}

}  // namespace

DesfireCard::DesfireCard(Bytes uid) : m_uid(std::move(uid))
{
    Application picc;
    picc.keys = {Bytes(16, 0x00)};
    m_apps[PiccAid] = picc;
    m_version = {Bytes{0x04, 0x01, 0x01, 0x01, 0x00, 0x18, 0x05},
                 Bytes{0x04, 0x01, 0x01, 0x01, 0x04, 0x18, 0x05}, m_uid};
    m_version[2].resize(7, 0x00);
    m_version[2] = m_version[2] + Bytes{0xBA, 0x45, 0x19, 0xE3, 0x20, 0x49, 0x13};
}

FieldCard::Identity DesfireCard::identity() const
{
    Identity id;
    id.readerTagType = 0x80;
    id.uid = m_uid;
    id.atqa = 0x0344;
    id.sak = 0x20;
    id.ats = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
    return id;
}

void DesfireCard::selected()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    discardPending();
    dropSession();
    m_auth.reset();
    m_incoming.reset();
    m_outgoing.clear();
    m_selected = PiccAid;
}

std::optional<Bytes> DesfireCard::exchange4(const Bytes& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_counters.frames;
    m_counters.bytesIn += command.size();
    if (m_muteAfter && (*m_muteAfter)-- == 0) {
        m_muteAfter.reset();
        return std::nullopt;
    }
    Bytes out = handle(command);
    if (m_cut && m_cutAfter-- == 0) {
        out.resize(std::min(*m_cut, out.size()));
        m_cut.reset();
    }
    if (m_flipAfter && (*m_flipAfter)-- == 0) {
        if (!out.empty())
            out.back() ^= 0x01;
        m_flipAfter.reset();
    }
    m_counters.bytesOut += out.size();
    return out;
}

// ---- set-up and inspection ----

void DesfireCard::setKey(uint32_t aid, uint8_t keyNo, const Bytes& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_apps.at(aid).keys.at(keyNo) = key.size() == 8 ? key + key : key;
}

Bytes DesfireCard::key(uint32_t aid, uint8_t keyNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_apps.at(aid).keys.at(keyNo);
}

void DesfireCard::setKeySettings(uint32_t aid, uint8_t settings)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_apps.at(aid).keySettings = settings;
}

void DesfireCard::setVersion(const Bytes& hardware, const Bytes& software, const Bytes& production)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = {hardware, software, production};
}

void DesfireCard::forceRandom(const Bytes& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_forced.insert(m_forced.end(), bytes.begin(), bytes.end());
}

void DesfireCard::setAnswerFrameData(size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frameData = std::max<size_t>(bytes, 3);
}

void DesfireCard::cutNextAnswer(size_t keep, size_t after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cut = keep;
    m_cutAfter = after;
}

void DesfireCard::muteNext(size_t after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_muteAfter = after;
}

void DesfireCard::flipNextAnswer(size_t after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_flipAfter = after;
}

Bytes DesfireCard::fileData(uint32_t aid, uint8_t fileNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto app = m_apps.find(aid);
    if (app == m_apps.end() || !app->second.files.count(fileNo))
        return {};
    return app->second.files.at(fileNo).data;
}

std::optional<int32_t> DesfireCard::value(uint32_t aid, uint8_t fileNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto app = m_apps.find(aid);
    if (app == m_apps.end() || !app->second.files.count(fileNo) || app->second.files.at(fileNo).type != Value)
        return std::nullopt;
    return app->second.files.at(fileNo).value;
}

std::vector<Bytes> DesfireCard::records(uint32_t aid, uint8_t fileNo) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto app = m_apps.find(aid);
    if (app == m_apps.end() || !app->second.files.count(fileNo))
        return {};
    const auto& r = app->second.files.at(fileNo).records;
    return std::vector<Bytes>(r.begin(), r.end());
}

std::vector<uint32_t> DesfireCard::applications() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint32_t> out;
    for (const auto& a : m_apps)
        if (a.first != PiccAid)
            out.push_back(a.first);
    return out;
}

DesfireCard::Scheme DesfireCard::scheme() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session.scheme;
}

int DesfireCard::authenticatedKey() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session.scheme == Scheme::None ? -1 : m_session.keyNo;
}

uint16_t DesfireCard::commandCounter() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session.counter;
}

Bytes DesfireCard::transactionIdentifier() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session.ti;
}

DesfireCard::Counters DesfireCard::counters() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counters;
}

void DesfireCard::resetCounters()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_counters = {};
}

// ---- framing ----

Bytes DesfireCard::handle(const Bytes& command)
{
    if (command.empty())
        return failure(LENGTH_ERROR);
    if (command[0] == ADDITIONAL_FRAME) {
        if (m_auth)
            return authenticateSecond(command);
        if (m_incoming)
            return continueIncoming(command);
        if (!m_outgoing.empty()) {
            Bytes next = m_outgoing.front();
            m_outgoing.pop_front();
            return next;
        }
        return failure(ILLEGAL_COMMAND);
    }
    // A new command ends whatever exchange was still open.
    m_auth.reset();
    m_incoming.reset();
    m_outgoing.clear();
    return dispatch(command);
}

Bytes DesfireCard::dispatch(const Bytes& c)
{
    const uint8_t cmd = c[0];
    // In an EV1 session every plain command runs through the CMAC chain; writes do so once all their
    // frames are in, and the enciphered commands chain through their own cipher text.
    const bool ownChain =
        cmd == 0x0A || cmd == 0x1A || cmd == 0xC4 || cmd == 0x54 || cmd == 0x3D || cmd == 0x3B || cmd == 0x5F;
    if (m_session.scheme == Scheme::Iso && !ownChain)
        m_session.iv = cardcrypto::cmac(Cipher::TDES, m_session.key, c, m_session.iv);

    switch (cmd) {
        case 0x0A:
        case 0x1A:
        case 0x71:
            return authenticateFirst(cmd, c);
        case 0x60:
            return c.size() == 1 ? getVersion() : failure(LENGTH_ERROR);
        case 0x45:
            return c.size() == 1 ? getKeySettings() : failure(LENGTH_ERROR);
        case 0x54:
            return changeKeySettings(c);
        case 0xC4:
            return changeKey(c);
        case 0x5A:
            return selectApplication(c);
        case 0xCA:
            return createApplication(c);
        case 0x6A:
            return c.size() == 1 ? getApplicationIDs() : failure(LENGTH_ERROR);
        case 0xFC:
            return c.size() == 1 ? format() : failure(LENGTH_ERROR);
        case 0x6F:
            return c.size() == 1 ? getFileIDs() : failure(LENGTH_ERROR);
        case 0xF5:
            return getFileSettings(c);
        case 0x5F:
            return changeFileSettings(c);
        case 0xCD:
        case 0xCB:
        case 0xCC:
        case 0xC1:
        case 0xC0:
            return createFile(c);
        case 0xDF:
            return deleteFile(c);
        case 0x3D:
        case 0x3B:
            return startWrite(c);
        case 0xBD:
            return readData(c);
        case 0xBB:
            return readRecords(c);
        case 0x6C:
            return getValue(c);
        case 0x0C:
        case 0xDC:
        case 0x1C:
            return changeValue(c);
        case 0xEB:
            return clearRecordFile(c);
        case 0xC7:
            return commit(c);
        case 0xA7:
            return abort(c);
        default:
            return failure(ILLEGAL_COMMAND);
    }
}

Bytes DesfireCard::failure(uint8_t status)
{
    // An error ends the authentication, as on the card.
    if (isError(status))
        dropSession();
    return {status};
}

Bytes DesfireCard::answer(uint8_t status, const Bytes& data, bool ev2Maced)
{
    Bytes body = data;
    if (status == OK && m_session.scheme == Scheme::Iso) {
        m_session.iv = cardcrypto::cmac(Cipher::TDES, m_session.key, data + Bytes{OK}, m_session.iv);
        body = body + m_session.iv;
    }
    if (status == OK && ev2()) {
        ++m_session.counter;
        if (ev2Maced)
            body = body + ev2Mac(OK, data);
    }
    if (body.size() <= m_frameData)
        return Bytes{status} + body;
    // The rest waits for the reader's AF frames.
    m_outgoing.clear();
    size_t pos = m_frameData;
    while (pos < body.size()) {
        const size_t n = std::min(m_frameData, body.size() - pos);
        const bool last = pos + n == body.size();
        m_outgoing.push_back(Bytes{last ? status : ADDITIONAL_FRAME} + slice(body, pos, n));
        pos += n;
    }
    return Bytes{ADDITIONAL_FRAME} + slice(body, 0, m_frameData);
}

Bytes DesfireCard::draw(size_t n)
{
    Bytes out = cardcrypto::random(n);
    for (size_t i = 0; i < n && !m_forced.empty(); ++i) {
        out[i] = m_forced.front();
        m_forced.pop_front();
    }
    return out;
}

void DesfireCard::dropSession()
{
    m_session = {};
}

void DesfireCard::discardPending()
{
    for (auto& entry : current().files) {
        File& f = entry.second;
        f.backup.reset();
        f.pendingValue.reset();
        f.pendingDebits = 0;
        f.limitedCreditUsed = false;
        f.pendingRecord.reset();
        f.pendingClear = false;
    }
}

// ---- authentication ----

Bytes DesfireCard::authenticateFirst(uint8_t cmd, const Bytes& c)
{
    // EV2 sends 71 keyNo LenCap PCDcap2: the reader's capabilities, six bytes at most.
    const bool ev2First = cmd == 0x71;
    const bool wellFormed = ev2First ? c.size() >= 3 && c[2] <= 6 && c.size() == 3u + c[2] : c.size() == 2;
    if (!wellFormed)
        return failure(LENGTH_ERROR);
    dropSession();
    const Application& app = current();
    const uint8_t keyNo = c[1];
    if (keyNo >= app.keyCount)
        return failure(NO_SUCH_KEY);
    const Cipher cipher = ev2First ? Cipher::AES : Cipher::TDES;
    PendingAuth p;
    p.cmd = cmd;
    p.keyNo = keyNo;
    p.key = app.keys[keyNo];
    p.rndB = draw(ev2First ? 16 : 8);
    p.iv = Bytes(cardcrypto::blockSize(cipher), 0x00);
    if (ev2First) {
        p.pcdCap = slice(c, 3, c[2]);
        p.pcdCap.resize(6, 0x00);
    }
    const Bytes encRndB = cardcrypto::cbcEncrypt(cipher, p.key, p.iv, p.rndB);
    m_auth = p;
    return Bytes{ADDITIONAL_FRAME} + encRndB;
}

Bytes DesfireCard::authenticateEv2Second(const PendingAuth& p, const Bytes& c)
{
    if (c.size() != 33)
        return failure(LENGTH_ERROR);
    // Every cryptogram of the exchange stands alone under a zero IV.
    Bytes iv(16, 0x00);
    const Bytes plain = cardcrypto::cbcDecrypt(Cipher::AES, p.key, iv, slice(c, 1, 32));
    const Bytes rndA = slice(plain, 0, 16);
    if (slice(plain, 16, 16) != cardcrypto::rotateLeft(p.rndB, 1))
        return failure(AUTHENTICATION_ERROR);
    const Bytes ti = draw(4);
    const Bytes pdCap(6, 0x00);
    Bytes answerIv(16, 0x00);
    const Bytes encAnswer = cardcrypto::cbcEncrypt(Cipher::AES, p.key, answerIv,
                                                   ti + cardcrypto::rotateLeft(rndA, 1) + pdCap + p.pcdCap);
    const Bytes& rndB = p.rndB;
    const Bytes tail = slice(rndA, 0, 2) + xorOf(slice(rndA, 2, 6), slice(rndB, 0, 6)) + slice(rndB, 6, 10) +
                       slice(rndA, 8, 8);
    Session s;
    s.scheme = Scheme::Ev2;
    s.keyNo = p.keyNo;
    s.key = cardcrypto::cmac(Cipher::AES, p.key, Bytes{0xA5, 0x5A, 0x00, 0x01, 0x00, 0x80} + tail);
    s.macKey = cardcrypto::cmac(Cipher::AES, p.key, Bytes{0x5A, 0xA5, 0x00, 0x01, 0x00, 0x80} + tail);
    s.ti = ti;
    m_session = s;
    return Bytes{OK} + encAnswer;
}

Bytes DesfireCard::ev2Mac(uint8_t first, const Bytes& rest) const
{
    Bytes input = {first};
    appendLe(input, m_session.counter, 2);
    const Bytes full = cardcrypto::cmac(Cipher::AES, m_session.macKey, input + m_session.ti + rest);
    Bytes mac;
    for (size_t i = 1; i < full.size(); i += 2) mac.push_back(full[i]);
    return mac;
}

uint8_t DesfireCard::ev2Open(Bytes& c, size_t size) const
{
    if (c.size() != size + 8)
        return LENGTH_ERROR;
    if (slice(c, size, 8) != ev2Mac(c[0], slice(c, 1, size - 1)))
        return INTEGRITY_ERROR;
    c.resize(size);
    return OK;
}

Bytes DesfireCard::authenticateSecond(const Bytes& c)
{
    PendingAuth p = *m_auth;
    m_auth.reset();
    if (p.cmd == 0x71)
        return authenticateEv2Second(p, c);
    if (c.size() != 17)
        return failure(LENGTH_ERROR);
    const Bytes token = slice(c, 1, 16);
    Bytes rndA;
    Bytes rotated;
    Bytes answerIv(8, 0x00);
    if (p.cmd == 0x0A) {
        rndA = receiveModeDecipher(p.key, slice(token, 0, 8));
        Bytes zero(8, 0x00);
        rotated =
            xorOf(cardcrypto::cbcEncrypt(Cipher::TDES, p.key, zero, slice(token, 8, 8)), slice(token, 0, 8));
    } else {
        const Bytes plain = cardcrypto::cbcDecrypt(Cipher::TDES, p.key, p.iv, token);
        rndA = slice(plain, 0, 8);
        rotated = slice(plain, 8, 8);
        answerIv = p.iv;
    }
    if (rotated != cardcrypto::rotateLeft(p.rndB, 1))
        return failure(AUTHENTICATION_ERROR);
    const Bytes encRndA =
        cardcrypto::cbcEncrypt(Cipher::TDES, p.key, answerIv, cardcrypto::rotateLeft(rndA, 1));
    Bytes sessionKey = slice(rndA, 0, 4) + slice(p.rndB, 0, 4);
    sessionKey =
        singleDes(p.key) ? sessionKey + sessionKey : sessionKey + slice(rndA, 4, 4) + slice(p.rndB, 4, 4);
    Session session;
    session.scheme = p.cmd == 0x0A ? Scheme::Native : Scheme::Iso;
    session.keyNo = p.keyNo;
    session.key = sessionKey;
    session.iv = Bytes(8, 0x00);
    m_session = session;
    return Bytes{OK} + encRndA;
}

// ---- card and application level ----

bool DesfireCard::isMasterAuthenticated() const
{
    return m_session.scheme != Scheme::None && m_session.keyNo == 0;
}

uint8_t DesfireCard::checkMaster(bool freeBit) const
{
    if (freeBit || isMasterAuthenticated())
        return OK;
    return m_session.scheme == Scheme::None ? AUTHENTICATION_ERROR : PERMISSION_DENIED;
}

Bytes DesfireCard::getVersion()
{
    Bytes data = m_version[0] + m_version[1] + m_version[2];
    if (m_session.scheme == Scheme::Iso) {
        m_session.iv = cardcrypto::cmac(Cipher::TDES, m_session.key, data + Bytes{OK}, m_session.iv);
        data = data + m_session.iv;
    }
    const size_t first = m_version[0].size();
    const size_t second = m_version[1].size();
    m_outgoing.clear();
    m_outgoing.push_back(Bytes{ADDITIONAL_FRAME} + slice(data, first, second));
    m_outgoing.push_back(Bytes{OK} + slice(data, first + second, data.size() - first - second));
    return Bytes{ADDITIONAL_FRAME} + slice(data, 0, first);
}

Bytes DesfireCard::getKeySettings()
{
    const Application& app = current();
    if (const uint8_t s = checkMaster(app.keySettings & 0x02))
        return failure(s);
    return answer(OK, {app.keySettings, app.keyCount});
}

Bytes DesfireCard::changeKeySettings(const Bytes& c)
{
    if (m_session.scheme == Scheme::None)
        return failure(AUTHENTICATION_ERROR);
    if (!isMasterAuthenticated())
        return failure(PERMISSION_DENIED);
    Application& app = current();
    if (!(app.keySettings & 0x08))
        return failure(PERMISSION_DENIED);
    if (c.size() != 9)
        return failure(LENGTH_ERROR);
    const Bytes cipher = slice(c, 1, 8);
    Bytes plain;
    bool intact;
    if (m_session.scheme == Scheme::Native) {
        plain = receiveModeDecipher(m_session.key, cipher);
        intact = slice(plain, 1, 2) == crcA(slice(plain, 0, 1));
    } else {
        plain = cardcrypto::cbcDecrypt(Cipher::TDES, m_session.key, m_session.iv, cipher);
        intact = slice(plain, 1, 4) == crc32(Bytes{0x54, plain[0]});
    }
    if (!intact)
        return failure(INTEGRITY_ERROR);
    app.keySettings = plain[0];
    return answer(OK);
}

Bytes DesfireCard::changeKey(const Bytes& c)
{
    if (m_session.scheme == Scheme::None)
        return failure(AUTHENTICATION_ERROR);
    if (c.size() != 26)
        return failure(LENGTH_ERROR);
    Application& app = current();
    const uint8_t keyNo = c[1] & 0x0F;
    if (keyNo >= app.keyCount)
        return failure(NO_SUCH_KEY);
    const uint8_t changeAccess = app.keySettings >> 4;
    uint8_t needed;
    if (keyNo == 0) {
        if (!(app.keySettings & 0x01))
            return failure(PERMISSION_DENIED);
        needed = 0;
    } else if (changeAccess == 0x0E) {
        needed = keyNo;
    } else if (changeAccess == 0x0F) {
        return failure(PERMISSION_DENIED);
    } else {
        needed = changeAccess;
    }
    if (m_session.keyNo != needed)
        return failure(PERMISSION_DENIED);

    const Bytes cipher = slice(c, 2, 24);
    const bool same = keyNo == m_session.keyNo;
    const Bytes& currentKey = app.keys[keyNo];
    Bytes newKey;
    bool intact;
    if (m_session.scheme == Scheme::Native) {
        const Bytes plain = receiveModeDecipher(m_session.key, cipher);
        const Bytes keyData = slice(plain, 0, 16);
        newKey = same ? keyData : xorOf(keyData, currentKey);
        intact = slice(plain, 16, 2) == crcA(keyData) && (same || slice(plain, 18, 2) == crcA(newKey));
    } else {
        const Bytes plain = cardcrypto::cbcDecrypt(Cipher::TDES, m_session.key, m_session.iv, cipher);
        const Bytes keyData = slice(plain, 0, 16);
        newKey = same ? keyData : xorOf(keyData, currentKey);
        intact = slice(plain, 16, 4) == crc32(Bytes{0xC4, c[1]} + keyData) &&
                 (same || slice(plain, 20, 4) == crc32(newKey));
    }
    if (!intact)
        return failure(INTEGRITY_ERROR);
    app.keys[keyNo] = newKey;
    if (same) {
        // The key that opened the session is gone, and the session with it.
        dropSession();
        return {OK};
    }
    return answer(OK);
}

Bytes DesfireCard::selectApplication(const Bytes& c)
{
    if (c.size() != 4)
        return failure(LENGTH_ERROR);
    const uint32_t aid = le(c, 1, 3);
    if (!m_apps.count(aid))
        return failure(APPLICATION_NOT_FOUND);
    discardPending();
    dropSession();
    m_selected = aid;
    return {OK};
}

Bytes DesfireCard::createApplication(const Bytes& c)
{
    if (c.size() != 6)
        return failure(LENGTH_ERROR);
    if (m_selected != PiccAid)
        return failure(PERMISSION_DENIED);
    if (const uint8_t s = checkMaster(current().keySettings & 0x04))
        return failure(s);
    const uint32_t aid = le(c, 1, 3);
    const uint8_t keyCount = c[5] & 0x0F;
    if (aid == PiccAid || keyCount < 1 || keyCount > 14 || (c[5] & 0xC0) != 0)
        return failure(PARAMETER_ERROR);
    if (m_apps.count(aid))
        return failure(DUPLICATE_ERROR);
    if (m_apps.size() > MaxApplications)
        return failure(COUNT_ERROR);
    Application app;
    app.keySettings = c[4];
    app.keyCount = keyCount;
    app.keys.assign(keyCount, Bytes(16, 0x00));
    m_apps[aid] = app;
    return answer(OK);
}

Bytes DesfireCard::getApplicationIDs()
{
    if (m_selected != PiccAid)
        return failure(PERMISSION_DENIED);
    if (const uint8_t s = checkMaster(current().keySettings & 0x02))
        return failure(s);
    Bytes data;
    for (const auto& a : m_apps)
        if (a.first != PiccAid)
            appendLe(data, a.first, 3);
    // Whole AIDs per frame, as the card sends them.
    const size_t saved = m_frameData;
    m_frameData = m_frameData / 3 * 3;
    Bytes out = answer(OK, data);
    m_frameData = saved;
    return out;
}

Bytes DesfireCard::format()
{
    if (m_selected != PiccAid)
        return failure(PERMISSION_DENIED);
    if (!isMasterAuthenticated())
        return failure(m_session.scheme == Scheme::None ? AUTHENTICATION_ERROR : PERMISSION_DENIED);
    for (auto it = m_apps.begin(); it != m_apps.end();)
        it = it->first == PiccAid ? std::next(it) : m_apps.erase(it);
    return answer(OK);
}

// ---- files ----

DesfireCard::File* DesfireCard::file(uint8_t fileNo)
{
    auto& files = current().files;
    const auto it = files.find(fileNo);
    return it == files.end() ? nullptr : &it->second;
}

Bytes DesfireCard::getFileIDs()
{
    if (m_selected == PiccAid)
        return failure(PERMISSION_DENIED);
    if (const uint8_t s = checkMaster(current().keySettings & 0x02))
        return failure(s);
    Bytes ids;
    for (const auto& f : current().files) ids.push_back(f.first);
    return answer(OK, ids);
}

Bytes DesfireCard::getFileSettings(const Bytes& c)
{
    if (c.size() != 2)
        return failure(LENGTH_ERROR);
    if (const uint8_t s = checkMaster(current().keySettings & 0x02))
        return failure(s);
    const File* f = file(c[1]);
    if (!f)
        return failure(FILE_NOT_FOUND);
    Bytes data = {f->type, f->comm};
    appendLe(data, f->access, 2);
    switch (f->type) {
        case StandardData:
        case BackupData:
            appendLe(data, static_cast<uint32_t>(f->data.size()), 3);
            break;
        case Value:
            appendLe(data, static_cast<uint32_t>(f->lower), 4);
            appendLe(data, static_cast<uint32_t>(f->upper), 4);
            appendLe(data, static_cast<uint32_t>(f->limitedCreditValue), 4);
            data.push_back(
                static_cast<uint8_t>((f->limitedCredit ? 0x01 : 0x00) | (f->freeGetValue ? 0x02 : 0x00)));
            break;
        case LinearRecord:
        case CyclicRecord:
            appendLe(data, f->recordSize, 3);
            appendLe(data, f->maxRecords, 3);
            appendLe(data, static_cast<uint32_t>(f->records.size()), 3);
            break;
    }
    return answer(OK, data);
}

Bytes DesfireCard::changeFileSettings(const Bytes& c)
{
    if (c.size() < 2)
        return failure(LENGTH_ERROR);
    File* f = file(c[1]);
    if (!f)
        return failure(FILE_NOT_FOUND);
    const uint8_t change = f->access & 0x0F;
    Bytes settings;
    if (change == 0x0E) {
        if (c.size() != 5)
            return failure(LENGTH_ERROR);
        if (m_session.scheme == Scheme::Iso)
            m_session.iv = cardcrypto::cmac(Cipher::TDES, m_session.key, c, m_session.iv);
        settings = slice(c, 2, 3);
    } else {
        if (change == 0x0F)
            return failure(PERMISSION_DENIED);
        if (m_session.scheme == Scheme::None)
            return failure(AUTHENTICATION_ERROR);
        if (m_session.keyNo != change)
            return failure(PERMISSION_DENIED);
        // Settings guarded by a key travel enciphered.
        if (c.size() != 10)
            return failure(LENGTH_ERROR);
        const Bytes cipher = slice(c, 2, 8);
        bool intact;
        if (m_session.scheme == Scheme::Native) {
            settings = receiveModeDecipher(m_session.key, cipher);
            intact = slice(settings, 3, 2) == crcA(slice(settings, 0, 3));
        } else {
            settings = cardcrypto::cbcDecrypt(Cipher::TDES, m_session.key, m_session.iv, cipher);
            intact = slice(settings, 3, 4) == crc32(Bytes{0x5F, c[1]} + slice(settings, 0, 3));
        }
        if (!intact)
            return failure(INTEGRITY_ERROR);
    }
    if (settings[0] != Plain && settings[0] != Maced && settings[0] != Enciphered)
        return failure(PARAMETER_ERROR);
    f->comm = settings[0];
    f->access = static_cast<uint16_t>(le(settings, 1, 2));
    return answer(OK);
}

Bytes DesfireCard::createFile(const Bytes& c)
{
    const uint8_t cmd = c[0];
    const size_t expected = (cmd == 0xCD || cmd == 0xCB) ? 8 : cmd == 0xCC ? 18 : 11;
    if (c.size() != expected)
        return failure(LENGTH_ERROR);
    if (m_selected == PiccAid)
        return failure(PERMISSION_DENIED);
    if (const uint8_t s = checkMaster(current().keySettings & 0x04))
        return failure(s);
    const uint8_t fileNo = c[1];
    if (fileNo > 31 || (c[2] != Plain && c[2] != Maced && c[2] != Enciphered))
        return failure(PARAMETER_ERROR);
    if (file(fileNo))
        return failure(DUPLICATE_ERROR);
    File f;
    f.comm = c[2];
    f.access = static_cast<uint16_t>(le(c, 3, 2));
    switch (cmd) {
        case 0xCD:
        case 0xCB: {
            f.type = cmd == 0xCD ? StandardData : BackupData;
            const uint32_t size = le(c, 5, 3);
            if (size == 0)
                return failure(PARAMETER_ERROR);
            f.data.assign(size, 0x00);
            break;
        }
        case 0xCC:
            f.type = Value;
            f.lower = static_cast<int32_t>(le(c, 5, 4));
            f.upper = static_cast<int32_t>(le(c, 9, 4));
            f.value = static_cast<int32_t>(le(c, 13, 4));
            f.limitedCredit = (c[17] & 0x01) != 0;
            f.freeGetValue = (c[17] & 0x02) != 0;
            if (f.lower > f.upper || f.value < f.lower || f.value > f.upper)
                return failure(PARAMETER_ERROR);
            break;
        default:
            f.type = cmd == 0xC1 ? LinearRecord : CyclicRecord;
            f.recordSize = le(c, 5, 3);
            f.maxRecords = le(c, 8, 3);
            if (f.recordSize == 0 || f.maxRecords < (f.type == CyclicRecord ? 2u : 1u))
                return failure(PARAMETER_ERROR);
            break;
    }
    current().files[fileNo] = f;
    return answer(OK);
}

Bytes DesfireCard::deleteFile(const Bytes& c)
{
    if (c.size() != 2)
        return failure(LENGTH_ERROR);
    if (m_selected == PiccAid)
        return failure(PERMISSION_DENIED);
    if (const uint8_t s = checkMaster(current().keySettings & 0x04))
        return failure(s);
    if (!file(c[1]))
        return failure(FILE_NOT_FOUND);
    current().files.erase(c[1]);
    return answer(OK);
}

DesfireCard::Access DesfireCard::access(const File& f, Right right) const
{
    const uint8_t r = f.access >> 12, w = (f.access >> 8) & 0x0F, rw = (f.access >> 4) & 0x0F;
    std::vector<uint8_t> keys;
    switch (right) {
        case Right::Read:
            keys = {r, rw};
            break;
        case Right::Write:
            keys = {w, rw};
            break;
        case Right::ReadWrite:
        case Right::Credit:
            keys = {rw};
            break;
        case Right::Change:
            keys = {static_cast<uint8_t>(f.access & 0x0F)};
            break;
        case Right::GetValue:
        case Right::Debit:
            keys = {r, w, rw};
            break;
        case Right::LimitedCredit:
            keys = {w, rw};
            break;
    }
    const bool free = std::find(keys.begin(), keys.end(), 0x0E) != keys.end() ||
                      (right == Right::GetValue && f.freeGetValue);
    if (free)
        return {OK, Plain};
    if (m_session.scheme == Scheme::None)
        return {AUTHENTICATION_ERROR, Plain};
    if (std::find(keys.begin(), keys.end(), m_session.keyNo) == keys.end())
        return {PERMISSION_DENIED, Plain};
    // MACed and enciphered files are served in the native scheme only, MACed ones in EV2 as well.
    if (m_session.scheme == Scheme::Iso && f.comm != Plain)
        return {PERMISSION_DENIED, Plain};
    if (ev2() && f.comm == Enciphered)
        return {PERMISSION_DENIED, Plain};
    return {OK, f.comm};
}

std::optional<Bytes> DesfireCard::openPayload(const Bytes& header, const Bytes& payload, size_t plainSize,
                                              uint8_t comm, bool record, bool& maced, uint8_t& status)
{
    maced = false;
    status = OK;
    const Bytes& key = m_session.key;
    if (comm == Plain) {
        if (payload.size() != plainSize)
            status = LENGTH_ERROR;
        return status ? std::nullopt : std::optional<Bytes>(payload);
    }
    if (comm == Maced) {
        const size_t macSize = ev2() ? 8 : 4;
        if (payload.size() != plainSize + macSize) {
            status = LENGTH_ERROR;
            return std::nullopt;
        }
        const Bytes data = slice(payload, 0, plainSize);
        maced = true;
        const Bytes mac = ev2() ? ev2Mac(header[0], slice(header, 1, header.size() - 1) + data)
                                : nativeMac(key, header + data);
        if (slice(payload, plainSize, macSize) != mac) {
            status = INTEGRITY_ERROR;
            return std::nullopt;
        }
        return data;
    }
    if (!record) {
        const size_t cipherSize = roundUp(plainSize + 2, 8);
        if (payload.size() != cipherSize && payload.size() != cipherSize + 4) {
            status = LENGTH_ERROR;
            return std::nullopt;
        }
        const Bytes cipher = slice(payload, 0, cipherSize);
        maced = payload.size() == cipherSize + 4;
        if (maced && slice(payload, cipherSize, 4) != nativeMac(key, header + cipher)) {
            status = INTEGRITY_ERROR;
            return std::nullopt;
        }
        const Bytes plain = receiveModeDecipher(key, cipher);
        if (slice(plain, plainSize, 2) != crcA(slice(plain, 0, plainSize))) {
            status = INTEGRITY_ERROR;
            return std::nullopt;
        }
        return slice(plain, 0, plainSize);
    }
    // Records: a MAC, when there is one, is enciphered along with the data.
    if (payload.size() % 8 != 0 || payload.size() < roundUp(plainSize + 2, 8)) {
        status = LENGTH_ERROR;
        return std::nullopt;
    }
    const Bytes plain = receiveModeDecipher(key, payload);
    const Bytes data = slice(plain, 0, plainSize);
    if (slice(plain, plainSize, 2) == crcA(data))
        return data;
    if (plain.size() >= plainSize + 6 &&
        slice(plain, plainSize + 4, 2) == crcA(slice(plain, 0, plainSize + 4)) &&
        slice(plain, plainSize, 4) == nativeMac(key, header + data)) {
        maced = true;
        return data;
    }
    status = INTEGRITY_ERROR;
    return std::nullopt;
}

Bytes DesfireCard::sealRead(const Bytes& data, uint8_t comm)
{
    if (comm == Maced)
        return data + nativeMac(m_session.key, data);
    if (comm == Enciphered) {
        Bytes plain = data + crcA(data);
        padZeros(plain, 8);
        Bytes iv(8, 0x00);
        return cardcrypto::cbcEncrypt(Cipher::TDES, m_session.key, iv, plain);
    }
    return data;
}

Bytes DesfireCard::sealStatus(bool maced)
{
    if (maced && m_session.scheme == Scheme::Native)
        return Bytes{OK} + nativeMac(m_session.key, {OK});
    return answer(OK, {}, maced);
}

Bytes DesfireCard::startWrite(const Bytes& c)
{
    if (c.size() < 8)
        return failure(LENGTH_ERROR);
    const File* f = file(c[1]);
    if (!f)
        return failure(FILE_NOT_FOUND);
    const bool record = c[0] == 0x3B;
    const bool dataFile = f->type == StandardData || f->type == BackupData;
    if (record == dataFile)
        return failure(PARAMETER_ERROR);
    const Access a = access(*f, Right::Write);
    if (a.status)
        return failure(a.status);
    const uint32_t offset = le(c, 2, 3);
    const uint32_t length = le(c, 5, 3);
    const uint64_t limit = record ? f->recordSize : f->data.size();
    if (length == 0)
        return failure(LENGTH_ERROR);
    if (static_cast<uint64_t>(offset) + length > limit)
        return failure(BOUNDARY_ERROR);
    Incoming in;
    in.command = c;
    in.headerSize = 8;
    switch (a.comm) {
        case Plain:
            in.minPayload = in.maxPayload = length;
            break;
        case Maced:
            in.minPayload = in.maxPayload = length + (ev2() ? 8 : 4);
            break;
        default:
            in.minPayload = roundUp(length + 2, 8);
            in.maxPayload = record ? roundUp(length + 6, 8) : in.minPayload + 4;
            break;
    }
    m_incoming = in;
    return continueIncoming({});
}

Bytes DesfireCard::continueIncoming(const Bytes& frame)
{
    Incoming& in = *m_incoming;
    if (!frame.empty())
        in.command.insert(in.command.end(), frame.begin() + 1, frame.end());
    const size_t payload = in.command.size() - in.headerSize;
    const size_t frameSize = frame.empty() ? in.command.size() : frame.size();
    if (payload > in.maxPayload) {
        m_incoming.reset();
        return failure(LENGTH_ERROR);
    }
    if (payload < in.minPayload || (payload < in.maxPayload && frameSize == MaxFrame))
        return {ADDITIONAL_FRAME};
    const Incoming done = in;
    m_incoming.reset();
    return finishWrite(done);
}

Bytes DesfireCard::finishWrite(const Incoming& in)
{
    if (m_session.scheme == Scheme::Iso)
        m_session.iv = cardcrypto::cmac(Cipher::TDES, m_session.key, in.command, m_session.iv);
    File& f = *file(in.command[1]);
    const bool record = in.command[0] == 0x3B;
    const Access a = access(f, Right::Write);
    const uint32_t offset = le(in.command, 2, 3);
    const uint32_t length = le(in.command, 5, 3);
    bool maced = false;
    uint8_t status = OK;
    const std::optional<Bytes> data =
        openPayload(slice(in.command, 0, in.headerSize),
                    slice(in.command, in.headerSize, in.command.size() - in.headerSize), length, a.comm,
                    record, maced, status);
    if (!data)
        return failure(status);
    if (!record) {
        Bytes& target = f.type == BackupData ? (f.backup ? *f.backup : *(f.backup = f.data)) : f.data;
        std::copy(data->begin(), data->end(), target.begin() + offset);
    } else {
        if (!f.pendingRecord) {
            if (f.type == LinearRecord && !f.pendingClear && f.records.size() >= f.maxRecords)
                return failure(BOUNDARY_ERROR);
            f.pendingRecord = Bytes(f.recordSize, 0x00);
        }
        std::copy(data->begin(), data->end(), f.pendingRecord->begin() + offset);
    }
    return sealStatus(maced);
}

uint8_t DesfireCard::openCommand(Bytes& c, size_t size, uint8_t comm) const
{
    if (ev2() && comm == Maced)
        return ev2Open(c, size);
    return c.size() == size ? OK : LENGTH_ERROR;
}

DesfireCard::FileUse DesfireCard::useFile(const Bytes& command, size_t minSize,
                                          std::initializer_list<FileType> types, Right right)
{
    FileUse use;
    if (command.size() < minSize) {
        use.access.status = LENGTH_ERROR;
        return use;
    }
    use.file = file(command[1]);
    if (!use.file)
        use.access.status = FILE_NOT_FOUND;
    else if (std::find(types.begin(), types.end(), use.file->type) == types.end())
        use.access.status = PARAMETER_ERROR;
    else
        use.access = access(*use.file, right);
    return use;
}

Bytes DesfireCard::readAnswer(const Bytes& data, uint8_t comm)
{
    return answer(OK, m_session.scheme == Scheme::Native ? sealRead(data, comm) : data, comm == Maced);
}

Bytes DesfireCard::readData(const Bytes& command)
{
    const FileUse use = useFile(command, 8, {StandardData, BackupData}, Right::Read);
    if (use.access.status)
        return failure(use.access.status);
    const File* f = use.file;
    const Access a = use.access;
    Bytes c = command;
    if (const uint8_t s = openCommand(c, 8, a.comm))
        return failure(s);
    const uint32_t offset = le(c, 2, 3);
    uint32_t length = le(c, 5, 3);
    if (offset >= f->data.size())
        return failure(BOUNDARY_ERROR);
    if (length == 0)
        length = static_cast<uint32_t>(f->data.size() - offset);
    if (static_cast<uint64_t>(offset) + length > f->data.size())
        return failure(BOUNDARY_ERROR);
    return readAnswer(slice(f->data, offset, length), a.comm);
}

Bytes DesfireCard::readRecords(const Bytes& command)
{
    const FileUse use = useFile(command, 8, {LinearRecord, CyclicRecord}, Right::Read);
    if (use.access.status)
        return failure(use.access.status);
    const File* f = use.file;
    const Access a = use.access;
    Bytes c = command;
    if (const uint8_t s = openCommand(c, 8, a.comm))
        return failure(s);
    const size_t count = f->records.size();
    const uint32_t skip = le(c, 2, 3);
    uint32_t wanted = le(c, 5, 3);
    if (count == 0 || skip >= count)
        return failure(BOUNDARY_ERROR);
    if (wanted == 0)
        wanted = static_cast<uint32_t>(count - skip);
    if (wanted > count - skip)
        return failure(BOUNDARY_ERROR);
    // Newest records are skipped; the rest go out oldest first.
    Bytes data;
    const size_t end = count - skip;
    for (size_t i = end - wanted; i < end; ++i) data = data + f->records[i];
    return readAnswer(data, a.comm);
}

Bytes DesfireCard::getValue(const Bytes& command)
{
    const FileUse use = useFile(command, 2, {Value}, Right::GetValue);
    if (use.access.status)
        return failure(use.access.status);
    const File* f = use.file;
    const Access a = use.access;
    Bytes c = command;
    if (const uint8_t s = openCommand(c, 2, a.comm))
        return failure(s);
    Bytes data;
    appendLe(data, static_cast<uint32_t>(f->value), 4);
    return readAnswer(data, a.comm);
}

Bytes DesfireCard::changeValue(const Bytes& c)
{
    const uint8_t cmd = c[0];
    const Right right = cmd == 0x0C ? Right::Credit : cmd == 0xDC ? Right::Debit : Right::LimitedCredit;
    const FileUse use = useFile(c, 2, {Value}, right);
    if (use.access.status)
        return failure(use.access.status);
    File* f = use.file;
    const Access a = use.access;
    bool maced = false;
    uint8_t status = OK;
    const std::optional<Bytes> plain =
        openPayload(slice(c, 0, 2), slice(c, 2, c.size() - 2), 4, a.comm, false, maced, status);
    if (!plain)
        return failure(status);
    const int64_t amount = static_cast<int32_t>(le(*plain, 0, 4));
    if (amount < 0)
        return failure(PARAMETER_ERROR);
    const int64_t current = f->pendingValue.value_or(f->value);
    int64_t next = current;
    if (cmd == 0x0C) {
        next = current + amount;
    } else if (cmd == 0xDC) {
        next = current - amount;
    } else {
        if (!f->limitedCredit)
            return failure(PERMISSION_DENIED);
        if (amount > f->limitedCreditValue)
            return failure(BOUNDARY_ERROR);
        next = current + amount;
    }
    if (next < f->lower || next > f->upper)
        return failure(BOUNDARY_ERROR);
    f->pendingValue = static_cast<int32_t>(next);
    if (cmd == 0xDC)
        f->pendingDebits += static_cast<int32_t>(amount);
    if (cmd == 0x1C)
        f->limitedCreditUsed = true;
    return sealStatus(maced);
}

// Clearing and the transaction commands are MACed in an EV2 session whatever the files' settings.
Bytes DesfireCard::clearRecordFile(const Bytes& command)
{
    const FileUse use = useFile(command, 2, {LinearRecord, CyclicRecord}, Right::ReadWrite);
    if (use.access.status)
        return failure(use.access.status);
    File* f = use.file;
    Bytes c = command;
    if (const uint8_t s = openCommand(c, 2, Maced))
        return failure(s);
    f->pendingClear = true;
    f->pendingRecord.reset();
    return answer(OK, {}, true);
}

Bytes DesfireCard::commit(const Bytes& command)
{
    Bytes c = command;
    if (const uint8_t s = openCommand(c, 1, Maced))
        return failure(s);
    bool any = false;
    for (auto& entry : current().files) {
        File& f = entry.second;
        if (!f.pending())
            continue;
        any = true;
        if (f.backup)
            f.data = *f.backup;
        if (f.pendingValue)
            f.value = *f.pendingValue;
        if (f.pendingDebits > 0)
            f.limitedCreditValue = f.pendingDebits;
        else if (f.limitedCreditUsed)
            f.limitedCreditValue = 0;
        if (f.pendingClear)
            f.records.clear();
        if (f.pendingRecord) {
            f.records.push_back(*f.pendingRecord);
            // A cyclic file keeps one record free for the next write.
            while (f.type == CyclicRecord && f.records.size() > f.maxRecords - 1) f.records.pop_front();
        }
    }
    discardPending();
    if (!any)
        return failure(NO_CHANGES);
    return answer(OK, {}, true);
}

Bytes DesfireCard::abort(const Bytes& command)
{
    Bytes c = command;
    if (const uint8_t s = openCommand(c, 1, Maced))
        return failure(s);
    discardPending();
    return answer(OK, {}, true);
}

}  // namespace emulators
