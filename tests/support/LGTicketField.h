// The field the LG SAM ticket layouts run in: the Ultralight field (NFC::Reader, the real Elatec
// driver, the emulated reader over a pseudo-terminal) with an Ultralight EV1 model in the field
// and the computing LG SAM model in slot 0. It hands out tags found anew (a layout reader per
// search, as the manager builds them), lists the card frames and SAM commands since then, and
// saves and restores the card's memory and counters so that a table can start each row from the
// same ticket. No test framework here, so a benchmark can use it too.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "UltralightField.h"
#include "emulators/LGSam.h"
#include "emulators/UltralightEV1.h"

namespace testsupport {

class LGTicketField : public UltralightField
{
public:
    static constexpr uint16_t ReaderTDX3 = 0x1207;

    struct Snapshot
    {
        std::vector<emulators::Bytes> pages;
        uint32_t counters[3];
    };

    LGTicketField()
    {
        place(ev1);
        emulator.setSam(0, model);
        lgsam = nfc->turnOnSam(0);
        if (!lgsam)
            throw std::runtime_error("emulated LG SAM did not power on");
    }

    // The card as a new tap finds it: selected again, its authentication dropped.
    std::shared_ptr<NFC::Tag> search()
    {
        ev1->reset();
        auto tag = reselect();
        model->clearCommands();
        return tag;
    }

    // The card frames since the last search or clear, each as it reached the card (CRC cut off).
    std::vector<emulators::Bytes> frames() const
    {
        std::vector<emulators::Bytes> out;
        for (const auto& r : emulator.received())
            if (r.command == ReaderTDX3 && r.params.size() >= 1u + r.params[0] && r.params[0] >= 3)
                out.emplace_back(r.params.begin() + 1, r.params.begin() + 1 + r.params[0] - 2);
        return out;
    }

    size_t cardCommands(uint8_t code) const
    {
        size_t n = 0;
        for (const auto& f : frames()) n += f[0] == code;
        return n;
    }

    // The pages written since the last search or clear, in order.
    std::vector<int> pagesWritten() const
    {
        std::vector<int> out;
        for (const auto& f : frames())
            if (f[0] == 0xA2)
                out.push_back(f[1]);
        return out;
    }

    // SAM commands by INS since the last search, GET RESPONSE and balance queries left out.
    std::vector<uint8_t> samCommands() const
    {
        std::vector<uint8_t> out;
        for (const auto& c : model->commands())
            if (c[1] != 0xC0 && c[1] != 0x56)
                out.push_back(c[1]);
        return out;
    }

    Snapshot save() const
    {
        Snapshot s;
        for (int p = 0; p < emulators::UltralightEV1::Pages; ++p) s.pages.push_back(ev1->page(p));
        for (int c = 0; c < 3; ++c) s.counters[c] = ev1->counter(c);
        return s;
    }

    void restore(const Snapshot& s)
    {
        for (int p = 0; p < emulators::UltralightEV1::Pages; ++p)
            ev1->setPage(p, s.pages[static_cast<size_t>(p)]);
        for (int c = 0; c < 3; ++c) ev1->setCounter(c, s.counters[c]);
    }

    std::shared_ptr<emulators::UltralightEV1> ev1 = std::make_shared<emulators::UltralightEV1>();
    std::shared_ptr<emulators::LGSam> model = std::make_shared<emulators::LGSam>();
    // The program's side of the SAM in slot 0.
    std::shared_ptr<NFC::SAM> lgsam;
};

}  // namespace testsupport
