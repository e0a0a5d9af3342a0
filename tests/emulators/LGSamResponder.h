// A scripted LG transit SAM for the reader emulator's contact slot: a T=0 peer that answers
// each expected TPDU (header and data) in order with the data and status word the script gives.
// An outgoing command's answer waits behind 0x61xx and is given out only to a GET RESPONSE
// that asks for exactly that many bytes. Anything off the script gets no answer and is kept as a
// violation, so that a test can require the script to be used up and nothing else to have come
// (allUsed(), report()). It records what it answered, for replays with altered answers.
// Called on the emulator's thread and by the test: every public call takes the lock.
#pragma once

#include <mutex>
#include <string>

#include "emulators/Script.h"
#include "emulators/SlotCard.h"

namespace emulators {

class LGSamResponder : public SlotCard
{
public:
    // The answer-to-reset of the LG transit SAM.
    static const Bytes Atr;

    struct Exchange
    {
        Bytes command;  // the five header bytes, then the data
        Bytes answer;
        uint16_t sw = 0x9000;
    };

    explicit LGSamResponder(Bytes atr = Atr) : m_atr(std::move(atr)) {}

    // Incoming case (or a refusal): the command gets answer and sw at once.
    void expect(const Bytes& command, const Bytes& answer, uint16_t sw = 0x9000);
    // Outgoing case: the command gets 0x61xx for the answer's length, and the GET RESPONSE that
    // must follow it gets the answer with finalSw.
    void expectFetch(const Bytes& command, const Bytes& answer, uint16_t finalSw = 0x9000);
    // Replaces the script and forgets earlier exchanges and violations.
    void load(std::vector<Exchange> script);

    // What the SAM answered so far, GET RESPONSE included, in order.
    std::vector<Exchange> exchanges() const;
    std::vector<Bytes> ppsRequests() const;
    std::vector<Bytes> commSettings() const;
    // Script used up and no violation.
    bool allUsed() const;
    // No violation (the script may have steps left).
    bool clean() const;
    std::string report() const;

    std::optional<Bytes> powerOn() override;
    void powerOff() override;
    std::optional<Bytes> transceive(const Bytes& raw) override;
    void setCommSettings(const Bytes& settings) override;
    // This SAM speaks T=0 only.
    std::optional<Response> apdu(const Apdu& command) override;
    std::optional<Response> tpdu(const Bytes& header, const Bytes& data) override;

private:
    const Bytes m_atr;
    mutable std::mutex m_mutex;
    bool m_powered = false;
    Script<Exchange> m_script;
    std::vector<Exchange> m_done;
    std::vector<Bytes> m_pps;
    std::vector<Bytes> m_settings;
    // Bytes announced by the last 0x61xx, until GET RESPONSE collects them; 0 when none.
    size_t m_waiting = 0;
};

}  // namespace emulators
