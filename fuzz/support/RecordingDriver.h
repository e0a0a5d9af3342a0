// A reader driver that passes every call to a real one and writes down each answer in the form a
// FuzzDriver reads, so that a scenario run against the emulated reader becomes a seed that takes
// the same run through the fuzz target. It shares the real driver, which must already be open;
// used on one thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "NFC/Driver.h"
#include "support/FuzzDriver.h"

namespace fuzzing {

class RecordingDriver final : public NFC::Driver
{
public:
    explicit RecordingDriver(std::shared_ptr<NFC::Driver> real) : m_real(std::move(real)), m_out(m_answers) {}

    const std::vector<uint8_t>& answers() const { return m_answers; }

    // The fuzz driver opens without reading anything, so the real driver stays as it is.
    bool open(const std::string&, int, std::string*) override { return true; }
    bool close() override { return true; }
    bool isOpen() const override { return m_real->isOpen(); }
    Info info() const override { return m_real->info(); }
    bool status() override { return flag(m_real->status()); }
    bool reset() override { return flag(m_real->reset()); }
    bool setLEDs(uint8_t mask) override { return flag(m_real->setLEDs(mask)); }
    bool setScreen(Screen screen) override { return flag(m_real->setScreen(screen)); }
    bool beep(uint8_t volume, uint16_t frequency, uint16_t onTime, uint16_t offTime) override
    {
        return flag(m_real->beep(volume, frequency, onTime, offTime));
    }
    bool setTagTypes(uint32_t lf, uint32_t hf) override { return flag(m_real->setTagTypes(lf, hf)); }
    bool enableRF() override { return flag(m_real->enableRF()); }
    bool disableRF() override { return flag(m_real->disableRF()); }
    bool searchTag(int& type, std::vector<uint8_t>& uid, std::vector<uint8_t>& ats, int timeout) override
    {
        if (!flag(m_real->searchTag(type, uid, ats, timeout)))
            return false;
        m_out.u16be(static_cast<uint16_t>(type));
        m_out.block(uid);
        m_out.block(ats);
        return true;
    }
    bool ISO14443_checkPresence() override { return flag(m_real->ISO14443_checkPresence()); }
    bool ISO14443_TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        return data(m_real->ISO14443_TDX3(tx, rx), rx);
    }
    bool ISO14443_TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        return data(m_real->ISO14443_TDX4(tx, rx), rx);
    }
    bool ISO14443_getATS(std::vector<uint8_t>& ats) override
    {
        return data(m_real->ISO14443_getATS(ats), ats);
    }
    bool ISO14443_getATQA(uint16_t& atqa) override
    {
        if (!flag(m_real->ISO14443_getATQA(atqa)))
            return false;
        m_out.u16be(atqa);
        return true;
    }
    bool ISO14443_getSAK(uint8_t& sak) override
    {
        if (!flag(m_real->ISO14443_getSAK(sak)))
            return false;
        m_out.u8(sak);
        return true;
    }
    bool ISO14443_getATQB(std::vector<uint8_t>& atqb) override
    {
        return data(m_real->ISO14443_getATQB(atqb), atqb);
    }
    int ISO7816_slots() const override { return FuzzDriver::Slots; }
    int ISO7816_slotState(int slot) override
    {
        const int state = m_real->ISO7816_slotState(slot);
        m_out.u8(static_cast<uint8_t>(state));
        return state;
    }
    bool ISO7816_powerOn(int slot, std::vector<uint8_t>* atr) override
    {
        std::vector<uint8_t> answer;
        const bool ok = data(m_real->ISO7816_powerOn(slot, &answer), answer);
        if (ok && atr)
            *atr = answer;
        return ok;
    }
    bool ISO7816_powerOff(int slot) override { return flag(m_real->ISO7816_powerOff(slot)); }
    bool ISO7816_setCommSettings(int slot, const CommSettings& settings) override
    {
        return flag(m_real->ISO7816_setCommSettings(slot, settings));
    }
    bool ISO7816_transceive(int slot, std::vector<uint8_t>& tx, std::vector<uint8_t>& rx) override
    {
        return data(m_real->ISO7816_transceive(slot, tx, rx), rx);
    }
    bool ISO7816_exchangeTPDU(int slot, const TPDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override
    {
        std::vector<uint8_t> answer;
        const bool ok = m_real->ISO7816_exchangeTPDU(slot, header, data, &answer, sw);
        return pdu(ok, answer, response, sw);
    }
    bool ISO7816_exchangeAPDU(int slot, const APDUHeader& header, const std::vector<uint8_t>* data,
                              std::vector<uint8_t>* response, int& sw) override
    {
        std::vector<uint8_t> answer;
        const bool ok = m_real->ISO7816_exchangeAPDU(slot, header, data, &answer, sw);
        return pdu(ok, answer, response, sw);
    }
    bool updateFirmware(const std::string&, bool&, const std::function<void(int, int, int)>&) override
    {
        return false;
    }
    bool EMV_getToken(std::vector<std::string>& token, int& error) override
    {
        return emv(m_real->EMV_getToken(token, error), token, error);
    }
    bool EMV_completeTransaction(std::string& data, std::vector<std::string>& result, int& error) override
    {
        return emv(m_real->EMV_completeTransaction(data, result, error), result, error);
    }
    bool EMV_checkPresence() override { return flag(m_real->EMV_checkPresence()); }

private:
    bool flag(bool ok)
    {
        m_out.flags(ok);
        return ok;
    }
    bool data(bool ok, const std::vector<uint8_t>& rx)
    {
        if (flag(ok))
            m_out.block(rx);
        return ok;
    }
    bool pdu(bool ok, const std::vector<uint8_t>& answer, std::vector<uint8_t>* response, int sw)
    {
        if (!flag(ok))
            return false;
        m_out.block(answer);
        m_out.u16be(static_cast<uint16_t>(sw));
        if (response)
            *response = answer;
        return true;
    }
    bool emv(bool ok, const std::vector<std::string>& fields, int error)
    {
        if (!flag(ok))
            return false;
        m_out.u16be(static_cast<uint16_t>(error));
        m_out.u8(static_cast<uint8_t>(fields.size()));
        for (const std::string& field : fields) m_out.text(field);
        return true;
    }

    std::shared_ptr<NFC::Driver> m_real;
    std::vector<uint8_t> m_answers;
    AnswerWriter m_out;
};

}  // namespace fuzzing
