// A SAM model that sits in one contact slot of an emulated reader. The reader emulator powers it,
// passes raw bytes (PPS), slot settings, APDUs and T=0 TPDUs to it; SAM emulators (MIFARE SAM,
// LG SAM, scripted) derive from it. Models are called on the emulator's thread, so a model that
// tests also touch keeps its own lock.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace emulators {

using Bytes = std::vector<uint8_t>;

class SlotCard
{
public:
    struct Apdu
    {
        uint8_t cla = 0;
        uint8_t ins = 0;
        uint8_t p1 = 0;
        uint8_t p2 = 0;
        Bytes data;
        uint16_t le = 0;
        bool hasLe = false;
        bool option = false;  // bit 1 of the reader's flags byte

        // Short form: CLA INS P1 P2 [Lc data] [Le].
        Bytes encode() const;
    };

    struct Response
    {
        Bytes data;
        uint16_t sw = 0x9000;
    };

    virtual ~SlotCard() = default;

    // Cold reset; the ATR, or nullopt for a SAM that does not answer.
    virtual std::optional<Bytes> powerOn() = 0;
    virtual void powerOff() {}
    // Raw bytes with no framing; the default confirms a PPS request by echoing it, as SAMs do.
    virtual std::optional<Bytes> transceive(const Bytes& raw) { return raw; }
    virtual void setCommSettings(const Bytes& /*settings*/) {}
    virtual std::optional<Response> apdu(const Apdu& command) = 0;
    // A T=0 command: the 5 header bytes and the data.
    virtual std::optional<Response> tpdu(const Bytes& header, const Bytes& data) = 0;
};

}  // namespace emulators
