#include "drivers/VUrurRemote/Driver.h"

#include <arpa/inet.h>

#include <exception>
#include <stdexcept>

#include "core/Log.h"
#include "drivers/YarusRemote/Driver.h"

namespace VUrurRemote {

namespace {

const std::vector<uint8_t> PingBytes = {0xDE, 0xAD, 0xBE, 0xEF};
const int PingTimeoutMs = 200;
const int ConnectTimeoutMs = 3000;
// The reader's own wait for the transfer and for its report after it.
const int FirmwareTimeoutSec = 90;
const int RebootDelayMs = 1000;
const int SlotCount = 4;
const int SlotPresent = 2;

// Every operation ends here on an exception: the caller gets a failure, never the exception.
template <class F, class R>
R guarded(const char* operation, R failure, F&& body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        Log::error("[vurur] ERROR: %s failed: %s", operation, e.what());
    } catch (...) {
        Log::error("[vurur] ERROR: %s failed", operation);
    }
    return failure;
}

// The update texts may carry the reader's zero padding.
std::string untilZero(const std::string& text)
{
    return text.substr(0, text.find('\0'));
}

}  // namespace

Driver::Driver(std::shared_ptr<T2151::FileSender> sender)
    : m_transport(m_client), m_reader(m_transport, std::move(sender))
{
}

Driver::~Driver()
{
    if (m_client.connected())
        m_client.close();
}

bool Driver::open(const std::string& device, int port, std::string* error)
{
    const bool opened = guarded("open", false, [&] { return connectAndProbe(device, port, error); });
    if (!opened) {
        if (m_client.connected())
            m_client.close();
        m_open = false;
    }
    return opened;
}

bool Driver::connectAndProbe(const std::string& device, int port, std::string* error)
{
    if (m_open)
        close();

    std::string host = device;
    const size_t local = host.find("localhost");
    if (local != std::string::npos)
        host.replace(local, 9, "127.0.0.1");
    // Only numeric addresses: a serial path or a name never reaches the resolver.
    in_addr address{};
    if (::inet_pton(AF_INET, host.c_str(), &address) != 1)
        return false;

    m_client.setConnectTimeout(ConnectTimeoutMs);
    try {
        m_client.connect(host, static_cast<unsigned short>(port));
    } catch (const std::runtime_error& e) {
        if (error)
            *error = e.what();
        return false;
    }
    m_transport.reset();

    const int ping = m_reader.ping(PingBytes, PingTimeoutMs);
    if (ping != vurur::Reader::OK && ping != vurur::Reader::NotSupported)
        return false;
    vurur::Info info;
    if (m_reader.getInfo(info) != vurur::Reader::OK)
        return false;
    m_info = info;
    m_open = true;
    return true;
}

bool Driver::close()
{
    if (m_open) {
        m_client.close();
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
    info.appUpdateResult = untilZero(m_info.appUpdate);
    info.sysUpdateResult = untilZero(m_info.sysUpdate);
    return info;
}

bool Driver::status()
{
    return guarded("status", false, [&] {
        vurur::Status status;
        if (m_reader.getStatus(status) != vurur::Reader::OK)
            return false;
        if (status.hardware == T2151::HardwareOK)
            return true;
        Log::error("[vurur] ERROR: Hardware status : (%d) %s", static_cast<int>(status.hardware),
                   YarusRemote::Driver::hardwareStatusText(status.hardware).c_str());
        return false;
    });
}

bool Driver::reset()
{
    return guarded("reset", false, [&] { return m_reader.reboot(RebootDelayMs) == vurur::Reader::OK; });
}

bool Driver::setLEDs(uint8_t mask)
{
    return guarded("setLEDs", false, [&] { return m_reader.setLEDs(mask) == vurur::Reader::OK; });
}

bool Driver::setScreen(Screen)
{
    return false;
}

bool Driver::beep(uint8_t, uint16_t frequency, uint16_t onTime, uint16_t)
{
    return guarded("beep", false, [&] { return m_reader.beep(frequency, onTime) == vurur::Reader::OK; });
}

bool Driver::setTagTypes(uint32_t, uint32_t hfTypes)
{
    return m_reader.setTagTypes(hfTypes) == vurur::Reader::OK;
}

bool Driver::enableRF()
{
    return guarded("enableRF", false, [&] { return m_reader.enableRF() == vurur::Reader::OK; });
}

bool Driver::disableRF()
{
    return guarded("disableRF", false, [&] { return m_reader.disableRF() == vurur::Reader::OK; });
}

bool Driver::searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout)
{
    return guarded("searchTag", false,
                   [&] { return m_reader.searchTag(timeout, type, uid, ats) == vurur::Reader::OK; });
}

bool Driver::ISO14443_checkPresence()
{
    return guarded("checkPresence", false, [&] { return m_reader.checkPresence() == vurur::Reader::OK; });
}

bool Driver::ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("TDX3", false, [&] { return m_reader.TDX3(tx, rx) == vurur::Reader::OK; });
}

bool Driver::ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("TDX4", false, [&] { return m_reader.TDX4(tx, rx) == vurur::Reader::OK; });
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
        return m_reader.getSlotStatus(slot, present) == vurur::Reader::OK && present ? SlotPresent : 0;
    });
}

bool Driver::ISO7816_powerOn(int slot, std::vector<uint8_t>* atr)
{
    return guarded("powerOn", false, [&] {
        std::vector<uint8_t> answer;
        if (m_reader.powerOn(slot, answer) != vurur::Reader::OK)
            return false;
        if (atr)
            *atr = std::move(answer);
        return true;
    });
}

bool Driver::ISO7816_powerOff(int slot)
{
    return guarded("powerOff", false, [&] { return m_reader.powerOff(slot) == vurur::Reader::OK; });
}

bool Driver::ISO7816_setCommSettings(int slot, const CommSettings& settings)
{
    return guarded("setCommSettings", false, [&] {
        vurur::CommSettings value;
        value.value = settings.option;
        return m_reader.setCommSettings(slot, value) == vurur::Reader::OK;
    });
}

bool Driver::ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx)
{
    return guarded("transceive", false,
                   [&] { return m_reader.transceive(slot, tx, rx) == vurur::Reader::OK; });
}

bool Driver::ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                                  std::vector<uint8_t>* response, int& sw)
{
    return guarded("exchangeTPDU", false, [&] {
        vurur::TPDUHeader tpdu;
        tpdu.CLA = header.CLA;
        tpdu.INS = header.INS;
        tpdu.P1 = header.P1;
        tpdu.P2 = header.P2;
        tpdu.P3 = header.P3;
        const std::vector<uint8_t> empty;
        std::vector<uint8_t> answer;
        if (m_reader.exchangeTPDU(slot, tpdu, data ? *data : empty, sw, answer) != vurur::Reader::OK)
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
        vurur::APDUHeader apdu;
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
        if (m_reader.exchangeAPDU(slot, apdu, data ? *data : empty, sw, answer) != vurur::Reader::OK)
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
        return m_reader.updateFirmware(file, FirmwareTimeoutSec, flag, progress) == vurur::Reader::OK;
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

}  // namespace VUrurRemote
