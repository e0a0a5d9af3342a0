#include "emulators/ScriptedSam.h"

#include "emulators/Hex.h"

namespace emulators {

void ScriptedSam::setPpsAnswer(std::optional<Bytes> answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_customPps = true;
    m_ppsAnswer = std::move(answer);
}

void ScriptedSam::setMute(bool mute)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mute = mute;
}

void ScriptedSam::expectApdu(const Bytes& command, const Bytes& data, uint16_t sw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.add({true, command, {data, sw}});
}

void ScriptedSam::expectTpdu(const Bytes& headerAndData, const Bytes& data, uint16_t sw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.add({false, headerAndData, {data, sw}});
}

std::optional<Bytes> ScriptedSam::powerOn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_mute)
        return std::nullopt;
    m_powered = true;
    return m_atr;
}

void ScriptedSam::powerOff()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_powered = false;
}

std::optional<Bytes> ScriptedSam::transceive(const Bytes& raw)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ppsRequests.push_back(raw);
    if (m_customPps)
        return m_ppsAnswer;
    return raw;
}

void ScriptedSam::setCommSettings(const Bytes& settings)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commSettings.push_back(settings);
}

std::optional<SlotCard::Response> ScriptedSam::apdu(const Apdu& command)
{
    return next(true, command.encode());
}

std::optional<SlotCard::Response> ScriptedSam::tpdu(const Bytes& header, const Bytes& data)
{
    Bytes all = header;
    all.insert(all.end(), data.begin(), data.end());
    return next(false, all);
}

std::optional<SlotCard::Response> ScriptedSam::next(bool apdu, const Bytes& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<Step> step =
        m_script.takeIf([&](const Step& s) { return m_powered && s.apdu == apdu && s.command == command; });
    if (!step) {
        m_script.offScript(std::string(apdu ? "unexpected APDU " : "unexpected TPDU ") + toHex(command) +
                           (m_powered ? "" : " (unpowered)"));
        return std::nullopt;
    }
    return std::move(step->response);
}

bool ScriptedSam::powered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_powered;
}

std::vector<Bytes> ScriptedSam::commSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commSettings;
}

std::vector<Bytes> ScriptedSam::ppsRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ppsRequests;
}

bool ScriptedSam::allUsed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.allUsed();
}

std::string ScriptedSam::report() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.report();
}

}  // namespace emulators
