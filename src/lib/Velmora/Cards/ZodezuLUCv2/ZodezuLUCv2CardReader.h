// The layout reader of the ZodezuLUCv2 ticket on Ultralight C: the ZodezuLUC mechanics with a
// 28-byte information record carrying the rider type, its MAC in page 12 to itself, the copy
// selector in the first byte of page 13, the contract key renamed, and a creation with SAMs
// marked in lock byte 0. One object serves one detected card on the manager's worker thread.
#pragma once

#include <memory>

#include "Velmora/Cards/ZodezuLUC/ZodezuLUCCardReader.h"

namespace NFC {
class Ultralight;
}

namespace ZodezuLUCv2 {

class CardReader : public ZodezuLUC::CardReader
{
public:
    using CardData = ZodezuLUC::CardReader::CardData;

    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);

    // 5 when lock byte 0 (page 2, byte 2) has any of bits 0 to 2 set, else 2; a card that does not
    // answer the READ gives 2 after an error line.
    static unsigned readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight);

    using ZodezuLUC::CardReader::writeDefaultConfig;
};

}  // namespace ZodezuLUCv2
