// Every ticket layout through the manager's worker on every reader family: the real reader facade
// (all families probed in the program's order), the real card-reader factory and layouts, and an
// emulated Elatec (pseudo-terminal), Yarus (T2151 on a pseudo-terminal), VUrur (T2151 over TCP on
// 127.0.0.1) or Monet reader (B/N and side channel on 127.0.0.1, recording platform) with the same
// card and SAM models. Each row's auto-read report (code, layout, card data) is the same on every
// family that can carry the card; a card that leaves in the middle of a read is an error report,
// never a read, and the next card is read whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AnnouncedCard.h"
#include "Journal.h"
#include "MonetFake.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "SealKey.h"
#include "TicketModels.h"
#include "VerUZAKeys.h"
#include "Velmora/Cards/VerUZA/VerUZACardReader.h"
#include "Velmora/Manager.h"
#include "core/Log.h"
#include "drivers/Monet/Factory.h"
#include "emulators/DesfireCard.h"
#include "emulators/ElatecReader.h"
#include "emulators/PseudoTerminal.h"
#include "emulators/ScriptedCard.h"
#include "emulators/T2151Reader.h"
#include "emulators/VUrurReader.h"

namespace {

namespace tickets = testsupport::tickets;
using emulators::Bytes;
using emulators::FieldCard;
using emulators::SlotCard;
using testsupport::AnnouncedCard;
using testsupport::VerUZAKeys;
using SamLink = emulators::MonetSideChannel::SamLink;

// One reader family: where the program finds it, and its field and slots.
struct Family
{
    virtual ~Family() = default;
    virtual std::string device() const = 0;
    virtual NFC::Reader::DriverFactories factories() { return NFC::Reader::defaultDriverFactories(); }
    virtual void setSam(int slot, std::shared_ptr<SlotCard> sam) = 0;
    // type: the code a T2151 reader reports for the card.
    virtual void setCard(std::shared_ptr<FieldCard> card, int type) = 0;
    // Serial readers find a card themselves; the Monet reader announces it (or a bank-card tap).
    virtual void announce(bool /*bankCard*/) {}
    virtual bool emvKernel() const { return false; }
};

struct Elatec : Family
{
    std::string device() const override { return reader.devicePath(); }
    void setSam(int slot, std::shared_ptr<SlotCard> sam) override { reader.setSam(slot, std::move(sam)); }
    void setCard(std::shared_ptr<FieldCard> card, int) override { reader.setCard(std::move(card)); }
    emulators::ElatecReader reader;
};

template <class Reader>
struct T2151 : Family
{
    static constexpr bool Networked = std::is_same_v<Reader, emulators::VUrurReader>;
    T2151()
    {
        if constexpr (Networked) {
            EXPECT_TRUE(testsupport::isLoopback(reader.host())) << reader.host();
        }
    }
    std::string device() const override
    {
        if constexpr (Networked)
            return reader.host() + ":" + std::to_string(reader.port());
        else
            return reader.devicePath();
    }
    void setSam(int slot, std::shared_ptr<SlotCard> sam) override
    {
        reader.device().setSam(slot, std::move(sam));
    }
    void setCard(std::shared_ptr<FieldCard> card, int type) override
    {
        reader.device().setCard(std::move(card), type);
    }
    Reader reader;
};

struct MonetFamily : Family
{
    MonetFamily()
    {
        fake.timing.emvCompletionMs = 300;  // an uncompleted tap ends soon, as the card leaving
        // The reader runs on its own loopback endpoints (the fake refuses any other).
        EXPECT_TRUE(testsupport::isLoopback(fake.endpoints.host));
        EXPECT_TRUE(testsupport::isLoopback(fake.side.host()));
    }
    std::string device() const override { return pty.path(); }
    NFC::Reader::DriverFactories factories() override
    {
        return Monet::withDriverFactory(NFC::Reader::defaultDriverFactories(), fake.setup());
    }
    // The LG SAM speaks T=0; the reader takes APDUs for it and runs that protocol itself.
    void setSam(int slot, std::shared_ptr<SlotCard> sam) override
    {
        const bool t0 = std::dynamic_pointer_cast<emulators::LGSam>(sam) != nullptr;
        fake.side.setSam(slot, std::move(sam), t0 ? SamLink::T0 : SamLink::Apdu);
    }
    void setCard(std::shared_ptr<FieldCard> card, int) override { fake.side.setCard(std::move(card)); }
    void announce(bool bankCard) override
    {
        if (!bankCard)
            return fake.side.presentCard();
        fake.side.sendEvent(0x50, {});
        fake.side.sendEvent(0x53, emulators::fromHex("00 00 00 04 AABBCCDD"));
    }
    bool emvKernel() const override { return true; }
    testsupport::MonetFake fake;
    emulators::PseudoTerminal pty;
};

// A card that leaves the field after some frames: mute from then on, as a card taken away.
struct LeavingCard : FieldCard
{
    LeavingCard(std::shared_ptr<FieldCard> card, int frames) : card(std::move(card)), left(frames) {}
    Identity identity() const override { return card->identity(); }
    void selected() override { card->selected(); }
    std::optional<Bytes> exchange4(const Bytes& command) override
    {
        return left-- > 0 ? card->exchange4(command) : std::nullopt;
    }
    std::optional<Bytes> exchange3(const Bytes& frame) override
    {
        return left-- > 0 ? card->exchange3(frame) : std::nullopt;
    }
    std::shared_ptr<FieldCard> card;
    std::atomic<int> left;
};

enum class Sams
{
    Mifare,  // slot 0: Kivo and Zodezu keys; slot 1: Zodezu derivation key
    LG8,     // slot 0: the LG SAM with 8-byte password answers (VozeLUCv1)
    LG16,    // the same with 16-byte answers (VerUZA)
};

struct Placed
{
    std::shared_ptr<FieldCard> card;
    int type;
};

Placed ultralight(std::shared_ptr<FieldCard> card)
{
    return {std::move(card), NFC::Tag::MifareUltralight};
}

// A bank card as a reader without an EMV kernel sees it: an ISO 14443-4 card, nothing more.
Placed bankCard()
{
    FieldCard::Identity id;
    id.uid = {0x08, 0x11, 0x22, 0x33};
    id.atqa = 0x0004;
    id.sak = 0x20;
    id.ats = {0x05, 0x78, 0x80, 0x70, 0x02};
    return {std::make_shared<emulators::ScriptedCard>(id), NFC::Tag::ISO14443A};
}

// Slots 0 and 1 of the family's reader as the layouts of a row need them.
void placeSams(Family& family, Sams sams)
{
    std::shared_ptr<SlotCard> sam[2];
    if (sams == Sams::Mifare) {
        auto first = std::make_shared<emulators::MifareSam>();
        auto second = std::make_shared<emulators::MifareSam>();
        emulators::kivo::loadKeys(*first);
        tickets::zodezuSlot0Keys(*first);
        tickets::zodezuSlot1Keys(*second);
        first->setUnlockedFromPowerOn(true);
        second->setUnlockedFromPowerOn(true);
        sam[0] = first;
        sam[1] = second;
    } else {
        auto lg = std::make_shared<emulators::LGSam>();
        lg->setPasswordLength(sams == Sams::LG8 ? 8 : 16);
        sam[0] = lg;
    }
    family.setSam(0, sam[0]);
    family.setSam(1, sam[1]);
}

// The program's worker on a family's reader, its reports as journal lines.
struct Running
{
    Running(Family& family, const std::string& templates)
        : reader(std::make_shared<NFC::Reader>(family.factories(), testsupport::lockDirectory()))
    {
        config.parse(R"({"rfid":{"cardTypes":{"ultralight":[)" + templates + "]}}}");
        manager = std::make_unique<RFID::Manager>(reader, config, family.device(), 115200);
        manager->cardAutoRead.connect([this](const RFID::Error& error, std::shared_ptr<RFID::Card> card) {
            journal.add("read " + std::to_string(error.code()) + " " + card->name() + " " +
                        card->data().toJson().dump());
        });
        manager->error.connect(
            [this](const RFID::Error& error) { journal.add("error " + std::to_string(error.code())); });
        manager->cardRemoved.connect([this](std::shared_ptr<RFID::Card>) { journal.add("removed"); });
        manager->stateChanged.connect([this](RFID::Manager::State state) {
            journal.add(std::string("state ") + RFID::Manager::stateName(state));
        });
        manager->run();
    }
    ~Running() { manager->stop(); }

    // The next report once the card is in the field (and announced), then its removal.
    std::string read(Family& family, const Placed& placed, bool bankCard)
    {
        family.setCard(placed.card, placed.type);
        family.announce(bankCard);
        if (!journal.waitFor("read ", ++reads, 30000))
            return "no read";
        const std::string read = journal.starting("read ").back();
        family.setCard(nullptr, 0);
        if (!journal.waitFor("removed", reads, 30000))
            return "not removed after " + read;
        return read;
    }

    std::shared_ptr<NFC::Reader> reader;
    RFID::Config config;
    testsupport::Journal journal;
    std::unique_ptr<RFID::Manager> manager;
    size_t reads = 0;
};

TEST(ManagerFamilies, EveryTicketReadsTheSameOnEveryReaderFamily)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(getenv("MATRIX_DEBUG") ? Log::LevelDebug : Log::LevelWarning);
    const VerUZAKeys keys;
    const testsupport::SealKey& seal = keys.seal;

    const auto kivoLUC = [] { return ultralight(tickets::kivo(false)); };
    const struct
    {
        const char* name;
        Sams sams;
        const char* templates;  // the Ultralight layouts allowed, as the configuration lists them
        std::function<Placed()> card;
        int code;
        const char* layout;
        bool bankCard = false;       // on a family without an EMV kernel: an unsupported card
        int leavesAfter = 0;         // the card leaves after this many frames; then the ticket is read
        const char* data = nullptr;  // the card data, when no Elatec reader can read it
    } rows[] = {
        {"KivoLUC", Sams::Mifare, "", kivoLUC, 0, "KivoLUC"},
        {"KivoLUCv2", Sams::Mifare, "", [] { return ultralight(tickets::kivo(true)); }, 0, "KivoLUCv2"},
        {"ZodezuLUC", Sams::Mifare, "", [] { return ultralight(tickets::zodezu(false)); }, 0, "ZodezuLUC"},
        {"ZodezuLUCv2", Sams::Mifare, "", [] { return ultralight(tickets::zodezu(true)); }, 0, "ZodezuLUCv2"},
        {"blank DESFire", Sams::Mifare, "",
         [] {
             return Placed{std::make_shared<emulators::DesfireCard>(), NFC::Tag::MifareDESFire};
         },
         201, ""},
        {"bank card", Sams::Mifare, "", bankCard, 0, "EMV", true, 0,
         R"({"EMVtoken":"AABBCCDD","PAN":"","cardBrand":"","expDate":""})"},
        {"KivoLUC leaving at detection", Sams::Mifare, "", kivoLUC, 202, "KivoLUC", false, 1},
        {"KivoLUC leaving mid-read", Sams::Mifare, "", kivoLUC, 202, "KivoLUC", false, 3},
        {"VozeLUCv1", Sams::LG8, R"("VozeLUCv1")", [] { return ultralight(tickets::vozeLUCv1()); }, 0,
         "VozeLUCv1"},
        {"VerUZA", Sams::LG16, R"("VerUZA")", [&] { return ultralight(tickets::verUZA(seal)); }, 0, "VerUZA"},
    };
    // The same card model for a row on every family.
    std::vector<Placed> cards;
    for (const auto& row : rows) cards.push_back(row.card());

    const std::vector<std::pair<const char*, std::function<std::unique_ptr<Family>()>>> families = {
        {"Elatec", [] { return std::make_unique<Elatec>(); }},
        {"Yarus", [] { return std::make_unique<T2151<emulators::T2151Reader>>(); }},
        {"VUrur", [] { return std::make_unique<T2151<emulators::VUrurReader>>(); }},
        {"Monet", [] { return std::make_unique<MonetFamily>(); }},
    };
    // Row name: the report of the first family that carries it (Elatec, but for the bank card).
    std::map<std::string, std::string> first;
    for (const auto& [familyName, makeFamily] : families) {
        SCOPED_TRACE(familyName);
        std::unique_ptr<Family> family = makeFamily();
        std::unique_ptr<Running> manager;
        for (size_t r = 0; r < std::size(rows); ++r) {
            const auto& row = rows[r];
            SCOPED_TRACE(row.name);
            // New SAMs or another template list: the reader is opened anew with them, as at start.
            if (r == 0 || row.sams != rows[r - 1].sams) {
                manager.reset();
                placeSams(*family, row.sams);
                manager = std::make_unique<Running>(*family, row.templates);
                ASSERT_TRUE(manager->journal.waitFor("state Searching", 1, 60000));
            }
            const bool carried = !row.bankCard || family->emvKernel();
            Placed placed = cards[r];
            if (row.bankCard && carried)
                placed = {nullptr, 0};  // the tap is the reader's own event
            if (row.leavesAfter)
                placed.card = std::make_shared<LeavingCard>(placed.card, row.leavesAfter);
            const std::string read = manager->read(*family, placed, row.bankCard);
            const std::string head =
                "read " + std::to_string(carried ? row.code : 201) + " " + (carried ? row.layout : "") + " ";
            EXPECT_EQ(read.substr(0, head.size()), head) << read;
            if (row.leavesAfter) {
                // An error line for it, and the next card in the field is read whole.
                const std::vector<std::string> errors = manager->journal.starting("error ");
                EXPECT_EQ(errors.empty() ? "none" : errors.back(), "error " + std::to_string(row.code));
                EXPECT_EQ(manager->read(*family, cards[r], false), first["KivoLUC"]);
            } else if (row.code == 0 && carried) {
                EXPECT_NE(read, head + "null");
                first.emplace(row.name, row.data ? head + row.data : read);
                EXPECT_EQ(read, first[row.name]);
            }
        }
    }
}

// The Monet reader announces a card again and again while the program reads it, reselects
// included: one report for the tap, none while it stays in the field, one more when it is taken
// away and tapped again. A bank-card tap after all that is the next report: nothing left over.
TEST(ManagerFamilies, MonetCardAnnouncedDuringItsReadIsOneReportThroughItsReselects)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(getenv("MATRIX_DEBUG") ? Log::LevelDebug : Log::LevelWarning);
    const VerUZAKeys keys;
    const struct
    {
        const char* report;  // its beginning
        Sams sams;
        const char* templates;
        std::function<std::shared_ptr<FieldCard>()> card;
        bool reselects;  // its read does: an Ultralight C's always, an EV1's after a refused FAST_READ
    } rows[] = {
        {"read 0 KivoLUC ", Sams::Mifare, "", [] { return tickets::kivo(false); }, true},
        {"read 0 KivoLUCv2 ", Sams::Mifare, "", [] { return tickets::kivo(true); }, false},
        {"read 0 ZodezuLUC ", Sams::Mifare, "", [] { return tickets::zodezu(false); }, true},
        {"read 0 ZodezuLUCv2 ", Sams::Mifare, "", [] { return tickets::zodezu(true); }, true},
        {"read 201 ", Sams::Mifare, "", [] { return std::make_shared<emulators::DesfireCard>(); }, false},
        {"read 0 VozeLUCv1 ", Sams::LG8, R"("VozeLUCv1")", [] { return tickets::vozeLUCv1(); }, true},
        {"read 0 VerUZA ", Sams::LG16, R"("VerUZA")", [&] { return tickets::verUZA(keys.seal); }, false},
    };
    MonetFamily family;
    std::unique_ptr<Running> running;
    for (size_t r = 0; r < std::size(rows); ++r) {
        const auto& row = rows[r];
        SCOPED_TRACE(row.report);
        if (r == 0 || row.sams != rows[r - 1].sams) {
            running.reset();
            placeSams(family, row.sams);
            running = std::make_unique<Running>(family, row.templates);
            ASSERT_TRUE(running->journal.waitFor("state Searching", 1, 60000));
        }
        // The next report, which begins with head.
        const auto nextIs = [&](const std::string& head) {
            ASSERT_TRUE(running->journal.waitFor("read ", ++running->reads, 30000));
            const std::string report = running->journal.starting("read ")[running->reads - 1];
            EXPECT_EQ(report.rfind(head, 0), 0u) << report;
        };
        // Each time after the first, the card is tapped again after it was taken away: one more report.
        const std::shared_ptr<FieldCard> card = row.card();
        for (const int times : {1, 3, 8}) {
            SCOPED_TRACE(times);
            auto announced = std::make_shared<AnnouncedCard>(card, family.fake.side, times, row.reselects);
            family.setCard(announced, 0);
            family.announce(false);
            nextIs(row.report);
            // Left in the field until the reader has announced it the last time; then a bank-card tap
            // as it is taken away. What the reader announced before is read first, if at all.
            ASSERT_TRUE(testsupport::eventually([&] { return announced->left == 0; }, 30000))
                << announced->left;
            family.announce(true);
            family.setCard(nullptr, 0);
            nextIs("read 0 EMV ");
            ASSERT_TRUE(running->journal.waitFor("removed", running->reads, 30000));
        }
    }
}

// A Monet reader whose side channel goes (the reader hangs up, or a frame that never completes
// breaks it) is reopened after the worker's pause, with no flood of requests meanwhile, and a tap
// once it is back is read within 5 s of the loss: also one announced the moment the reader is
// connected again, in the middle of the channel's set-up.
TEST(ManagerFamilies, MonetReaderWhoseSideChannelGoesIsReopenedAndReadsTheNextTap)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(getenv("MATRIX_DEBUG") ? Log::LevelDebug : Log::LevelWarning);
    const struct
    {
        const char* name;
        bool hangUp;
        bool atReconnect;
    } rows[] = {
        {"reader hangs up", true, false},
        {"frame never completes", false, false},
        {"card announced as the reader is connected again", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MonetFamily family;
        emulators::MonetSideChannel& side = family.fake.side;
        auto sam = std::make_shared<emulators::MifareSam>();
        emulators::kivo::loadKeys(*sam);
        sam->setUnlockedFromPowerOn(true);
        family.setSam(0, sam);
        Running running(family, "");
        ASSERT_TRUE(running.journal.waitFor("state Searching", 1, 60000));
        const size_t requests = family.fake.b.requests().size();
        family.setCard(tickets::kivo(false), NFC::Tag::MifareUltralight);
        if (row.atReconnect)
            side.presentCardOnNextConnection();
        if (row.hangUp)
            side.hangUp();
        else
            side.sendBytes(emulators::fromHex("00 20 B8 00 00 00"));  // 4 of 32 bytes
        ASSERT_TRUE(side.waitForEnded(1, 5000));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        const auto left = [&] {
            return static_cast<int>(std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                         std::chrono::steady_clock::now())
                       .count()));
        };
        ASSERT_TRUE(side.waitForConnections(2, left()));
        if (!row.atReconnect) {
            ASSERT_TRUE(running.journal.waitFor("state Searching", 2, left()));
            family.announce(false);
        }
        ASSERT_TRUE(running.journal.waitFor("read ", 1, left()));
        EXPECT_EQ(running.journal.starting("read ").back().substr(0, 15), "read 0 KivoLUC ");
        // The reopen's own requests and a status check or two.
        EXPECT_LE(family.fake.b.requests().size() - requests, 8u);
    }
}

}  // namespace
