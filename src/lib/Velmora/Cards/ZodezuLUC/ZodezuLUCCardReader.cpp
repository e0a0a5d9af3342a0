#include "Velmora/Cards/ZodezuLUC/ZodezuLUCCardReader.h"

#include <stdexcept>

#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Tag.h"
#include "Velmora/Cards/ZodezuDES/CardUtils.h"
#include "core/String.h"

namespace ZodezuLUC {

namespace {

using Bytes = std::vector<uint8_t>;

const CardReader::Format ZodezuLUCFormat = {"ZodezuLUC", 26,  3, "contract/contractExpirationDateTime",
                                            false,       0x00};

// Slot 0 authenticates cards and MACs the records; slot 1 derives card keys.
const int TvmSlot = 0;
const int AccreditationSlot = 1;
const uint8_t CardKeyNo = 0x60;
const uint8_t CardKeyVersion = 0x11;
const uint8_t MacKeyNo = 0x61;
const uint8_t DerivationKeyNo = 0x60;
const uint8_t OfflineKeyVersion = 0x00;
const uint8_t MacSize = 4;

// With this constant the derivation is the CMAC-based two-key Triple-DES diversification: it is
// the padding of the 8-byte message 0x2n || UID, which the subkey K2 then masks.
const Bytes Kc = {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const uint8_t Rb = 0x1B;
const size_t Block = 8;

const int StatusPage = 4;
const int HeadPages = 9;  // pages 4 to 12
const int SelectorPage = 13;
const int MacAPage = 14;
const int CopyAPage = 16;
const int CopyBPage = 24;
const int CopyPages = 8;
const size_t PageSize = 4;
const size_t HeadSize = HeadPages * PageSize;
const size_t CopySize = CopyPages * PageSize;
const size_t InfoMacInputSize = 28;
const size_t StatusSize = 4;

// A field of a record: a key and its width on the card; 7 bytes is the hex electronic id; a null
// key is reserved space, written zero and not decoded.
struct Field
{
    const char* key;
    unsigned width;
};

const Field InfoFields[] = {
    {"info/cardExpirationTimestamp", 4},
    {"info/contractId", 4},
    {"info/contractCategory", 1},
    {"info/cardElectronicId", 7},
    {"info/cardType", 1},
    {"info/cardVersion", 1},
    {"info/issuerId", 2},
    {"info/terminalId", 2},
    {"info/terminalTypeShortNumber", 1},
    {"info/merchantShorthNumber", 2},
    {"info/ptoReference", 1},
};
const Field RiderFields[] = {{"info/riderType", 1}, {nullptr, 1}};
// The first field, the contract, is named by the format.
const Field CopyFields[] = {
    {"counters/transactionCounterShort", 2},
    {"counters/alicShort", 1},
    {"counters/contractValue", 1},
    {"usageLog/transactionDate", 4},
    {"usageLog/fareItemCategoryShortNumber", 1},
    {"usageLog/fareItemTypeShortNumber", 1},
    {"usageLog/activityTypeShortNumber", 1},
    {"usageLog/boardingActivityShortNumber", 1},
    {"usageLog/boardingStopMachineId", 4},
    {"usageLog/routeMachineId", 2},
    {"usageLog/terminalId", 2},
    {"usageLog/transactionIdShort", 2},
    {"usageLog/merchantShortNumber", 2},
    {"usageLog/terminalTypeShortNumber", 1},
    {"usageLog/ptoReference", 1},
    {nullptr, 2},
};

template <size_t N>
void encodeFields(const Field (&fields)[N], const VariantMap& map, Bytes::iterator& it)
{
    for (const Field& f : fields) {
        if (!f.key) {
            for (unsigned i = 0; i < f.width; ++i) CardUtils::pushByte(it, 0);
            continue;
        }
        const Variant& value = map[f.key];
        switch (f.width) {
            case 1:
                CardUtils::pushByte(it, static_cast<uint8_t>(value.toUInt()));
                break;
            case 2:
                CardUtils::pushShort(it, static_cast<uint16_t>(value.toUInt()));
                break;
            case 4:
                CardUtils::pushLong(it, value.toUInt());
                break;
            default:
                CardUtils::pushHexString(it, value.toString(), f.width);
                break;
        }
    }
}

template <size_t N>
void decodeFields(const Field (&fields)[N], VariantMap& map, Bytes::const_iterator& it)
{
    for (const Field& f : fields) {
        if (!f.key) {
            it += f.width;
            continue;
        }
        switch (f.width) {
            case 1:
                map[f.key] = Variant(CardUtils::popByte(it));
                break;
            case 2:
                map[f.key] = Variant(CardUtils::popShort(it));
                break;
            case 4:
                map[f.key] = Variant(CardUtils::popLong(it));
                break;
            default:
                map[f.key] = Variant(CardUtils::popHexString(it, f.width));
                break;
        }
    }
}

// The bytes of v from..from + n, zeros where v is shorter.
Bytes part(const Bytes& v, size_t from, size_t n)
{
    Bytes out(n, 0x00);
    for (size_t i = 0; i < n && from + i < v.size(); ++i) out[i] = v[from + i];
    return out;
}

void append(Bytes& to, const Bytes& v)
{
    to.insert(to.end(), v.begin(), v.end());
}

std::string hex(const Bytes& v)
{
    return String::toHexExcerpt(v);
}

}  // namespace

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : CardReader(ZodezuLUCFormat, std::move(tag), sams)
{
}

CardReader::CardReader(const Format& format, std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : RFID::UltralightCCardReader(format.name, std::move(tag), sams.empty() ? nullptr : sams.front()),
      m_format(format)
{
    log(Log::LevelWarning, "Using %d SAM(s)", static_cast<int>(sams.size()));
    for (const auto& sam : sams)
        if (auto mifare = std::dynamic_pointer_cast<NFC::MifareSAM>(sam))
            m_sams.push_back(std::move(mifare));
}

CardReader::~CardReader()
{
    m_sams.clear();
}

// ---- codec ----

VariantMap CardReader::decodeCardData(const CardData& data) const
{
    // Short fields read as zero-filled: the decoder never reads past what it was given.
    const Bytes status = part(data.blockStatus, 0, StatusSize);
    const Bytes info = part(data.cardInfo, 0, m_format.infoSize);
    const Bytes copy = part(data.layoutData, 0, CopySize);
    VariantMap map;
    auto it = status.cbegin();
    map["blockStatusShortNumber"] = Variant(CardUtils::popLong(it));
    it = info.cbegin();
    decodeFields(InfoFields, map, it);
    if (m_format.riderType)
        decodeFields(RiderFields, map, it);
    it = copy.cbegin();
    map[m_format.contractKey] = Variant(CardUtils::popLong(it));
    decodeFields(CopyFields, map, it);
    return map;
}

CardReader::CardData CardReader::encodeCardData(const VariantMap& map) const
{
    CardData data;
    data.blockStatus.assign(StatusSize, 0x00);
    data.cardInfo.assign(m_format.infoSize, 0x00);
    data.layoutData.assign(CopySize, 0x00);
    auto it = data.blockStatus.begin();
    CardUtils::pushLong(it, map["blockStatusShortNumber"].toUInt());
    it = data.cardInfo.begin();
    encodeFields(InfoFields, map, it);
    if (m_format.riderType)
        encodeFields(RiderFields, map, it);
    it = data.layoutData.begin();
    CardUtils::pushLong(it, map[m_format.contractKey].toUInt());
    encodeFields(CopyFields, map, it);
    return data;
}

Bytes CardReader::selector(bool copyB) const
{
    Bytes page(PageSize, 0x00);
    page[m_format.selectorByte] = copyB ? 0x01 : 0x00;
    return page;
}

Bytes CardReader::head(const CardData& data) const
{
    Bytes out = part(data.blockStatus, 0, StatusSize);
    append(out, part(data.cardInfo, 0, m_format.infoSize));
    append(out, part(data.cardInfoMac, 0, MacSize));
    out.resize(HeadSize, 0x00);
    return out;
}

Bytes CardReader::copyMacInput(const Bytes& head, const Bytes& selector, const Bytes& copy)
{
    Bytes out;
    out.reserve(HeadSize + PageSize + CopySize);
    append(out, head);
    append(out, selector);
    append(out, copy);
    return out;
}

Bytes CardReader::infoMacInput(const Bytes& info)
{
    return part(info, 0, std::max(InfoMacInputSize, info.size()));
}

// ---- SAMs, keys and MACs ----

std::shared_ptr<NFC::MifareSAM> CardReader::getSam(int slot) const
{
    for (const auto& sam : m_sams)
        if (sam->slot() == slot)
            return sam;
    return nullptr;
}

bool CardReader::defaultKeyAuthentication()
{
    log(Log::LevelInfo, "Authenticating with default key");
    return RFID::UltralightCCardReader::authenticate(DefaultKey);
}

bool CardReader::authenticate()
{
    if (m_authenticated)
        return true;
    bool ok = false;
    if (const auto sam = getSam(TvmSlot)) {
        log(Log::LevelInfo, "Authenticating using SAM");
        ok = RFID::UltralightCCardReader::authenticate(sam, CardKeyNo, CardKeyVersion, m_tag->uid());
    } else {
        ok = defaultKeyAuthentication();
    }
    m_authenticated = ok;
    return ok;
}

bool CardReader::generateAuthKey(Bytes& key)
{
    const Bytes& uid = m_tag->uid();
    log(Log::LevelInfo, "Generating key for %s", NFC::Tag::shownUid(uid).c_str());
    if (m_sams.size() < 2) {
        setError("generateAuthKey", "SAM missing: minimum required is 2");
        return false;
    }
    const auto sam = getSam(AccreditationSlot);
    if (!sam) {
        log(Log::LevelWarning, "No active Accrediation SAM");
        return true;
    }
    if (!mifareSamStep("generateAuthKey", sam->activateOfflineKey(DerivationKeyNo, OfflineKeyVersion, {})))
        return false;
    // Each answer must hold its two blocks: the subkey comes from the first block of the first
    // answer, each key half from the second block of the others.
    auto encipher = [&](const Bytes& input, Bytes& out) {
        if (!mifareSamStep("generateAuthKey", sam->encipherOfflineData(input, out)))
            return false;
        if (out.size() < 2 * Block) {
            setError("generateAuthKey", String::format("Incorrect cipher size : %zu bytes", out.size()));
            return false;
        }
        return true;
    };

    log(Log::LevelWarning, "Calculating cipher0");
    Bytes answer;
    if (!encipher(Bytes(2 * Block, 0x00), answer))
        return false;
    const Bytes cipher0(answer.begin(), answer.begin() + Block);
    log(Log::LevelDebug, "cipher0 = (%d) %s", static_cast<int>(cipher0.size()), hex(cipher0).c_str());

    log(Log::LevelDebug, "Calculating K1 and K2.");
    Bytes k1, k2;
    generateSubKeys(cipher0, k1, k2);
    log(Log::LevelDebug, "K1 = (%d) %s", static_cast<int>(k1.size()), hex(k1).c_str());
    log(Log::LevelDebug, "K2 = (%d) %s", static_cast<int>(k2.size()), hex(k2).c_str());

    log(Log::LevelDebug, "Calculate divInput1 and divInput2:");
    const Bytes x = XOR(Kc.data(), k2.data(), Block);
    Bytes div1 = {0x21}, div2 = {0x22};
    append(div1, uid);
    append(div1, x);
    append(div2, uid);
    append(div2, x);
    log(Log::LevelDebug, "DivInput1 = (%d) %s", static_cast<int>(div1.size()), hex(div1).c_str());
    log(Log::LevelDebug, "DivInput2 = (%d) %s", static_cast<int>(div2.size()), hex(div2).c_str());

    Bytes enc1, enc2;
    if (!encipher(div1, enc1) || !encipher(div2, enc2))
        return false;
    log(Log::LevelDebug, "EncrDivInput1 = (%d) %s", static_cast<int>(enc1.size()), hex(enc1).c_str());
    log(Log::LevelDebug, "EncrDivInput2 = (%d) %s", static_cast<int>(enc2.size()), hex(enc2).c_str());

    Bytes kd(enc1.begin() + Block, enc1.begin() + 2 * Block);
    const Bytes kd2(enc2.begin() + Block, enc2.begin() + 2 * Block);
    log(Log::LevelDebug, "Kd1 = (%d) %s", static_cast<int>(kd.size()), hex(kd).c_str());
    log(Log::LevelDebug, "Kd2 = (%d) %s", static_cast<int>(kd2.size()), hex(kd2).c_str());
    // The card keeps its key version in the low bits of the first half: version 0.
    for (uint8_t& b : kd) b &= 0xFE;
    append(kd, kd2);
    key.insert(key.begin(), kd.begin(), kd.end());
    log(Log::LevelDebug, "Kd = (%d) %s", static_cast<int>(key.size()), hex(key).c_str());
    return true;
}

void CardReader::generateSubKeys(const Bytes& L, Bytes& K1, Bytes& K2)
{
    if (L.empty())
        throw std::out_of_range("generateSubKeys: empty L");
    const Bytes rb = {0, 0, 0, 0, 0, 0, 0, Rb};
    auto next = [&rb](const Bytes& from) {
        Bytes out = leftShiftOneBit(from);
        if (from[0] & 0x80)
            out = XOR(out.data(), rb.data(), std::min(out.size(), rb.size()));
        return out;
    };
    K1 = next(L);
    K2 = next(K1);
}

Bytes CardReader::leftShiftOneBit(const Bytes& v)
{
    Bytes out(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        const uint8_t carry = i + 1 < v.size() ? static_cast<uint8_t>(v[i + 1] >> 7) : 0;
        out[i] = static_cast<uint8_t>(v[i] << 1 | carry);
    }
    return out;
}

Bytes CardReader::XOR(const uint8_t* a, const uint8_t* b, size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = a[i] ^ b[i];
    return out;
}

bool CardReader::generateSignature(Bytes& mac, const Bytes& data)
{
    log(Log::LevelInfo, "Generating MAC signature for %s (size=%d, key=%Xh)",
        NFC::Tag::shownUid(m_tag->uid()).c_str(), static_cast<int>(data.size()), MacKeyNo);
    if (m_sams.empty()) {
        log(Log::LevelWarning, "No active SAMs");
        mac.resize(MacSize, 0x00);
        return true;
    }
    const auto sam = getSam(TvmSlot);
    if (!sam) {
        log(Log::LevelWarning, "No active TVM SAM");
        setError("generateSignature", "No active TVM SAM");
        return false;
    }
    Bytes answer;
    if (!mifareSamStep("generateSignature", sam->activateOfflineKey(MacKeyNo, OfflineKeyVersion, {})) ||
        !mifareSamStep("generateSignature", sam->generateMAC(data, answer, MacSize)))
        return false;
    if (answer.size() != MacSize) {
        setError("generateSignature", String::format("Incorrect MAC size : %zu bytes", answer.size()));
        return false;
    }
    mac = std::move(answer);
    return true;
}

bool CardReader::verifySignature(const Bytes& mac, const Bytes& data)
{
    log(Log::LevelInfo, "Verifying MAC signature (size=%d, key=%Xh)", static_cast<int>(data.size()),
        MacKeyNo);
    if (m_sams.empty()) {
        log(Log::LevelWarning, "No active SAMs");
        return true;
    }
    const auto sam = getSam(TvmSlot);
    if (!sam) {
        log(Log::LevelWarning, "No active TVM SAM");
        setError("verifySignature", "No active TVM SAM");
        return false;
    }
    if (mac.size() != MacSize) {
        setError("verifySignature", String::format("Incorrect MAC size : %zu bytes", mac.size()));
        return false;
    }
    Bytes dataAndMac = data;
    append(dataAndMac, mac);
    return mifareSamStep("verifySignature", sam->activateOfflineKey(MacKeyNo, OfflineKeyVersion, {})) &&
           mifareSamStep("verifySignature", sam->verifyMAC(dataAndMac, MacSize));
}

// ---- card image ----

bool CardReader::readCardData(CardData& data)
{
    Bytes head;
    if (!normalReadPages(StatusPage, HeadPages + 3, head))
        return false;
    if (head.size() < HeadSize + 3 * PageSize) {
        setError("readCardData", String::format("Incorrect buffer length : %zu bytes", head.size()));
        return false;
    }
    m_layoutB = head[HeadSize + m_format.selectorByte] & 0x01;
    m_layoutKnown = true;
    log(Log::LevelInfo, m_layoutB ? "Reading Card Layout B" : "Reading Card Layout A");
    Bytes copy;
    if (!normalReadPages(m_layoutB ? CopyBPage : CopyAPage, CopyPages, copy))
        return false;
    if (copy.size() < CopySize) {
        setError("readCardData", String::format("Incorrect buffer length : %zu bytes", copy.size()));
        return false;
    }
    data.blockStatus = part(head, 0, StatusSize);
    data.cardInfo = part(head, StatusSize, m_format.infoSize);
    data.cardInfoMac = part(head, StatusSize + m_format.infoSize, MacSize);
    data.layoutSelector = part(head, HeadSize, PageSize);
    data.layoutAMac = part(head, HeadSize + PageSize, MacSize);
    data.layoutBMac = part(head, HeadSize + 2 * PageSize, MacSize);
    data.layoutData = part(copy, 0, CopySize);

    if (!verifySignature(data.cardInfoMac, infoMacInput(data.cardInfo)))
        return false;
    // Padding bytes of pages 4 to 12 are MACed as zeros, whatever the card holds there.
    return verifySignature(m_layoutB ? data.layoutBMac : data.layoutAMac,
                           copyMacInput(this->head(data), data.layoutSelector, data.layoutData));
}

bool CardReader::writeCardData(const CardData& data)
{
    if (data.blockStatus.size() != StatusSize || data.cardInfo.size() != m_format.infoSize ||
        data.layoutData.size() != CopySize) {
        setError("writeCardData", "Incorrect card data size");
        return false;
    }
    CardData d = data;
    if ((!m_layoutKnown && !readSelector()) || !generateSignature(d.cardInfoMac, infoMacInput(d.cardInfo)))
        return false;
    const bool toB = m_layoutB == 0;
    d.layoutSelector = selector(toB);
    const Bytes pages = head(d);
    Bytes copyMac;
    if (!generateSignature(copyMac, copyMacInput(pages, d.layoutSelector, d.layoutData)))
        return false;
    if (!writePages(StatusPage, HeadPages, pages))
        return forgetLayout();
    log(Log::LevelInfo, toB ? "Writing Card Layout B" : "Writing Card Layout A");
    if (!writePages(toB ? CopyBPage : CopyAPage, CopyPages, d.layoutData) ||
        !writePages(toB ? MacAPage + 1 : MacAPage, 1, copyMac) ||
        !writePages(SelectorPage, 1, d.layoutSelector))
        return forgetLayout();
    m_layoutB ^= 1u;
    return true;
}

// A WRITE whose answer was lost may have landed, the selector's too: once a page has gone out, a
// failure leaves the next write to read the selector again, so that it never takes the copy now
// valid for the one to overwrite.
bool CardReader::forgetLayout()
{
    m_layoutKnown = false;
    m_cache.drop(SelectorPage);
    return false;
}

bool CardReader::readSelector()
{
    Bytes pages;
    if (!normalReadPages(SelectorPage, 3, pages))
        return false;
    m_layoutB = pages[m_format.selectorByte] & 0x01;
    m_layoutKnown = true;
    return true;
}

bool CardReader::writeDefaultData()
{
    if (!m_layoutKnown && !readSelector())
        return false;
    Bytes infoMac;
    if (!generateSignature(infoMac, Bytes(InfoMacInputSize, 0x00)))
        return false;
    Bytes head(HeadSize, 0x00);
    std::copy(infoMac.begin(), infoMac.end(),
              head.begin() + static_cast<long>(StatusSize + m_format.infoSize));
    const Bytes blank(CopySize, 0x00);
    const bool fromB = m_layoutB == 1;
    // Both MAC pages of the image hold copy B's MAC; copy A gets one of its own only on the way.
    Bytes copyMac, macA;
    if (!generateSignature(copyMac, copyMacInput(head, selector(true), blank)) ||
        (fromB && !generateSignature(macA, copyMacInput(head, selector(false), blank))))
        return false;
    log(Log::LevelInfo, "Writing default data.");
    // The copy valid before stays so until the selector has left it: the blank goes to the other
    // copy first, and only then over the old one. From copy B, copy A is a valid blank on the way.
    bool written = writePages(StatusPage, HeadPages, head);
    if (fromB)
        written = written && writePages(CopyAPage, CopyPages, blank) && writePages(MacAPage, 1, macA) &&
                  writePages(SelectorPage, 1, selector(false));
    written = written && writePages(CopyBPage, CopyPages, blank) && writePages(MacAPage + 1, 1, copyMac) &&
              writePages(SelectorPage, 1, selector(true)) && writePages(CopyAPage, CopyPages, blank) &&
              writePages(MacAPage, 1, copyMac);
    if (!written)
        return forgetLayout();
    // The image on the card selects copy B, whatever its read-back gives.
    m_layoutB = 1;
    m_layoutKnown = true;
    return true;
}

bool CardReader::writeDefaultConfig()
{
    if (m_sams.empty())
        return true;
    Bytes key;
    if (!generateAuthKey(key))
        return false;
    log(Log::LevelInfo, "Writing card configuration");
    Configuration config;
    config.auth0 = 0x05;
    config.auth1 = 0x00;
    if (!writeAuthKey(key) || !writeConfig(config))
        return false;
    return !m_format.lockMark || writeLockBytes01(m_format.lockMark, 0x00);
}

// ---- operations ----

std::shared_ptr<RFID::Card> CardReader::read(unsigned, unsigned)
{
    const double start = startOperation("Reading Card");
    CardData data;
    if (!authenticate() || !readCardData(data))
        return nullptr;
    return finishRead(start, decodeCardData(data));
}

std::shared_ptr<RFID::Card> CardReader::write(const VariantMap& map)
{
    if (!m_activeCard && !read(0, 0))
        return nullptr;
    const double start = startOperation("Writing Card");
    if (!authenticate())
        return nullptr;
    CardData data;
    if (!guarded("write", [&] { data = encodeCardData(map); }))
        return nullptr;
    if (!writeCardData(data))
        return nullptr;
    return finishWrite(start, map);
}

std::shared_ptr<RFID::Card> CardReader::create(bool)
{
    const double start = startOperation("Creating Card");
    if (!m_authenticated) {
        if (!defaultKeyAuthentication()) {
            setError("create", "Card already initialized");
            return nullptr;
        }
        m_authenticated = true;
    }
    if (!writeDefaultConfig() || !writeDefaultData())
        return nullptr;
    finishOperation(start);
    return read(0, 0);
}

void CardReader::resetCardState()
{
    if (!m_authenticated)
        return;
    log(Log::LevelDebug, "Resetting card state");
    m_authenticated = false;
}

}  // namespace ZodezuLUC
