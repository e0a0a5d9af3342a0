#include "Velmora/UltralightEV1CardReader.h"

#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "core/String.h"

namespace RFID {

namespace {

const int PageSize = UltralightPageCache::PageSize;

}  // namespace

UltralightEV1CardReader::UltralightEV1CardReader(std::string name, std::shared_ptr<NFC::Tag> tag,
                                                 std::shared_ptr<NFC::SAM> sam)
    : UltralightCardReader(std::move(name), std::move(tag), std::move(sam))
{
}

UltralightEV1CardReader::~UltralightEV1CardReader() = default;

void UltralightEV1CardReader::cachePages(int first, const uint8_t* bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        const uint8_t* page = bytes + i * PageSize;
        m_cache.put(first + i, page);
        log(Log::LevelInfo, "[%04d] : %s", first + i, String::toHex(page, PageSize).c_str());
    }
}

bool UltralightEV1CardReader::readConfig(Configuration& config)
{
    log(Log::LevelInfo, "Reading configuration");
    if (!haveCard("readConfig"))
        return false;
    Bytes pages;
    const NFC::Ultralight::Error e = m_ultralight->read(ConfigPage, pages);
    if (e != NFC::Ultralight::None || pages.size() != ConfigPages * PageSize) {
        setError("readConfig",
                 String::format("Error reading page (%d): %d", ConfigPage, static_cast<int>(e)));
        return false;
    }
    cachePages(ConfigPage, pages.data(), ConfigPages);
    config.MOD = pages[0];
    config.AUTH0 = pages[3];
    config.ACCESS = pages[4];
    config.VCTID = pages[5];
    config.PWD = static_cast<uint32_t>(pages[8]) << 24 | static_cast<uint32_t>(pages[9]) << 16 |
                 static_cast<uint32_t>(pages[10]) << 8 | pages[11];
    config.PACK = static_cast<uint16_t>(pages[12] << 8 | pages[13]);
    return true;
}

bool UltralightEV1CardReader::writeConfig(const Configuration& config)
{
    return haveCard("writeConfig") && writeConfigPages(*this, *m_ultralight, config, &m_cache);
}

bool UltralightEV1CardReader::writeConfigPages(CardReader& reader, NFC::Ultralight& ultralight,
                                               const Configuration& config, UltralightPageCache* cache)
{
    const uint8_t pages[ConfigPages][PageSize] = {
        {config.MOD, 0x00, 0x00, config.AUTH0},
        {config.ACCESS, config.VCTID, 0x00, 0x00},
        {static_cast<uint8_t>(config.PWD >> 24), static_cast<uint8_t>(config.PWD >> 16),
         static_cast<uint8_t>(config.PWD >> 8), static_cast<uint8_t>(config.PWD)},
        {static_cast<uint8_t>(config.PACK >> 8), static_cast<uint8_t>(config.PACK), 0x00, 0x00},
    };
    for (int i : {1, 2, 3, 0}) {
        const int page = ConfigPage + i;
        const NFC::Ultralight::Error e = ultralight.write(page, Bytes(pages[i], pages[i] + PageSize));
        if (e != NFC::Ultralight::None) {
            reader.setError("writeConfig",
                            String::format("Error writing page (%d): %d", page, static_cast<int>(e)));
            return false;
        }
        if (cache)
            cache->put(page, pages[i]);
        reader.log(Log::LevelInfo, "[%04d] : %s", page, String::toHex(pages[i], PageSize).c_str());
    }
    return true;
}

bool UltralightEV1CardReader::authenticatePassword(CardReader& reader, NFC::Ultralight& ultralight,
                                                   uint32_t password, uint16_t pack)
{
    uint16_t received = 0;
    const NFC::Ultralight::Error e = ultralight.authenticatePass(password, received);
    if (e != NFC::Ultralight::None) {
        reader.setError("verifyPassword",
                        String::format("Error authenticating password : %d", static_cast<int>(e)));
        return false;
    }
    if (received != pack) {
        reader.setError(
            "verifyPassword",
            String::format("Password authenticate mismatch (exp=%04x, recv=%04x)", pack, received));
        return false;
    }
    reader.log(Log::LevelInfo, "Password verified");
    return true;
}

bool UltralightEV1CardReader::fastReadPages(int first, int count, Bytes& out)
{
    log(Log::LevelDebug, "Fast reading pages %d to %d", first, first + count);
    if (!haveCard("fastRead"))
        return false;
    Bytes data;
    const NFC::Ultralight::Error e = m_ultralight->fastRead(first, count, data);
    if (e != NFC::Ultralight::None) {
        setError("fastRead", String::format("ERROR: %s", NFC::Ultralight::errorToStr(e).c_str()));
        return false;
    }
    if (count < 1 || data.size() != static_cast<size_t>(count) * PageSize) {
        setError("fastReadPages", String::format("Incorrect buffer length : %zu bytes", data.size()));
        return false;
    }
    cachePages(first, data.data(), count);
    out = std::move(data);
    return true;
}

bool UltralightEV1CardReader::writePages(int first, int count, const Bytes& data)
{
    if (!haveCard("writePages"))
        return false;
    if (count < 1)
        return true;
    const size_t wanted = static_cast<size_t>(count) * PageSize;
    Bytes fitted;
    const Bytes* image = &data;
    if (data.size() != wanted) {
        fitted.assign(data.begin(), data.begin() + static_cast<long>(std::min(data.size(), wanted)));
        fitted.resize(wanted, 0x00);
        image = &fitted;
    }
    return writeChangedPages(first, count, image->data());
}

bool UltralightEV1CardReader::verifyPassword(uint32_t password, uint16_t pack)
{
    if (!haveCard("verifyPassword"))
        return false;
    uint16_t received = 0;
    const NFC::Ultralight::Error e = m_ultralight->authenticatePass(password, received);
    if (e != NFC::Ultralight::None) {
        setError("verifyPassword", String::format("Password mismatch : (%d) %s", static_cast<int>(e),
                                                  NFC::Ultralight::errorToStr(e).c_str()));
        return false;
    }
    if (received != pack) {
        setError("verifyPassword",
                 String::format("Password ACK mismatch (exp=%04x, recv=%04x)", pack, received));
        return false;
    }
    log(Log::LevelInfo, "Password verified");
    return true;
}

bool UltralightEV1CardReader::readOTP(Bytes& otp)
{
    if (!haveCard("readOTP"))
        return false;
    Bytes pages;
    const NFC::Ultralight::Error e = m_ultralight->read(OtpPage, pages);
    if (e != NFC::Ultralight::None || pages.size() < static_cast<size_t>(PageSize)) {
        setError("readOTP", String::format("Error reading page (%d): %d", OtpPage, static_cast<int>(e)));
        return false;
    }
    pages.resize(PageSize);
    m_cache.put(OtpPage, pages.data());
    log(Log::LevelInfo, "[OTP ] : %s", String::toHex(pages).c_str());
    otp = std::move(pages);
    return true;
}

bool UltralightEV1CardReader::writeOTP(const Bytes& otp)
{
    if (!haveCard("writeOTP"))
        return false;
    if (otp.size() != static_cast<size_t>(PageSize)) {
        setError("writeOTP", String::format("Incorrect buffer length : %zu bytes", otp.size()));
        return false;
    }
    const NFC::Ultralight::Error e = m_ultralight->write(OtpPage, otp);
    if (e != NFC::Ultralight::None) {
        setError("writeOTP", String::format("Error writing page (%d): %d", OtpPage, static_cast<int>(e)));
        return false;
    }
    // The card OR-s the bits in: what it now holds is known only when the old content was.
    if (const uint8_t* old = m_cache.get(OtpPage)) {
        const uint8_t merged[PageSize] = {
            static_cast<uint8_t>(old[0] | otp[0]), static_cast<uint8_t>(old[1] | otp[1]),
            static_cast<uint8_t>(old[2] | otp[2]), static_cast<uint8_t>(old[3] | otp[3])};
        m_cache.put(OtpPage, merged);
    }
    log(Log::LevelInfo, "[OTP ] : %s", String::toHex(otp).c_str());
    return true;
}

}  // namespace RFID
