// KivoLUCv2 tickets end to end: the layout reader from the factory over NFC::Reader and the
// emulated reader, an Ultralight EV1 model in its field and the MIFARE SAM model in slot 0 with
// offline keys 0x15 and 0x16; signatures are checked against a CMAC computed on OpenSSL.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "KivoTicketField.h"
#include "NFC/Protocols/MifareSAM.h"
#include "Velmora/Cards/KivoLUCv2/KivoLUCv2CardReader.h"
#include "emulators/Hex.h"

namespace {

using emulators::Bytes;
using emulators::fromHex;
using emulators::operator+;
using emulators::slice;
using Reader = KivoLUCv2::CardReader;
using testsupport::without;

class KivoLUCv2Test : public ::testing::Test, public testsupport::KivoTicketField
{
protected:
    // A created ticket.
    void SetUp() override
    {
        auto r = reader("KivoLUCv2");
        auto created = r->create(false);
        ASSERT_NE(created, nullptr) << r->error().text();
        blank = created->data();
    }

    // The ticket with the values of v in every copy key and the header's status.
    VariantMap ticket(int v) const
    {
        VariantMap m = blank;
        for (const char* key : {"product0/productId", "product1/remainingValue", "usageLog/vehicleId"})
            m[key] = v;
        m["state/status"] = v;
        return m;
    }

    VariantMap blank;
};

TEST_F(KivoLUCv2Test, CreatedTicketIsProtectedAndWritesAlternateCopiesWithTheSelectorLast)
{
    emulators::UltralightEV1 twin(ev1->identity().uid);
    emulators::kivo::personaliseKivoLUCv2(twin);
    EXPECT_EQ(ev1->memory(), twin.memory());
    const Bytes pw = password();
    EXPECT_EQ(blank["info/version"].toInt(), 3);
    EXPECT_EQ(blank.size(), 41u);

    // A fresh reader: PWD_AUTH, the header and the selected copy; two activations, the encipherment
    // and the signature check.
    auto r = reader("KivoLUCv2");
    ASSERT_NE(r->read(0, 0), nullptr) << r->error().text();
    EXPECT_EQ(frames().size(), 3u);
    EXPECT_EQ(samApdus(), 4u);

    const struct
    {
        int v;
        std::vector<int> pages;
    } writes[] = {
        {1, {4, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 11}},
        {2, {4, 24, 28, 30, 35, 11}},  // copy B as this reader read it: the changed pages
    };
    for (const auto& w : writes) {
        mark();
        ASSERT_NE(r->write(ticket(w.v)), nullptr) << r->error().text();
        EXPECT_EQ(pagesWritten(), w.pages) << w.v;
        auto back = reader("KivoLUCv2")->read(0, 0);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->data(), ticket(w.v));
    }
    EXPECT_EQ(samClient->logicalChannel(), 0);

    // Again on a ticket: PWD_AUTH first, no configuration written.
    mark();
    ASSERT_NE(reader("KivoLUCv2")->create(false), nullptr);
    EXPECT_EQ(frames()[1], Bytes{0x1B} + slice(pw, 0, 4));
    for (int page : pagesWritten()) EXPECT_LT(page, 37);
}

TEST_F(KivoLUCv2Test, WriteTornBeforeTheSelectorReadsBackThePreviousCopy)
{
    const VariantMap first = ticket(1);
    ASSERT_NE(reader("KivoLUCv2")->write(first), nullptr);
    const Bytes written = ev1->memory();
    bool completed = false;
    for (int n = 0; !completed; ++n) {
        SCOPED_TRACE(n);
        ASSERT_LT(n, 20);
        for (int p = 0; p < emulators::UltralightEV1::Pages; ++p) ev1->setPage(p, slice(written, 4 * p, 4));
        auto w = reader("KivoLUCv2");
        card->tearAfterWrites(n);
        completed = w->write(ticket(2)) != nullptr;
        card->tearAfterWrites(-1);
        auto r = reader("KivoLUCv2");
        auto back = r->read(0, 0);
        ASSERT_NE(back, nullptr) << r->error().text();
        // Page 4, the twelve pages of copy B, then the selector: a write torn there may have landed.
        if (completed || n < 13) {
            EXPECT_EQ(back->data()["product0/productId"].toInt(), completed ? 2 : 1);
        }
    }
}

TEST_F(KivoLUCv2Test, BadSignatureFailsTheReadAndTheNextWriteSparesTheSelectedCopy)
{
    ev1->setPage(35, fromHex("DE AD BE EF"));
    auto r = reader("KivoLUCv2");
    EXPECT_EQ(r->read(0, 0), nullptr);
    EXPECT_EQ(r->error().text(), "verifySignature: " + NFC::MifareSAM::errorToStr(0x901E));
    EXPECT_EQ(cardCommands(0x3A), 2u);  // the header and copy B, not copy A

    mark();
    ASSERT_NE(r->write(ticket(4)), nullptr) << r->error().text();
    for (int page : pagesWritten()) EXPECT_TRUE(page < 24) << page;
    EXPECT_EQ(ev1->page(11)[0], 0);
    EXPECT_EQ(reader("KivoLUCv2")->read(0, 0)->data(), ticket(4));
}

// Any selector but 0 names copy B: that copy is read, and the next write spares it.
TEST_F(KivoLUCv2Test, AnySelectorButZeroNamesCopyBAndTheWriteSparesIt)
{
    ASSERT_NE(reader("KivoLUCv2")->write(ticket(1)), nullptr);
    ev1->setPage(11, fromHex("02 00 00 00"));
    auto r = reader("KivoLUCv2");
    auto read = r->read(0, 0);
    ASSERT_NE(read, nullptr) << r->error().text();
    EXPECT_EQ(read->data()["product0/productId"].toInt(), 0);
    mark();
    ASSERT_NE(r->write(ticket(2)), nullptr) << r->error().text();
    for (int page : pagesWritten()) EXPECT_TRUE(page < 24) << page;
}

// The layout version goes to the one-time page last: a create that fails before leaves a card that
// still reads as what it was.
TEST_F(KivoLUCv2Test, FailedCreateLeavesTheOneTimePageAsItWas)
{
    const struct
    {
        const char* what;
        std::function<void(emulators::UltralightEV1&)> card;
    } rows[] = {
        {"a protected KivoLUC ticket", [](auto& c) { emulators::kivo::personaliseKivoLUC(c); }},
        {"torn in the ticket pages", [](auto& c) { c.tearAfterWrites(1); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        place(ev1 = std::make_shared<emulators::UltralightEV1>());
        row.card(*ev1);
        const Bytes otp = ev1->page(3);
        EXPECT_EQ(reader("KivoLUCv2")->create(false), nullptr);
        EXPECT_EQ(ev1->page(3), otp);
    }
}

TEST(KivoLUCv2Image, NibblesAndZonesKeepTheirWidth)
{
    Reader reader(nullptr, {});
    VariantMap m = Reader::decodeData({Bytes(32, 0x00), Bytes(48, 0x00)});
    ASSERT_EQ(m.size(), 41u);
    const struct
    {
        const char* key;
        int value;
        bool header;
        size_t at;
        uint8_t byte;
    } rows[] = {
        {"usageLog/zone0Id", 16, false, 34, 0x0F},  // with count 20
        {"usageLog/zone0Id", 17, false, 34, 0x0F},  // not its low four bits
        {"usageLog/zone0Id", 15, false, 34, 0xFF},
        {"usageLog/zone1Id", 3, false, 35, 0x32},  // with count 2
        {"usageLog/zone1Count", 16, false, 35, 0x0F},
        {"usageLog/zone1Count", 15, false, 35, 0x0F},
        {"state/statusDeviceType", 0x1A, true, 8, 0xA0},
        {"info/version", 17, true, 8, 0x01},
        {"info/version", 15, true, 8, 0x0F},
        {"topupLog/productId", 0x1234, true, 22, 0x34},
        {"product1/productId", 0x5678, false, 16, 0x78},
    };
    m["usageLog/zone0Count"] = 20;
    m["usageLog/zone1Count"] = 2;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        VariantMap one = m;
        one[row.key] = row.value;
        const Reader::CardData d = reader.encodeData(one);
        EXPECT_EQ((row.header ? d.header : d.layout)[row.at], row.byte);
    }
    EXPECT_EQ(Reader::decodeData(reader.encodeData(m))["usageLog/zone0Count"].toInt(), 15);
    EXPECT_THROW(reader.encodeData(without(m, "usageLog/zone1Count")), std::out_of_range);
    EXPECT_EQ(Reader::decodeData({Bytes(31, 0x00), Bytes(48, 0x00)}).size(), 0u);
    EXPECT_EQ(Reader::decodeData({Bytes(32, 0x00), Bytes(43, 0x00)}).size(), 0u);
    EXPECT_EQ(Reader::decodeData({Bytes(32, 0x00), Bytes(44, 0x00)}).size(), 41u);
}

// Each row makes one step fail: no card, the reason, the card's memory as it was and the SAM on
// its channel; a map with "usageLog/toStopId" keeps the zones the card holds.
TEST_F(KivoLUCv2Test, RefusedInputOrSamAnswerFailsItsStepWithNothingWritten)
{
    auto text = [](int code) { return NFC::MifareSAM::errorToStr(code); };
    const VariantMap incomplete = without(blank, "info/carrierId");
    const struct
    {
        const char* what;
        std::function<void()> fault;
        std::string error;
    } rows[] = {
        {"missing key", [] {}, "write: Key not found: info/carrierId"},
        {"password key refused", [&] { sam->refuseNext(0x01, 0x6A82); }, "generatePassword: " + text(0x6A82)},
        {"encipherment short", [&] { sam->shortenNext(0x0E, 5); }, "generatePassword: " + text(0xFF02)},
        {"signature key refused", [&] { sam->refuseNext(0x01, 0x6A82, 1); },
         "verifySignature: " + text(0x6A82)},
        {"signature refused", [&] { sam->refuseNext(0x7C, 0x6985); }, "generateSignature: " + text(0x6985)},
        {"signature short", [&] { sam->shortenNext(0x7C, 3); }, "generateSignature: " + text(0xFF02)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto r = reader("KivoLUCv2");
        row.fault();
        const Bytes before = ev1->memory();
        const bool early =
            row.error.rfind("generatePassword", 0) == 0 || row.error.rfind("verifySignature", 0) == 0;
        auto result =
            early ? r->read(0, 0) : r->write(row.error.rfind("write", 0) == 0 ? incomplete : ticket(5));
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(r->error().text(), row.error);
        EXPECT_EQ(ev1->memory(), before);
        EXPECT_EQ(samClient->logicalChannel(), 0);
    }

    VariantMap first = ticket(6);
    first["usageLog/zone0Id"] = 5;
    first["usageLog/zone0Count"] = 6;
    auto r = reader("KivoLUCv2");
    ASSERT_NE(r->write(first), nullptr);
    VariantMap old = ticket(7);
    old["usageLog/toStopId"] = 9;
    ASSERT_NE(r->write(old), nullptr);
    auto back = reader("KivoLUCv2")->read(0, 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->data()["usageLog/zone0Id"].toInt(), 5);
    EXPECT_EQ(back->data()["usageLog/zone0Count"].toInt(), 6);
}

}  // namespace
