// A reader family whose driver is not built into this program yet: construction and `open` do no
// I/O, `open` always fails, and every other operation answers as a closed driver does. The reader
// facade still probes it in its place, so probing order, log lines and error texts stay those of
// the full program. Held by std::shared_ptr; called only from the thread that owns the reader.
#pragma once

#include <string>
#include <vector>

#include "NFC/Driver.h"

namespace drivers {

class AbsentDriver : public NFC::Driver
{
public:
    // Fixed identity texts of the family, as `info` reports them.
    AbsentDriver(std::string model, std::string manufacturer, int slots);

    bool open(const std::string& device, int baud, std::string* error) override;
    bool close() override;
    bool isOpen() const override;
    Info info() const override;
    bool status() override;
    bool reset() override;
    bool setLEDs(uint8_t mask) override;
    bool setScreen(Screen screen) override;
    bool beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime) override;
    bool setTagTypes(uint32_t lfTypes, uint32_t hfTypes) override;
    bool enableRF() override;
    bool disableRF() override;
    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) override;
    bool ISO14443_checkPresence() override;
    bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_getATS(std::vector<uint8_t>& ats) override;
    bool ISO14443_getATQA(uint16_t& atqa) override;
    bool ISO14443_getSAK(uint8_t& sak) override;
    bool ISO14443_getATQB(std::vector<uint8_t>& atqb) override;
    int ISO7816_slots() const override;
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
    bool EMV_getToken(std::vector<std::string>& token, int& error) override;
    bool EMV_completeTransaction(std::string& data, std::vector<std::string>& result, int& error) override;
    bool EMV_checkPresence() override;

protected:
    ~AbsentDriver() = default;

private:
    const std::string m_model;
    const std::string m_manufacturer;
    const int m_slots;
};

}  // namespace drivers
