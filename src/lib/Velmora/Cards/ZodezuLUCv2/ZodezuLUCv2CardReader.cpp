#include "Velmora/Cards/ZodezuLUCv2/ZodezuLUCv2CardReader.h"

#include "NFC/Protocols/Ultralight.h"
#include "core/Log.h"

namespace ZodezuLUCv2 {

namespace {

const ZodezuLUC::CardReader::Format ZodezuLUCv2Format = {
    "ZodezuLUCv2", 28, 0, "contract/contractExpirationOrStoredValue", true, 0x07};

}  // namespace

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : ZodezuLUC::CardReader(ZodezuLUCv2Format, std::move(tag), sams)
{
}

unsigned CardReader::readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight)
{
    if (!ultralight)
        return 2;
    std::vector<uint8_t> pages;
    const NFC::Ultralight::Error e = ultralight->read(LockPage, pages);
    if (e != NFC::Ultralight::None || pages.size() < 3) {
        Log::error("[%04d] ERROR  %s", LockPage, NFC::Ultralight::errorToStr(e).c_str());
        return 2;
    }
    return (pages[2] & 0x07) ? 5 : 2;
}

}  // namespace ZodezuLUCv2
