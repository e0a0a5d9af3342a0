#include "Velmora/Cards/KivoLUCv2/KivoLUCv2CardReader.h"

#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "Velmora/Cards/KivoLUC/TicketFields.h"
#include "core/String.h"

namespace KivoLUCv2 {

namespace {

using namespace KivoLUC::TicketFields;
using KivoLUC::MacKey;
using KivoLUC::OfflineKey;
using KivoLUC::PasswordKey;

const char* const Name = "KivoLUCv2";

constexpr int HeaderPage = 4;
constexpr int SelectorPage = 11;
constexpr int CopyAPage = 12;
constexpr int CopyBPage = 24;
constexpr int CopyPages = 11;
constexpr int CopyWithSignaturePages = 12;
constexpr size_t Zone0At = 34;
constexpr size_t Zone1At = 35;
constexpr uint8_t LayoutVersion = 2;
constexpr uint8_t DefaultInfoVersion = 3;

const std::vector<Field>& headerFields()
{
    static const std::vector<Field> fields = {
        {Kind::U8, "state/status"},
        {Kind::U8, "state/passengerType"},
        {Kind::U16, "state/statusDeviceId"},
        {Kind::DateTime, "state/statusTimestamp"},
        {Kind::Nibbles, "state/statusDeviceType", "info/version"},
        {Kind::U8, "info/carrierId"},
        {Kind::U16, "info/issuerId"},
        {Kind::DateTime, "info/issueTimestamp"},
        {Kind::U8, "topupLog/transactionType"},
        {Kind::U8, "topupLog/deviceType"},
        {Kind::U16, "topupLog/deviceId"},
        {Kind::U8, "topupLog/transactionAmount"},
        {Kind::Reserved},
        {Kind::U16, "topupLog/productId"},
        {Kind::DateTime, "topupLog/transactionTimestamp"},
    };
    return fields;
}

// zones: Nibbles to decode the zone bytes, Custom to leave them to the zone rule when encoding.
std::vector<Field> copyFields(Kind zones)
{
    return {
        {Kind::U16, "product0/productId"},
        {Kind::U8, "product0/initialValue"},
        {Kind::U8, "product0/remainingValue"},
        {Kind::DateTime, "product0/activationTimestamp"},
        {Kind::U8, "product0/productType"},
        {Kind::U8, "product0/status"},
        {Kind::U8, "product1/status"},
        {Kind::U8, "product1/productType"},
        {Kind::DateTime, "product1/activationTimestamp"},
        {Kind::U16, "product1/productId"},
        {Kind::U8, "product1/initialValue"},
        {Kind::U8, "product1/remainingValue"},
        {Kind::U8, "usageLog/transactionType"},
        {Kind::U8, "usageLog/deviceType"},
        {Kind::U16, "usageLog/deviceId"},
        {Kind::U16, "usageLog/productId"},
        {Kind::U16, "usageLog/vehicleId"},
        {Kind::U16, "usageLog/routeId"},
        {Kind::U16, "usageLog/routeExecutionId"},
        {Kind::U16, "usageLog/fromStopId"},
        {zones, "usageLog/zone0Id", "usageLog/zone0Count"},
        {zones, "usageLog/zone1Id", "usageLog/zone1Count"},
        {Kind::DateTime, "usageLog/transactionTimestamp"},
        {Kind::DateTime, "usageLog/initialTimestamp"},
    };
}

const std::vector<Field>& decodeCopyFields()
{
    static const std::vector<Field> fields = copyFields(Kind::Nibbles);
    return fields;
}

const std::vector<Field>& encodeCopyFields()
{
    static const std::vector<Field> fields = copyFields(Kind::Custom);
    return fields;
}

unsigned valueOr0(const VariantMap& map, const char* key)
{
    return map.exists(key) ? map[key].toUInt() : 0;
}

}  // namespace

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : RFID::UltralightEV1CardReader(Name, std::move(tag), sams.empty() ? nullptr : sams.front()),
      m_offline(m_sam)
{
}

CardReader::~CardReader() = default;

unsigned CardReader::readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight)
{
    std::vector<uint8_t> pages;
    if (!ultralight || ultralight->read(UltralightEV1CardReader::OtpPage, pages) != NFC::Ultralight::None ||
        pages.empty())
        return 0;
    return pages.front();
}

// ---- ticket image ----

CardReader::CardData CardReader::encodeData(const VariantMap& data) const
{
    CardData out{Bytes(HeaderSize, 0x00), Bytes(CopySize, 0x00)};
    encode(headerFields(), data, out.header, 0);
    encode(encodeCopyFields(), data, out.layout, 0);
    if (!data.exists("usageLog/toStopId")) {
        // An identifier that does not fit is no zone at all; a count that does not fit is the most.
        auto zone = [&](const char* id, const char* count) {
            unsigned i = data[id].toUInt();
            unsigned c = data[count].toUInt();
            return static_cast<uint8_t>((i > 15 ? 0 : i) << 4 | (c > 15 ? 15 : c));
        };
        out.layout[Zone0At] = zone("usageLog/zone0Id", "usageLog/zone0Count");
        out.layout[Zone1At] = zone("usageLog/zone1Id", "usageLog/zone1Count");
    } else {
        // A first-generation usage entry has no zones: keep those the card holds.
        log(Log::LevelWarning, "WARN: Invalid field 'usageLog.toStopId'. Skipping writing.");
        const VariantMap current = m_activeCard ? m_activeCard->data() : VariantMap();
        auto zone = [&](const char* id, const char* count) {
            return static_cast<uint8_t>(valueOr0(current, id) * 16 + valueOr0(current, count));
        };
        out.layout[Zone0At] = zone("usageLog/zone0Id", "usageLog/zone0Count");
        out.layout[Zone1At] = zone("usageLog/zone1Id", "usageLog/zone1Count");
    }
    return out;
}

VariantMap CardReader::decodeData(const CardData& data)
{
    VariantMap map;
    if (data.header.size() != HeaderSize || data.layout.size() < CopySize)
        return map;
    decode(headerFields(), data.header, 0, map);
    decode(decodeCopyFields(), data.layout, 0, map);
    return map;
}

// ---- SAM ----

bool CardReader::activate(const OfflineKey& key, const char* operation)
{
    if (m_offline.active(key))
        return true;
    log(Log::LevelDebug, "Activating Offline Key (channel=%d, pos=%d, ver=%d)", key.channel, key.position,
        key.version);
    return mifareSamStep(operation, m_offline.activate(key, m_tag->uid()));
}

bool CardReader::generatePassword(const Bytes& uid, uint32_t& pwd, uint16_t& pack)
{
    return KivoLUC::derivePassword(*this, m_offline, uid, pwd, pack, [&](Bytes& out) {
        if (!activate(PasswordKey, "generatePassword"))
            return false;
        log(Log::LevelDebug, "Enciphering Offline data (size=%zu)", uid.size());
        return mifareSamStep("generatePassword", m_offline.encipher(PasswordKey.channel, uid, out));
    });
}

bool CardReader::generateSignature(Bytes& signature, const Bytes& data)
{
    log(Log::LevelInfo, "Generating signature (size=%zu)", data.size());
    if (!m_offline) {
        log(Log::LevelWarning, "%s", NoSam);
        signature.resize(SignatureSize, 0x00);
        return true;
    }
    if (!activate(MacKey, "generateSignature"))
        return false;
    log(Log::LevelDebug, "Generating  MAC (trunc=%d)", static_cast<int>(SignatureSize));
    Bytes mac;
    if (!mifareSamStep("generateSignature", m_offline.generateMac(MacKey.channel, data, mac, SignatureSize)))
        return false;
    if (mac.size() != SignatureSize) {
        setError("generateSignature", String::format("Wrong signature length received (%zu)", mac.size()));
        return false;
    }
    signature = std::move(mac);
    return true;
}

bool CardReader::verifySignature(const Bytes& data)
{
    log(Log::LevelInfo, "Verifying signature (size=%d)", static_cast<int>(data.size()) - 4);
    if (!m_offline) {
        log(Log::LevelWarning, "%s", NoSam);
        return true;
    }
    if (!activate(MacKey, "verifySignature"))
        return false;
    log(Log::LevelDebug, "Verifying MAC (trunc=%d)", static_cast<int>(SignatureSize));
    return mifareSamStep("verifySignature", m_offline.verifyMac(MacKey.channel, data, SignatureSize));
}

bool CardReader::authenticate()
{
    if (!m_offline)
        return true;
    uint32_t pwd = 0;
    uint16_t pack = 0;
    return generatePassword(m_tag->uid(), pwd, pack) && verifyPassword(pwd, pack);
}

// ---- copies ----

bool CardReader::readCardData(CardData& data)
{
    Bytes header;
    if (!fastReadPages(HeaderPage, static_cast<int>(HeaderSize / 4), header))
        return false;
    const uint8_t selector = header[SelectorAt];
    Bytes layout;
    log(Log::LevelInfo, "Reading Card Layout %c", selector == 0 ? 'A' : 'B');
    if (!fastReadPages(selector == 0 ? CopyAPage : CopyBPage, CopyWithSignaturePages, layout) ||
        !verifySignature(layout))
        return false;
    data.header = std::move(header);
    data.layout = std::move(layout);
    m_copy = selector == 0 ? 0 : 1;
    return true;
}

bool CardReader::currentCopy(int& copy)
{
    if (!m_copy) {
        // No verified read: the selector on the card still names the copy to keep.
        Bytes page;
        if (const uint8_t* held = m_cache.get(SelectorPage))
            page.assign(held, held + 4);
        else if (!fastReadPages(SelectorPage, 1, page))
            return false;
        m_copy = page[0] == 0 ? 0 : 1;
    }
    copy = *m_copy;
    return true;
}

// A WRITE whose answer was lost may have landed, the selector's too: once a page has gone out, a
// failure leaves the next write to read the selector again, so that it never takes the copy now
// valid for the one to overwrite.
bool CardReader::forgetCopy()
{
    m_copy.reset();
    m_cache.drop(SelectorPage);
    return false;
}

bool CardReader::writeCardData(const CardData& data)
{
    if (data.header.size() < SelectorAt || data.layout.size() != CopySize) {
        setError("writeCardData", String::format("Incorrect buffer length : %zu + %zu bytes",
                                                 data.header.size(), data.layout.size()));
        return false;
    }
    int copy = 0;
    Bytes signature;
    if (!currentCopy(copy) || !generateSignature(signature, data.layout))
        return false;
    if (!writePages(HeaderPage, SelectorPage - HeaderPage,
                    Bytes(data.header.begin(), data.header.begin() + SelectorAt)))
        return forgetCopy();
    const bool toB = copy == 0;
    log(Log::LevelInfo, "Writing Card Layout %c", toB ? 'B' : 'A');
    const int first = toB ? CopyBPage : CopyAPage;
    if (!writePages(first, CopyPages, data.layout) || !writePages(first + CopyPages, 1, signature) ||
        !writePages(SelectorPage, 1, Bytes{static_cast<uint8_t>(toB ? 1 : 0), 0x00, 0x00, 0x00}))
        return forgetCopy();
    m_copy = toB ? 1 : 0;
    return true;
}

bool CardReader::writeDefaultData(bool ticket)
{
    log(Log::LevelInfo, "Writing default data to card.");
    Bytes copy(CopySize, 0x00);
    Bytes signature;
    int valid = 0;
    if ((ticket && !currentCopy(valid)) || !generateSignature(signature, copy))
        return false;
    copy.insert(copy.end(), signature.begin(), signature.end());
    Bytes image(HeaderSize, 0x00);
    image[8] = DefaultInfoVersion;
    image[SelectorAt] = 0x01;
    const Bytes header(image.begin(), image.begin() + SelectorAt);
    const Bytes selectB(image.begin() + SelectorAt, image.end());
    bool written = false;
    if (!ticket) {
        for (int i = 0; i < 2; ++i) image.insert(image.end(), copy.begin(), copy.end());
        written = writePages(HeaderPage, static_cast<int>(image.size() / 4), image);
    } else {
        // The copy the ticket holds stays valid until the selector has left it: the blank goes to
        // the other copy first, the selector names it, and only then is the old copy overwritten.
        const int other = valid == 0 ? CopyBPage : CopyAPage;
        const int old = valid == 0 ? CopyAPage : CopyBPage;
        written =
            writePages(HeaderPage, SelectorPage - HeaderPage, header) &&
            writePages(other, CopyWithSignaturePages, copy) &&
            writePages(SelectorPage, 1, Bytes{static_cast<uint8_t>(valid == 0 ? 1 : 0), 0x00, 0x00, 0x00}) &&
            writePages(old, CopyWithSignaturePages, copy) && writePages(SelectorPage, 1, selectB);
    }
    if (!written)
        return forgetCopy();
    // The image on the card selects copy B, whatever happens to the steps after it.
    m_copy = 1;
    // The one-time page cannot be taken back: it is marked only once the ticket is on the card, so
    // a create that fails before leaves the card as what it was.
    return writeOTP(Bytes{LayoutVersion, 0x00, 0x00, 0x00});
}

bool CardReader::writeDefaultConfig()
{
    if (!m_offline)
        return true;
    log(Log::LevelInfo, "Writing default configuration to card.");
    uint32_t pwd = 0;
    uint16_t pack = 0;
    if (!generatePassword(m_tag->uid(), pwd, pack))
        return false;
    return writeConfig(Configuration::protectedBy(HeaderPage, 0x80, pwd, pack));
}

// ---- operations ----

std::shared_ptr<RFID::Card> CardReader::create(bool)
{
    const double start = startOperation("Creating Card");
    Bytes otp;
    if (!readOTP(otp))
        return nullptr;
    const bool fresh = otp[0] != LayoutVersion;
    if (!fresh && !authenticate())
        return nullptr;
    if (!writeDefaultData(!fresh) || (fresh && !writeDefaultConfig()))
        return nullptr;
    m_offline.forgetKeys();
    finishOperation(start);
    return read(0, 0);
}

std::shared_ptr<RFID::Card> CardReader::read(unsigned, unsigned)
{
    const double start = startOperation("Reading Card");
    if (!haveCard("read") || !authenticate())
        return nullptr;
    CardData data;
    if (!readCardData(data))
        return nullptr;
    return finishRead(start, decodeData(data));
}

std::shared_ptr<RFID::Card> CardReader::write(const VariantMap& data)
{
    readBeforeWrite();
    const double start = startOperation("Writing Card");
    if (!haveCard("write"))
        return nullptr;
    // The map first: one that cannot be encoded fails here, before the SAM or the card hears of it.
    CardData encoded;
    if (!guarded("write", [&] { encoded = encodeData(data); }))
        return nullptr;
    if (!authenticate() || !writeCardData(encoded))
        return nullptr;
    return finishWrite(start, data);
}

}  // namespace KivoLUCv2
