// The Elatec TWN driver's command set against the line model's reader (support/ElatecModel.h) on a
// clock of its own, with every command's answer, status byte and data, taken from the input:
// opening, tag search and card identity, both ISO 14443 exchanges, SAM power-up, slot settings,
// raw, APDU and TPDU exchanges, LEDs and buzzer. The reader answers the protocol probe and the
// line's proofs (a version query for a limit, then one for the whole text) itself, so that every
// run gets past the open, and sends each answer whole, in binary without CRC, at 115200 baud;
// framing faults are the PRS target's. Input: for each command in turn a length byte and that many
// answer bytes (status, then data); when the input ends the reader hangs up, and from then on the
// driver writes nothing and reads only a few times a command. An open that fails before the reader
// heard anything (the line never reached it) stops the run: it would have tried nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drivers/ElatecTWN/Driver.h"
#include "drivers/ElatecTWN/Framer.h"
#include "support/Check.h"
#include "support/ElatecModel.h"
#include "support/FuzzInput.h"

namespace {

using namespace fuzzing::elatec;

// A few reads a command after the hang-up, for the forty commands at most that a run makes.
const size_t MaxHungUpReads = 2 * 40;

void exercise(ElatecTWN::Driver& driver)
{
    (void)driver.info();
    driver.setLEDs(0x04);
    driver.beep(50, 2000, 100, 0);
    driver.setTagTypes(0, 0xFFFFFFFF);
    int type = 0;
    std::vector<uint8_t> uid, ats;
    // One attempt: the driver repeats a failed search until the time-out.
    driver.searchTag(type, uid, ats, 0);
    std::vector<uint8_t> rx;
    driver.ISO14443_getATS(rx);
    uint16_t atqa = 0;
    driver.ISO14443_getATQA(atqa);
    uint8_t sak = 0;
    driver.ISO14443_getSAK(sak);
    driver.ISO14443_getATQB(rx);
    driver.ISO14443_checkPresence();
    driver.ISO14443_TDX3({0x30, 0x04, 0x26, 0xEE}, rx);
    driver.ISO14443_TDX4({0x90, 0x60, 0x00, 0x00, 0x00}, rx);

    for (int slot = 0; slot < driver.ISO7816_slots(); ++slot) {
        std::vector<uint8_t> atr;
        driver.ISO7816_powerOn(slot, &atr);
        (void)driver.ISO7816_slotState(slot);
        NFC::Driver::CommSettings settings;
        settings.protocol = slot;
        driver.ISO7816_setCommSettings(slot, settings);
        std::vector<uint8_t> pps = {0xFF, 0x10, 0x96, 0x79};
        driver.ISO7816_transceive(slot, pps, rx);
        NFC::Driver::APDUHeader apdu;
        apdu.CLA = 0x80;
        apdu.INS = 0x60;
        apdu.hasLe = true;
        int sw = 0;
        driver.ISO7816_exchangeAPDU(slot, apdu, nullptr, &rx, sw);
        const std::vector<uint8_t> data(20, 0x5A);
        apdu.Lc = static_cast<uint16_t>(data.size());
        driver.ISO7816_exchangeAPDU(slot, apdu, &data, &rx, sw);
        NFC::Driver::TPDUHeader tpdu;
        tpdu.CLA = 0x00;
        tpdu.INS = 0xC0;
        tpdu.P3 = 0x10;
        driver.ISO7816_exchangeTPDU(slot, tpdu, nullptr, &rx, sw);
        driver.ISO7816_powerOff(slot);
    }
    driver.disableRF();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    fuzzing::FuzzInput input(data, size);
    fuzzing::FuzzInput none(nullptr, 0);
    Reader reader(none, true, false, "TWN4/B1.65/X4.06/PRS1.04");
    reader.calm();
    reader.setLine(ByteMs, 0);
    ModelPort port(reader, none);
    bool first = true;
    bool proving = false;  // the last frame was a proof's first query
    bool heard = false;    // the reader took a frame
    reader.setScript([&](uint16_t command, const Bytes& params, double at) {
        heard = true;
        // The protocol probe and a proof get the reader's own answers: the probe's, and the text's
        // first bytes and then the whole text.
        const bool version = command == 0x0004 && params.size() == 1;
        const bool own = std::exchange(first, false) || (version && (params[0] != 0xFF || proving));
        proving = version && params[0] != 0xFF;
        if (own)
            return false;
        uint8_t count = 0;
        if (!input.u8(count)) {
            port.hangUp(MaxHungUpReads);
            return true;
        }
        Bytes wire;
        if (ElatecTWN::Framer::encode(ElatecTWN::Framer::Transport::Binary, input.bytes(count), wire))
            reader.put(at, wire.begin(), wire.end());
        return true;
    });
    ElatecTWN::Driver driver(0, [&port](const std::string&) { return std::make_unique<SharedPort>(port); });
    // An open may fail on the input's answers, never before the reader heard from it: the run
    // would then try nothing, and pass whatever the input.
    std::string error;
    if (!driver.open("model", 115200, &error) && !heard) {
        std::fprintf(stderr, "the driver's open never reached the model's reader (%s): nothing ran\n",
                     error.c_str());
        std::abort();
    }
    if (driver.isOpen())
        exercise(driver);
    driver.close();
    return 0;
}
