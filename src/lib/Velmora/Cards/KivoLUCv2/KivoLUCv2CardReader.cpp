#include "Velmora/Cards/KivoLUCv2/KivoLUCv2CardReader.h"

#include "NFC/Protocols/Ultralight.h"

namespace KivoLUCv2 {

CardReader::CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams)
    : RFID::UltralightEV1CardReader("KivoLUCv2", std::move(tag), sams.empty() ? nullptr : sams.front())
{
}

unsigned CardReader::readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight)
{
    std::vector<uint8_t> pages;
    if (!ultralight || ultralight->read(UltralightEV1CardReader::OtpPage, pages) != NFC::Ultralight::None ||
        pages.empty())
        return 0;
    return pages.front();
}

}  // namespace KivoLUCv2
