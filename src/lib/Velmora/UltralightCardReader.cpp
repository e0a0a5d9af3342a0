#include "Velmora/UltralightCardReader.h"

#include <utility>

#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "core/String.h"

namespace RFID {

namespace {

const int PageSize = UltralightPageCache::PageSize;

std::shared_ptr<NFC::Ultralight> ultralightFor(const std::shared_ptr<NFC::Tag>& tag)
{
    if (!tag)
        return nullptr;
    return NFC::Ultralight::make(tag->iso14443(), tag->uid(), tag->ats());
}

}  // namespace

UltralightCardReader::UltralightCardReader(std::string name, std::shared_ptr<NFC::Tag> tag,
                                           std::shared_ptr<NFC::SAM> sam)
    : CardReader(std::move(name), std::move(tag), std::move(sam)), m_ultralight(ultralightFor(m_tag))
{
}

UltralightCardReader::~UltralightCardReader() = default;

bool UltralightCardReader::haveCard(const char* operation)
{
    if (m_ultralight)
        return true;
    setError(operation, "No card");
    return false;
}

bool UltralightCardReader::writeChangedPages(int first, int count, const uint8_t* image)
{
    for (int i = 0; i < count; ++i) {
        const int page = first + i;
        const uint8_t* bytes = image + static_cast<size_t>(i) * PageSize;
        const std::string hex = String::toHex(bytes, PageSize);
        if (m_cache.same(page, bytes)) {
            log(Log::LevelInfo, "[%04d] : %s [SKIP]", page, hex.c_str());
            continue;
        }
        const NFC::Ultralight::Error e = m_ultralight->write(page, Bytes(bytes, bytes + PageSize));
        if (e != NFC::Ultralight::None) {
            // A write whose answer was lost may have taken effect: the page is no longer known.
            m_cache.drop(page);
            setError("writePages",
                     String::format("[%04d] : ERROR %s", page, NFC::Ultralight::errorToStr(e).c_str()));
            return false;
        }
        m_cache.put(page, bytes);
        log(Log::LevelInfo, "[%04d] : %s", page, hex.c_str());
    }
    return true;
}

}  // namespace RFID
