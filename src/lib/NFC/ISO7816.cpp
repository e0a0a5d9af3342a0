#include "NFC/ISO7816.h"

#include <utility>

#include "NFC/Log.h"

namespace NFC {

ISO7816::ISO7816(std::shared_ptr<Driver> driver, int slot) : m_driver(std::move(driver)), m_slot(slot) {}

int ISO7816::state()
{
    return m_driver->ISO7816_slotState(m_slot);
}

bool ISO7816::powerOn(std::vector<uint8_t>* atr)
{
    return m_driver->ISO7816_powerOn(m_slot, atr);
}

bool ISO7816::setCommSettings(Driver::CommSettings& settings)
{
    return m_driver->ISO7816_setCommSettings(m_slot, settings);
}

bool ISO7816::transceive(std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return m_driver->ISO7816_transceive(m_slot, tx, rx);
}

bool ISO7816::exchangeTPDU(Driver::TPDUHeader& header, const std::vector<uint8_t>* data,
                           std::vector<uint8_t>* response, int& sw)
{
    Log::outgoingPDU(header, data);
    const bool ok = m_driver->ISO7816_exchangeTPDU(m_slot, header, data, response, sw);
    Log::incomingPDU(response, sw);
    return ok;
}

bool ISO7816::exchangeAPDU(Driver::APDUHeader& header, const std::vector<uint8_t>* data,
                           std::vector<uint8_t>* response, int& sw)
{
    Log::outgoingPDU(header, data);
    const bool ok = m_driver->ISO7816_exchangeAPDU(m_slot, header, data, response, sw);
    Log::incomingPDU(response, sw);
    return ok;
}

}  // namespace NFC
