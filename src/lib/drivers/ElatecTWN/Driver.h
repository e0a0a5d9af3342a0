// The reader driver for Elatec TWN readers on a local serial or USB-serial device. Adds to the
// reader's commands the status retries, LED state, the mapping of the reader's tag answer to tag
// type codes, per-slot power state and the firmware-dependent slot settings. Owns its Elatec
// command object; called only from the thread that owns the reader.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Driver.h"
#include "drivers/ElatecTWN/PRS.h"

class Elatec;

namespace ElatecTWN {

class Driver final : public NFC::Driver
{
public:
    // What the line to a device runs over: a stand-in with a clock of its own for a test or a
    // fuzzer; without one, the device's serial port.
    using LineFactory = std::function<std::unique_ptr<PRS::Port>(const std::string& device)>;

    // readTimeoutMs: how long the line waits for the reader's next byte (its own second when not
    // positive); longer for a reader behind a slower link than its USB or serial line.
    explicit Driver(int readTimeoutMs = 0, LineFactory line = nullptr);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

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

    // The reader SDK version from the third '/' field of the firmware text (X4.06 gives 406).
    int getSdkVersionInt() const;

private:
    bool initDevice(const std::string& device);
    static bool validSlot(int slot) { return slot == 0 || slot == 1; }

    const int m_readTimeoutMs;
    const LineFactory m_line;
    std::shared_ptr<Elatec> m_reader;
    std::string m_firmware;
    std::string m_versionPrefix;
    Type m_type = Unknown;
    int m_slotState[2] = {0, 0};
    uint8_t m_ledState = 0;
    std::string m_deviceUID;
};

}  // namespace ElatecTWN
