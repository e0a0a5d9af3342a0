// The reader-hardware interface that every reader driver implements: identity, LEDs, buzzer,
// RF field, contactless detection and exchange, SAM slots, firmware and the EMV kernel. Drivers
// are always held by a std::shared_ptr made with the concrete type; all calls for one reader come
// from the thread that owns the reader, and the interface takes no lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace NFC {

class Driver
{
public:
    enum Type : uint32_t
    {
        Unknown = 0,
        Local = 1,
        Serial = 2,
        USB = 3
    };

    // Field order is part of the contract: the reader facade reads the fields by position.
    struct Info
    {
        Type type = Unknown;
        std::string model;
        std::string manufacturer;
        std::string firmware;
        int32_t infoValue1 = 0;
        int32_t infoValue2 = 0;
        std::string deviceUID;
        std::string appUpdateResult;
        std::string sysUpdateResult;
    };

    enum Screen
    {
        ScreenIdle = 0,
        ScreenSearching = 1,
        ScreenCardFound = 2,
        ScreenUpdating = 3,
        ScreenError = 4
    };

    struct CommSettings
    {
        int32_t protocol = 0;  // 0 = T=0, 1 = T=1
        int32_t option = 0;
        uint16_t value1 = 0;
        uint16_t value2 = 0;
        // The protocol data of a CCID SetParameters message: 5 bytes used for T=0, 7 for T=1.
        uint8_t protocolData[7] = {0, 0, 0, 0, 0, 0, 0};
    };

    struct TPDUHeader
    {
        uint8_t CLA = 0;
        uint8_t INS = 0;
        uint8_t P1 = 0;
        uint8_t P2 = 0;
        uint8_t P3 = 0;
    };

    struct APDUHeader
    {
        uint8_t CLA = 0;
        uint8_t INS = 0;
        uint8_t P1 = 0;
        uint8_t P2 = 0;
        uint16_t Lc = 0;
        uint16_t Le = 0;
        bool hasLe = false;
        bool option = false;  // forwarded to the reader as bit 1 of the flags byte
    };

    // The order of these operations is the contract between the facade and the drivers.
    virtual bool open(const std::string& device, int baud, std::string* error) = 0;
    virtual bool close() = 0;
    virtual bool isOpen() const = 0;
    virtual Info info() const = 0;
    virtual bool status() = 0;
    virtual bool reset() = 0;
    virtual bool setLEDs(uint8_t mask) = 0;
    virtual bool setScreen(Screen screen) = 0;
    virtual bool beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime) = 0;
    virtual bool setTagTypes(uint32_t lfTypes, uint32_t hfTypes) = 0;
    virtual bool enableRF() = 0;
    virtual bool disableRF() = 0;
    virtual bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) = 0;
    virtual bool ISO14443_checkPresence() = 0;
    virtual bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) = 0;
    virtual bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) = 0;
    virtual bool ISO14443_getATS(std::vector<uint8_t>& ats) = 0;
    virtual bool ISO14443_getATQA(uint16_t& atqa) = 0;
    virtual bool ISO14443_getSAK(uint8_t& sak) = 0;
    virtual bool ISO14443_getATQB(std::vector<uint8_t>& atqb) = 0;
    virtual int ISO7816_slots() const = 0;
    virtual int ISO7816_slotState(int slot) = 0;
    virtual bool ISO7816_powerOn(int slot, std::vector<uint8_t>* atr) = 0;
    virtual bool ISO7816_powerOff(int slot) = 0;
    virtual bool ISO7816_setCommSettings(int slot, const CommSettings& settings) = 0;
    virtual bool ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) = 0;
    virtual bool ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                                      std::vector<uint8_t>* response, int& sw) = 0;
    virtual bool ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                                      std::vector<uint8_t>* response, int& sw) = 0;
    virtual bool updateFirmware(const std::string& file, bool& flag,
                                const std::function<void(int, int, int)>& progress) = 0;
    virtual bool EMV_getToken(std::vector<std::string>& token, int& error) = 0;
    virtual bool EMV_completeTransaction(std::string& data, std::vector<std::string>& result, int& error) = 0;
    virtual bool EMV_checkPresence() = 0;

protected:
    // Not virtual, so the operation slots above stay the whole table; deletion always goes
    // through the concrete type that make_shared recorded.
    ~Driver() = default;
};

}  // namespace NFC
