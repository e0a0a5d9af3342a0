// The reader operations that the Yarus (serial) and VUrur (networked) drivers share: each maps onto
// one command of their T2151-style command set, and succeeds when its result is 0; open and close
// keep the open flag. A driver derives from this with its own command set, attaches and detaches
// its own line, and adds what its reader does differently. No operation lets an exception out: it is logged
// with the driver's prefix and the operation fails. Called only from the thread that owns the reader.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "NFC/Driver.h"
#include "core/Log.h"
#include "drivers/T2151/CommandSet.h"

namespace T2151 {

template <class Commands>
class CommandDriver : public NFC::Driver
{
public:
    // "Hardware OK" .. "Hardware Config Error", "Unknown" for any other code.
    static std::string hardwareStatusText(int status)
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

    bool status() override
    {
        return guarded("status", false, [&] {
            Status status;
            if (m_commands.getStatus(status) != Commands::OK)
                return false;
            if (status.hardware == HardwareOK)
                return true;
            Log::error("%sERROR: Hardware status : (%d) %s", m_prefix, static_cast<int>(status.hardware),
                       hardwareStatusText(status.hardware).c_str());
            return false;
        });
    }

    bool reset() override
    {
        return guarded("reset", false, [&] { return m_commands.reboot(RebootValue) == Commands::OK; });
    }

    bool setLEDs(uint8_t mask) override
    {
        return guarded("setLEDs", false, [&] { return m_commands.setLEDs(mask) == Commands::OK; });
    }

    // A failed open leaves nothing open; open first closes what an earlier one opened.
    bool open(const std::string& device, int number, std::string* error) override
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

    bool close() override
    {
        if (m_open) {
            detach();
            m_open = false;
        }
        return true;
    }

    bool isOpen() const override { return m_open; }

    bool setScreen(Screen) override { return false; }

    bool beep(uint8_t, uint16_t frequency, uint16_t onTime, uint16_t) override
    {
        return guarded("beep", false, [&] { return m_commands.beep(frequency, onTime) == Commands::OK; });
    }

    bool setTagTypes(uint32_t, uint32_t hfTypes) override
    {
        return m_commands.setTagTypes(hfTypes) == Commands::OK;
    }

    bool enableRF() override
    {
        return guarded("enableRF", false, [&] { return m_commands.enableRF() == Commands::OK; });
    }

    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) override
    {
        return guarded("searchTag", false,
                       [&] { return m_commands.searchTag(timeout, type, uid, ats) == Commands::OK; });
    }

    bool ISO14443_checkPresence() override
    {
        return guarded("checkPresence", false, [&] { return m_commands.checkPresence() == Commands::OK; });
    }

    bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        return guarded("TDX3", false, [&] { return m_commands.TDX3(tx, rx) == Commands::OK; });
    }

    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        return guarded("TDX4", false, [&] { return m_commands.TDX4(tx, rx) == Commands::OK; });
    }

    // The readers keep these to themselves.
    bool ISO14443_getATS(std::vector<uint8_t>&) override { return false; }
    bool ISO14443_getATQA(uint16_t&) override { return false; }
    bool ISO14443_getSAK(uint8_t&) override { return false; }
    bool ISO14443_getATQB(std::vector<uint8_t>&) override { return false; }

    int ISO7816_slots() const override { return SlotCount; }

    // A slot whose query fails reads as empty.
    int ISO7816_slotState(int slot) override
    {
        return guarded("slotState", 0, [&] {
            bool present = false;
            return m_commands.getSlotStatus(slot, present) == Commands::OK && present ? SlotPresent : 0;
        });
    }

    bool ISO7816_powerOn(int slot, std::vector<uint8_t>* atr) override
    {
        return guarded("powerOn", false, [&] {
            std::vector<uint8_t> answer;
            if (m_commands.powerOn(slot, answer) != Commands::OK)
                return false;
            if (atr)
                *atr = std::move(answer);
            return true;
        });
    }

    bool ISO7816_powerOff(int slot) override
    {
        return guarded("powerOff", false, [&] { return m_commands.powerOff(slot) == Commands::OK; });
    }

    bool ISO7816_setCommSettings(int slot, const CommSettings& settings) override
    {
        return guarded("setCommSettings", false, [&] {
            T2151::CommSettings value;
            value.value = settings.option;
            return m_commands.setCommSettings(slot, value) == Commands::OK;
        });
    }

    bool ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        return guarded("transceive", false,
                       [&] { return m_commands.transceive(slot, tx, rx) == Commands::OK; });
    }

    bool ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override
    {
        T2151::TPDUHeader tpdu;
        tpdu.CLA = header.CLA;
        tpdu.INS = header.INS;
        tpdu.P1 = header.P1;
        tpdu.P2 = header.P2;
        tpdu.P3 = header.P3;
        return exchange("exchangeTPDU", response, [&](std::vector<uint8_t>& answer) {
            return m_commands.exchangeTPDU(slot, tpdu, data ? *data : m_empty, sw, answer);
        });
    }

    bool ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override
    {
        T2151::APDUHeader apdu;
        apdu.CLA = header.CLA;
        apdu.INS = header.INS;
        apdu.P1 = header.P1;
        apdu.P2 = header.P2;
        apdu.Lc = header.Lc;
        apdu.Le = header.Le;
        apdu.hasLe = header.hasLe;
        apdu.option = header.option;
        return exchange("exchangeAPDU", response, [&](std::vector<uint8_t>& answer) {
            return m_commands.exchangeAPDU(slot, apdu, data ? *data : m_empty, sw, answer);
        });
    }

    bool updateFirmware(const std::string& file, bool& flag,
                        const std::function<void(int, int, int)>& progress) override
    {
        return guarded("updateFirmware", false, [&] {
            return m_commands.updateFirmware(file, m_firmwareTimeoutSec, flag, progress) == Commands::OK;
        });
    }

    // No EMV kernel behind these readers: nothing to do, nothing failed.
    bool EMV_getToken(std::vector<std::string>&, int&) override { return true; }
    bool EMV_completeTransaction(std::string&, std::vector<std::string>&, int&) override { return true; }
    bool EMV_checkPresence() override { return true; }

protected:
    // commands: the derived driver's command set (constructed later, used only after).
    CommandDriver(Commands& commands, const char* prefix, int firmwareTimeoutSec)
        : m_commands(commands), m_prefix(prefix), m_firmwareTimeoutSec(firmwareTimeoutSec)
    {
    }

    // Every operation ends here on an exception: the caller gets a failure, never the exception.
    template <class F, class R>
    R guarded(const char* operation, R failure, F&& body)
    {
        try {
            return body();
        } catch (const std::exception& e) {
            Log::error("%sERROR: %s failed: %s", m_prefix, operation, e.what());
        } catch (...) {
            Log::error("%sERROR: %s failed", m_prefix, operation);
        }
        return failure;
    }

    // Opens the line (number: its speed or port) and checks that a reader of this kind answers;
    // true when the driver may claim it.
    virtual bool attach(const std::string& device, int number, std::string* error) = 0;
    // Closes the line, whether it is open or not.
    virtual void detach() = 0;

    // The reader answers the liveness ping, or heard it and has no ping.
    bool answersPing(int timeoutMs)
    {
        static const std::vector<uint8_t> bytes = {0xDE, 0xAD, 0xBE, 0xEF};
        const int result = m_commands.ping(bytes, timeoutMs);
        return result == Commands::OK || result == Commands::NotSupported;
    }

    // What open read of the reader, in the form every driver reports; the update results are
    // the reader's own, where it has them.
    static Info describe(const T2151::Info& reader, std::string appUpdate, std::string sysUpdate)
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

    Commands& m_commands;

private:
    static constexpr int RebootValue = 1000;
    static constexpr int SlotCount = 4;
    static constexpr int SlotPresent = 2;

    // A slot exchange whose answer reaches the caller only on success and only where it asked for it.
    template <class Exchange>
    bool exchange(const char* operation, std::vector<uint8_t>* response, Exchange&& run)
    {
        return guarded(operation, false, [&] {
            std::vector<uint8_t> answer;
            if (run(answer) != Commands::OK)
                return false;
            if (response)
                *response = std::move(answer);
            return true;
        });
    }

    const char* m_prefix;
    int m_firmwareTimeoutSec;
    bool m_open = false;
    const std::vector<uint8_t> m_empty;
};

}  // namespace T2151
