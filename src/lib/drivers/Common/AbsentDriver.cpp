#include "drivers/Common/AbsentDriver.h"

#include <utility>

namespace drivers {

namespace {

// The reader's EMV kernel answers this when it cannot be reached at all.
const int EMVIOError = 209;

}  // namespace

AbsentDriver::AbsentDriver(std::string model, std::string manufacturer, int slots)
    : m_model(std::move(model)), m_manufacturer(std::move(manufacturer)), m_slots(slots)
{
}

bool AbsentDriver::open(const std::string&, int, std::string* error)
{
    if (error)
        *error = "Driver not available";
    return false;
}

bool AbsentDriver::close()
{
    return true;
}

bool AbsentDriver::isOpen() const
{
    return false;
}

NFC::Driver::Info AbsentDriver::info() const
{
    Info info;
    info.type = Local;
    info.model = m_model;
    info.manufacturer = m_manufacturer;
    info.firmware = "n/a";
    info.deviceUID = "n/a";
    info.appUpdateResult = "n/a";
    info.sysUpdateResult = "n/a";
    return info;
}

bool AbsentDriver::status()
{
    return false;
}

bool AbsentDriver::reset()
{
    return false;
}

bool AbsentDriver::setLEDs(uint8_t)
{
    return false;
}

bool AbsentDriver::setScreen(Screen)
{
    return false;
}

bool AbsentDriver::beep(uint8_t, uint16_t, uint16_t, uint16_t)
{
    return false;
}

bool AbsentDriver::setTagTypes(uint32_t, uint32_t)
{
    return false;
}

bool AbsentDriver::enableRF()
{
    return false;
}

bool AbsentDriver::disableRF()
{
    return false;
}

bool AbsentDriver::searchTag(int&, std::vector<uint8_t>&, std::vector<uint8_t>&, int)
{
    return false;
}

bool AbsentDriver::ISO14443_checkPresence()
{
    return false;
}

bool AbsentDriver::ISO14443_TDX3(const std::vector<uint8_t>&, std::vector<uint8_t>&)
{
    return false;
}

bool AbsentDriver::ISO14443_TDX4(const std::vector<uint8_t>&, std::vector<uint8_t>&)
{
    return false;
}

bool AbsentDriver::ISO14443_getATS(std::vector<uint8_t>&)
{
    return false;
}

bool AbsentDriver::ISO14443_getATQA(uint16_t&)
{
    return false;
}

bool AbsentDriver::ISO14443_getSAK(uint8_t&)
{
    return false;
}

bool AbsentDriver::ISO14443_getATQB(std::vector<uint8_t>&)
{
    return false;
}

int AbsentDriver::ISO7816_slots() const
{
    return m_slots;
}

int AbsentDriver::ISO7816_slotState(int)
{
    return 0;
}

bool AbsentDriver::ISO7816_powerOn(int, std::vector<uint8_t>*)
{
    return false;
}

bool AbsentDriver::ISO7816_powerOff(int)
{
    return false;
}

bool AbsentDriver::ISO7816_setCommSettings(int, const CommSettings&)
{
    return false;
}

bool AbsentDriver::ISO7816_transceive(int, std::vector<uint8_t>&, std::vector<uint8_t>&)
{
    return false;
}

bool AbsentDriver::ISO7816_exchangeTPDU(int, const TPDUHeader&, const std::vector<uint8_t>*,
                                        std::vector<uint8_t>*, int&)
{
    return false;
}

bool AbsentDriver::ISO7816_exchangeAPDU(int, const APDUHeader&, const std::vector<uint8_t>*,
                                        std::vector<uint8_t>*, int&)
{
    return false;
}

bool AbsentDriver::updateFirmware(const std::string&, bool&, const std::function<void(int, int, int)>&)
{
    return false;
}

// Never open, so never a token: a failure with the kernel's own I/O code rather than a success
// that a caller would take for an empty token.
bool AbsentDriver::EMV_getToken(std::vector<std::string>&, int& error)
{
    error = EMVIOError;
    return false;
}

bool AbsentDriver::EMV_completeTransaction(std::string&, std::vector<std::string>&, int& error)
{
    error = EMVIOError;
    return false;
}

bool AbsentDriver::EMV_checkPresence()
{
    return false;
}

}  // namespace drivers
