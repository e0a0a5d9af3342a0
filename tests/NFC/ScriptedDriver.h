// A reader driver for the paths that a real reader cannot easily be made to take: it records each
// open (family name, device, port or baud) in a log the test shares between several of them, opens
// only when told to, and answers the EMV kernel calls from a script. Everything else is a closed
// driver's answer. Single-threaded, like the reader facade, but for its record of requests, which
// another thread may read while the driver runs.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NFC/Driver.h"
#include "NFC/Reader.h"

namespace testdrivers {

class ScriptedDriver final : public NFC::Driver
{
public:
    struct EMVStep
    {
        bool ok;
        // Whether the driver writes a code at all, and which.
        bool writesCode;
        int code;
        std::vector<std::string> fields;
    };

    ScriptedDriver(std::string name, std::shared_ptr<std::vector<std::string>> opens, bool opens_ = false)
        : m_name(std::move(name)), m_opens(std::move(opens)), m_willOpen(opens_)
    {
    }

    // A reader facade family made of these, sharing one log of opens.
    static NFC::Reader::DriverFactory family(NFC::Reader::DriverFactory::Family family,
                                             const std::string& name,
                                             std::shared_ptr<std::vector<std::string>> opens)
    {
        return {family, name, [name, opens] { return std::make_shared<ScriptedDriver>(name, opens); }};
    }

    // A request to the reader as the driver saw it begin: a search ('s') or a status query ('?'),
    // on the steady clock in ms.
    struct Request
    {
        char kind;
        double atMs;
    };

    void expectEMV(EMVStep step) { m_emv.push_back(std::move(step)); }
    // Each search of the empty field takes this long before it answers.
    void setSearchMs(int ms) { m_searchMs = ms; }
    std::vector<Request> requests() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    bool scriptUsed() const { return m_emv.empty() && m_offScript == 0; }

    bool open(const std::string& device, int baud, std::string*) override
    {
        if (m_opens)
            m_opens->push_back(m_name + " " + device + " " + std::to_string(baud));
        m_open = m_willOpen;
        return m_open;
    }
    bool close() override
    {
        m_open = false;
        return true;
    }
    bool isOpen() const override { return m_open; }
    Info info() const override
    {
        Info info;
        info.type = Local;
        info.manufacturer = m_name;
        info.firmware = "scripted";
        return info;
    }
    bool status() override
    {
        record('?');
        return m_open;
    }
    bool reset() override { return false; }
    bool setLEDs(uint8_t) override { return false; }
    bool setScreen(Screen) override { return false; }
    bool beep(uint8_t, uint16_t, uint16_t, uint16_t) override { return m_open; }
    bool setTagTypes(uint32_t, uint32_t) override { return false; }
    bool enableRF() override { return false; }
    bool disableRF() override { return false; }
    bool searchTag(int&, std::vector<uint8_t>&, std::vector<uint8_t>&, int) override
    {
        record('s');
        std::this_thread::sleep_for(std::chrono::milliseconds(m_searchMs));
        return false;
    }
    bool ISO14443_checkPresence() override { return false; }
    bool ISO14443_TDX3(const std::vector<uint8_t>&, std::vector<uint8_t>&) override { return false; }
    bool ISO14443_TDX4(const std::vector<uint8_t>&, std::vector<uint8_t>&) override { return false; }
    bool ISO14443_getATS(std::vector<uint8_t>&) override { return false; }
    bool ISO14443_getATQA(uint16_t&) override { return false; }
    bool ISO14443_getSAK(uint8_t&) override { return false; }
    bool ISO14443_getATQB(std::vector<uint8_t>&) override { return false; }
    int ISO7816_slots() const override { return 0; }
    int ISO7816_slotState(int) override { return 0; }
    bool ISO7816_powerOn(int, std::vector<uint8_t>*) override { return false; }
    bool ISO7816_powerOff(int) override { return false; }
    bool ISO7816_setCommSettings(int, const CommSettings&) override { return false; }
    bool ISO7816_transceive(int, std::vector<uint8_t>&, std::vector<uint8_t>&) override { return false; }
    bool ISO7816_exchangeTPDU(int, const TPDUHeader&, const std::vector<uint8_t>*, std::vector<uint8_t>*,
                              int&) override
    {
        return false;
    }
    bool ISO7816_exchangeAPDU(int, const APDUHeader&, const std::vector<uint8_t>*, std::vector<uint8_t>*,
                              int&) override
    {
        return false;
    }
    bool updateFirmware(const std::string&, bool&, const std::function<void(int, int, int)>&) override
    {
        return false;
    }
    bool EMV_getToken(std::vector<std::string>& token, int& error) override { return emv(token, error); }
    bool EMV_completeTransaction(std::string& data, std::vector<std::string>& result, int& error) override
    {
        m_completed.push_back(data);
        return emv(result, error);
    }
    bool EMV_checkPresence() override { return false; }

    const std::vector<std::string>& completed() const { return m_completed; }

private:
    void record(char kind)
    {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back({kind, std::chrono::duration<double, std::milli>(now).count()});
    }

    bool emv(std::vector<std::string>& out, int& error)
    {
        if (m_emv.empty()) {
            ++m_offScript;
            return false;
        }
        const EMVStep step = m_emv.front();
        m_emv.pop_front();
        if (step.writesCode)
            error = step.code;
        out = step.fields;
        return step.ok;
    }

    const std::string m_name;
    std::shared_ptr<std::vector<std::string>> m_opens;
    const bool m_willOpen;
    bool m_open = false;
    std::deque<EMVStep> m_emv;
    int m_offScript = 0;
    std::vector<std::string> m_completed;
    int m_searchMs = 0;
    mutable std::mutex m_mutex;
    std::vector<Request> m_requests;
};

}  // namespace testdrivers
