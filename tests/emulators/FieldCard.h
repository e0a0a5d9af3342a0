// A contactless card model that sits in an emulated reader's field. The reader emulator reports
// identity() to tag searches and hands each ISO 14443 exchange to the model; card emulators
// (DESFire, Ultralight, scripted) derive from it. Models are called on the emulator's thread, so
// a model that tests also touch keeps its own lock.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace emulators {

using Bytes = std::vector<uint8_t>;

class FieldCard
{
public:
    struct Identity
    {
        uint8_t readerTagType = 0x80;  // the reader's own code: 0x80 ISO 14443A, 0x81 B, <= 0x7F LF
        Bytes uid;
        uint16_t atqa = 0;  // sent first byte low
        uint8_t sak = 0;
        Bytes ats;  // empty: no ISO 14443-4 layer
        Bytes atqb;
    };

    virtual ~FieldCard() = default;

    virtual Identity identity() const = 0;
    // A reader search selected the card again (a real card drops its session state here).
    virtual void selected() {}
    // One ISO 14443-4 exchange (command and answer without block framing); nullopt when mute.
    virtual std::optional<Bytes> exchange4(const Bytes& command) = 0;
    // One raw ISO 14443-3 frame, CRC_A as the host sent it; nullopt when mute.
    virtual std::optional<Bytes> exchange3(const Bytes& /*frame*/) { return std::nullopt; }
};

}  // namespace emulators
