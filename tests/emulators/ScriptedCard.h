// A field card that answers from a script: each expected command, in order, with its answer.
// A command off the script gets no answer and is remembered, so a test can assert that the
// script was used up exactly (allUsed()). Thread-safe: the emulator thread exchanges, the test
// thread scripts and checks.
#pragma once

#include <mutex>
#include <string>

#include "emulators/FieldCard.h"
#include "emulators/Script.h"

namespace emulators {

class ScriptedCard : public FieldCard
{
public:
    explicit ScriptedCard(Identity identity) : m_identity(std::move(identity)) {}

    // A DESFire EV1-like ISO 14443A card: SAK 0x20, ATQA 0x0344, 7-byte UID, ATS.
    static Identity desfireIdentity();

    void expect4(const Bytes& command, const Bytes& answer);
    void expect3(const Bytes& frame, const Bytes& answer);

    Identity identity() const override;
    std::optional<Bytes> exchange4(const Bytes& command) override;
    std::optional<Bytes> exchange3(const Bytes& frame) override;

    // Every scripted step ran and nothing unscripted came.
    bool allUsed() const;
    // What went wrong, for the failure message.
    std::string report() const;

private:
    struct Step
    {
        bool layer4;
        Bytes command;
        Bytes answer;
    };

    std::optional<Bytes> next(bool layer4, const Bytes& command);

    const Identity m_identity;
    mutable std::mutex m_mutex;
    Script<Step> m_script;
};

}  // namespace emulators
