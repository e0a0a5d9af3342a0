#include "Velmora/Cards/KivoLUC/KivoLUCCardReader.h"

#include "NFC/ISO14443.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "Velmora/Cards/KivoLUC/TicketFields.h"
#include "core/String.h"

namespace KivoLUC {

namespace {

using namespace TicketFields;

const char* const Name = "KivoLUC";

constexpr size_t FlagsAt = 8;
constexpr size_t CarrierAt = 64;
constexpr uint8_t PeriodPassFlag = 0x20;
constexpr uint8_t StoredJourneysFlag = 0x80;
constexpr uint8_t CreatedVersion = 0x01;

const std::vector<Field>& record()
{
    static const std::vector<Field> fields = {
        {Kind::U8, "state/status"},
        {Kind::U8, "state/statusDeviceType"},
        {Kind::U16, "state/statusDeviceId"},
        {Kind::DateTime, "state/statusTimestamp"},
        {Kind::Custom},  // flags and version
        {Kind::U8, "state/passengerType"},
        {Kind::U16, "info/issuerId"},
        {Kind::DateTime, "info/issueTimestamp"},
        {Kind::Date, "info/expiryDate"},
        {Kind::U16, "periodPass/productId"},
        {Kind::U8, "periodPass/status"},
        {Kind::U8, "periodPass/days"},
        {Kind::DateTime, "periodPass/issueTimestamp"},
        {Kind::DateTime, "periodPass/activationTimestamp"},
        {Kind::U16, "storedJourneys/productId"},
        {Kind::U8, "storedJourneys/status"},
        {Kind::U8, "storedJourneys/journeys"},
        {Kind::DateTime, "storedJourneys/issueTimestamp"},
        {Kind::DateTime, "storedJourneys/activationTimestamp"},
        {Kind::U8, "usageLog/deviceType"},
        {Kind::U8, "usageLog/productType"},
        {Kind::U8, "usageLog/journeysBefore"},
        {Kind::U8, "usageLog/journeysAfter"},
        {Kind::DateTime, "usageLog/timestamp"},
        {Kind::U16, "usageLog/deviceId"},
        {Kind::U16, "usageLog/productId"},
        {Kind::U16, "usageLog/routeId"},
        {Kind::U16, "usageLog/routeExecutionId"},
        {Kind::U16, "usageLog/fromStopId"},
        {Kind::U16, "usageLog/toStopId"},
        {Kind::U16, "usageLog/vehicleId"},
        {Kind::Custom},  // the carrier, the record's one optional key
        {Kind::Reserved},
        {Kind::U8, "topupLog/deviceType"},
        {Kind::U8, "topupLog/productType"},
        {Kind::U8, "topupLog/journeysBefore"},
        {Kind::U8, "topupLog/journeysAfter"},
        {Kind::DateTime, "topupLog/timestamp"},
        {Kind::U16, "topupLog/deviceId"},
        {Kind::U16, "topupLog/productId"},
    };
    return fields;
}

}  // namespace

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : RFID::CardReader(Name, std::move(tag), sams.empty() ? nullptr : sams.front()),
      m_offline(m_sam),
      m_pages(*this, m_ultralight, {false, false}, [this] { reauthenticate(); })
{
    if (m_tag)
        m_ultralight = NFC::Ultralight::make(m_tag->iso14443(), m_tag->uid(), m_tag->ats());
}

CardReader::~CardReader() = default;

// ---- record ----

CardReader::Bytes CardReader::serializeData(const VariantMap& data)
{
    Bytes out(RecordSize, 0x00);
    encode(record(), data, out, 0);
    uint8_t flags = static_cast<uint8_t>(data["info/version"].toUInt() & 0x0F);
    if (data["state/cardType/hasPeriodPass"].toBool())
        flags |= PeriodPassFlag;
    if (data["state/cardType/hasStoredJourneys"].toBool())
        flags |= StoredJourneysFlag;
    out[FlagsAt] = flags;
    out[CarrierAt] =
        data.exists("info/carrierId") ? static_cast<uint8_t>(data["info/carrierId"].toUInt()) : 0;
    return out;
}

VariantMap CardReader::deserializeData(const Bytes& image)
{
    VariantMap map;
    if (image.size() < RecordSize)
        return map;
    decode(record(), image, 0, map);
    const uint8_t flags = image[FlagsAt];
    map["state/cardType/hasStoredJourneys"] = (flags & StoredJourneysFlag) != 0;
    map["state/cardType/hasPeriodPass"] = (flags & PeriodPassFlag) != 0;
    map["info/version"] = static_cast<int>(flags & 0x0F);
    map["info/carrierId"] = image[CarrierAt];
    return map;
}

// ---- SAM ----

bool CardReader::activateOfflineKey(int channel, int position, int version)
{
    log(Log::LevelDebug, "Activating Offline Key (channel=%d, pos=%d, ver=%d)", channel, position, version);
    if (!m_offline) {
        log(Log::LevelWarning, "%s", NoSam);
        return true;
    }
    const OfflineKey key{channel, position, version};
    if (m_offline.active(key)) {
        log(Log::LevelDebug, "Skipping key activation. Key %d already active.", position);
        return true;
    }
    return mifareSamStep("activateOfflineKey", m_offline.activate(key, m_tag->uid()));
}

bool CardReader::encipherOfflineData(int channel, Bytes& out, const Bytes& in)
{
    return mifareSamStep("encipherOfflineData", m_offline.encipher(channel, in, out));
}

bool CardReader::generateMac(int channel, Bytes& mac, const Bytes& data)
{
    return mifareSamStep("generateMac", m_offline.generateMac(channel, data, mac, 0));
}

bool CardReader::verifyMac(int channel, const Bytes& data)
{
    return mifareSamStep("verifyMac", m_offline.verifyMac(channel, data, 0));
}

bool CardReader::generatePassword(const Bytes& uid, uint32_t& pwd, uint16_t& pack)
{
    return derivePassword(*this, m_offline, uid, pwd, pack, [&](Bytes& out) {
        return activateOfflineKey(PasswordKey.channel, PasswordKey.position, PasswordKey.version) &&
               encipherOfflineData(PasswordKey.channel, out, uid);
    });
}

bool CardReader::verifyPassword(uint32_t pwd, uint16_t pack)
{
    if (!RFID::UltralightEV1CardReader::authenticatePassword(*this, *m_ultralight, pwd, pack))
        return false;
    m_passwordSent = true;
    return true;
}

bool CardReader::generateCert(Bytes& cert, const Bytes& record)
{
    log(Log::LevelInfo, "Generating certificate for %s (size=%zu)", NFC::Tag::shownUid(m_tag->uid()).c_str(),
        record.size());
    if (!m_offline) {
        log(Log::LevelWarning, "%s", NoSam);
        cert.resize(CertificateSize, 0x00);
        return true;
    }
    Bytes mac;
    if (!activateOfflineKey(MacKey.channel, MacKey.position, MacKey.version) ||
        !generateMac(MacKey.channel, mac, record))
        return false;
    if (mac.size() != CertificateSize) {
        setError("generateCert", String::format("Wrong certificate length received (%zu)", mac.size()));
        return false;
    }
    cert = std::move(mac);
    return true;
}

bool CardReader::verifyCert(const Bytes& image)
{
    log(Log::LevelInfo, "Verifying certificate for %s (size=%zu)", NFC::Tag::shownUid(m_tag->uid()).c_str(),
        image.size());
    if (!m_offline) {
        log(Log::LevelWarning, "%s", NoSam);
        return true;
    }
    return activateOfflineKey(MacKey.channel, MacKey.position, MacKey.version) &&
           verifyMac(MacKey.channel, image);
}

// ---- pages ----

void CardReader::reauthenticate()
{
    uint32_t pwd = 0;
    uint16_t pack = 0;
    if (m_passwordSent && m_offline.password(pwd, pack) &&
        m_ultralight->authenticatePass(pwd, pack) != NFC::Ultralight::None)
        log(Log::LevelWarning, "WARN: password not accepted again");
}

bool CardReader::writeConfig(const Configuration& config)
{
    // The configuration pages are outside the ticket's page I/O: nothing of them is cached.
    return RFID::UltralightEV1CardReader::writeConfigPages(*this, *m_ultralight, config, nullptr);
}

// ---- operations ----

bool CardReader::authenticate()
{
    if (!m_offline)
        return true;
    uint32_t pwd = 0;
    uint16_t pack = 0;
    return generatePassword(m_tag->uid(), pwd, pack) && verifyPassword(pwd, pack);
}

std::shared_ptr<RFID::Card> CardReader::read(unsigned, unsigned)
{
    const double start = startOperation("Reading Card");
    if (!m_ultralight) {
        setError("read", "No card");
        return nullptr;
    }
    if (!authenticate())
        return nullptr;
    Bytes image;
    if (!readPages(FirstPage, EndPage, image))
        return nullptr;
    if (image.size() != ImageSize) {
        setError("read", String::format("Incorrect image length : %zu bytes", image.size()));
        return nullptr;
    }
    if (!verifyCert(image))
        return nullptr;
    return finishRead(start, deserializeData(image));
}

std::shared_ptr<RFID::Card> CardReader::write(const VariantMap& data)
{
    readBeforeWrite();
    const double start = startOperation("Writing Card");
    if (!m_ultralight) {
        setError("write", "No card");
        return nullptr;
    }
    // The map first: one that cannot be encoded fails here, before the SAM or the card hears of it.
    Bytes image;
    if (!guarded("write", [&] { image = serializeData(data); }))
        return nullptr;
    if (!authenticate())
        return nullptr;
    Bytes cert;
    if (!generateCert(cert, image))
        return nullptr;
    image.insert(image.end(), cert.begin(), cert.end());
    if (!writePages(FirstPage, EndPage, image))
        return nullptr;
    return finishWrite(start, data);
}

std::shared_ptr<RFID::Card> CardReader::create(bool)
{
    const double start = startOperation("Creating Card");
    if (!m_ultralight) {
        setError("create", "No card");
        return nullptr;
    }
    Bytes image(RecordSize, 0x00);
    image[FlagsAt] = CreatedVersion;
    Bytes cert;
    if (!generateCert(cert, image))
        return nullptr;
    image.insert(image.end(), cert.begin(), cert.end());
    uint32_t pwd = 0;
    uint16_t pack = 0;
    if (m_offline && !generatePassword(m_tag->uid(), pwd, pack))
        return nullptr;
    // No PWD_AUTH first: a ticket is created on a card that is not protected yet.
    if (!writePages(FirstPage, EndPage, image))
        return nullptr;
    if (m_offline && !writeConfig(Configuration::protectedBy(FirstPage, 0x80, pwd, pack)))
        return nullptr;
    finishOperation(start);
    return read(0, 0);
}

}  // namespace KivoLUC
