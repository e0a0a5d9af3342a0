// The layout reader of the KivoLUCv2 ticket on Ultralight EV1, which keeps its layout version in
// the first byte of the OTP page (page 3). One object serves one detected card on the manager's
// worker thread.
#pragma once

#include <memory>

#include "Velmora/UltralightEV1CardReader.h"

namespace NFC {
class Ultralight;
}

namespace KivoLUCv2 {

class CardReader : public RFID::UltralightEV1CardReader
{
public:
    // The first SAM of the list, when there is one, is the reader's SAM.
    CardReader(std::shared_ptr<NFC::Tag> tag, const RFID::SamList& sams);

    // The layout version: the first byte of page 3; 0 when the page cannot be read.
    static unsigned readCardVersion(const std::shared_ptr<NFC::Ultralight>& ultralight);
};

}  // namespace KivoLUCv2
