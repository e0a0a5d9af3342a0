#include "drivers/ElatecTWN/Driver.h"

#include <cctype>
#include <chrono>
#include <thread>
#include <utility>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/SerialPort.h"
#include "core/String.h"
#include "drivers/ElatecTWN/Elatec.h"

namespace {

const int StatusAttempts = 3;
const int StatusRetryPauseMs = 100;
// Readers from this SDK version on expect one more byte in the slot settings.
const int SettingsPaddingSdk = 406;

const uint8_t ReaderTagISO14443A = 0x80;
const uint8_t ReaderTagISO14443B = 0x81;
const uint16_t DESFireATQA = 0x0344;

}  // namespace

namespace ElatecTWN {

Driver::Driver(int readTimeoutMs, LineFactory line) : m_readTimeoutMs(readTimeoutMs), m_line(std::move(line))
{
}

Driver::~Driver() = default;

bool Driver::open(const std::string& device, int /*baud*/, std::string* error)
{
    if (isOpen())
        close();

    if (!m_line) {
        // A device that cannot even be opened is reported with the system's own reason.
        SerialPort probe;
        if (!probe.open(device, 9600, -1, 8, 1, 0)) {
            if (error)
                *error = probe.errorStr();
            return false;
        }
        probe.close();
    }

    if (!initDevice(device)) {
        if (error)
            *error = "Could not initialize device";
        return false;
    }
    m_slotState[0] = 0;
    m_slotState[1] = 0;
    return true;
}

bool Driver::initDevice(const std::string& device)
{
    m_reader = m_line ? std::make_shared<Elatec>(m_line(device), m_readTimeoutMs)
                      : std::make_shared<Elatec>(device, m_readTimeoutMs);
    std::vector<uint8_t> uid;
    if (!m_reader->initLED(7) || !m_reader->turnOffLED(7) || !m_reader->getVersionString(m_firmware) ||
        !m_reader->getDeviceUID(uid)) {
        m_reader.reset();
        return false;
    }
    m_deviceUID = String::toHex(uid);
    m_versionPrefix = m_firmware.substr(0, m_firmware.find('/'));

    Elatec::USBType_t usbType{};
    if (!m_reader->getUSBType(usbType))
        m_type = Unknown;
    else
        m_type = usbType == 0 ? Serial : USB;
    return true;
}

bool Driver::close()
{
    m_reader.reset();
    return true;
}

bool Driver::isOpen() const
{
    return m_reader != nullptr;
}

NFC::Driver::Info Driver::info() const
{
    Info info;
    info.type = m_type;
    info.model = "Elatec";
    info.manufacturer = m_versionPrefix;
    info.firmware = m_firmware;
    info.infoValue1 = 2;
    info.infoValue2 = 2;
    info.deviceUID = m_deviceUID;
    info.appUpdateResult = "n/a";
    info.sysUpdateResult = "n/a";
    return info;
}

bool Driver::status()
{
    if (!isOpen())
        return false;
    std::string scratch;
    for (int attempt = 1; attempt <= StatusAttempts; ++attempt) {
        if (m_reader->getVersionString(scratch))
            return true;
        Log::warning("[ElatecDriver] WARN: status() failed, attempt : %d of %d", attempt, StatusAttempts);
        std::this_thread::sleep_for(std::chrono::milliseconds(StatusRetryPauseMs));
    }
    return false;
}

bool Driver::reset()
{
    return isOpen() && m_reader->reset();
}

bool Driver::setLEDs(uint8_t mask)
{
    if (!isOpen())
        return false;
    uint8_t wanted = 0;
    if (mask & 0x03)
        wanted |= 0x04;
    if (mask & 0x04)
        wanted |= 0x02;
    if (mask & 0x08)
        wanted |= 0x01;
    if (wanted == m_ledState)
        return true;
    if (!m_reader->toogleLED(static_cast<uint8_t>(m_ledState ^ wanted)))
        return false;
    m_ledState = wanted;
    return true;
}

bool Driver::setScreen(Screen)
{
    return false;
}

bool Driver::beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime)
{
    return isOpen() && m_reader->beep(volume, frequency, onTime, offTime);
}

bool Driver::setTagTypes(uint32_t lfTypes, uint32_t hfTypes)
{
    return isOpen() && m_reader->setTagTypes(lfTypes, hfTypes);
}

bool Driver::enableRF()
{
    return isOpen();
}

bool Driver::disableRF()
{
    return isOpen() && m_reader->setRFOff();
}

bool Driver::searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout)
{
    if (!isOpen())
        return false;

    RFID::Card::Type readerType{};
    const double start = Clock::monotonicMillis();
    for (;;) {
        const double attempt = Clock::monotonicMillis();
        if (m_reader->searchTag(uid, readerType))
            break;
        if (Clock::elapsedMonotonicMillis(start) >= timeout)
            return false;
        // A reader paces the polling with its answers; a line that fails at once (closed,
        // unplugged) would otherwise be polled in a tight loop until the time-out.
        if (Clock::elapsedMonotonicMillis(attempt) < 1.0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    const uint32_t raw = static_cast<uint32_t>(readerType);
    if (raw <= 0x7F) {
        type = 0x8000;
        return true;
    }

    uint16_t atqa = 0;
    uint8_t sak = 0;
    ISO14443_getATS(ats);
    const bool atqaRead = ISO14443_getATQA(atqa);
    const bool sakRead = ISO14443_getSAK(sak);

    if (raw == ReaderTagISO14443A) {
        // Without the SAK (or, for SAK 0x20, the ATQA) the card cannot be told apart; a zero in
        // their place would pass it off as an Ultralight.
        if (!sakRead || (sak == 0x20 && !atqaRead))
            return false;
        switch (sak) {
            case 0x00:
                type = 0x0040;
                break;
            case 0x08:
                type = ats.empty() ? 0x0004 : 0x0010;
                break;
            case 0x09:
                type = 0x0080;
                break;
            case 0x10:
                type = 0x0010;
                break;
            case 0x11:
                type = 0x0020;
                break;
            case 0x18:
                type = ats.empty() ? 0x0008 : 0x0020;
                break;
            case 0x20:
                if (atqa == DESFireATQA)
                    type = 0x0100;
                else if (atqa & 0x0004)
                    type = 0x0010;
                else if (atqa & 0x0002)
                    type = 0x0020;
                else
                    type = 0x0001;
                break;
            default:
                type = 0x0001;
                break;
        }
    } else if (raw == ReaderTagISO14443B) {
        type = 0x0002;
    } else {
        type = 0x8000;
    }
    return true;
}

bool Driver::ISO14443_checkPresence()
{
    return isOpen() && m_reader->ISO14443_4_checkPresence();
}

bool Driver::ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return isOpen() && m_reader->ISO14443_3_TDX(&tx, &rx);
}

bool Driver::ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    // The command object takes a mutable pointer but only reads through it.
    return isOpen() && m_reader->ISO14443_4_TDX(const_cast<std::vector<uint8_t>*>(&tx), &rx);
}

bool Driver::ISO14443_getATS(std::vector<uint8_t>& ats)
{
    return isOpen() && m_reader->ISO14443A_getATS(&ats);
}

bool Driver::ISO14443_getATQA(uint16_t& atqa)
{
    std::vector<uint8_t> bytes;
    if (!isOpen() || !m_reader->ISO14443A_getATQA(&bytes) || bytes.size() < 2)
        return false;
    atqa = static_cast<uint16_t>(bytes[0] + 256 * bytes[1]);
    return true;
}

bool Driver::ISO14443_getSAK(uint8_t& sak)
{
    std::vector<uint8_t> bytes;
    if (!isOpen() || !m_reader->ISO14443A_getSAK(&bytes) || bytes.empty())
        return false;
    sak = bytes[0];
    return true;
}

bool Driver::ISO14443_getATQB(std::vector<uint8_t>& atqb)
{
    return isOpen() && m_reader->ISO14443B_getATQB(&atqb);
}

int Driver::ISO7816_slots() const
{
    return 2;
}

int Driver::ISO7816_slotState(int slot)
{
    if (!validSlot(slot))
        return 0;
    if (m_slotState[slot] != 0)
        return m_slotState[slot];
    return ISO7816_powerOn(slot, nullptr) ? 2 : 0;
}

bool Driver::ISO7816_powerOn(int slot, std::vector<uint8_t>* atr)
{
    if (!isOpen() || !validSlot(slot))
        return false;
    m_slotState[slot] = 0;
    std::vector<uint8_t> scratch;
    int statusA = -1;
    int statusB = -1;
    if (!m_reader->ISO7816_IccPowerOn(slot, &scratch, statusA, statusB) || statusA != 0 || statusB != 0)
        return false;
    if (atr)
        atr->swap(scratch);
    m_slotState[slot] = 2;
    return true;
}

bool Driver::ISO7816_powerOff(int slot)
{
    if (!isOpen() || !validSlot(slot))
        return false;
    std::vector<uint8_t> out;
    if (!m_reader->ISO7816_IccPowerOff(slot, &out) || out.size() < 3 || out[1] != 0)
        return false;
    m_slotState[slot] = 1;
    return true;
}

bool Driver::ISO7816_setCommSettings(int slot, const CommSettings& settings)
{
    if (!isOpen())
        return false;
    std::vector<uint8_t> bytes;
    bytes.reserve(14);
    bytes.push_back(static_cast<uint8_t>(settings.protocol));
    bytes.push_back(static_cast<uint8_t>(settings.option));
    bytes.push_back(static_cast<uint8_t>(settings.value1 >> 8));
    bytes.push_back(static_cast<uint8_t>(settings.value1));
    bytes.push_back(static_cast<uint8_t>(settings.value2 >> 8));
    bytes.push_back(static_cast<uint8_t>(settings.value2));
    if (settings.protocol == 0) {
        bytes.insert(bytes.end(), settings.protocolData, settings.protocolData + 5);
        bytes.push_back(0x00);
        bytes.push_back(0x00);
    } else if (settings.protocol == 1) {
        bytes.insert(bytes.end(), settings.protocolData, settings.protocolData + 7);
    }
    const int sdk = getSdkVersionInt();
    if (sdk >= SettingsPaddingSdk) {
        Log::debug("[ElatecDriver] New Elatec SDK Detected : %d", sdk);
        Log::debug("[ElatecDriver] Amending ISO7816_setCommSettings()");
        bytes.push_back(0x00);
    }
    return m_reader->ISO7816_setCommSettings(slot, &bytes);
}

bool Driver::ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return isOpen() && m_reader->ISO7816_transceive(slot, &tx, &rx);
}

bool Driver::ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    if (!isOpen())
        return false;
    const std::vector<uint8_t> bytes = {header.CLA, header.INS, header.P1, header.P2, header.P3};
    return m_reader->ISO7816_exchangeTPDU(slot, &bytes, data, response, sw);
}

bool Driver::ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    if (!isOpen())
        return false;
    const std::vector<uint8_t> bytes = {
        header.CLA,
        header.INS,
        header.P1,
        header.P2,
        static_cast<uint8_t>(header.Lc),
        static_cast<uint8_t>(header.Lc >> 8),
        static_cast<uint8_t>(header.Le),
        static_cast<uint8_t>(header.Le >> 8),
        static_cast<uint8_t>((header.hasLe ? 0x01 : 0x00) | (header.option ? 0x02 : 0x00)),
    };
    return m_reader->ISO7816_exchangeAPDU(slot, &bytes, data, response, sw);
}

bool Driver::updateFirmware(const std::string&, bool&, const std::function<void(int, int, int)>&)
{
    return false;
}

bool Driver::EMV_getToken(std::vector<std::string>&, int&)
{
    return true;
}

bool Driver::EMV_completeTransaction(std::string&, std::vector<std::string>&, int&)
{
    return true;
}

bool Driver::EMV_checkPresence()
{
    return true;
}

int Driver::getSdkVersionInt() const
{
    if (m_firmware.empty())
        return 0;
    const std::vector<std::string> tokens = String::tokenizeV(m_firmware, "/");
    if (tokens.size() < 3)
        return 0;
    std::string digits;
    for (char c : tokens[2])
        if (std::isdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
    // Base 10: the version "04.06" is 406, not the octal 0406.
    return static_cast<int>(String::toInteger(digits, 10));
}

}  // namespace ElatecTWN
