// The layout reader of the ZodezuLUCv2 ticket on Ultralight C, which a creation with SAMs marks
// in lock byte 0. One object serves one detected card on the manager's worker thread.
#pragma once

#include <memory>

#include "Velmora/UltralightCCardReader.h"

namespace NFC {
class Ultralight;
}

namespace ZodezuLUCv2 {

class CardReader : public RFID::UltralightCCardReader
{
public:
    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);

    // 5 when lock byte 0 (page 2, byte 2) has any of bits 0 to 2 set, else 2; a card that does not
    // answer the READ gives 2 after an error line.
    static unsigned readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight);
};

}  // namespace ZodezuLUCv2
