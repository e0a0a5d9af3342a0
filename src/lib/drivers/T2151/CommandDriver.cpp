#include "drivers/T2151/CommandDriver.h"

#include <map>
#include <utility>

namespace T2151 {

namespace {

// The class, instruction and parameter bytes that both slot exchanges carry over.
template <class To, class From>
To headerOf(const From& from)
{
    To to;
    to.CLA = from.CLA;
    to.INS = from.INS;
    to.P1 = from.P1;
    to.P2 = from.P2;
    return to;
}

}  // namespace

CommandDriver::CommandDriver(CommandSet& commands, const char* prefix, int firmwareTimeoutSec)
    : m_commands(commands), m_prefix(prefix), m_firmwareTimeoutSec(firmwareTimeoutSec)
{
}

template <class Exchange>
bool CommandDriver::exchange(const char* operation, std::vector<uint8_t>* response, Exchange&& run)
{
    return guarded(operation, false, [&] {
        std::vector<uint8_t> answer;
        if (run(answer) != CommandSet::OK)
            return false;
        if (response)
            *response = std::move(answer);
        return true;
    });
}

bool CommandDriver::answersPing(int timeoutMs)
{
    static const std::vector<uint8_t> bytes = {0xDE, 0xAD, 0xBE, 0xEF};
    const int result = m_commands.ping(bytes, timeoutMs);
    return result == CommandSet::OK || result == CommandSet::NotSupported;
}

NFC::Driver::Info CommandDriver::describe(const T2151::Info& reader, std::string appUpdate,
                                          std::string sysUpdate)
{
    Info info;
    info.type = Local;
    info.model = reader.model;
    info.manufacturer = reader.manufacturer;
    info.firmware = reader.firmware;
    info.infoValue1 = reader.value4;
    info.infoValue2 = reader.value3;
    info.deviceUID = "n/a";
    info.appUpdateResult = std::move(appUpdate);
    info.sysUpdateResult = std::move(sysUpdate);
    return info;
}

std::string CommandDriver::hardwareStatusText(int status)
{
    static const std::map<int, std::string> texts = {
        {HardwareOK, "Hardware OK"},
        {HardwareFault, "Hardware Fault"},
        {ChipNotFound, "Chip not Found"},
        {HardwareBusy, "Hardware Busy"},
        {HardwareConfigError, "Hardware Config Error"},
    };
    const auto it = texts.find(status);
    return it == texts.end() ? "Unknown" : it->second;
}

bool CommandDriver::status()
{
    return guarded("status", false, [&] {
        Status status;
        if (m_commands.getStatus(status) != CommandSet::OK)
            return false;
        if (status.hardware == HardwareOK)
            return true;
        Log::error("%sERROR: Hardware status : (%d) %s", m_prefix, static_cast<int>(status.hardware),
                   hardwareStatusText(status.hardware).c_str());
        return false;
    });
}

bool CommandDriver::reset()
{
    return guarded("reset", false, [&] { return m_commands.reboot(RebootValue) == CommandSet::OK; });
}

bool CommandDriver::setLEDs(uint8_t mask)
{
    return guarded("setLEDs", false, [&] { return m_commands.setLEDs(mask) == CommandSet::OK; });
}

bool CommandDriver::open(const std::string& device, int number, std::string* error)
{
    const bool opened = guarded("open", false, [&] {
        if (m_open)
            close();
        return attach(device, number, error);
    });
    if (!opened)
        detach();
    m_open = opened;
    return opened;
}

bool CommandDriver::close()
{
    if (m_open) {
        detach();
        m_open = false;
    }
    return true;
}

bool CommandDriver::beep(uint8_t, uint16_t frequency, uint16_t onTime, uint16_t)
{
    return guarded("beep", false, [&] { return m_commands.beep(frequency, onTime) == CommandSet::OK; });
}

bool CommandDriver::setTagTypes(uint32_t, uint32_t hfTypes)
{
    return m_commands.setTagTypes(hfTypes) == CommandSet::OK;
}

bool CommandDriver::enableRF()
{
    return guarded("enableRF", false, [&] { return m_commands.enableRF() == CommandSet::OK; });
}

bool CommandDriver::searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout)
{
    return guarded("searchTag", false,
                   [&] { return m_commands.searchTag(timeout, type, uid, ats) == CommandSet::OK; });
}

bool CommandDriver::ISO14443_checkPresence()
{
    return guarded("checkPresence", false, [&] { return m_commands.checkPresence() == CommandSet::OK; });
}

bool CommandDriver::ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("TDX3", false, [&] { return m_commands.TDX3(tx, rx) == CommandSet::OK; });
}

bool CommandDriver::ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("TDX4", false, [&] { return m_commands.TDX4(tx, rx) == CommandSet::OK; });
}

int CommandDriver::ISO7816_slotState(int slot)
{
    return guarded("slotState", 0, [&] {
        bool present = false;
        return m_commands.getSlotStatus(slot, present) == CommandSet::OK && present ? SlotPresent : 0;
    });
}

bool CommandDriver::ISO7816_powerOn(int slot, std::vector<uint8_t>* atr)
{
    return guarded("powerOn", false, [&] {
        std::vector<uint8_t> answer;
        if (m_commands.powerOn(slot, answer) != CommandSet::OK)
            return false;
        if (atr)
            *atr = std::move(answer);
        return true;
    });
}

bool CommandDriver::ISO7816_powerOff(int slot)
{
    return guarded("powerOff", false, [&] { return m_commands.powerOff(slot) == CommandSet::OK; });
}

bool CommandDriver::ISO7816_setCommSettings(int slot, const CommSettings& settings)
{
    return guarded("setCommSettings", false, [&] {
        T2151::CommSettings value;
        value.value = settings.option;
        return m_commands.setCommSettings(slot, value) == CommandSet::OK;
    });
}

bool CommandDriver::ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("transceive", false,
                   [&] { return m_commands.transceive(slot, tx, rx) == CommandSet::OK; });
}

bool CommandDriver::ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                                         std::vector<uint8_t>* response, int& sw)
{
    T2151::TPDUHeader tpdu = headerOf<T2151::TPDUHeader>(header);
    tpdu.P3 = header.P3;
    return exchange("exchangeTPDU", response, [&](std::vector<uint8_t>& answer) {
        return m_commands.exchangeTPDU(slot, tpdu, data ? *data : m_empty, sw, answer);
    });
}

bool CommandDriver::ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                                         std::vector<uint8_t>* response, int& sw)
{
    T2151::APDUHeader apdu = headerOf<T2151::APDUHeader>(header);
    apdu.Lc = header.Lc;
    apdu.Le = header.Le;
    apdu.hasLe = header.hasLe;
    apdu.option = header.option;
    return exchange("exchangeAPDU", response, [&](std::vector<uint8_t>& answer) {
        return m_commands.exchangeAPDU(slot, apdu, data ? *data : m_empty, sw, answer);
    });
}

bool CommandDriver::updateFirmware(const std::string& file, bool& flag,
                                   const std::function<void(int, int, int)>& progress)
{
    return guarded("updateFirmware", false, [&] {
        return m_commands.updateFirmware(file, m_firmwareTimeoutSec, flag, progress) == CommandSet::OK;
    });
}

}  // namespace T2151
