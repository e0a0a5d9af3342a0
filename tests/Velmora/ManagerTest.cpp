// The manager's worker on the real reader stack (NFC::Reader, Elatec driver, pseudo-terminal) with
// an emulated reader, card and SAMs, and a layout reader the test scripts: every card placed gives
// one auto-read report, a layout that throws does not stop the worker, and a reader that stops
// answering is retried until it answers again (its line held meanwhile). How often an empty field is
// searched, on a scripted driver and the T2151 readers, and how soon a card placed during a search is
// seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HoldScript.h"
#include "HoldingProgram.h"
#include "Journal.h"
#include "LogOnFailure.h"
#include "NFC/Reader.h"
#include "NFC/SAM.h"
#include "NFC/ScriptedDriver.h"
#include "ScriptedCardReader.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "Velmora/Manager.h"
#include "drivers/ElatecTWN/Driver.h"
#include "emulators/ElatecReader.h"
#include "emulators/MifareSam.h"
#include "emulators/T2151Reader.h"
#include "emulators/UltralightEV1.h"
#include "emulators/VUrurReader.h"

namespace {

[[maybe_unused]] const bool logHeld = testsupport::LogOnFailure::install();

using emulators::ElatecReader;
using testsupport::HoldingProgram;
using State = RFID::Manager::State;
using SteadyClock = std::chrono::steady_clock;

double msBetween(SteadyClock::time_point from, SteadyClock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The program's own reader, with the test program's lock directory.
std::shared_ptr<NFC::Reader> programReader()
{
    return std::make_shared<NFC::Reader>(NFC::Reader::defaultDriverFactories(), testsupport::lockDirectory());
}

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
    RFID::Manager manager(programReader(), RFID::Config(), reader.devicePath(), 115200);
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
    manager.cardFound.connect(
        [](std::shared_ptr<RFID::Card>) { throw std::runtime_error("listener fault"); });
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
             ASSERT_TRUE(journal.waitFor("removed 04010203040506", 1, testsupport::PeerDeadlineMs));
             reader.setCard(card);
         },
         R"(read 04010203040506 Scripted {"info":{"issuerId":7}} 0 )"},
        {"reader silent, then back: retried until it answers, the card still in the field",
         [&] {
             reader.setMode(ElatecReader::Mode::Silent);
             // The lost search, then two failed openings: every reader family probes the silent
             // line each time, so this takes some 20 s, more on a loaded machine.
             ASSERT_TRUE(journal.waitFor("error 200", 3, 90000));
             // Between two reopens the line is still this program's: another one is refused.
             NFC::Reader other({{NFC::Reader::DriverFactory::Serial, "ElatecTWN",
                                 [] { return std::make_shared<ElatecTWN::Driver>(); }}},
                               testsupport::lockDirectory());
             EXPECT_FALSE(other.open(reader.devicePath(), 115200));
             EXPECT_EQ(other.error().what(), "'" + reader.devicePath() + "' is held by another program");
             reader.setMode(ElatecReader::Mode::BinaryCrc);
         },
         "read 04010203040506 Scripted null 202 read: Error reading page (4): 5"},
        {"card out and back: no card and no reason is still a failed read",
         [&] {
             const size_t removed = journal.starting("removed ").size();
             reader.setCard(nullptr);
             ASSERT_TRUE(journal.waitFor("removed 04010203040506", removed + 1, testsupport::PeerDeadlineMs));
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

// A reader plugged in again twice, the second time before the program that had it is back at it:
// a manager waiting for it, trying in between, is refused each time while that program lives, and
// takes it at its next try once the program is killed (or the one after, where a try was under way
// as it died). The holder keeps no descriptor per replug.
TEST(Manager, WaitingProgramNeverTakesAReaderPluggedInAgainWhileItsHolderLives)
{
    if (const std::string refused = testsupport::nameHoldRefusedInTempDirectory(); !refused.empty())
        GTEST_SKIP() << refused;
    testsupport::TempDir dir;
    const std::string device = dir / "ttyReader";
    HoldingProgram holder(device);
    std::vector<std::unique_ptr<ElatecReader>> nodes;
    const auto plugIn = [&] {
        nodes.push_back(std::make_unique<ElatecReader>());
        ::unlink(device.c_str());
        ASSERT_EQ(::symlink(nodes.back()->devicePath().c_str(), device.c_str()), 0);
    };
    plugIn();
    ASSERT_TRUE(holder.open());
    testsupport::Journal journal;
    RFID::Manager waiter(programReader(), RFID::Config(), device, 115200);
    waiter.error.connect([&](const RFID::Error& error) { journal.add("try " + error.text()); });
    waiter.stateChanged.connect([&](State state) {
        if (state == State::Searching)
            journal.add("try took the reader");
    });
    size_t tries = 0;
    const auto nextTry = [&] {
        return journal.waitFor("try ", ++tries, testsupport::PeerDeadlineMs) ? journal.starting("try ").back()
                                                                             : "no try";
    };
    const std::string refused = "try open: '" + device + "' is held by another program";
    waiter.run();
    EXPECT_EQ(nextTry(), refused);
    plugIn();
    ASSERT_TRUE(holder.open());
    const size_t descriptors = holder.descriptors();
    plugIn();
    EXPECT_EQ(nextTry(), refused);
    ASSERT_TRUE(holder.open());
    EXPECT_EQ(nextTry(), refused);
    EXPECT_EQ(holder.descriptors(), descriptors);

    holder.kill();
    const size_t before = journal.starting("try ").size();
    ASSERT_TRUE(journal.waitFor("try took the reader", 1, testsupport::PeerDeadlineMs));
    EXPECT_LE(journal.starting("try ").size() - before, 2u);
    waiter.stop();
}

// A reader that cannot be opened is tried again every 2 s, the first time 1 s after the start.
// The reader's texts are its own: a firmware text that ends in a line break and goes on, or holds a
// terminal's escape, shows escaped and cut short in every line at every level, neither starting a
// line of its own nor reaching the terminal.
TEST(Manager, ReaderTextsReachTheLogEscapedAndBounded)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelDebug);
    ElatecReader reader;
    const std::string forged = "WARN: a line the reader wrote";
    reader.setVersion("TWN4/B1.65/X4.06/PRS1.04\r\n" + forged + "\x1b[2J" + std::string(150, '\x01'));
    testsupport::Journal journal;
    testsupport::StderrCapture capture;
    RFID::Manager manager(programReader(), RFID::Config(), reader.devicePath(), 115200);
    manager.stateChanged.connect([&](State state) { journal.add(RFID::Manager::stateName(state)); });
    manager.run();
    const bool opened = journal.waitFor("Searching", 1, testsupport::PeerDeadlineMs);
    manager.stop();
    const std::string log = capture.text();
    EXPECT_TRUE(opened);
    EXPECT_NE(
        log.find("firmware TWN4/B1.65/X4.06/PRS1.04\\r\\nWARN: a line the reader wrote\\u001b[..., UID"),
        std::string::npos);
    EXPECT_EQ(testsupport::logFaults(log, forged), "");
}

TEST(Manager, RetriesAReaderThatCannotBeOpenedEveryTwoSeconds)
{
    std::mutex mutex;
    std::vector<SteadyClock::time_point> failures;
    testsupport::Journal journal;
    RFID::Manager manager(programReader(), RFID::Config(), "/nonexistent/tapgate-reader", 115200);
    manager.error.connect([&](const RFID::Error& error) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            failures.push_back(SteadyClock::now());
        }
        journal.add("error " + std::to_string(error.code()));
    });
    const SteadyClock::time_point start = SteadyClock::now();
    manager.run();
    ASSERT_TRUE(journal.waitFor("error 200", 3, 15000));
    manager.stop();
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(failures.size(), 3u);
    // The upper bounds leave a busy machine all it can take short of the next whole second, which
    // a wrong first wait or period would reach.
    EXPECT_GE(msBetween(start, failures[0]), 950.0);
    EXPECT_LT(msBetween(start, failures[0]), 1950.0);
    for (size_t i = 1; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(msBetween(failures[i - 1], failures[i]), 1950.0);
        EXPECT_LT(msBetween(failures[i - 1], failures[i]), 2950.0);
    }
}

// The period runs from the start of each request, whatever the reader takes to answer: one that
// answers an empty field in 8 ms is asked again 10 ms after that search began, not 18. Judged on the
// driver's own record of when each request began, so a busy machine only stretches a gap.
TEST(Manager, PacesRequestsFromTheStartOfEach)
{
    auto driver = std::make_shared<testdrivers::ScriptedDriver>("slow", nullptr, true);
    driver->setSearchMs(8);
    auto reader = std::make_shared<NFC::Reader>(NFC::Reader::DriverFactories{
        {NFC::Reader::DriverFactory::Networked, "net", [driver] { return driver; }}});
    RFID::Manager manager(reader, RFID::Config(), "127.0.0.1:1", 115200);
    manager.run();
    ASSERT_TRUE(testsupport::eventually([&] { return driver->requests().size() > 200; }));
    manager.stop();
    const std::vector<testdrivers::ScriptedDriver::Request> requests = driver->requests();
    // Searches and status queries in turn; the gap after each search tells where the period began.
    std::vector<double> afterSearch;
    for (size_t i = 1; i <= 200; ++i) {
        ASSERT_NE(requests[i].kind, requests[i - 1].kind) << i;
        if (requests[i - 1].kind == 's')
            afterSearch.push_back(requests[i].atMs - requests[i - 1].atMs);
    }
    std::sort(afterSearch.begin(), afterSearch.end());
    EXPECT_LE(afterSearch[afterSearch.size() / 10], RFID::Manager::RequestPeriodMs + 4.0);
    // And none sooner: 200 requests span 200 periods (a period of 9 ms fails it).
    EXPECT_GE(requests[200].atMs - requests[0].atMs, 200 * RFID::Manager::RequestPeriodMs - 5.0);
}

// The worker on a T2151 reader with an empty field. A reader that holds the search for the time-out
// it is given is asked a few times a second; one that answers at once still gets at most 100
// requests a second, and steadily. Either way a card placed while a search is out is read at once.
TEST(Manager, SearchesAnEmptyFieldAtMostAHundredTimesASecond)
{
    emulators::T2151Reader yarus;
    emulators::VUrurReader vurur;
    const struct
    {
        const char* name;
        emulators::T2151Peer& peer;
        std::string device;
        bool held;
        int command;      // the requests counted: searches (19), or any (-1)
        size_t count;     // counted from the first after the worker started searching
        double minMs;     // the least the shortest (held) or median gap between two may take
        double maxGapMs;  // the most that the tenth-shortest gap between two may take
    } rows[] = {
        {"Yarus, search held", yarus, yarus.devicePath(), true, 19, 3, 950, 1500},
        {"VUrur, search held", vurur, vurur.host() + ":" + std::to_string(vurur.port()), true, 19, 3, 950,
         1500},
        {"Yarus, search answered at once", yarus, yarus.devicePath(), false, -1, 100, 9.5, 15},
    };
    auto card = std::make_shared<emulators::UltralightEV1>(emulators::Bytes{4, 9, 8, 7, 6, 5, 4});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        emulators::T2151Device& device = row.peer.device();
        device.setCard(nullptr, 0);
        device.setSearchHold(row.held);
        testsupport::Journal journal;
        SteadyClock::time_point found;
        RFID::Manager manager(programReader(), RFID::Config(), row.device, 115200);
        manager.setCardReaderMaker(
            [](const std::shared_ptr<NFC::Tag>& tag, const RFID::SamList&, RFID::Error&) {
                return std::make_shared<testsupport::ScriptedCardReader>(
                    tag, [](auto& layout) { return RFID::Card::make(layout.tag(), layout.name()); });
            });
        manager.stateChanged.connect(
            [&](State state) { journal.add(std::string("state ") + RFID::Manager::stateName(state)); });
        manager.cardFound.connect([&](std::shared_ptr<RFID::Card> read) {
            found = SteadyClock::now();
            journal.add("found " + read->uid());
        });
        manager.run();
        ASSERT_TRUE(journal.waitFor("state Searching", 1, 20000));
        // Each of the reader's four slots is powered once at the start, no other.
        std::vector<uint32_t> slots;
        for (const auto& request : device.requests())
            if (request.command == 49)
                slots.push_back(emulators::T2151Device::intOf(request.tlvs, 23, 0xFF));
        EXPECT_EQ(slots, (std::vector<uint32_t>{0, 1, 2, 3}));
        device.clearRequests();

        // The next request with the command among all of them, as they come.
        size_t seen = 0;
        auto next = [&](int command) -> std::optional<emulators::T2151Device::Request> {
            while (device.waitForRequests(++seen, testsupport::PeerDeadlineMs)) {
                const std::vector<emulators::T2151Device::Request> all = device.requests();
                if (all.size() >= seen && (command < 0 || all[seen - 1].command == command))
                    return all[seen - 1];
            }
            return std::nullopt;
        };
        std::vector<emulators::T2151Device::Request> counted;
        while (counted.size() < row.count) {
            const auto request = next(row.command);
            ASSERT_TRUE(request) << counted.size() << " requests";
            counted.push_back(*request);
        }
        // A busy machine stretches gaps, but not nine in ten of them, and a request the reader saw
        // late makes one gap short and the next long: the median tells that no request came too
        // soon (a turn of 9 ms fails it), the tenth-shortest gap in a hundred that the worker waits
        // no longer than it should (a turn of 20 ms, or a second search wait, fails it). A held
        // search is held from when the reader saw it, so there even the shortest gap is whole.
        std::vector<double> gaps;
        for (size_t i = 1; i < counted.size(); ++i) gaps.push_back(counted[i].atMs - counted[i - 1].atMs);
        std::sort(gaps.begin(), gaps.end());
        EXPECT_GE(gaps[row.held ? 0 : gaps.size() / 2], row.minMs);
        EXPECT_LE(gaps[gaps.size() / 10], row.maxGapMs);
        // Searches and status requests, one of each in turn.
        EXPECT_LE(seen, 2 * row.count);
        for (size_t i = 1; i < counted.size(); ++i) {
            EXPECT_TRUE(counted[i].command == 2 || counted[i].command == 19) << counted[i].command;
            if (row.command < 0) {
                EXPECT_NE(counted[i].command, counted[i - 1].command);
            }
        }
        // The worker's wait goes to the reader with the search.
        const auto search =
            std::find_if(counted.begin(), counted.end(), [](const auto& r) { return r.command == 19; });
        ASSERT_NE(search, counted.end());
        const emulators::T2151Device::Tlv* wait = emulators::T2151Device::find(search->tlvs, 16);
        ASSERT_NE(wait, nullptr);
        EXPECT_EQ(wait->value, (emulators::Bytes{0x00, 0x00, 0x03, 0xE8}));

        // Placed as soon as the reader has the next search. A held one finds it: the worker asks for
        // no other (one answered at once may have been, and the next finds it), and has the card
        // before that search's own second would have ended it (a worker that sat the second out
        // fails this, whatever a busy machine adds to the read).
        const auto out = next(19);
        ASSERT_TRUE(out);
        device.setCard(card, NFC::Tag::MifareUltralight);
        ASSERT_TRUE(journal.waitFor("found 04090807060504", 1, testsupport::PeerDeadlineMs));
        const std::vector<emulators::T2151Device::Request> all = device.requests();
        EXPECT_LE(std::count_if(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end(),
                                [](const auto& r) { return r.command == 19; }),
                  row.held ? 0 : 1);
        EXPECT_LT(msBetween(SteadyClock::time_point(), found) - out->atMs, 1000.0);

        // While the card stays, its presence is checked every 100 ms. A busy machine only makes a
        // gap longer, and not every one of eight: the shortest tells the period (a period of 150 ms
        // or more fails it); a check the reader saw late cuts one gap short, not four, so the
        // median tells that none comes too soon (a period of 95 ms fails it).
        std::vector<double> checks;
        while (checks.size() < 9) {
            const auto check = next(32);
            ASSERT_TRUE(check) << checks.size() << " presence checks";
            checks.push_back(check->atMs);
        }
        std::vector<double> periods;
        for (size_t i = 1; i < checks.size(); ++i) periods.push_back(checks[i] - checks[i - 1]);
        std::sort(periods.begin(), periods.end());
        EXPECT_GE(periods[periods.size() / 2], 100 - 2.0);
        EXPECT_LE(periods.front(), 100 + 40.0);
        manager.stop();
    }
}

}  // namespace
