#include "Velmora/Cards/VozeLUCv1/VozeLUCv1CardReader.h"

#include <algorithm>
#include <exception>

#include "NFC/ISO14443.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "Velmora/Cards/VozeLUCv1/TicketImage.h"
#include "Velmora/Cards/ZodezuDES/CardUtils.h"
#include "core/String.h"

namespace VozeLUCv1 {

namespace Image = TicketImage;

namespace {

const char* const Name = "VozeLUCv1";

constexpr int FirstPage = 4;
constexpr int LastPage = 35;
constexpr int PageSize = 4;

constexpr uint8_t RecordKey = 0x21;
constexpr uint8_t BlockKey = 0x23;
constexpr uint8_t CertificateKey = 0x20;
constexpr uint8_t DiversificationPrefix = 0xF8;
constexpr size_t PasswordAnswer = 8;
constexpr size_t TvalueAnswer = 60;
constexpr size_t TopUpSignAt = 55;
constexpr size_t TopUpSignSize = 4;

// Chip counter numbers: counter #2 is the chip's counter 1, #3 its counter 2.
constexpr int ChipCounter2 = 1;
constexpr int ChipCounter3 = 2;

int pageOf(size_t imageOffset)
{
    return FirstPage + static_cast<int>(imageOffset) / PageSize;
}

CardReader::Bytes be32(uint32_t value)
{
    CardReader::Bytes out(4);
    auto it = out.begin();
    CardUtils::pushReverseLong(it, value);
    return out;
}

CardReader::Bytes part(const CardReader::Bytes& v, size_t from, size_t n)
{
    return CardReader::Bytes(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

void place(CardReader::Bytes& image, size_t at, const CardReader::Bytes& bytes)
{
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<long>(at));
}

uint8_t u8Of(const VariantMap& map, const char* key)
{
    return map.exists(key) ? static_cast<unsigned char>(map[key]) : 0;
}

std::string samText(int code)
{
    return NFC::LGsam::errorToStr(code);
}

// The block key's diversification input.
CardReader::Bytes diversified(const CardReader::Bytes& uid)
{
    CardReader::Bytes input = {DiversificationPrefix};
    input.insert(input.end(), uid.begin(), uid.end());
    return input;
}

}  // namespace

// TPASS is bound to counter #3, TVALUE to counter #2.
struct CardReader::Record
{
    const char* name;         // "TPASS"
    const char* counterName;  // "counter3"
    int counterNumber;        // 3, as the texts count
    int chipCounter;
    int CardReader::*counter;
    size_t at;
    NFC::LGsam::ErrorCode (NFC::LGsam::*decrypt)(uint8_t, uint8_t, uint8_t, const Bytes&, const Bytes&,
                                                 const Bytes&, Bytes&);
};

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : RFID::CardReader(Name, tag, sams.empty() ? nullptr : sams.front()),
      m_pages(*this, m_ultralight, {true, true})
{
    if (m_tag)
        m_ultralight = NFC::Ultralight::make(m_tag->iso14443(), m_tag->uid(), m_tag->ats());
    m_lgsam = std::dynamic_pointer_cast<NFC::LGsam>(m_sam);
}

CardReader::~CardReader() = default;

bool CardReader::writeConfig(const Configuration& config)
{
    // The configuration pages are outside the ticket's page I/O: nothing of them is cached.
    return RFID::UltralightEV1CardReader::writeConfigPages(*this, *m_ultralight, config, nullptr);
}

// ---- counters ----

bool CardReader::readCounters()
{
    m_countersKnown = false;
    int value = 0;
    if (m_ultralight->readCounter(ChipCounter2, value) != NFC::Ultralight::None) {
        setError("readCounters", "Error read counter #2");
        return false;
    }
    m_counter2 = value;
    log(Log::LevelInfo, "Counter #2 value %d", m_counter2);
    if (m_ultralight->readCounter(ChipCounter3, value) != NFC::Ultralight::None) {
        setError("readCounters", "Error read counter #3");
        return false;
    }
    m_counter3 = value;
    log(Log::LevelInfo, "Counter #3 value %d", m_counter3);
    m_countersKnown = true;
    return true;
}

bool CardReader::writeCounters()
{
    log(Log::LevelInfo, "Increasing counter #2 value from %d to %d", m_counter2, m_counter2 + 1);
    if (m_ultralight->incrCounter(ChipCounter2, 1) != NFC::Ultralight::None) {
        // A torn increment may have moved the chip or not: the next write asks it.
        m_countersKnown = false;
        setError("writeCounters", "Error writing counter #2");
        return false;
    }
    ++m_counter2;
    log(Log::LevelInfo, "Increasing counter #3 value from %d to %d", m_counter3, m_counter3 + 1);
    if (m_ultralight->incrCounter(ChipCounter3, 1) != NFC::Ultralight::None) {
        m_countersKnown = false;
        log(Log::LevelError, "Last command 'counter #3 increase' failed ===> Set reason to 'unconfirmed'");
        setError("writeCounters", "unconfirmed");
        return false;
    }
    ++m_counter3;
    return true;
}

int CardReader::incrementCounter(int chipCounter, int& member)
{
    const NFC::Ultralight::Error rc = m_ultralight->incrCounter(chipCounter, 1);
    if (rc != NFC::Ultralight::None) {
        m_countersKnown = false;
        return static_cast<int>(rc);
    }
    ++member;
    return 0;
}

// ---- password and certificate ----

bool CardReader::generatePassword(const Bytes& uid, uint8_t keyVersion, uint32_t& pwd, uint16_t& pack)
{
    log(Log::LevelInfo, "Generating password for %s", NFC::Tag::shownUid(uid).c_str());
    if (!m_lgsam) {
        log(Log::LevelWarning, "%s", NoSam);
        return true;
    }
    const Bytes input = diversified(uid);
    Bytes answer;
    if (!lsamStep("generatePassword",
                  m_lgsam->encryptDecryptData(BlockKey, 1, keyVersion, input, true, input, answer),
                  "Failed generate password"))
        return false;
    if (answer.size() != PasswordAnswer) {
        setError("generatePassword",
                 String::format("Wrong password/pack length received (received: (%zu)  - expected (8)",
                                answer.size()));
        return false;
    }
    auto it = answer.cbegin();
    pwd = CardUtils::popReverseLong(it);
    it = answer.cbegin() + 6;
    pack = CardUtils::popReverseShort(it);
    return true;
}

bool CardReader::verifyPassword(uint32_t pwd, uint16_t pack)
{
    return RFID::UltralightEV1CardReader::authenticatePassword(*this, *m_ultralight, pwd, pack);
}

bool CardReader::sendPassword(uint8_t keyVersion, uint8_t mapVersion)
{
    if (mapVersion < 2 || !m_lgsam)
        return true;
    uint32_t pwd = 0;
    uint16_t pack = 0;
    return generatePassword(m_tag->uid(), keyVersion, pwd, pack) && verifyPassword(pwd, pack);
}

CardReader::IssuerData CardReader::extractIssuerData(const Bytes& image)
{
    IssuerData data;
    data.issueCenter = image[0] >> 4;
    data.issueDate = {static_cast<uint8_t>(image[1] & 0x7F), image[2]};
    data.keyVersion = image[3] >> 6;
    data.mapVersion = (image[3] >> 4) & 3;
    data.certificate = part(image, 4, 2);
    return data;
}

bool CardReader::verifyIssuerCert(const Bytes& image)
{
    const IssuerData issuer = extractIssuerData(image);
    log(Log::LevelInfo, "Checking certificate for %s (size=%zu)", NFC::Tag::shownUid(m_tag->uid()).c_str(),
        issuer.certificate.size());
    return lsamStep("verifyIssuerCert",
                    m_lgsam->checkIssueCertUL48(CertificateKey, issuer.issueCenter, issuer.keyVersion,
                                                m_tag->uid(), issuer.issueDate, issuer.certificate),
                    "Failed to check issuer certificate");
}

bool CardReader::generateIssuerCert(uint8_t keyVersion, const Date& today, Bytes& certificate)
{
    Bytes input = {0x01, keyVersion};
    input.insert(input.end(), m_tag->uid().begin(), m_tag->uid().end());
    input.resize(input.size() + 2);
    auto it = input.end() - 2;
    CardUtils::pushReverseDateC2(it, today);
    log(Log::LevelInfo, "Generating certificate for %s (size=2)", NFC::Tag::shownUid(m_tag->uid()).c_str());
    if (!m_lgsam) {
        log(Log::LevelWarning, "No active SAM ===> Use empty (all zeros) cert");
        certificate.assign(2, 0x00);
        return true;
    }
    return lsamStep("generateIssuerCert",
                    m_lgsam->generateIssuerCert(1, keyVersion, CertificateKey, input, certificate),
                    "Failed to generate issuer certificate");
}

CardReader::Bytes CardReader::prepareIssuerData(uint8_t keyVersion, const Bytes& certificate,
                                                const Date& today)
{
    // Centre 1 and holder bits 4-1 zero; holder bit 0 is bit 15 of the date pair.
    Bytes out(6, 0x00);
    out[0] = 0x10;
    auto it = out.begin() + 1;
    CardUtils::pushReverseDateC2(it, today);
    out[1] |= 0x80;
    // Map version 2, card status 1.
    out[3] = static_cast<uint8_t>((keyVersion & 3) << 6 | 0x21);
    std::copy(certificate.begin(), certificate.begin() + 2, out.begin() + 4);
    return out;
}

// ---- encipherment ----

bool CardReader::lsamStep(const char* operation, int rc, const char* failure)
{
    if (rc == NFC::LGsam::Success)
        return true;
    log(Log::LevelError, "%s", failure);
    setError(operation, samText(rc));
    return false;
}

bool CardReader::lsamGave(const char* operation, const std::string& what, size_t expected, size_t received)
{
    if (received == expected)
        return true;
    setError(operation,
             String::format("Wrong %s data length received from LSAM (expected: %d - received: %zu)",
                            what.c_str(), static_cast<int>(expected), received));
    return false;
}

bool CardReader::checkTransactionType(uint8_t trt)
{
    if (trt < 8 || trt > 11) {
        log(Log::LevelError, "Unsupported transaction type received: %d", trt);
        setError("encryptPassData", "Unsupported transaction type received!");
        return false;
    }
    return true;
}

// The key set is taken from page 4 as placed, its fields masked, so that a read, which finds it
// there, deciphers with the same one.
bool CardReader::encryptPassData(Bytes& image, const VariantMap& map)
{
    const IssuerData issuer = extractIssuerData(image);
    const uint8_t trt = static_cast<unsigned char>(map["topupLog/trt"]);
    if (!checkTransactionType(trt))
        return false;
    log(Log::LevelInfo, "TRT received: %d", trt);
    Bytes block;
    if (!lsamStep("encryptPassData",
                  m_lgsam->encryptTpassData(RecordKey, issuer.issueCenter, issuer.keyVersion, trt,
                                            m_tag->uid(), be32(static_cast<uint32_t>(m_counter3 + 1)),
                                            part(image, Image::PassAt, Image::PlainSize), block),
                  "Failed to encrypt TPASS data") ||
        !lsamGave("encryptPassData", "encrypted TPASS", Image::BlockSize, block.size()))
        return false;
    place(image, Image::PassAt, block);
    return true;
}

bool CardReader::encryptValueData(Bytes& image, const VariantMap& map)
{
    const IssuerData issuer = extractIssuerData(image);
    const uint32_t amount = map["topupLog/reloadOrPassAmt"].toUInt();
    const uint8_t trt = static_cast<unsigned char>(map["topupLog/trt"]);
    const uint32_t period = map["passData/permittedPeriod"].toUInt();
    const uint32_t count = map["passData/permittedCount"].toUInt();
    uint32_t remaining;
    if (trt == 9) {
        remaining = count;
        log(Log::LevelInfo, "Remained Value (cnt): %u", remaining);
    } else {
        remaining = period;
        log(Log::LevelInfo, "Remained Value (period): %u", remaining);
    }
    Bytes answer;
    if (!lsamStep("encryptValueData",
                  m_lgsam->encryptTvalueData(RecordKey, issuer.issueCenter, issuer.keyVersion, trt,
                                             m_tag->uid(), be32(amount), be32(remaining),
                                             part(image, Image::ValueAt, Image::PlainSize), answer),
                  "Failed to encrypt TVALUE data") ||
        !lsamGave("encryptValueData", "encrypted TVALUE", TvalueAnswer, answer.size()))
        return false;
    m_topUpSign = part(answer, TopUpSignAt, TopUpSignSize);
    place(image, Image::ValueAt, part(answer, 0, Image::BlockSize));
    return true;
}

bool CardReader::encryptEncTransData(Bytes& image, const VariantMap& /*map*/)
{
    return cipherTrans(image, true, "encryptEncTransData");
}

bool CardReader::cipherTrans(Bytes& image, bool encipher, const char* operation)
{
    const IssuerData issuer = extractIssuerData(image);
    Bytes block;
    if (!lsamStep(operation,
                  m_lgsam->encryptDecryptData(BlockKey, issuer.issueCenter, issuer.keyVersion,
                                              diversified(m_tag->uid()), encipher,
                                              part(image, Image::TransAt, Image::BlockSize), block),
                  encipher ? "Failed to encrypt TTRANS_OD data" : "Failed to decrypt TTRANS_OD data") ||
        !lsamGave(operation, encipher ? "encrypted TTRANS_OD" : "plain TTRANS_OD", Image::BlockSize,
                  block.size()))
        return false;
    place(image, Image::TransAt, block);
    return true;
}

bool CardReader::decryptRecord(Bytes& image, const Record& r, uint8_t issueCenter, uint8_t keyVersion,
                               uint8_t mapVersion)
{
    int& counter = this->*r.counter;
    const Bytes& uid = m_tag->uid();
    const Bytes block = part(image, r.at, Image::BlockSize);
    const Bytes backup = part(image, Image::BackupAt, Image::BlockSize);
    auto attempt = [&](const Bytes& enc, int value, Bytes& plain) {
        return (m_lgsam.get()->*r.decrypt)(RecordKey, issueCenter, keyVersion, uid,
                                           be32(static_cast<uint32_t>(value)), enc, plain);
    };
    auto moveCounter = [&](const char* source) {
        const int error = incrementCounter(r.chipCounter, counter);
        if (error == 0)
            return true;
        log(Log::LevelError,
            "Failed to increase '%s' value during %s data recovery process ===> Card Reading FAILED!",
            r.counterName, source);
        setError("decryptData", String::format("Error increasing counter %d: %d", r.counterNumber, error));
        return false;
    };
    auto restore = [&]() {
        log(Log::LevelInfo, "TBACKUP data successfully decrypted ===> Restore %s data", r.name);
        if (!writePages(pageOf(r.at), pageOf(r.at) + 4, backup)) {
            log(Log::LevelError, "Failed to restore %s data ===> Card Reading FAILED!", r.name);
            return false;
        }
        place(image, r.at, backup);
        return true;
    };

    Bytes plain;
    int rc = attempt(block, counter, plain);
    if (rc != NFC::LGsam::Success) {
        if (!sendPassword(keyVersion, mapVersion)) {
            log(Log::LevelError,
                "Failed to send/verify password during %s data recovery ===> Card Reading FAILED!", r.name);
            return false;
        }
        log(Log::LevelError, "Failed to decrypt %s data using '%s' value ===> Try '%s + 1' value", r.name,
            r.counterName, r.counterName);
        rc = attempt(block, counter + 1, plain);
        if (rc == NFC::LGsam::Success) {
            log(Log::LevelInfo,
                "%s data successfully decrypted using '%s + 1' value ===> Increase '%s' value", r.name,
                r.counterName, r.counterName);
            if (!moveCounter(r.name))
                return false;
        }
    }
    if (rc != NFC::LGsam::Success) {
        log(Log::LevelError,
            "Failed to decrypt %s data using '%s + 1' value ===> Try TBACKUP data using '%s' value", r.name,
            r.counterName, r.counterName);
        rc = attempt(backup, counter, plain);
        if (rc == NFC::LGsam::Success) {
            if (!restore())
                return false;
        } else {
            log(Log::LevelError, "Failed to decrypt TBACKUP data using '%s' value ===> Try '%s + 1' value",
                r.counterName, r.counterName);
            rc = attempt(backup, counter + 1, plain);
            if (rc != NFC::LGsam::Success) {
                log(Log::LevelError,
                    "Failed to decrypt TBACKUP data using '%s + 1' value ===> Card Reading FAILED!",
                    r.counterName);
                setError("decryptData", samText(rc));
                return false;
            }
            log(Log::LevelInfo,
                "TBACKUP data successfully decrypted using '%s + 1' value ===> Increase '%s' value",
                r.counterName, r.counterName);
            if (!moveCounter("TBACKUP") || !restore())
                return false;
        }
    }
    if (!lsamGave("decryptData", std::string("plain ") + r.name, Image::PlainSize, plain.size()))
        return false;
    place(image, r.at, plain);
    return true;
}

bool CardReader::decryptData(Bytes& image)
{
    const IssuerData issuer = extractIssuerData(image);
    const Record pass = {"TPASS",
                         "counter3",
                         3,
                         ChipCounter3,
                         &CardReader::m_counter3,
                         Image::PassAt,
                         &NFC::LGsam::decryptTpassData};
    const Record value = {"TVALUE",
                          "counter2",
                          2,
                          ChipCounter2,
                          &CardReader::m_counter2,
                          Image::ValueAt,
                          &NFC::LGsam::decryptTvalueData};
    return decryptRecord(image, pass, issuer.issueCenter, issuer.keyVersion, issuer.mapVersion) &&
           cipherTrans(image, false, "decryptData") &&
           decryptRecord(image, value, issuer.issueCenter, issuer.keyVersion, issuer.mapVersion);
}

// ---- image ----

bool CardReader::serializePlainData(Bytes& image, const VariantMap& map)
{
    image.assign(Image::Size, 0x00);
    for (const Image::Encoder& e : Image::Encoders)
        if (!guarded(std::string("serialize") + e.record, [&] { e.encode(image, map); }))
            return false;
    // Checked with the records, before anything reaches the SAM or the card.
    return checkTransactionType(static_cast<unsigned char>(map["topupLog/trt"]));
}

bool CardReader::encryptData(Bytes& image, const VariantMap& map)
{
    // The records are placed, so every key these read is there; anything else thrown stops the
    // write here, before a page is written.
    try {
        return encryptPassData(image, map) && encryptValueData(image, map) && encryptEncTransData(image, map);
    } catch (const std::exception& e) {
        setError("write", e.what());
        return false;
    }
}

CardReader::Bytes CardReader::serializeData(const VariantMap& map)
{
    Bytes image;
    if (!serializePlainData(image, map) || !encryptData(image, map))
        return {};
    return image;
}

VariantMap CardReader::deserializeData(const Bytes& image) const
{
    // The decoders index the whole image.
    if (image.size() != Image::Size) {
        log(Log::LevelError, "ERROR: image of %zu bytes, not %zu", image.size(), Image::Size);
        return VariantMap();
    }
    return Image::decode(image);
}

// ---- flows ----

bool CardReader::balance(VariantMap& map)
{
    NFC::LGsam::SAMbalanceData data;
    if (!m_lgsam || m_lgsam->getSAMbalance(data) != NFC::LGsam::Success)
        return false;
    map["samMetadata/samTransSN"] = data.samTransSN;
    map["samMetadata/countBal"] = data.countBal;
    map["samMetadata/daysBal"] = data.daysBal;
    map["samMetadata/minutesBal"] = data.minutesBal;
    map["samMetadata/valueBal"] = data.valueBal;
    return true;
}

std::shared_ptr<RFID::Card> CardReader::addSamMetadataToError()
{
    NFC::LGsam::SAMbalanceData data;
    if (m_lgsam && m_lgsam->getSAMbalance(data) == NFC::LGsam::Success) {
        addSamMetadata({{"samTransSN", data.samTransSN},
                        {"countBal", data.countBal},
                        {"daysBal", data.daysBal},
                        {"minutesBal", data.minutesBal},
                        {"valueBal", data.valueBal}});
    } else {
        log(Log::LevelError, "Failed to get samMetadata after a card reading/writing error!");
    }
    return nullptr;
}

std::shared_ptr<RFID::Card> CardReader::read(unsigned, unsigned)
{
    const double start = startOperation("Reading Card");
    if (!m_lgsam) {
        log(Log::LevelError, "%s", NoSam);
        setError("read", NoSam);
        return nullptr;
    }
    Bytes image;
    if (!readPages(FirstPage, LastPage, image) || !readCounters() || !verifyIssuerCert(image))
        return addSamMetadataToError();
    if (std::all_of(image.begin() + Image::PassAt, image.end(), [](uint8_t b) { return b == 0; }))
        log(Log::LevelInfo, "New (issued) card ===> Skip data decryption");
    else if (!decryptData(image))
        return addSamMetadataToError();

    VariantMap map = deserializeData(image);
    if (!balance(map))
        log(Log::LevelError, "Failed to get samMetadata after successful card reading!");
    return finishRead(start, map);
}

std::shared_ptr<RFID::Card> CardReader::write(const VariantMap& data)
{
    m_topUpSign.clear();
    // Without the SAM nothing can be enciphered: refuse before the card hears anything.
    if (!m_lgsam) {
        startOperation("Writing Card");
        setError("write", NoSam);
        return nullptr;
    }
    readBeforeWrite();

    const double start = startOperation("Writing Card");
    const VariantMap& current = m_activeCard->data();
    const uint8_t keyVersion = u8Of(current, "issueData/keyVersion");
    const uint8_t mapVersion = u8Of(current, "issueData/mapVersion");
    log(Log::LevelInfo, "Key Version: %d, Map Version: %d", keyVersion, mapVersion);

    // The records first: a bad map fails here, with nothing sent to the SAM or the card.
    Bytes image;
    if (!serializePlainData(image, data))
        return addSamMetadataToError();
    // The TPASS cryptogram binds the counter this write leaves: it must be the chip's.
    if (!m_countersKnown && !readCounters())
        return addSamMetadataToError();
    if (!sendPassword(keyVersion, mapVersion) || !encryptData(image, data))
        return addSamMetadataToError();

    // Each block goes to TBACKUP before its own pages, and the counters move last, so that a
    // write torn anywhere leaves a ticket the next read deciphers or restores.
    const Bytes pass = part(image, Image::PassAt, Image::BlockSize);
    const Bytes value = part(image, Image::ValueAt, Image::BlockSize);
    if (!writePages(4, 5, part(image, 0, 4)) || !writePages(29, 33, pass) || !writePages(7, 11, pass) ||
        !writePages(29, 33, value) || !writePages(25, 29, value) ||
        !writePages(21, 25, part(image, Image::TransAt, Image::BlockSize)) ||
        !writePages(33, 36, part(image, Image::ReloadAt, 12)) || !writeCounters())
        return addSamMetadataToError();

    VariantMap result = data;
    if (m_topUpSign.size() == TopUpSignSize)
        result["topUpSign"] = String::toHex(m_topUpSign);
    else
        log(Log::LevelInfo, "No topUpSign data found!");
    if (!balance(result))
        log(Log::LevelError, "Failed to get samMetadata after successful card writing!");
    return finishWrite(start, result);
}

std::shared_ptr<RFID::Card> CardReader::create(bool)
{
    const double start = startOperation("Creating Card...");
    if (!m_lgsam) {
        setError("create", NoSam);
        return nullptr;
    }
    Bytes current;
    if (!readPages(4, 5, current))
        return addSamMetadataToError();

    Bytes versions;
    if (!lsamStep("create", m_lgsam->getIssuerKeyVersion(versions),
                  "Unable to retrieve VKSETissuer from LSAM"))
        return addSamMetadataToError();
    log(Log::LevelInfo, "%zu VKSETissuer(s) found in LSAM", versions.size());
    uint8_t keyVersion = 0;
    for (size_t i = 0; i < versions.size(); ++i) {
        log(Log::LevelInfo, "VKSETissuer[%zu]: %d", i, versions[i]);
        if (versions[i] == 1) {
            log(Log::LevelInfo, "Production keyset %d found in LSAM!", 1);
            keyVersion = 1;
        }
    }

    // One day for the certificate and the record, even across midnight.
    const Date today = Date::currentDate();
    Bytes certificate;
    uint32_t pwd = 0;
    uint16_t pack = 0;
    if (!generateIssuerCert(keyVersion, today, certificate))
        return addSamMetadataToError();
    if (certificate.size() != 2) {
        setError("generateIssuerCert",
                 String::format("Wrong certificate length received (%zu)", certificate.size()));
        return addSamMetadataToError();
    }
    Bytes issuer = prepareIssuerData(keyVersion, certificate, today);
    if (!generatePassword(m_tag->uid(), keyVersion, pwd, pack))
        return addSamMetadataToError();

    if (std::all_of(current.begin(), current.end(), [](uint8_t b) { return b == 0; }))
        log(Log::LevelInfo, "Empty card ===> Skip password verification");
    else if (!verifyPassword(pwd, pack))
        return addSamMetadataToError();

    // Page 5 keeps the two bytes after the certificate as the card holds them.
    issuer.insert(issuer.end(), current.begin() + 6, current.end());
    if (!writePages(4, 6, issuer))
        return addSamMetadataToError();
    if (!writeConfig(Configuration::protectedBy(4, 0x00, pwd, pack)))
        return addSamMetadataToError();
    finishOperation(start);
    return read(0, 0);
}

}  // namespace VozeLUCv1
