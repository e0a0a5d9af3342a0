// A reader driver whose every answer comes from a fuzz input, so that card and SAM command sets
// meet arbitrary reader, card and SAM answers through the same interface as with a real reader.
// The driver reads the input through the caller's FuzzInput (which must outlive it); one driver
// per input, used by the thread that runs the input.
//
// Each call that asks the reader something takes one answer from the input: a flags byte, whose
// bit 0 says the call succeeds, and for a successful call what it returns:
//   data calls (TDX3, TDX4, ATS, ATQB, raw transceive, power-on ATR): block
//   APDU and TPDU exchanges: block, then the status word (u16be)
//   searchTag: type (u16be), UID block, ATS block
//   getATQA: u16be; getSAK: u8; slot state: u8 (no flags byte)
//   EMV token and completion: code (u16be, signed), field count (u8), that many text blocks
//   every other call: nothing more
// A block is a u16be length and that many bytes (fewer when the input ends). Once the input is
// used up every call fails, as on a dead line. open() always succeeds and takes nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NFC/Driver.h"
#include "support/FuzzInput.h"

namespace fuzzing {

// Writes answers in the form FuzzDriver reads them; the recording driver and hand-made seeds use it.
class AnswerWriter
{
public:
    explicit AnswerWriter(std::vector<uint8_t>& out) : m_out(out) {}

    void flags(bool ok) { m_out.push_back(ok ? 1 : 0); }
    void u8(uint8_t value) { m_out.push_back(value); }
    void u16be(uint16_t value)
    {
        m_out.push_back(static_cast<uint8_t>(value >> 8));
        m_out.push_back(static_cast<uint8_t>(value));
    }
    // Longer blocks than a u16 length can say are cut: the driver could not read more anyway.
    void block(const std::vector<uint8_t>& bytes)
    {
        const size_t size = bytes.size() > 0xFFFF ? 0xFFFF : bytes.size();
        u16be(static_cast<uint16_t>(size));
        m_out.insert(m_out.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    }
    void text(const std::string& value) { block(std::vector<uint8_t>(value.begin(), value.end())); }

private:
    std::vector<uint8_t>& m_out;
};

class FuzzDriver final : public NFC::Driver
{
public:
    static constexpr int Slots = 2;

    explicit FuzzDriver(FuzzInput& input) : m_in(input) {}

    bool open(const std::string& device, int baud, std::string* error) override;
    bool close() override;
    bool isOpen() const override { return m_open; }
    Info info() const override;
    bool status() override { return flag(); }
    bool reset() override { return flag(); }
    bool setLEDs(uint8_t) override { return flag(); }
    bool setScreen(Screen) override { return flag(); }
    bool beep(uint8_t, uint16_t, uint16_t, uint16_t) override { return flag(); }
    bool setTagTypes(uint32_t, uint32_t) override { return flag(); }
    bool enableRF() override { return flag(); }
    bool disableRF() override { return flag(); }
    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) override;
    bool ISO14443_checkPresence() override { return flag(); }
    bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO14443_getATS(std::vector<uint8_t>& ats) override { return data(ats); }
    bool ISO14443_getATQA(uint16_t& atqa) override;
    bool ISO14443_getSAK(uint8_t& sak) override;
    bool ISO14443_getATQB(std::vector<uint8_t>& atqb) override { return data(atqb); }
    int ISO7816_slots() const override { return Slots; }
    int ISO7816_slotState(int slot) override;
    bool ISO7816_powerOn(int slot, std::vector<uint8_t>* atr) override;
    bool ISO7816_powerOff(int) override { return flag(); }
    bool ISO7816_setCommSettings(int, const CommSettings&) override { return flag(); }
    bool ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override;
    bool ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override;
    bool ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override;
    bool updateFirmware(const std::string&, bool&, const std::function<void(int, int, int)>&) override
    {
        return false;
    }
    bool EMV_getToken(std::vector<std::string>& token, int& error) override { return emv(token, error); }
    bool EMV_completeTransaction(std::string&, std::vector<std::string>& result, int& error) override
    {
        return emv(result, error);
    }
    bool EMV_checkPresence() override { return flag(); }

private:
    bool flag();
    bool data(std::vector<uint8_t>& out);
    bool pdu(std::vector<uint8_t>* response, int& sw);
    bool emv(std::vector<std::string>& fields, int& error);

    FuzzInput& m_in;
    bool m_open = false;
};

}  // namespace fuzzing
