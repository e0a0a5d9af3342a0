#include "Velmora/Cards/VerUZA/VerUZACardReader.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "NFC/BitBuffer.h"
#include "NFC/Common/NFCCrypto.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Tag.h"
#include "core/Base64.h"
#include "core/String.h"
#include "core/Utils.h"

namespace VerUZA {

namespace {

const char* const Name = "VerUZA";
const char* const NotSupported = "SAM not supported";
const char* const InvalidSize = "Invalid record size";
const char* const InvalidSignature = "Signature verification failed: invalid signature";

constexpr uint8_t PasswordKey = 0x23;
constexpr uint8_t PasswordCenter = 0x01;
constexpr uint8_t DiversificationPrefix = 0xF8;
constexpr size_t PasswordAnswer = 16;
constexpr uint8_t ProtectedFrom = 4;
constexpr uint8_t Unprotected = 0xFF;
constexpr size_t PageSize = RFID::UltralightPageCache::PageSize;

enum class Kind
{
    Unsigned,
    Flag,
    Text,
};

struct Field
{
    const char* key;
    Kind kind;
    unsigned size;  // bits, or characters of a text
};

// The data part, in card order: 464 bits, bytes 0 to 57.
const Field DataPart[] = {
    {"ticket/version", Kind::Unsigned, 4},
    {"ticket/issuer_rics", Kind::Unsigned, 14},
    {"ticket/key_id", Kind::Unsigned, 4},
    {"ticket/ticket_type", Kind::Unsigned, 5},
    {"ticket/number_of_adults", Kind::Unsigned, 7},
    {"ticket/number_of_children", Kind::Unsigned, 7},
    {"ticket/specimen", Kind::Flag, 1},
    {"ticket/class_index", Kind::Unsigned, 6},
    {"ticket/tcn", Kind::Text, 14},
    {"ticket/issue_year_last_digit", Kind::Unsigned, 4},
    {"ticket/issue_day", Kind::Unsigned, 9},
    {"ticket/sub_ticket_type", Kind::Unsigned, 2},
    {"ticket/station_alpha_encoding", Kind::Flag, 1},
    {"ticket/station_code_table", Kind::Unsigned, 4},
    {"ticket/from_station", Kind::Unsigned, 28},
    {"ticket/to_station", Kind::Unsigned, 28},
    {"ticket/departure_date", Kind::Unsigned, 9},
    {"ticket/departure_time", Kind::Unsigned, 11},
    {"ticket/train_number", Kind::Text, 5},
    {"ticket/coach_number", Kind::Unsigned, 10},
    {"ticket/seat_number", Kind::Text, 3},
    {"ticket/overbooked", Kind::Flag, 1},
    {"ticket/info_code", Kind::Unsigned, 14},
    {"ticket/open_text", Kind::Text, 27},
    {"ticket/padding", Kind::Unsigned, 1},
};

const char* const SealR = "ticket/seal_dsa_r";
const char* const SealS = "ticket/seal_dsa_s";

std::mutex& directoriesMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<std::string>& directories()
{
    static std::vector<std::string> list = {"/opt/kivo/keys", "/usr/share/kivo/keys", "/var/lib/kivo/keys",
                                            "/etc/kivo/keys", "~/.config/kivo/keys"};
    return list;
}

}  // namespace

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : RFID::UltralightEV1CardReader(Name, std::move(tag), sams.empty() ? nullptr : sams.front())
{
    m_lgsam = std::dynamic_pointer_cast<NFC::LGsam>(m_sam);
    m_issuerKeyVersion = getIssuerKeyVersion();
}

CardReader::~CardReader() = default;

std::vector<std::string> CardReader::keyDirectories()
{
    std::lock_guard<std::mutex> lock(directoriesMutex());
    return directories();
}

void CardReader::setKeyDirectories(std::vector<std::string> list)
{
    std::lock_guard<std::mutex> lock(directoriesMutex());
    directories() = std::move(list);
}

// ---- record codec ----

CardReader::Bytes CardReader::encodeData(const VariantMap& map)
{
    try {
        // The writer and the seal check both need the whole record: anything else is refused
        // rather than shifted, cut or padded onto the card.
        if (map.exists("raw")) {
            Bytes raw = Base64::decodeV(map["raw"].toString());
            if (raw.size() != RecordSize)
                throw std::length_error(InvalidSize);
            return raw;
        }
        BitBuffer bits;
        for (const Field& f : DataPart) {
            const Variant& value = map[f.key];
            switch (f.kind) {
                case Kind::Unsigned:
                    bits.pushInt(value.toUInt(), f.size);
                    break;
                case Kind::Flag:
                    bits.pushInt(value.toBool() ? 1 : 0, 1);
                    break;
                case Kind::Text:
                    bits.pushChar6(value.toString(), static_cast<int>(f.size));
                    break;
            }
        }
        Bytes record = bits.data();
        const Bytes r = String::fromHex(map[SealR].toString());
        const Bytes s = String::fromHex(map[SealS].toString());
        if (r.size() != SealPartSize || s.size() != SealPartSize)
            throw std::length_error(InvalidSize);
        record.insert(record.end(), r.begin(), r.end());
        record.insert(record.end(), s.begin(), s.end());
        return record;
    } catch (const std::exception& e) {
        setError("encodeData", e.what());
        return {};
    }
}

VariantMap CardReader::decodeData(const Bytes& record) const
{
    VariantMap map;
    map["raw"] = Base64::encodeV(record);
    Bytes whole = record;
    whole.resize(std::max(whole.size(), RecordSize), 0x00);
    BitBuffer bits(whole);
    for (const Field& f : DataPart) {
        switch (f.kind) {
            case Kind::Unsigned:
                map[f.key] = bits.popInt(f.size);
                break;
            case Kind::Flag:
                map[f.key] = bits.popInt(1) == 1;
                break;
            case Kind::Text: {
                std::string text = bits.popChar6(static_cast<int>(f.size));
                text.erase(text.find_last_not_of(' ') + 1);
                map[f.key] = text;
                break;
            }
        }
    }
    const auto r = whole.begin() + SignedSize;
    map[SealR] = String::toHex(Bytes(r, r + SealPartSize));
    map[SealS] = String::toHex(Bytes(r + SealPartSize, r + 2 * SealPartSize));
    return map;
}

// ---- seal ----

CardReader::Bytes CardReader::readKey(const std::string& name) const
{
    std::string path;
    if (name.find('/') != std::string::npos) {
        path = name;
    } else {
        for (const std::string& directory : keyDirectories()) {
            const std::string candidate = Utils::combinePath(directory, name);
            if (Utils::fileExists(candidate)) {
                path = candidate;
                break;
            }
        }
        if (path.empty())
            return {};
    }
    const Bytes file = Utils::readFile(path);
    return Base64::decodeV(std::string(file.begin(), file.end()));
}

bool CardReader::verifySignature(const Bytes& record)
{
    if (record.size() < RecordSize) {
        setError("verifySignature", InvalidSize);
        return false;
    }
    Bytes key;
    try {
        key = readKey(KeyFileName);
    } catch (const std::exception& e) {
        // An unreadable key file must not let a ticket through, nor end the worker.
        setError("verifySignature", std::string("Signature verification failed: ") + e.what());
        return false;
    }
    if (key.empty()) {
        log(Log::LevelWarning, "Signature verification skipped: public key is missing");
        return true;
    }
    if (std::all_of(record.begin(), record.begin() + RecordSize, [](uint8_t b) { return b == 0; })) {
        log(Log::LevelWarning, "WARN: Card was just created. Skipping signature verification.");
        return true;
    }
    const Bytes digest = NFC::Crypto::sha224(std::string(record.begin(), record.begin() + SignedSize));
    if (digest.empty()) {
        setError("verifySignature", "Signature verification failed: SHA224 hash is empty");
        return false;
    }
    const auto r = record.begin() + SignedSize;
    if (!NFC::Crypto::ecdsaVerify(key, digest, Bytes(r, r + SealPartSize),
                                  Bytes(r + SealPartSize, r + 2 * SealPartSize))) {
        setError("verifySignature", InvalidSignature);
        return false;
    }
    log(Log::LevelInfo, "Signature verified");
    return true;
}

// ---- password ----

uint8_t CardReader::getIssuerKeyVersion()
{
    if (!m_sam) {
        log(Log::LevelError, "%s", NoSam);
        return 0;
    }
    if (!m_lgsam) {
        log(Log::LevelError, "%s", NotSupported);
        return 0;
    }
    Bytes versions;
    if (m_lgsam->getIssuerKeyVersion(versions) != NFC::LGsam::Success) {
        log(Log::LevelError, "Unable to retrieve VKSETissuer from LSAM");
        return 0;
    }
    const uint8_t flag = std::find(versions.begin(), versions.end(), 1) != versions.end() ? 1 : 0;
    log(Log::LevelInfo, "VKSETissuer: %s", flag ? "prod" : "test");
    return flag;
}

bool CardReader::generatePassword(const Bytes& uid, uint32_t& password, uint16_t& pack)
{
    log(Log::LevelInfo, "Generating password for %s (vkset=%s)", NFC::Tag::shownUid(uid).c_str(),
        m_issuerKeyVersion == 1 ? "prod" : "test");
    if (!m_sam) {
        log(Log::LevelWarning, "%s", NoSam);
        return true;
    }
    if (!m_lgsam) {
        setError("generatePassword", NotSupported);
        return false;
    }
    Bytes input = {DiversificationPrefix};
    input.insert(input.end(), uid.begin(), uid.end());
    Bytes answer;
    const NFC::LGsam::ErrorCode rc = m_lgsam->encryptDecryptData(
        PasswordKey, PasswordCenter, m_issuerKeyVersion, input, true, input, answer);
    if (rc != NFC::LGsam::Success) {
        setError("generatePassword", NFC::LGsam::errorToStr(rc));
        return false;
    }
    if (answer.size() < PasswordAnswer) {
        setError("generatePassword", "Invalid password size");
        return false;
    }
    password = static_cast<uint32_t>(answer[0]) << 24 | static_cast<uint32_t>(answer[1]) << 16 |
               static_cast<uint32_t>(answer[2]) << 8 | answer[3];
    pack = static_cast<uint16_t>(answer[14] << 8 | answer[15]);
    return true;
}

bool CardReader::authenticate()
{
    if (!m_sam)
        return true;
    Configuration config;
    if (!readConfig(config))
        return false;
    if (config.AUTH0 != ProtectedFrom) {
        log(Log::LevelWarning, "WARN: Password not configured. Skipping");
        return true;
    }
    uint32_t password = 0;
    uint16_t pack = 0;
    return generatePassword(m_tag->uid(), password, pack) && verifyPassword(password, pack);
}

// ---- operations ----

bool CardReader::readCardData(Bytes& record)
{
    if (!fastReadPages(FirstPage, RecordPages, record))
        return false;
    record.resize(RecordSize, 0x00);
    return verifySignature(record);
}

std::shared_ptr<RFID::Card> CardReader::read(unsigned, unsigned)
{
    const double start = startOperation("Reading Card");
    Bytes record;
    if (!authenticate() || !readCardData(record))
        return nullptr;
    return finishRead(start, decodeData(record));
}

std::shared_ptr<RFID::Card> CardReader::write(const VariantMap& data)
{
    readBeforeWrite();
    const double start = startOperation("Writing Card");
    if (!authenticate())
        return nullptr;
    Bytes record = encodeData(data);
    if (record.empty() || !verifySignature(record))
        return nullptr;
    record.resize(RecordPages * PageSize, 0x00);
    if (!writePages(FirstPage, RecordPages, record))
        return nullptr;
    return finishWrite(start, data);
}

std::shared_ptr<RFID::Card> CardReader::create(bool)
{
    const double start = startOperation("Creating Card");
    Configuration config;
    if (!readConfig(config))
        return nullptr;
    const bool blank = config.AUTH0 == Unprotected;
    if (!blank && !authenticate())
        return nullptr;
    log(Log::LevelInfo, "Writing initial data to card (all 00s).");
    if (!writePages(FirstPage, RecordPages, Bytes(RecordPages * PageSize, 0x00)))
        return nullptr;
    if (blank && !m_lgsam) {
        // Without the SAM there is no password to set: a card locked with PWD 0 would be readable
        // by anyone and writable by nobody who knows the real one.
        log(Log::LevelWarning, "No LG SAM: configuration left as it is");
    } else if (blank) {
        log(Log::LevelInfo, "Writing configuration to card");
        uint32_t password = 0;
        uint16_t pack = 0;
        if (!generatePassword(m_tag->uid(), password, pack) ||
            !writeConfig(Configuration::protectedBy(ProtectedFrom, 0x00, password, pack)))
            return nullptr;
    }
    finishOperation(start);
    return read(0, 0);
}

}  // namespace VerUZA
