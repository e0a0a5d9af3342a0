// A SAM that answers from a script: its ATR, how it confirms a PPS, and each expected APDU or
// TPDU in order with its answer. A command off the script gets no answer and is remembered, so
// a test can assert that the script was used up exactly (allUsed()). Thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "emulators/Script.h"
#include "emulators/SlotCard.h"

namespace emulators {

class ScriptedSam : public SlotCard
{
public:
    explicit ScriptedSam(Bytes atr) : m_atr(std::move(atr)) {}

    // What the SAM sends back to a PPS request; the default echoes it in full.
    void setPpsAnswer(std::optional<Bytes> answer);
    // The SAM does not answer a power-on at all.
    void setMute(bool mute);

    // Expected command in its short ISO form (CLA INS P1 P2 [Lc data] [Le]).
    void expectApdu(const Bytes& command, const Bytes& data, uint16_t sw);
    // Expected T=0 header and data, as one run of bytes.
    void expectTpdu(const Bytes& headerAndData, const Bytes& data, uint16_t sw);

    std::optional<Bytes> powerOn() override;
    void powerOff() override;
    std::optional<Bytes> transceive(const Bytes& raw) override;
    void setCommSettings(const Bytes& settings) override;
    std::optional<Response> apdu(const Apdu& command) override;
    std::optional<Response> tpdu(const Bytes& header, const Bytes& data) override;

    bool powered() const;
    std::vector<Bytes> commSettings() const;
    std::vector<Bytes> ppsRequests() const;
    bool allUsed() const;
    std::string report() const;

private:
    struct Step
    {
        bool apdu;
        Bytes command;
        Response response;
    };

    std::optional<Response> next(bool apdu, const Bytes& command);

    const Bytes m_atr;
    mutable std::mutex m_mutex;
    bool m_mute = false;
    bool m_powered = false;
    bool m_customPps = false;
    std::optional<Bytes> m_ppsAnswer;
    std::vector<Bytes> m_commSettings;
    std::vector<Bytes> m_ppsRequests;
    Script<Step> m_script;
};

}  // namespace emulators
