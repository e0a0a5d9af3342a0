// The bookkeeping of a scripted peer: the steps still expected, in order, and a note for each
// command that came off the script, so that a test can require the script to be used up and
// nothing else to have come. It takes no lock: the peer that owns it guards it with its own.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace emulators {

template <typename Step>
class Script
{
public:
    void add(Step step) { m_steps.push_back(std::move(step)); }

    // Replaces the steps and forgets the notes.
    void assign(std::vector<Step> steps)
    {
        m_steps.assign(std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()));
        m_offScript.clear();
    }

    // The next step, taken off the script, when there is one and expected(step) accepts it.
    template <typename Expected>
    std::optional<Step> takeIf(Expected expected)
    {
        if (m_steps.empty() || !expected(m_steps.front()))
            return std::nullopt;
        Step step = std::move(m_steps.front());
        m_steps.pop_front();
        return step;
    }

    const Step* next() const { return m_steps.empty() ? nullptr : &m_steps.front(); }

    void offScript(std::string note) { m_offScript.push_back(std::move(note)); }

    // Every step ran and nothing came off the script.
    bool allUsed() const { return m_steps.empty() && m_offScript.empty(); }
    // Nothing came off the script (steps may be left).
    bool clean() const { return m_offScript.empty(); }

    // "N step(s) left", the next step as describe gives it (when given), then every note.
    std::string report(std::string (*describe)(const Step&) = nullptr) const
    {
        std::string text = std::to_string(m_steps.size()) + " step(s) left";
        if (describe && !m_steps.empty())
            text += ", next " + describe(m_steps.front());
        for (const std::string& note : m_offScript) text += "; " + note;
        return text;
    }

private:
    std::deque<Step> m_steps;
    std::vector<std::string> m_offScript;
};

}  // namespace emulators
