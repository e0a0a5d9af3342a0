// The Elatec TWN reader's host commands as typed calls: each packs its arguments into one PRS
// exchange, checks the reader's answer and unpacks it. Owns its PRS (and with it the serial
// line); used only by the TWN driver on the thread that owns the reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Velmora/Card.h"
#include "drivers/ElatecTWN/PRS.h"

class Elatec
{
public:
    // The reader's USB device type: only zero against non-zero means anything to us.
    enum USBType_t : int
    {
    };

    // Opens the line and detects the reader's protocol variant; readTimeoutMs as for PRS.
    explicit Elatec(const std::string& device, int readTimeoutMs = 0);
    // The same over a line of the caller's (a stand-in with a clock of its own).
    explicit Elatec(std::unique_ptr<PRS::Port> line, int readTimeoutMs = 0);
    ~Elatec();
    Elatec(const Elatec&) = delete;
    Elatec& operator=(const Elatec&) = delete;

    bool reset();
    bool getVersionString(std::string& out);
    bool getUSBType(USBType_t& out);
    bool getDeviceUID(std::vector<uint8_t>& out);
    bool beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime);
    bool initLED(uint8_t mask);
    bool turnOffLED(uint8_t mask);
    bool toogleLED(uint8_t mask);
    bool searchTag(std::vector<uint8_t>& uid, RFID::Card::Type& type);
    bool setRFOff();
    bool setTagTypes(uint32_t lfTypes, uint32_t hfTypes);
    bool ISO7816_IccPowerOn(int slot, std::vector<uint8_t>* atr, int& statusA, int& statusB);
    bool ISO7816_IccPowerOff(int slot, std::vector<uint8_t>* out);
    bool ISO7816_setCommSettings(int slot, std::vector<uint8_t>* settings);
    bool ISO7816_transceive(int slot, std::vector<uint8_t>* tx, std::vector<uint8_t>* rx);
    bool ISO7816_exchangeAPDU(int slot, const std::vector<uint8_t>* header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* resp, int& sw);
    bool ISO7816_exchangeTPDU(int slot, const std::vector<uint8_t>* header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* resp, int& sw);
    bool ISO14443A_getATS(std::vector<uint8_t>* out);
    bool ISO14443B_getATQB(std::vector<uint8_t>* out);
    bool ISO14443_4_checkPresence();
    bool ISO14443_4_TDX(std::vector<uint8_t>* tx, std::vector<uint8_t>* rx);
    bool ISO14443A_getATQA(std::vector<uint8_t>* out);
    bool ISO14443A_getSAK(std::vector<uint8_t>* out);
    bool ISO14443_3_TDX(const std::vector<uint8_t>* tx, std::vector<uint8_t>* rx);

    PRS::Mode mode() const { return m_prs->mode(); }

private:
    // Sends the command with m_params; true when both transfer and reader status are good, with
    // the answer data in m_answer.
    bool call(uint16_t command);
    bool call(uint16_t command, uint8_t param);
    bool exchangePDU(uint16_t command, int slot, const std::vector<uint8_t>* header,
                     const std::vector<uint8_t>* data, uint16_t maxAnswer, std::vector<uint8_t>* resp,
                     int& sw);
    bool readBooleanData(uint16_t command, std::vector<uint8_t>* out);
    // The answer of a call whose first byte is the reader's yes or no: false for no or for an
    // answer outside minSize..maxSize; on yes, out (if any) gets the bytes from offset on.
    bool takeAnswer(bool called, size_t minSize, size_t maxSize, size_t offset, std::vector<uint8_t>* out);
    // m_params for a contactless frame: its one-byte length, then the frame; false (nothing
    // written) for a frame the length byte cannot count.
    bool frameParams(const std::vector<uint8_t>* tx);

    std::unique_ptr<PRS> m_prs;
    std::vector<uint8_t> m_params;
    std::vector<uint8_t> m_answer;
};
