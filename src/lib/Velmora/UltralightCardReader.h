// What the Ultralight base readers share: the card object made from the detected tag, the page
// cache and page WRITEs that skip the pages it holds unchanged. Worker thread only, like every
// layout reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/CardReader.h"
#include "Velmora/UltralightPageCache.h"

namespace NFC {
class Ultralight;
}

namespace RFID {

class UltralightCardReader : public CardReader
{
public:
    using Bytes = std::vector<uint8_t>;

    UltralightCardReader(std::string name, std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam);
    ~UltralightCardReader() override;

protected:
    // False, with the error recorded under operation, when there is no card object.
    bool haveCard(const char* operation);
    // Pages first to first + count - 1 from image (4 bytes a page, count * 4 of them), logged
    // "[SKIP]" where the cache holds them unchanged; failures as "writePages: [page] : ERROR text".
    bool writeChangedPages(int first, int count, const uint8_t* image);

    std::shared_ptr<NFC::Ultralight> m_ultralight;
    UltralightPageCache m_cache;
};

}  // namespace RFID
