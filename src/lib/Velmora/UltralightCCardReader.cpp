#include "Velmora/UltralightCCardReader.h"

#include <algorithm>

#include "NFC/Common/NFCCrypto.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "core/String.h"

namespace RFID {

namespace {

const int PageSize = UltralightPageCache::PageSize;
const int PagesPerRead = 4;
const size_t KeySize = 16;
const size_t BlockSize = 8;

}  // namespace

const UltralightCCardReader::Bytes UltralightCCardReader::DefaultKey = {
    0x49, 0x45, 0x4D, 0x4B, 0x41, 0x45, 0x52, 0x42, 0x21, 0x4E, 0x41, 0x43, 0x55, 0x4F, 0x59, 0x46};

UltralightCCardReader::UltralightCCardReader(std::string name, std::shared_ptr<NFC::Tag> tag,
                                             std::shared_ptr<NFC::SAM> sam)
    : UltralightCardReader(std::move(name), std::move(tag), std::move(sam))
{
}

UltralightCCardReader::~UltralightCCardReader() = default;

bool UltralightCCardReader::authenticate(const Bytes& key)
{
    if (!haveCard("authenticate"))
        return false;
    if (key.size() != KeySize) {
        setError("authenticate", "Incorrect key size");
        return false;
    }
    Bytes ekRndB;
    if (!cardAuthenticationStep(m_ultralight->authenticatePart1(ekRndB)))
        return false;
    // One chain runs through the whole exchange: the card's cryptogram, ours, then its answer.
    NFC::Crypto crypto(NFC::Crypto::CBC_3DES, key);
    const Bytes rndB = crypto.decrypt(ekRndB);
    const Bytes rndA = NFC::Crypto::random(BlockSize);
    const Bytes ekRndAB = crypto.encrypt(NFC::Crypto::concat(rndA, NFC::Crypto::rotateLeft(rndB, 1)));
    Bytes ekRndA;
    if (!cardAuthenticationStep(m_ultralight->authenticatePart2(ekRndAB, ekRndA)))
        return false;
    if (crypto.decrypt(ekRndA) != NFC::Crypto::rotateLeft(rndA, 1)) {
        setError("authenticate", "RndA mismatch");
        return false;
    }
    log(Log::LevelDebug, "Authenticated");
    return true;
}

bool UltralightCCardReader::authenticate(const std::shared_ptr<NFC::SAM>& sam, uint8_t keyNo,
                                         uint8_t keyVersion, const Bytes& divInput)
{
    if (!haveCard("authenticate"))
        return false;
    const auto mifareSam = std::dynamic_pointer_cast<NFC::MifareSAM>(sam);
    if (!mifareSam) {
        setError("authenticate", "No MIFARE SAM");
        return false;
    }
    Bytes ekRndB;
    if (!cardAuthenticationStep(m_ultralight->authenticatePart1(ekRndB)))
        return false;
    const uint8_t authMode = divInput.empty() ? 0x00 : 0x01;
    Bytes ekRndAB;
    if (!mifareSamStep("authenticate", mifareSam->authenticatePICCPart1(keyNo, authMode, ekRndB, divInput,
                                                                        ekRndAB, keyVersion)))
        return false;
    Bytes ekRndA;
    if (!cardAuthenticationStep(m_ultralight->authenticatePart2(ekRndAB, ekRndA)))
        return false;
    if (!mifareSamStep("authenticate", mifareSam->authenticatePICCPart2(ekRndA)))
        return false;
    log(Log::LevelDebug, "Authenticated (key=%d, ver=%d)", keyNo, keyVersion);
    return true;
}

bool UltralightCCardReader::cardAuthenticationStep(NFC::Ultralight::Error error)
{
    if (error == NFC::Ultralight::None)
        return true;
    setError("authenticate", NFC::Ultralight::errorToStr(error));
    return false;
}

bool UltralightCCardReader::normalReadPages(int first, int count, Bytes& out)
{
    log(Log::LevelDebug, "Normal reading pages %d to %d", first, first + count);
    if (!haveCard("normalRead"))
        return false;
    const int end = first + count;
    for (int page = first; page < end; page += PagesPerRead) {
        Bytes data;
        const NFC::Ultralight::Error e = m_ultralight->read(page, data);
        if (e != NFC::Ultralight::None) {
            setError("normalRead", String::format("Error reading page (%d): %d", page, static_cast<int>(e)));
            return false;
        }
        if (data.size() != static_cast<size_t>(PagesPerRead * PageSize)) {
            setError("normalRead",
                     String::format("Incorrect buffer length (%d) : %zu bytes", page, data.size()));
            return false;
        }
        // A READ near the end rolls over to page 0: only the pages asked for are cached.
        for (int i = 0; i < PagesPerRead && page + i < end; ++i) {
            const uint8_t* bytes = data.data() + i * PageSize;
            m_cache.put(page + i, bytes);
            log(Log::LevelInfo, "[%04d] : %s", page + i, String::toHex(bytes, PageSize).c_str());
        }
        out.insert(out.end(), data.begin(), data.end());
    }
    return true;
}

bool UltralightCCardReader::writePages(int first, int count, const Bytes& data)
{
    if (!haveCard("writePages"))
        return false;
    if (count < 1)
        return true;
    if (data.size() < static_cast<size_t>(count) * PageSize) {
        setError("writePages", String::format("Incorrect buffer length : %zu bytes", data.size()));
        return false;
    }
    return writeChangedPages(first, count, data.data());
}

bool UltralightCCardReader::writePage(const char* operation, int page, const Bytes& bytes)
{
    const NFC::Ultralight::Error e = m_ultralight->write(page, bytes);
    if (e != NFC::Ultralight::None) {
        setError(operation, String::format("Error writing page (%d): %d", page, static_cast<int>(e)));
        return false;
    }
    return true;
}

bool UltralightCCardReader::writeAuthKey(const Bytes& key)
{
    if (!haveCard("writeAuthKey"))
        return false;
    if (key.size() != KeySize) {
        setError("writeAuthKey", "Incorrect key size");
        return false;
    }
    // Pages 44, 45: the first half, last byte first; pages 46, 47: the second half likewise.
    for (int i = 0; i < 4; ++i) {
        const size_t half = static_cast<size_t>(i / 2) * BlockSize;
        const size_t from = half + BlockSize - 1 - static_cast<size_t>(i % 2) * PageSize;
        const Bytes page = {key[from], key[from - 1], key[from - 2], key[from - 3]};
        if (!writePage("writeAuthKey", KeyPage + i, page))
            return false;
    }
    log(Log::LevelInfo, "Authentication key written");
    return true;
}

bool UltralightCCardReader::writeConfig(const Configuration& config)
{
    if (!haveCard("writeConfig"))
        return false;
    // AUTH0 goes last: from that write on the card refuses unauthenticated writes from AUTH0 up.
    for (const auto& [page, value] :
         {std::pair<int, uint8_t>{Auth1Page, config.auth1}, {Auth0Page, config.auth0}}) {
        const Bytes bytes = {value, 0x00, 0x00, 0x00};
        if (!writePage("writeConfig", page, bytes))
            return false;
        m_cache.put(page, bytes.data());
        log(Log::LevelInfo, "[%04d] : %s", page, String::toHex(bytes).c_str());
    }
    return true;
}

bool UltralightCCardReader::writeLockBytes01(uint8_t lock0, uint8_t lock1)
{
    if (!haveCard("writeLockBytes01"))
        return false;
    // The card ignores the first two bytes of page 2 and OR-s the lock bytes in.
    if (!writePage("writeLockBytes01", LockPage, {0x00, 0x00, lock0, lock1}))
        return false;
    m_cache.drop(LockPage);
    log(Log::LevelInfo, "Lock bytes written (%02x %02x)", lock0, lock1);
    return true;
}

}  // namespace RFID
