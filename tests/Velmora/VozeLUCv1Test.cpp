// VozeLUCv1 tickets end to end: the layout reader over NFC::Reader, the real Elatec driver and a
// pseudo-terminal to the emulated reader, an Ultralight EV1 model in its field and the computing
// LG SAM model in slot 0. Each layout reader is built on a fresh search, as the manager builds one.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "LGTicketField.h"
#include "NFC/Protocols/LGsam.h"
#include "Velmora/CardReaderFactory.h"
#include "Velmora/Cards/VozeLUCv1/VozeLUCv1CardReader.h"
#include "VozeLUCv1Ticket.h"
#include "core/String.h"
#include "emulators/ByteOps.h"

namespace {

using emulators::Bytes;
using emulators::operator+;
using Reader = VozeLUCv1::CardReader;

class VozeLUCv1Test : public ::testing::Test, public testsupport::LGTicketField
{
protected:
    std::shared_ptr<Reader> reader(bool withSam = true)
    {
        auto tag = search();
        return std::dynamic_pointer_cast<Reader>(RFID::CardReaderFactory::createFromTemplateName(
            "VozeLUCv1", tag, withSam ? RFID::SamList{lgsam} : RFID::SamList{}));
    }

    // The ticket map whose TVALUE carries the counter #2 value this write leaves.
    VariantMap ticket(int v, int mapVersion = 2) const
    {
        return testsupport::vozeTicket(v, ev1->counter(1) + 1, mapVersion);
    }

    // A created ticket holding ticket(1), saved as `issued`.
    void issue()
    {
        auto r = reader();
        ASSERT_NE(r->create(false), nullptr) << r->error().text();
        first = ticket(1);
        ASSERT_NE(r->write(first), nullptr) << r->error().text();
        issued = save();
    }

    VariantMap first;
    Snapshot issued;
};

TEST_F(VozeLUCv1Test, CreatedTicketIsWrittenTwiceOnOneReaderAndReadOnAnother)
{
    auto r = reader();
    auto created = r->create(false);
    ASSERT_NE(created, nullptr) << r->error().text();
    EXPECT_TRUE(testsupport::holds(created->data(), ticket(1), "issueData/"));
    // The read that create ends with deciphers nothing: the only cipher command is the password.
    EXPECT_EQ(samCommands(), (std::vector<uint8_t>{0x78, 0x7E, 0xE4, 0x10}));
    const Bytes pw = model->passwordAnswer(0x23, 1, 1, Bytes{0xF8} + ev1->identity().uid);
    EXPECT_EQ(ev1->page(37)[3], 4);
    EXPECT_EQ(ev1->page(39), Bytes(pw.begin(), pw.begin() + 4));
    EXPECT_EQ(ev1->page(40), (Bytes{pw[6], pw[7], 0, 0}));
    // Created again: the password is proved, and page 5 keeps the two bytes after the certificate.
    ev1->setPage(5, Bytes{ev1->page(5)[0], ev1->page(5)[1], 0xAB, 0xCD});
    ASSERT_NE(reader()->create(false), nullptr);
    EXPECT_EQ(cardCommands(0x1B), 1u);
    EXPECT_EQ(ev1->page(5)[3], 0xCD);
    r = reader();

    VariantMap last;
    // Transaction types 8 and 10 (11 below): 8 is the lowest taken.
    for (int v : {4, 2}) {
        last = ticket(v);
        emulator.clearReceived();
        auto written = r->write(last);
        // Page 4 holds what create wrote: the other 23 pages, then the two counters.
        EXPECT_EQ(pagesWritten().size(), 23u);
        EXPECT_EQ(cardCommands(0xA5), 2u);
        ASSERT_NE(written, nullptr) << r->error().text();
        EXPECT_EQ(written->data()["topUpSign"].toString(), String::toHex(model->lastTopUpSignature()));
    }
    EXPECT_EQ(r->counter2(), static_cast<int>(ev1->counter(1)));
    EXPECT_EQ(r->counter3(), static_cast<int>(ev1->counter(2)));
    // This reader knows every page: it asks the chip only for the counters.
    emulator.clearReceived();
    ASSERT_NE(r->read(0, 0), nullptr);
    EXPECT_EQ(cardCommands(0x3A) + cardCommands(0x30), 0u);

    auto other = reader();
    auto read = other->read(0, 0);
    ASSERT_NE(read, nullptr) << other->error().text();
    // FAST_READ and two READ_CNT; the certificate, three decipherments with GET RESPONSE, five
    // balance fields.
    EXPECT_EQ(frames().size(), 3u);
    EXPECT_EQ(model->commands().size(), 12u);
    EXPECT_TRUE(testsupport::holds(read->data(), last));
    EXPECT_EQ(read->data()["samMetadata/valueBal"].toUInt(), model->balance().valueBal);
    EXPECT_EQ(read->data()["samMetadata/samTransSN"].toUInt(), 4u);

    // Issue fields out of range are masked on page 4 and in the key set the blocks are made with.
    VariantMap wide = ticket(3);
    wide["issueData/issueCenter"] = 0x11;
    wide["issueData/keyVersion"] = 5;
    ASSERT_NE(other->write(wide), nullptr) << other->error().text();
    auto back = reader()->read(0, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->data()["issueData/issueCenter"].toUInt(), 1u);
}

TEST_F(VozeLUCv1Test, WriteTornAtAnyStepLeavesATicketThatReadsAndTakesTheNextWrite)
{
    issue();
    bool completed = false;
    for (int n = 0; !completed && n < 40; ++n) {
        SCOPED_TRACE("torn after " + std::to_string(n));
        restore(issued);
        auto r = reader();
        const VariantMap second = ticket(2);
        ev1->tearAfterWrites(n);
        completed = r->write(second) != nullptr;
        ev1->tearAfterWrites(-1);

        auto after = reader();
        auto read = after->read(0, 0);
        ASSERT_NE(read, nullptr) << after->error().text();
        for (const char* record : {"passData/", "value/"})
            EXPECT_TRUE(testsupport::holds(read->data(), first, record) ||
                        testsupport::holds(read->data(), second, record))
                << record;
        const VariantMap third = ticket(3);
        ASSERT_NE(after->write(third), nullptr) << after->error().text();
        auto last = reader()->read(0, 0);
        ASSERT_NE(last, nullptr);
        EXPECT_TRUE(testsupport::holds(last->data(), third));
    }
    EXPECT_TRUE(completed);
}

TEST_F(VozeLUCv1Test, ReadRepairsABlockFromTheCounterOrTheBackup)
{
    issue();
    const Bytes garbage(4, 0x5A);
    struct Row
    {
        const char* what;
        std::function<void()> tamper;
    };
    const std::vector<Row> rows = {
        {"TPASS written, counter #3 not moved", [&] { ev1->setCounter(2, issued.counters[2] - 1); }},
        {"TVALUE written, counter #2 not moved", [&] { ev1->setCounter(1, issued.counters[1] - 1); }},
        {"TPASS torn, TBACKUP holds it",
         [&] {
             for (int p = 7; p <= 10; ++p) ev1->setPage(p + 22, ev1->page(p)), ev1->setPage(p, garbage);
         }},
        {"TVALUE torn, TBACKUP holds it", [&] { ev1->setPage(26, garbage); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        restore(issued);
        row.tamper();
        auto r = reader();
        auto read = r->read(0, 0);
        ASSERT_NE(read, nullptr) << r->error().text();
        EXPECT_TRUE(testsupport::holds(read->data(), first, "passData/"));
        EXPECT_TRUE(testsupport::holds(read->data(), first, "value/"));
        for (int c : {1, 2}) EXPECT_EQ(ev1->counter(c), issued.counters[c]);
        for (int p : {7, 8, 9, 10, 25, 26, 27, 28}) EXPECT_EQ(ev1->page(p), issued.pages[p]) << p;
        EXPECT_EQ(r->counter3(), static_cast<int>(issued.counters[2]));
    }
}

TEST_F(VozeLUCv1Test, CardHearsOnlyWhatTheTicketNeeds)
{
    issue();
    // No FAST_READ: eight READs of four pages, and the fallback leaves no error behind.
    auto r = reader();
    ev1->inject({emulators::UltralightCard::Fault::Nak, 0, 0x3A});
    ASSERT_NE(r->read(0, 0), nullptr) << r->error().text();
    EXPECT_EQ(cardCommands(0x30), 8u);
    EXPECT_TRUE(r->error().ok());

    // The same map again: only the TPASS block, bound to the next counter, and its backup change.
    const VariantMap second = ticket(2);
    ASSERT_NE(r->write(second), nullptr);
    emulator.clearReceived();
    ASSERT_NE(r->write(second), nullptr);
    EXPECT_EQ(pagesWritten(), (std::vector<int>{29, 30, 31, 32, 7, 8, 9, 10, 29, 30, 31, 32}));

    // Map version 2 on proves the password before writing; a version 1 ticket is written without.
    for (int version : {2, 1, 3}) {
        restore(issued);
        if (version != 2) {
            ASSERT_NE(reader()->write(ticket(1, version)), nullptr);
        }
        if (version == 1)
            ev1->protect(0xFFFFFFFF, 0, 0xFF);
        auto w = reader();
        ASSERT_NE(w->write(ticket(3, version)), nullptr) << w->error().text();
        EXPECT_EQ(cardCommands(0x1B), version >= 2 ? 1u : 0u) << version;
    }
}

TEST_F(VozeLUCv1Test, RefusedInputOrSamAnswerFailsItsStepWithNothingWritten)
{
    issue();
    auto text = [](int sw) { return NFC::LGsam::errorToStr(sw); };
    enum Op
    {
        Create,
        Read,
        Write
    };
    struct Row
    {
        Op op;
        std::function<void()> knob;
        VariantMap map;
        std::string error;
        bool samCommands;
    };
    const auto refuse = [&](int ins, int skip = 0) { return [=] { model->refuseNext(0x6985, ins, skip); }; };
    const auto resize = [&](int ins, int delta, int skip = 0) {
        return [=] { model->resizeNext(delta, ins, skip); };
    };
    const auto none = [] {};
    VariantMap trt7 = ticket(2), trt12 = ticket(2), trt26 = ticket(2);
    trt7["topupLog/trt"] = 7;
    trt12["topupLog/trt"] = 12;
    trt26["topupLog/trt"] = 26;  // 10 in the record's four bits, still refused
    const std::string shortPassword =
        "generatePassword: Wrong password/pack length received (received: (%d)  - expected (8)";
    const std::vector<Row> rows = {
        {Write, none, trt7, "encryptPassData: Unsupported transaction type received!", false},
        {Write, none, trt12, "encryptPassData: Unsupported transaction type received!", false},
        {Write, none, trt26, "encryptPassData: Unsupported transaction type received!", false},
        {Write, none, testsupport::without(ticket(2), "value/counter"),
         "serializeValueData: Key not found: value/counter", false},
        {Create, refuse(0x78), {}, "create: " + text(0x6985), true},
        {Create, resize(0x78, 2), {}, "create: " + text(0x6103), true},
        {Create, refuse(0x7E), {}, "generateIssuerCert: " + text(0x6985), true},
        {Create, resize(0x7E, -1), {}, "generateIssuerCert: " + text(0x6101), true},
        {Create, refuse(0xE4), {}, "generatePassword: " + text(0x6985), true},
        {Create, resize(0xE4, -1), {}, String::format(shortPassword.c_str(), 7), true},
        {Create, resize(0xE4, 8), {}, String::format(shortPassword.c_str(), 16), true},
        {Read, refuse(0x10), {}, "verifyIssuerCert: " + text(0x6985), true},
        // Refused or cut short, the TPASS decipherment goes down the recovery, which finds nothing.
        {Read, refuse(0xFA), {}, "decryptData: " + text(0x9159), true},
        {Read, resize(0xFA, -1), {}, "decryptData: " + text(0x9159), true},
        {Read, refuse(0xE4), {}, "decryptData: " + text(0x6985), true},
        {Read,
         resize(0xE4, -1),
         {},
         "decryptData: Wrong plain TTRANS_OD data length received from LSAM (expected: 16 - received: 15)",
         true},
        {Read,
         resize(0xE4, 1),
         {},
         "decryptData: Wrong plain TTRANS_OD data length received from LSAM (expected: 16 - received: 17)",
         true},
        {Write, refuse(0xFC), ticket(2), "encryptPassData: " + text(0x6985), true},
        {Write, resize(0xFC, -1), ticket(2), "encryptPassData: " + text(0x610F), true},
        {Write, refuse(0xF6), ticket(2), "encryptValueData: " + text(0x6985), true},
        {Write, resize(0xF6, 1), ticket(2), "encryptValueData: " + text(0x613D), true},
        {Write, refuse(0xE4), ticket(2), "generatePassword: " + text(0x6985), true},
        {Write, refuse(0xE4, 1), ticket(2), "encryptEncTransData: " + text(0x6985), true},
        {Write, resize(0xE4, -1, 1), ticket(2),
         "encryptEncTransData: Wrong encrypted TTRANS_OD data length received from LSAM (expected: 16 - "
         "received: 15)",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        restore(issued);
        auto r = reader();
        if (row.op == Write) {
            ASSERT_NE(r->read(0, 0), nullptr);
        }
        emulator.clearReceived();
        model->clearCommands();
        row.knob();
        auto result = row.op == Create ? r->create(false)
                      : row.op == Read ? r->read(0, 0)
                                       : r->write(row.map);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(r->error().text(), row.error);
        EXPECT_EQ(r->error().samMetadata()["valueBal"], model->balance().valueBal);
        EXPECT_TRUE(pagesWritten().empty());
        EXPECT_EQ(cardCommands(0xA5), 0u);
        if (!row.samCommands) {
            EXPECT_TRUE(samCommands().empty());
        }
    }

    // Without an LG SAM nothing reaches the card.
    for (Op op : {Create, Read, Write}) {
        auto r = reader(false);
        auto result = op == Create ? r->create(false) : op == Read ? r->read(0, 0) : r->write(ticket(2));
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(r->error().text(), std::string(op == Create ? "create"
                                                 : op == Read ? "read"
                                                              : "write") +
                                         ": No active SAM");
        EXPECT_TRUE(frames().empty());
    }
}

}  // namespace
