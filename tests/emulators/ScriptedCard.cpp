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
    m_script.push_back({true, command, answer});
}

void ScriptedCard::expect3(const Bytes& frame, const Bytes& answer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_script.push_back({false, frame, answer});
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
    if (m_script.empty() || m_script.front().layer4 != layer4 || m_script.front().command != command) {
        m_unexpected.push_back(std::string(layer4 ? "TDX4 " : "TDX3 ") + toHex(command));
        return std::nullopt;
    }
    Bytes answer = std::move(m_script.front().answer);
    m_script.pop_front();
    return answer;
}

bool ScriptedCard::allUsed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_script.empty() && m_unexpected.empty();
}

std::string ScriptedCard::report() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text = std::to_string(m_script.size()) + " step(s) left";
    for (const std::string& u : m_unexpected) text += "; unexpected " + u;
    return text;
}

}  // namespace emulators
