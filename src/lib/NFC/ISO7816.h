// The contact link of one SAM slot: every SAM object talks to its SAM through one of these, and
// each command and answer is traced. It shares the driver; used on the reader's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "NFC/Driver.h"

namespace NFC {

class ISO7816
{
public:
    ISO7816(std::shared_ptr<Driver> driver, int slot);

    int slot() const { return m_slot; }
    int state();
    bool powerOn(std::vector<uint8_t>* atr);
    bool setCommSettings(Driver::CommSettings& settings);
    // Raw bytes with no protocol framing (the PPS request); not traced.
    bool transceive(std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);
    bool exchangeTPDU(Driver::TPDUHeader& header, const std::vector<uint8_t>* data,
                      std::vector<uint8_t>* response, int& sw);
    bool exchangeAPDU(Driver::APDUHeader& header, const std::vector<uint8_t>* data,
                      std::vector<uint8_t>* response, int& sw);

private:
    std::shared_ptr<Driver> m_driver;
    int m_slot;
};

}  // namespace NFC
