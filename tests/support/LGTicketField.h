// The field the LG SAM ticket layouts run in: NFC::Reader with the real Elatec driver on one side
// of a pseudo-terminal, the emulated reader on the other with an Ultralight EV1 model in its field
// and the computing LG SAM model in slot 0. It hands out tags found anew (a new layout reader per
// search, as the manager builds them), counts the card commands by code, and saves and restores
// the card's memory and counters so that a table can start each row from the same ticket.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NFC/Reader.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/LGSam.h"
#include "emulators/UltralightEV1.h"

namespace lgticket {

using emulators::Bytes;

class LGTicketField : public ::testing::Test
{
protected:
    static constexpr uint16_t ReaderTDX3 = 0x1207;

    struct Snapshot
    {
        std::vector<Bytes> pages;
        uint32_t counters[3];
    };

    void SetUp() override
    {
        emulator.setCard(card);
        emulator.setSam(0, model);
        nfc = std::make_shared<NFC::Reader>(
            NFC::Reader::DriverFactories{{NFC::Reader::DriverFactory::Serial, "ElatecTWN",
                                          [] { return std::make_shared<ElatecTWN::Driver>(); }}});
        ASSERT_TRUE(nfc->open(emulator.devicePath(), 115200)) << nfc->error().what();
        sam = nfc->turnOnSam(0);
        ASSERT_NE(sam, nullptr);
    }

    // The card as a new search finds it: selected again, its authentication dropped.
    std::shared_ptr<NFC::Tag> search()
    {
        card->reset();
        auto tag = nfc->searchTag(1000);
        EXPECT_NE(tag, nullptr);
        emulator.clearReceived();
        model->clearCommands();
        return tag;
    }

    // The card frames since the last search or clear, each as it reached the card (CRC cut off).
    std::vector<Bytes> cardFrames() const
    {
        std::vector<Bytes> out;
        for (const auto& r : emulator.received())
            if (r.command == ReaderTDX3 && !r.params.empty() && r.params.size() >= 1u + r.params[0] &&
                r.params[0] >= 2)
                out.emplace_back(r.params.begin() + 1, r.params.begin() + 1 + r.params[0] - 2);
        return out;
    }

    size_t cardCommands(uint8_t code) const
    {
        size_t n = 0;
        for (const Bytes& f : cardFrames()) n += f[0] == code;
        return n;
    }

    // The pages written since the last search or clear, in order.
    std::vector<int> pagesWritten() const
    {
        std::vector<int> out;
        for (const Bytes& f : cardFrames())
            if (f[0] == 0xA2 && f.size() >= 2)
                out.push_back(f[1]);
        return out;
    }

    // SAM commands by INS, GET RESPONSE and balance queries left out.
    std::vector<uint8_t> samCommands() const
    {
        std::vector<uint8_t> out;
        for (const Bytes& c : model->commands())
            if (c[1] != 0xC0 && c[1] != 0x56)
                out.push_back(c[1]);
        return out;
    }

    Snapshot save() const
    {
        Snapshot s;
        for (int p = 0; p < emulators::UltralightEV1::Pages; ++p) s.pages.push_back(card->page(p));
        for (int c = 0; c < 3; ++c) s.counters[c] = card->counter(c);
        return s;
    }

    void restore(const Snapshot& s)
    {
        for (int p = 0; p < emulators::UltralightEV1::Pages; ++p)
            card->setPage(p, s.pages[static_cast<size_t>(p)]);
        for (int c = 0; c < 3; ++c) card->setCounter(c, s.counters[c]);
    }

    emulators::ElatecReader emulator{emulators::ElatecReader::Mode::BinaryCrc};
    std::shared_ptr<emulators::UltralightEV1> card = std::make_shared<emulators::UltralightEV1>();
    std::shared_ptr<emulators::LGSam> model = std::make_shared<emulators::LGSam>();
    std::shared_ptr<NFC::Reader> nfc;
    std::shared_ptr<NFC::SAM> sam;
};

}  // namespace lgticket
