// A layout reader for the manager's tests: its read runs whatever the test hands it (throw, fail,
// or give a card), so that the worker's handling of each outcome can be seen from outside.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "Velmora/CardReader.h"

namespace testsupport {

class ScriptedCardReader : public RFID::CardReader
{
public:
    using Read = std::function<std::shared_ptr<RFID::Card>(ScriptedCardReader&)>;

    ScriptedCardReader(std::shared_ptr<NFC::Tag> tag, Read read)
        : CardReader("Scripted", std::move(tag), nullptr), m_read(std::move(read))
    {
    }

    std::shared_ptr<RFID::Card> create(bool) override { return nullptr; }
    std::shared_ptr<RFID::Card> read(unsigned, unsigned) override
    {
        clearError();
        return m_read(*this);
    }
    std::shared_ptr<RFID::Card> write(const VariantMap&) override { return nullptr; }

private:
    Read m_read;
};

}  // namespace testsupport
