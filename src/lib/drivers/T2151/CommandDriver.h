// The reader operations that the Yarus (serial) and VUrur (networked) drivers share: each maps onto
// one command of their T2151-style command set, and succeeds when its result is 0; open and close
// keep the open flag. A driver derives from this with its own command set, attaches and detaches
// its own line, and adds what its reader does differently. No operation lets an exception out: it
// is logged with the driver's prefix and the operation fails. Called only from the thread that owns
// the reader.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "NFC/Driver.h"
#include "core/Log.h"
#include "drivers/T2151/CommandSet.h"

namespace T2151 {

class CommandDriver : public NFC::Driver
{
public:
    // "Hardware OK" .. "Hardware Config Error", "Unknown" for any other code.
    static std::string hardwareStatusText(int status);

    bool status() override;
    bool reset() override;
    bool setLEDs(uint8_t mask) override;

    // A failed open leaves nothing open; open first closes what an earlier one opened.
    bool open(const std::string& device, int number, std::string* error) override;
    bool close() override;
    bool isOpen() const override { return m_open; }

    bool setScreen(Screen) override { return false; }
    bool beep(uint8_t, uint16_t frequency, uint16_t onTime, uint16_t) override;
    bool setTagTypes(uint32_t, uint32_t hfTypes) override;
    bool enableRF() override;
    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) override;

    bool ISO14443_checkPresence() override;
    bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;

    // The readers keep these to themselves.
    bool ISO14443_getATS(std::vector<uint8_t>&) override { return false; }
    bool ISO14443_getATQA(uint16_t&) override { return false; }
    bool ISO14443_getSAK(uint8_t&) override { return false; }
    bool ISO14443_getATQB(std::vector<uint8_t>&) override { return false; }

    int ISO7816_slots() const override { return SlotCount; }

    // A slot whose query fails reads as empty.
    int ISO7816_slotState(int slot) override;
    bool ISO7816_powerOn(int slot, std::vector<uint8_t>* atr) override;
    bool ISO7816_powerOff(int slot) override;
    bool ISO7816_setCommSettings(int slot, const CommSettings& settings) override;
    bool ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override;
    bool ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override;

    bool updateFirmware(const std::string& file, bool& flag,
                        const std::function<void(int, int, int)>& progress) override;

    // No EMV kernel behind these readers: nothing to do, nothing failed.
    bool EMV_getToken(std::vector<std::string>&, int&) override { return true; }
    bool EMV_completeTransaction(std::string&, std::vector<std::string>&, int&) override { return true; }
    bool EMV_checkPresence() override { return true; }

protected:
    // commands: the derived driver's command set (constructed later, used only after).
    CommandDriver(CommandSet& commands, const char* prefix, int firmwareTimeoutSec);

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
    bool answersPing(int timeoutMs);
    // What open read of the reader, in the form every driver reports; the update results are
    // the reader's own, where it has them.
    static Info describe(const T2151::Info& reader, std::string appUpdate, std::string sysUpdate);

private:
    static constexpr int RebootValue = 1000;
    static constexpr int SlotCount = 4;
    static constexpr int SlotPresent = 2;

    // A slot exchange whose answer reaches the caller only on success and only where it asked for it.
    template <class Exchange>
    bool exchange(const char* operation, std::vector<uint8_t>* response, Exchange&& run);

    CommandSet& m_commands;
    const char* m_prefix;
    int m_firmwareTimeoutSec;
    bool m_open = false;
    const std::vector<uint8_t> m_empty;
};

}  // namespace T2151
