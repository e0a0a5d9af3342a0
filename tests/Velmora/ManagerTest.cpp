// The manager's worker on the real reader stack (NFC::Reader, Elatec driver, pseudo-terminal) with
// an emulated reader, card and SAMs, and a layout reader the test scripts: every card placed gives
// one auto-read report, a layout that throws does not stop the worker, and a reader that stops
// answering is retried until it answers again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

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

// What the manager's signals said, for a test thread to wait on.
struct Events
{
    struct Read
    {
        int code;
        std::string text, uid, layout;
        VariantMap data;
    };

    template <class Predicate>
    bool waitFor(Predicate done, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(); });
    }
    void note(const std::function<void()>& change)
    {
        std::lock_guard<std::mutex> lock(mutex);
        change();
        changed.notify_all();
    }
    size_t errorsWithCode(int code)
    {
        size_t n = 0;
        for (int c : errors) n += c == code;
        return n;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Read> reads;
    std::vector<int> errors;
    std::vector<State> states;
    size_t removed = 0;
    std::vector<int> samSlots;  // of the SAM list the maker got
};

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
    };
    Events events;
    size_t found = 0;
    RFID::Manager manager(std::make_shared<NFC::Reader>(), RFID::Config(), reader.devicePath(), 115200);
    manager.setCardReaderMaker([&](const std::shared_ptr<NFC::Tag>& tag, const RFID::SamList& sams,
                                   RFID::Error&) {
        events.note([&] {
            events.samSlots.clear();
            for (const auto& sam : sams) events.samSlots.push_back(sam->slot());
        });
        return std::make_shared<testsupport::ScriptedCardReader>(tag, outcomes.at(found++ % outcomes.size()));
    });
    manager.cardAutoRead.connect([&](const RFID::Error& error, std::shared_ptr<RFID::Card> read) {
        events.note([&] {
            events.reads.push_back({error.code(), error.text(), read->uid(), read->name(), read->data()});
        });
    });
    manager.error.connect(
        [&](const RFID::Error& error) { events.note([&] { events.errors.push_back(error.code()); }); });
    manager.stateChanged.connect([&](State state) { events.note([&] { events.states.push_back(state); }); });
    manager.cardRemoved.connect([&](std::shared_ptr<RFID::Card>) { events.note([&] { ++events.removed; }); });
    manager.run();

    const struct
    {
        const char* step;
        std::function<void()> act;
        int code;
        std::string text;
        bool data;
    } steps[] = {
        {"first card: the layout throws", [] {}, 202, "read: card torn", false},
        {"card out and back: it reads",
         [&] {
             reader.setCard(nullptr);
             ASSERT_TRUE(events.waitFor([&] { return events.removed == 1; }, 5000));
             reader.setCard(card);
         },
         0, "", true},
        {"reader silent, then back: retried until it answers, the card still in the field",
         [&] {
             reader.setMode(ElatecReader::Mode::Silent);
             // The lost search, then two failed openings: every reader family probes the silent
             // line each time, so this takes some 20 s.
             ASSERT_TRUE(events.waitFor(
                 [&] { return events.errorsWithCode(RFID::Manager::ReaderUnavailable) >= 3; }, 40000));
             reader.setMode(ElatecReader::Mode::BinaryCrc);
         },
         202, "read: Error reading page (4): 5", false},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(steps[i].step);
        steps[i].act();
        ASSERT_TRUE(events.waitFor([&] { return events.reads.size() > i; }, 10000));
        std::lock_guard<std::mutex> lock(events.mutex);
        const Events::Read& read = events.reads[i];
        EXPECT_EQ(read.code, steps[i].code);
        EXPECT_EQ(read.text, steps[i].text);
        EXPECT_EQ(read.uid, "04010203040506");
        EXPECT_EQ(read.layout, "Scripted");
        EXPECT_EQ(read.data.exists("info/issuerId"), steps[i].data);
        EXPECT_EQ(events.samSlots, (std::vector<int>{0, 1}));
    }
    manager.stop();

    // Opened, searched, found, lost the reader, and went the same way again once it answered.
    const std::vector<State> expected = {State::Searching, State::CardFound, State::Searching,
                                         State::CardFound, State::Searching, State::Error,
                                         State::Searching, State::CardFound};
    EXPECT_EQ(std::vector<State>(events.states.begin(),
                                 events.states.begin() + std::min(events.states.size(), expected.size())),
              expected);
}

}  // namespace
