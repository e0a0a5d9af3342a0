// The driver of VUrur readers reached over TCP: it claims a device text that is a numeric IPv4
// address (or "localhost") when the reader there answers a ping and its info, and maps each reader
// operation onto one networked command. Owns its TCP client, transport and command set; held by
// std::shared_ptr and called only from the thread that owns the reader. No operation throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Driver.h"
#include "core/TCPClient.h"
#include "drivers/VUrurRemote/Reader.h"
#include "drivers/VUrurRemote/Transport.h"

namespace VUrurRemote {

class Driver final : public NFC::Driver
{
public:
    // sender: how firmware files reach the reader; null sends them with ZMODEM on the connection.
    explicit Driver(std::shared_ptr<T2151::FileSender> sender = nullptr);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // device: the host, port: its TCP port. error gets the connect failure's text.
    bool open(const std::string& device, int port, std::string* error) override;
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

private:
    bool connectAndProbe(const std::string& device, int port, std::string* error);

    TCPClient m_client;
    vurur::Transport m_transport;
    vurur::Reader m_reader;
    vurur::Info m_info;
    bool m_open = false;
};

}  // namespace VUrurRemote
