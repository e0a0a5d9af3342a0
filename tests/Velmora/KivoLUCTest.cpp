// KivoLUC tickets end to end: the layout reader from the factory over NFC::Reader, the real Elatec
// driver and a pseudo-terminal to the emulated reader, an Ultralight EV1 model in its field and the
// MIFARE SAM model in slot 0 holding offline keys 0x15 and 0x16. The expected password and
// certificate are computed on OpenSSL apart from the code under test.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "KivoTicketField.h"
#include "NFC/Protocols/MifareSAM.h"
#include "Velmora/Cards/KivoLUC/KivoLUCCardReader.h"
#include "Velmora/Cards/KivoLUC/OfflineSam.h"
#include "emulators/Hex.h"

namespace {

using emulators::Bytes;
using emulators::fromHex;
using emulators::operator+;
using emulators::slice;
using emulators::UltralightCard;
using Reader = KivoLUC::CardReader;

using testsupport::without;
class KivoLUCTest : public ::testing::Test, public testsupport::KivoTicketField
{
};

TEST_F(KivoLUCTest, CreatedTicketIsProtectedCertifiedAndRewrittenByItsChangedPagesOnly)
{
    auto r = reader("KivoLUC");
    auto created = r->create(false);
    ASSERT_NE(created, nullptr) << r->error().text();
    EXPECT_EQ(created->data()["info/version"].toInt(), 1);
    // Byte for byte what the SAM's keys make of this UID: record, certificate, PWD, PACK, AUTH0, PROT.
    emulators::UltralightEV1 twin(ev1->identity().uid);
    emulators::kivo::personaliseKivoLUC(twin);
    EXPECT_EQ(ev1->memory(), twin.memory());
    const Bytes pw = password();
    EXPECT_EQ(samClient->logicalChannel(), 0);

    // PROT: without the SAM's password nothing past page 3 can be read.
    auto bare = reader("KivoLUC", false);
    EXPECT_EQ(bare->read(0, 0), nullptr);

    // A first read proves the password and the certificate: PWD_AUTH and one FAST_READ, two
    // activations, the encipherment of the UID and the MAC check.
    auto other = reader("KivoLUC");
    auto read = other->read(0, 0);
    ASSERT_NE(read, nullptr) << other->error().text();
    EXPECT_EQ(read->data(), created->data());
    EXPECT_EQ(frames().size(), 2u);
    EXPECT_EQ(samApdus(), 4u);
    EXPECT_EQ(samCommands(0x5C), 1u);

    // Again on the same reader: the pages and the password come from memory, the certificate is
    // still asked of the SAM.
    mark();
    ASSERT_NE(other->read(0, 0), nullptr);
    EXPECT_EQ(frames(), (std::vector<Bytes>{Bytes{0x1B} + slice(pw, 0, 4)}));
    EXPECT_EQ(samApdus(), 1u);

    VariantMap changed = read->data();
    mark();
    ASSERT_NE(other->write(changed), nullptr);
    EXPECT_TRUE(pagesWritten().empty());
    changed["usageLog/vehicleId"] = 0x1234;  // offset 62: page 19
    mark();
    auto written = other->write(changed);
    ASSERT_NE(written, nullptr) << other->error().text();
    EXPECT_EQ(pagesWritten(), (std::vector<int>{19, 24, 25}));
    EXPECT_EQ(written->data(), changed);

    auto last = reader("KivoLUC")->read(0, 0);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->data(), changed);
}

TEST_F(KivoLUCTest, WithoutSamTheTicketIsNeitherProtectedNorCertifiedAndReadsWithoutFastRead)
{
    auto r = reader("KivoLUC", false);
    const Bytes config = pages(37, 41);
    ASSERT_NE(r->create(false), nullptr) << r->error().text();
    EXPECT_EQ(pages(24, 26), Bytes(8, 0x00));
    EXPECT_EQ(pages(37, 41), config);
    EXPECT_EQ(samApdus(), 0u);

    // A card that refuses FAST_READ is read with six READs of four pages, and the refusal is not
    // the read's error.
    auto other = reader("KivoLUC", false);
    card->inject({UltralightCard::Fault::Nak, 0, 0x3A});
    auto read = other->read(0, 0);
    ASSERT_NE(read, nullptr) << other->error().text();
    EXPECT_TRUE(other->error().ok());
    EXPECT_EQ(cardCommands(0x30), 6u);
    EXPECT_EQ(cardCommands(0x1B), 0u);
    EXPECT_EQ(read->data()["info/version"].toInt(), 1);
}

// Both generations take the SAM's PWD and PACK as they come: FF FF is a PACK like any other, and
// FF FF FF FF a PWD like any other.
TEST_F(KivoLUCTest, PwdOrPackOfAllOnesProtectsTheTicketLikeAnyOther)
{
    // Found once by trying UIDs 04 E1 5B 72 00 00 00 upwards with the emulators' derivation under key
    // 0x15: the first whose PACK is FF FF.
    const Bytes uid = fromHex("04 E1 5B 72 00 98 14");
    for (const char* layout : {"KivoLUC", "KivoLUCv2"}) {
        SCOPED_TRACE(layout);
        place(ev1 = std::make_shared<emulators::UltralightEV1>(uid));
        ASSERT_EQ(slice(password(), 4, 2), fromHex("FF FF"));
        auto r = reader(layout);
        auto created = r->create(false);
        ASSERT_NE(created, nullptr) << r->error().text();
        EXPECT_EQ(ev1->page(40), fromHex("FF FF 00 00"));
        auto other = reader(layout);
        ASSERT_NE(other->write(created->data()), nullptr) << other->error().text();
    }

    // The pair is the first six bytes of the answer; five cannot make it (the SAM class refuses a
    // short answer before it gets here).
    KivoLUC::OfflineSam offline(nullptr);
    uint32_t p = 0;
    uint16_t a = 0;
    EXPECT_FALSE(offline.takePassword(Bytes(5, 0xFF)));
    EXPECT_FALSE(offline.password(p, a));
    EXPECT_TRUE(offline.takePassword(Bytes(6, 0xFF)));
    ASSERT_TRUE(offline.password(p, a));
    EXPECT_EQ(p, 0xFFFFFFFFu);
    EXPECT_EQ(a, 0xFFFFu);

    // No UID at hand makes the SAM derive FF FF FF FF: its encipherment answers so once per reader.
    const Bytes pwd = fromHex("FF FF FF FF 12 34");
    for (const char* layout : {"KivoLUC", "KivoLUCv2"}) {
        SCOPED_TRACE(layout);
        place(ev1 = std::make_shared<emulators::UltralightEV1>());
        sam->overwriteNext(0x0E, pwd);
        auto r = reader(layout);
        auto created = r->create(false);
        ASSERT_NE(created, nullptr) << r->error().text();
        EXPECT_EQ(pages(39, 41), fromHex("FF FF FF FF 12 34 00 00"));
        ASSERT_NE(r->write(created->data()), nullptr) << r->error().text();
        EXPECT_EQ(samCommands(0x0E), 1u);
        sam->overwriteNext(0x0E, pwd);
        auto other = reader(layout);
        ASSERT_NE(other->read(0, 0), nullptr) << other->error().text();
        EXPECT_EQ(frames().front(), fromHex("1B FF FF FF FF"));
    }
}

TEST_F(KivoLUCTest, PageWriterRefusesAnImageOneByteShort)
{
    auto r = std::dynamic_pointer_cast<Reader>(reader("KivoLUC", false));
    EXPECT_FALSE(r->writePages(Reader::FirstPage, Reader::EndPage, Bytes(Reader::ImageSize - 1, 0x11)));
    EXPECT_EQ(r->error().text(), "writePages: 87 bytes for pages 4 to 25");
    EXPECT_TRUE(frames().empty());
}

// A WRITE whose answer was lost may have landed: the page is no longer known, so writing what the
// reader last knew there goes to the card again.
TEST_F(KivoLUCTest, PageWhoseWriteFailedIsSentAgainWithItsOldBytes)
{
    auto r = std::dynamic_pointer_cast<Reader>(reader("KivoLUC", false));
    ASSERT_TRUE(r->writePages(4, 5, Bytes(4, 0x0A)));
    card->tearAfterWrites(0, true);
    EXPECT_FALSE(r->writePages(4, 5, Bytes(4, 0x01)));
    reselect();
    ASSERT_TRUE(r->writePages(4, 5, Bytes(4, 0x0A)));
    EXPECT_EQ(ev1->page(4), Bytes(4, 0x0A));
}

// Each row changes one key of the all-zero ticket and names the record bytes it expects and the
// value that reads back.
TEST(KivoLUCRecord, FieldsSitAtTheirOffsetsInTheirByteOrderAndReadBackWithinTheirWidth)
{
    const VariantMap zero = Reader::deserializeData(Bytes(88, 0x00));
    ASSERT_EQ(zero.size(), 41u);
    EXPECT_EQ(zero["usageLog/timestamp"].toString(), "1990-01-01T00:00:00Z");
    EXPECT_EQ(zero["info/expiryDate"].toString(), "1990-01-01");
    EXPECT_EQ(Reader::serializeData(zero), Bytes(80, 0x00));

    const struct
    {
        const char* key;
        Variant value;
        size_t at;
        Bytes bytes;
        const char* back;
    } rows[] = {
        {"info/issuerId", "0x1234", 10, {0x34, 0x12}, "4660"},
        {"state/statusDeviceId", 70000, 2, {0x70, 0x11}, "4464"},
        {"usageLog/journeysAfter", "0x1F", 45, {0x1F}, "31"},
        {"topupLog/productId", 0xBEEF, 76, {0xEF, 0xBE}, "48879"},
        {"state/statusTimestamp",
         "2024-05-01T10:00:01Z",
         4,
         {0xA1, 0x44, 0x00, 0x50},
         "2024-05-01T10:00:00Z"},
        {"usageLog/timestamp", "2001-02-03T23:59:58Z", 46, {0x43, 0x16, 0x7D, 0xBF}, "2001-02-03T23:59:58Z"},
        {"info/expiryDate", "1985-03-04", 16, {0x64, 0x00}, "1990-03-04"},
        {"info/expiryDate", "2200-12-31", 16, {0x9F, 0xFF}, "2117-12-31"},
        {"periodPass/issueTimestamp", "1990-01-01T00:00:00Z", 22, {0, 0, 0, 0}, "1990-01-01T00:00:00Z"},
        {"periodPass/activationTimestamp", "", 26, {0, 0, 0, 0}, "1990-01-01T00:00:00Z"},
        {"info/version", 17, 8, {0x01}, "1"},
        {"info/version", 15, 8, {0x0F}, "15"},
        {"state/cardType/hasPeriodPass", true, 8, {0x20}, "true"},
        {"state/cardType/hasStoredJourneys", true, 8, {0x80}, "true"},
        {"info/carrierId", 7, 64, {0x07}, "7"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + " = " + row.value.toString());
        VariantMap m = zero;
        m[row.key] = row.value;
        Bytes want(80, 0x00);
        std::copy(row.bytes.begin(), row.bytes.end(), want.begin() + static_cast<long>(row.at));
        const Bytes record = Reader::serializeData(m);
        EXPECT_EQ(record, want);
        EXPECT_EQ(Reader::deserializeData(record + Bytes(8, 0x00))[row.key].toString(), row.back);
    }

    // A map read back writes the same bytes, but for the reserved ones (65, 78, 79) and bits 6 and 4
    // of the flags, which come back 0.
    VariantMap all = zero;
    for (const auto& row : rows) all[row.key] = row.value;
    const Bytes record = Reader::serializeData(all);
    Bytes image = record + Bytes(8, 0x00);
    image[8] |= 0x50;
    image[65] = 0xAA;
    image[78] = 0xBB;
    image[79] = 0xCC;
    EXPECT_EQ(Reader::serializeData(Reader::deserializeData(image)), record);

    EXPECT_EQ(Reader::serializeData(without(zero, "info/carrierId"))[64], 0);
    // A missing key is refused end to end, in the table of refusals below.
    EXPECT_EQ(Reader::deserializeData(Bytes(79, 0x00)).size(), 0u);
    EXPECT_EQ(Reader::deserializeData(Bytes(80, 0x00)).size(), 41u);
}

// Each row makes one step fail on a created ticket: the operation gives no card and the reason,
// the card's memory stays as it was, the SAM is back on its channel, and a refused activation is
// tried again by the same reader.
TEST_F(KivoLUCTest, RefusedInputOrSamAnswerFailsItsStepWithNothingWritten)
{
    ASSERT_NE(reader("KivoLUC")->create(false), nullptr);
    const Bytes created = ev1->memory();
    auto text = [](int code) { return NFC::MifareSAM::errorToStr(code); };
    const Bytes pw = password();
    char pack[8];
    std::snprintf(pack, sizeof(pack), "%04x", pw[4] << 8 | pw[5]);
    const VariantMap incomplete = without(Reader::deserializeData(Bytes(88, 0x00)), "usageLog/vehicleId");
    enum Op
    {
        Read,
        Write,
        Create
    };
    const struct
    {
        const char* what;
        std::function<void()> fault;
        Op op;
        std::string error;
        bool retried;
    } rows[] = {
        {"missing key", [] {}, Write, "write: Key not found: usageLog/vehicleId", false},
        {"password key refused", [&] { sam->refuseNext(0x01, 0x6A82); }, Read,
         "activateOfflineKey: " + text(0x6A82), true},
        {"encipherment refused", [&] { sam->refuseNext(0x0E, 0x6985); }, Read,
         "encipherOfflineData: " + text(0x6985), true},
        {"encipherment short", [&] { sam->shortenNext(0x0E, 5); }, Read,
         "encipherOfflineData: " + text(NFC::MifareSAM::WrongResponseSize), true},
        {"certificate key refused", [&] { sam->refuseNext(0x01, 0x6A82, 1); }, Read,
         "activateOfflineKey: " + text(0x6A82), true},
        {"certificate refused", [&] { sam->refuseNext(0x5C, 0x901E); }, Read, "verifyMac: " + text(0x901E),
         true},
        {"MAC refused", [&] { sam->refuseNext(0x7C, 0x6985); }, Write, "generateMac: " + text(0x6985), false},
        {"MAC short", [&] { sam->shortenNext(0x7C, 7); }, Write,
         "generateCert: Wrong certificate length received (7)", false},
        {"card answers another PACK", [&] { ev1->setPage(40, fromHex("AB CD 00 00")); }, Read,
         std::string("verifyPassword: Password authenticate mismatch (exp=") + pack + ", recv=abcd)", false},
        {"create on a protected ticket", [] {}, Create, "writePages: Error writing page (4): ", false},
        {"never created",
         [&] { ev1->setPage(37, fromHex("00 00 00 FF")), ev1->protect(0xFFFFFFFF, 0, 0xFF); }, Read,
         "verifyPassword: Error authenticating password : ", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (int p = 0; p < emulators::UltralightEV1::Pages; ++p) ev1->setPage(p, slice(created, 4 * p, 4));
        auto r = reader("KivoLUC");
        if (row.op == Write) {
            ASSERT_NE(r->read(0, 0), nullptr);
        }
        row.fault();
        const Bytes before = ev1->memory();
        std::shared_ptr<RFID::Card> result;
        if (row.op == Read)
            result = r->read(0, 0);
        else if (row.op == Write)
            result = r->write(row.error.rfind("write:", 0) == 0 ? incomplete : r->activeCard()->data());
        else
            result = r->create(false);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(r->error().code(), RFID::Error::CardReadWriteError);
        EXPECT_EQ(r->error().text().rfind(row.error, 0), 0u) << r->error().text();
        EXPECT_EQ(ev1->memory(), before);
        EXPECT_EQ(samClient->logicalChannel(), 0);
        if (row.retried) {
            EXPECT_NE(r->read(0, 0), nullptr) << r->error().text();
        }
    }
}

}  // namespace
