// The manager's worker on the real reader stack (NFC::Reader, Elatec driver, pseudo-terminal) with
// an emulated reader, card and SAMs, and a layout reader the test scripts: every card placed gives
// one auto-read report, a layout that throws does not stop the worker, and a reader that stops
// answering is retried until it answers again.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Journal.h"
#include "NFC/Reader.h"
#include "NFC/SAM.h"
#include "ScriptedCardReader.h"
#include "Velmora/Manager.h"
#include "emulators/ElatecReader.h"
#include "emulators/MifareSam.h"
#include "emulators/UltralightEV1.h"

namespace {

using emulators::ElatecReader;
using State = RFID::Manager::State;

TEST(Manager, ReportsEveryCardAndOutlivesThrowingLayoutsAndLostReaders)
{
    ElatecReader reader;
    auto card = std::make_shared<emulators::UltralightEV1>(emulators::Bytes{4, 1, 2, 3, 4, 5, 6});
    reader.setSam(0, std::make_shared<emulators::MifareSam>(emulators::MifareSam::Generation::AV3));
    reader.setSam(1, std::make_shared<emulators::MifareSam>(emulators::MifareSam::Generation::AV2));
    reader.setCard(card);

    // Each card found gets the next read outcome.
    const std::vector<testsupport::ScriptedCardReader::Read> outcomes = {
        [](auto&) -> std::shared_ptr<RFID::Card> { throw std::runtime_error("card torn"); },
        [](auto& layout) {
            auto read = RFID::Card::make(layout.tag(), layout.name());
            read->data().set("info/issuerId", Variant(7));
            return read;
        },
        [](auto& layout) {
            layout.setError("read", "Error reading page (4): 5");
            return std::shared_ptr<RFID::Card>();
        },
        [](auto&) { return std::shared_ptr<RFID::Card>(); },
    };
    testsupport::Journal journal;
    size_t found = 0;
    RFID::Manager manager(std::make_shared<NFC::Reader>(), RFID::Config(), reader.devicePath(), 115200);
    manager.setCardReaderMaker([&](const std::shared_ptr<NFC::Tag>& tag, const RFID::SamList& sams,
                                   RFID::Error&) {
        std::string slots = "sams";
        for (const auto& sam : sams) slots += " " + std::to_string(sam->slot());
        journal.add(slots);
        return std::make_shared<testsupport::ScriptedCardReader>(tag, outcomes.at(found++ % outcomes.size()));
    });
    manager.cardAutoRead.connect([&](const RFID::Error& error, std::shared_ptr<RFID::Card> read) {
        journal.add("read " + read->uid() + " " + read->name() + " " + read->data().toJson().dump() + " " +
                    std::to_string(error.code()) + " " + error.text());
    });
    manager.error.connect(
        [&](const RFID::Error& error) { journal.add("error " + std::to_string(error.code())); });
    manager.stateChanged.connect(
        [&](State state) { journal.add(std::string("state ") + RFID::Manager::stateName(state)); });
    manager.cardRemoved.connect(
        [&](std::shared_ptr<RFID::Card> gone) { journal.add("removed " + gone->uid()); });
    // A listener's fault is its own: the worker neither stops nor takes it for a reader failure.
    manager.cardFound.connect([](std::shared_ptr<RFID::Card>) { throw std::runtime_error("listener fault"); });
    manager.run();

    const struct
    {
        const char* step;
        std::function<void()> act;
        std::string read;
    } steps[] = {
        {"first card: the layout throws", [] {}, "read 04010203040506 Scripted null 202 read: card torn"},
        {"card out and back: it reads",
         [&] {
             reader.setCard(nullptr);
             ASSERT_TRUE(journal.waitFor("removed 04010203040506", 1, 5000));
             reader.setCard(card);
         },
         R"(read 04010203040506 Scripted {"info":{"issuerId":7}} 0 )"},
        {"reader silent, then back: retried until it answers, the card still in the field",
         [&] {
             reader.setMode(ElatecReader::Mode::Silent);
             // The lost search, then two failed openings: every reader family probes the silent
             // line each time, so this takes some 20 s.
             ASSERT_TRUE(journal.waitFor("error 200", 3, 40000));
             reader.setMode(ElatecReader::Mode::BinaryCrc);
         },
         "read 04010203040506 Scripted null 202 read: Error reading page (4): 5"},
        {"card out and back: no card and no reason is still a failed read",
         [&] {
             const size_t removed = journal.starting("removed ").size();
             reader.setCard(nullptr);
             ASSERT_TRUE(journal.waitFor("removed 04010203040506", removed + 1, 5000));
             reader.setCard(card);
         },
         "read 04010203040506 Scripted null 202 read: no card returned"},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].step);
        steps[i].act();
        ASSERT_TRUE(journal.waitFor("read ", i + 1, 10000));
        EXPECT_EQ(journal.starting("read ").at(i), steps[i].read);
    }
    manager.stop();

    // The SAMs in slot order every time; opened, searched, found, lost the reader, and went the
    // same way again once it answered.
    EXPECT_EQ(journal.starting("sams"), std::vector<std::string>(std::size(steps), "sams 0 1"));
    const std::vector<std::string> states = journal.starting("state ");
    EXPECT_EQ(
        std::vector<std::string>(states.begin(), states.begin() + std::min<size_t>(states.size(), 8)),
        (std::vector<std::string>{"state Searching", "state CardFound", "state Searching", "state CardFound",
                                  "state Searching", "state Error", "state Searching", "state CardFound"}));
}

}  // namespace
