#include "drivers/YarusRemote/Driver.h"

#include <exception>
#include <map>

#include "core/Log.h"
#include "core/Thread.h"

namespace YarusRemote {

namespace {

const std::vector<int>& autobaudRates()
{
    // 14400 is no line rate of ours: the port falls back to 9600, so that step repeats 9600.
    static const std::vector<int> rates = {9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800};
    return rates;
}

const std::vector<uint8_t> PingBytes = {0xDE, 0xAD, 0xBE, 0xEF};
const int PingTimeoutMs = 50;
const int SwitchPauseMs = 500;
const int FirmwareTimeoutSec = 30;
const int RebootValue = 1000;
const int SlotCount = 4;
const int SlotPresent = 2;

// Every operation ends here on an exception: the caller gets a failure, never the exception.
template <class F, class R>
R guarded(const char* operation, R failure, F&& body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        Log::error("[T2151] ERROR: %s failed: %s", operation, e.what());
    } catch (...) {
        Log::error("[T2151] ERROR: %s failed", operation);
    }
    return failure;
}

}  // namespace

Driver::Driver(std::shared_ptr<T2151::FileSender> sender)
    : m_transport(m_port), m_reader(m_transport, std::move(sender))
{
}

Driver::~Driver()
{
    m_port.close();
}

std::string Driver::hardwareStatusText(int status)
{
    static const std::map<int, std::string> texts = {
        {T2151::HardwareOK, "Hardware OK"},
        {T2151::HardwareFault, "Hardware Fault"},
        {T2151::ChipNotFound, "Chip not Found"},
        {T2151::HardwareBusy, "Hardware Busy"},
        {T2151::HardwareConfigError, "Hardware Config Error"},
    };
    const auto it = texts.find(status);
    return it == texts.end() ? "Unknown" : it->second;
}

bool Driver::alive()
{
    const int result = m_reader.ping(PingBytes, PingTimeoutMs);
    return result == T2151::Reader::OK || result == T2151::Reader::NotSupported;
}

bool Driver::open(const std::string& device, int baud, std::string* error)
{
    const bool opened = guarded("open", false, [&] { return openPort(device, baud, error); });
    if (!opened) {
        // Nothing stays open after a failure; close() restores the line's earlier settings.
        m_port.close();
        m_open = false;
    }
    return opened;
}

bool Driver::openPort(const std::string& device, int baud, std::string* error)
{
    if (m_open)
        close();
    m_port.close();
    m_transport.reset();

    if (!m_port.open(device, baud, -1, 8, 1, 0)) {
        if (error)
            *error = m_port.errorStr();
        return false;
    }
    // Pseudo-terminals and some USB bridges refuse the flag; the line works without it.
    m_port.setLowLatency(true);

    if (!alive()) {
        Log::warning("[T2151] No response from device @ %d. Trying autobaud", baud);
        bool found = false;
        for (int rate : autobaudRates()) {
            m_port.setBaudrate(static_cast<unsigned>(rate));
            Log::debug("[T2151] Trying @ %d baud", rate);
            if (alive()) {
                Log::info("[T2151] Detected baud rate    : %d baud", rate);
                found = true;
                break;
            }
        }
        if (!found) {
            Log::debug("[T2151] Failed to find suitable baud rate.");
            return false;
        }
        T2151::Config config;
        config.baudRate = baud;
        config.second = 0;
        if (m_reader.setConfig(config) == T2151::Reader::OK) {
            Log::info("[T2151] Changing baud rate to : %d baud", baud);
            m_port.setBaudrate(static_cast<unsigned>(baud));
            Thread::sleep(SwitchPauseMs);
        }
    }

    if (m_reader.getInfo(m_info) != T2151::Reader::OK)
        return false;
    m_open = true;
    return true;
}

bool Driver::close()
{
    if (m_open) {
        m_port.close();
        m_open = false;
    }
    return true;
}

bool Driver::isOpen() const
{
    return m_open;
}

NFC::Driver::Info Driver::info() const
{
    Info info;
    info.type = Local;
    info.model = m_info.model;
    info.manufacturer = m_info.manufacturer;
    info.firmware = m_info.firmware;
    info.infoValue1 = m_info.value4;
    info.infoValue2 = m_info.value3;
    info.deviceUID = "n/a";
    info.appUpdateResult = "n/a";
    info.sysUpdateResult = "n/a";
    return info;
}

bool Driver::status()
{
    return guarded("status", false, [&] {
        T2151::Status status;
        if (m_reader.getStatus(status) != T2151::Reader::OK)
            return false;
        if (status.hardware == T2151::HardwareOK)
            return true;
        Log::error("[T2151] ERROR: Hardware status : (%d) %s", static_cast<int>(status.hardware),
                   hardwareStatusText(status.hardware).c_str());
        return false;
    });
}

bool Driver::reset()
{
    return guarded("reset", false, [&] { return m_reader.reboot(RebootValue) == T2151::Reader::OK; });
}

bool Driver::setLEDs(uint8_t mask)
{
    return guarded("setLEDs", false, [&] { return m_reader.setLEDs(mask) == T2151::Reader::OK; });
}

bool Driver::setScreen(Screen)
{
    return false;
}

bool Driver::beep(uint8_t, uint16_t frequency, uint16_t onTime, uint16_t)
{
    return guarded("beep", false, [&] { return m_reader.beep(frequency, onTime) == T2151::Reader::OK; });
}

bool Driver::setTagTypes(uint32_t, uint32_t hfTypes)
{
    return m_reader.setTagTypes(hfTypes) == T2151::Reader::OK;
}

bool Driver::enableRF()
{
    return guarded("enableRF", false, [&] { return m_reader.enableRF() == T2151::Reader::OK; });
}

// The command set has no RF-off command: the reader gets the same request as for enableRF.
bool Driver::disableRF()
{
    return guarded("disableRF", false, [&] { return m_reader.enableRF() == T2151::Reader::OK; });
}

bool Driver::searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout)
{
    return guarded("searchTag", false,
                   [&] { return m_reader.searchTag(timeout, type, uid, ats) == T2151::Reader::OK; });
}

bool Driver::ISO14443_checkPresence()
{
    return guarded("checkPresence", false, [&] { return m_reader.checkPresence() == T2151::Reader::OK; });
}

bool Driver::ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("TDX3", false, [&] { return m_reader.TDX3(tx, rx) == T2151::Reader::OK; });
}

bool Driver::ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("TDX4", false, [&] { return m_reader.TDX4(tx, rx) == T2151::Reader::OK; });
}

bool Driver::ISO14443_getATS(std::vector<uint8_t>&)
{
    return false;
}

bool Driver::ISO14443_getATQA(uint16_t&)
{
    return false;
}

bool Driver::ISO14443_getSAK(uint8_t&)
{
    return false;
}

bool Driver::ISO14443_getATQB(std::vector<uint8_t>&)
{
    return false;
}

int Driver::ISO7816_slots() const
{
    return SlotCount;
}

int Driver::ISO7816_slotState(int slot)
{
    return guarded("slotState", 0, [&] {
        bool present = false;
        return m_reader.getSlotStatus(slot, present) == T2151::Reader::OK && present ? SlotPresent : 0;
    });
}

bool Driver::ISO7816_powerOn(int slot, std::vector<uint8_t>* atr)
{
    return guarded("powerOn", false, [&] {
        std::vector<uint8_t> answer;
        if (m_reader.powerOn(slot, answer) != T2151::Reader::OK)
            return false;
        if (atr)
            *atr = std::move(answer);
        return true;
    });
}

bool Driver::ISO7816_powerOff(int slot)
{
    return guarded("powerOff", false, [&] { return m_reader.powerOff(slot) == T2151::Reader::OK; });
}

bool Driver::ISO7816_setCommSettings(int slot, const CommSettings& settings)
{
    return guarded("setCommSettings", false, [&] {
        T2151::CommSettings value;
        value.value = settings.option;
        return m_reader.setCommSettings(slot, value) == T2151::Reader::OK;
    });
}

bool Driver::ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("transceive", false,
                   [&] { return m_reader.transceive(slot, tx, rx) == T2151::Reader::OK; });
}

bool Driver::ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    return guarded("exchangeTPDU", false, [&] {
        T2151::TPDUHeader tpdu;
        tpdu.CLA = header.CLA;
        tpdu.INS = header.INS;
        tpdu.P1 = header.P1;
        tpdu.P2 = header.P2;
        tpdu.P3 = header.P3;
        const std::vector<uint8_t> empty;
        std::vector<uint8_t> answer;
        if (m_reader.exchangeTPDU(slot, tpdu, data ? *data : empty, sw, answer) != T2151::Reader::OK)
            return false;
        if (response)
            *response = std::move(answer);
        return true;
    });
}

bool Driver::ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    return guarded("exchangeAPDU", false, [&] {
        T2151::APDUHeader apdu;
        apdu.CLA = header.CLA;
        apdu.INS = header.INS;
        apdu.P1 = header.P1;
        apdu.P2 = header.P2;
        apdu.Lc = header.Lc;
        apdu.Le = header.Le;
        apdu.hasLe = header.hasLe;
        apdu.option = header.option;
        const std::vector<uint8_t> empty;
        std::vector<uint8_t> answer;
        if (m_reader.exchangeAPDU(slot, apdu, data ? *data : empty, sw, answer) != T2151::Reader::OK)
            return false;
        if (response)
            *response = std::move(answer);
        return true;
    });
}

bool Driver::updateFirmware(const std::string& file, bool& flag,
                            const std::function<void(int, int, int)>& progress)
{
    return guarded("updateFirmware", false, [&] {
        return m_reader.updateFirmware(file, FirmwareTimeoutSec, flag, progress) == T2151::Reader::OK;
    });
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

}  // namespace YarusRemote
