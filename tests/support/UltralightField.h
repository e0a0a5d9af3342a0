// The field the card-reader framework's Ultralight tests and benchmarks run in: NFC::Reader with
// the real Elatec driver on one side of a pseudo-terminal, the emulated reader on the other, an
// Ultralight card model in its field and a MIFARE SAM model in slot 0. Counts what the card and
// the SAM received. BareReader reaches the base readers' own operations. No test framework here,
// so a benchmark can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "NFC/Reader.h"
#include "NFC/SAM.h"
#include "NFC/Tag.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "Velmora/CardReader.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/MifareSam.h"
#include "emulators/UltralightCard.h"

namespace testsupport {

// A layout with nothing of its own over one of the Ultralight base readers.
template <class Base>
struct BareReader : Base
{
    explicit BareReader(std::shared_ptr<NFC::Tag> tag, std::shared_ptr<NFC::SAM> sam = nullptr)
        : Base("Bare", std::move(tag), std::move(sam))
    {
    }
    std::shared_ptr<RFID::Card> create(bool) override { return nullptr; }
    std::shared_ptr<RFID::Card> read(unsigned, unsigned) override { return nullptr; }
    std::shared_ptr<RFID::Card> write(const VariantMap&) override { return nullptr; }
};

class UltralightField
{
public:
    // The reader's command that carries an APDU to a SAM slot.
    static constexpr uint16_t SamApdu = 0x1005;

    UltralightField()
        : nfc(std::make_shared<NFC::Reader>(
              NFC::Reader::DriverFactories{{NFC::Reader::DriverFactory::Serial, "ElatecTWN",
                                            [] { return std::make_shared<ElatecTWN::Driver>(testsupport::SlowLineReadTimeoutMs); }}},
              lockDirectory()))
    {
        if (!openAsTheServiceDoes(emulator, [this] { return nfc->open(emulator.devicePath(), 115200); }))
            throw std::runtime_error("emulated reader did not open: " + nfc->error().what());
    }

    // Puts the card in the field and returns the tag the reader found for it.
    std::shared_ptr<NFC::Tag> place(std::shared_ptr<emulators::UltralightCard> model)
    {
        card = std::move(model);
        emulator.setCard(card);
        return reselect();
    }

    // A new search: the card is selected again, as a fresh tap would. The card is there, so the
    // first answer ends the search; the deadline is for a reader that never answers.
    std::shared_ptr<NFC::Tag> reselect()
    {
        auto tag = nfc->searchTag(PeerDeadlineMs);
        if (!tag)
            throw std::runtime_error("no card in the emulated field");
        emulator.clearReceived();
        return tag;
    }

    // An unlocked MIFARE SAM in a slot (slot 0 keeps it as `sam`), powered through the reader.
    std::shared_ptr<NFC::SAM> insertSam(std::shared_ptr<emulators::MifareSam> model, int slot = 0)
    {
        emulator.setSam(slot, model);
        auto client = nfc->turnOnSam(slot);
        if (!client)
            throw std::runtime_error("emulated SAM did not power on");
        model->setUnlocked(true);
        if (slot == 0)
            sam = std::move(model);
        return client;
    }

    size_t cardFrames() const { return card->commands().size(); }

    // The frames the card got from index from on, CRC removed.
    std::vector<emulators::Bytes> framesSince(size_t from) const
    {
        const auto all = card->commands();
        return std::vector<emulators::Bytes>(all.begin() + static_cast<long>(from), all.end());
    }

    // The pages those frames wrote, in order.
    static std::vector<int> pagesWritten(const std::vector<emulators::Bytes>& frames)
    {
        std::vector<int> pages;
        for (const auto& f : frames)
            if (f.size() == 6 && f[0] == 0xA2)
                pages.push_back(f[1]);
        return pages;
    }

    // Pages first .. first + count - 1 as the card holds them.
    emulators::Bytes memory(int first, int count) const
    {
        emulators::Bytes out;
        for (int p = first; p < first + count; ++p) {
            const emulators::Bytes page = card->page(p);
            out.insert(out.end(), page.begin(), page.end());
        }
        return out;
    }

    // SAM commands with this instruction byte since the last search.
    size_t samCommands(uint8_t ins) const
    {
        size_t n = 0;
        for (const auto& r : emulator.received())
            n += r.command == SamApdu && r.params.size() > 2 && r.params[2] == ins;
        return n;
    }

    emulators::ElatecReader emulator{emulators::ElatecReader::Mode::BinaryCrc};
    std::shared_ptr<NFC::Reader> nfc;
    std::shared_ptr<emulators::UltralightCard> card;
    std::shared_ptr<emulators::MifareSam> sam;
};

}  // namespace testsupport
