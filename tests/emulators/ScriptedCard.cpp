#include "emulators/ScriptedCard.h"

#include "emulators/Hex.h"

namespace emulators {

FieldCard::Identity ScriptedCard::desfireIdentity()
{
    Identity id;
    id.readerTagType = 0x80;
    id.uid = {0x04, 0x52, 0x7A, 0x1A, 0x6F, 0x2C, 0x80};
    id.atqa = 0x0344;
    id.sak = 0x20;
    id.ats = {0x06, 0x75, 0x77, 0x81, 0x02, 0x80};
    return id;
}

void ScriptedCard::expect4(const Bytes& command, const Bytes& answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.add({true, command, answer});
}

void ScriptedCard::expect3(const Bytes& frame, const Bytes& answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.add({false, frame, answer});
}

FieldCard::Identity ScriptedCard::identity() const
{
    return m_identity;
}

std::optional<Bytes> ScriptedCard::exchange4(const Bytes& command)
{
    return next(true, command);
}

std::optional<Bytes> ScriptedCard::exchange3(const Bytes& frame)
{
    return next(false, frame);
}

std::optional<Bytes> ScriptedCard::next(bool layer4, const Bytes& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::optional<Step> step =
        m_script.takeIf([&](const Step& s) { return s.layer4 == layer4 && s.command == command; });
    if (!step) {
        m_script.offScript(std::string(layer4 ? "unexpected TDX4 " : "unexpected TDX3 ") + toHex(command));
        return std::nullopt;
    }
    return std::move(step->answer);
}

bool ScriptedCard::allUsed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.allUsed();
}

std::string ScriptedCard::report() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.report();
}

}  // namespace emulators
