#include "NFC/ISO14443.h"

#include <utility>

#include "NFC/Log.h"

namespace NFC {

ISO14443::ISO14443(std::shared_ptr<Driver> driver) : m_driver(std::move(driver)) {}

bool ISO14443::checkPresence()
{
    return m_driver->ISO14443_checkPresence();
}

bool ISO14443::TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Log::outgoingPICC(tx);
    const bool ok = m_driver->ISO14443_TDX3(tx, rx);
    // Traced also on failure, so the log shows what (if anything) came back.
    Log::incomingPICC(rx);
    return ok;
}

bool ISO14443::TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    Log::outgoingPICC(tx);
    const bool ok = m_driver->ISO14443_TDX4(tx, rx);
    Log::incomingPICC(rx);
    return ok;
}

}  // namespace NFC
