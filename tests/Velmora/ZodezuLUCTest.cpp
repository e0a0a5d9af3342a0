// ZodezuLUC and ZodezuLUCv2 tickets end to end: the layout readers over NFC::Reader, the real
// Elatec driver and a pseudo-terminal to the emulated reader, an Ultralight C model in its field
// and two MIFARE SAM models in slots 0 and 1, all computing their side on OpenSSL. A card key the
// layout derives through slot 1 is proven by slot 0 authenticating with its own diversification.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <nlohmann/json.hpp>
#include <tuple>

#include "Velmora/Cards/ZodezuLUCv2/ZodezuLUCv2CardReader.h"
#include "ZodezuField.h"
#include "emulators/ByteOps.h"
#include "emulators/CardCrypto.h"

namespace {

using emulators::Bytes;
using emulators::fromHex;
using emulators::operator+;
using testsupport::sameTicket;
using testsupport::ZodezuLayouts;
using testsupport::zodezuTicket;

class ZodezuLUCTest : public ::testing::Test, public testsupport::ZodezuField
{
};

TEST_F(ZodezuLUCTest, CreatedTicketIsReadAndWrittenThroughBothSamsWithCopiesAlternating)
{
    for (const auto& l : ZodezuLayouts) {
        SCOPED_TRACE(l.name);
        ASSERT_TRUE(issue(l));
        EXPECT_EQ(ulc->page(42)[0], 0x05);
        EXPECT_EQ(ulc->page(43)[0], 0x00);
        EXPECT_EQ(ulc->page(2)[2], l.lockMark);
        for (uint8_t b : ulc->page(44) + ulc->page(45)) EXPECT_EQ(b & 1, 0) << "Kd1 byte odd";
        EXPECT_EQ(ulc->page(13), l.selectorB);

        // Slot 0 authenticates with the key slot 1 derived; then the protocol minimum of a read.
        auto r = reader(l.name);
        auto blank = r->read(7, 7);
        ASSERT_NE(blank, nullptr) << r->error().text();
        EXPECT_EQ(blank->data().size(), l.v2 ? 29u : 28u);
        EXPECT_EQ(blank->data()["info/contractId"].toUInt(), 0u);
        EXPECT_EQ(samCommands(0x0A) + samCommands(0x01) + samCommands(0x5C), 6u);

        for (int v : {1, 2}) {
            const VariantMap map = zodezuTicket(v, l.v2, v);
            auto written = r->write(map);
            ASSERT_NE(written, nullptr) << r->error().text();
            EXPECT_EQ(written->data(), map);
            EXPECT_EQ(ulc->page(13), v == 1 ? Bytes(4, 0) : l.selectorB);
            auto again = reader(l.name)->read(0, 0);
            ASSERT_NE(again, nullptr);
            EXPECT_TRUE(sameTicket(again->data(), map));
        }

        auto stranger = reader(l.name);
        EXPECT_EQ(stranger->create(false), nullptr);
        EXPECT_EQ(stranger->error().text(), "create: Card already initialized");
        // Two authentication frames and five READs, then the READs alone until the reset; a reader
        // that authenticated may create again.
        r = reader(l.name);
        for (const auto& [reset, frames] : {std::pair{false, 7u}, {false, 5u}, {true, 7u}}) {
            if (reset)
                r->resetCardState();
            const size_t before = cardFrames();
            ASSERT_NE(r->read(0, 0), nullptr);
            EXPECT_EQ(cardFrames() - before, frames);
        }
        EXPECT_NE(r->create(false), nullptr) << r->error().text();
    }
}

TEST_F(ZodezuLUCTest, TornWriteReadsTheOldCopyOrFailsAtTheCopyMac)
{
    for (const auto& l : ZodezuLayouts)
        for (bool infoChanges : {false, true}) {
            SCOPED_TRACE(std::string(l.name) + (infoChanges ? " info changes" : " copy only"));
            ASSERT_TRUE(issue(l));
            const VariantMap first = zodezuTicket(1, l.v2, 1),
                             second = zodezuTicket(2, l.v2, infoChanges ? 2 : 1);
            ASSERT_NE(reader(l.name)->write(first), nullptr);
            const Bytes issued = ulc->memory();
            size_t macFailures = 0;
            for (int n = 0, completed = 0; !completed; ++n) {
                restore(issued);
                ulc->tearAfterWrites(n);
                completed = reader(l.name)->write(second) != nullptr;
                ulc->tearAfterWrites(-1);
                auto after = reader(l.name);
                if (auto got = after->read(0, 0)) {
                    EXPECT_TRUE(sameTicket(got->data(), first) || sameTicket(got->data(), second));
                    continue;
                }
                EXPECT_EQ(after->error().text().rfind("verifySignature: ", 0), 0u) << after->error().text();
                ++macFailures;
            }
            EXPECT_EQ(macFailures > 0, infoChanges);
        }
}

TEST_F(ZodezuLUCTest, SamSetsDecideKeyMacsAndTheirChecks)
{
    const struct
    {
        Sams sams;
        const char* createError;  // on a blank card; empty: created
        const char* readError;    // on a ticket created without SAMs whose copy MAC is spoiled
    } cases[] = {
        {None, "", ""},
        {Slot0Only, "generateAuthKey: SAM missing: minimum required is 2", nullptr},
        {Slot1Only, "generateAuthKey: SAM missing: minimum required is 2",
         "verifySignature: No active TVM SAM"},
        {Slot0Twice, "writeAuthKey: Incorrect key size", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sams);
        place(ulc = std::make_shared<emulators::UltralightC>());
        const Bytes blank = ulc->memory();
        auto r = reader("ZodezuLUC", c.sams);
        if (!r->create(false)) {
            EXPECT_EQ(ulc->memory(), blank);
        }
        EXPECT_EQ(r->error().text(), c.createError);

        ASSERT_TRUE(issue(ZodezuLayouts[0], None));
        EXPECT_EQ(ulc->page(42)[0], 0x30);
        EXPECT_EQ(ulc->page(14) + ulc->page(15), Bytes(8, 0));
        if (!c.readError)
            continue;
        ulc->setPage(15, {1, 2, 3, 4});
        auto check = reader("ZodezuLUC", c.sams);
        EXPECT_EQ(check->read(0, 0) != nullptr, *c.readError == 0);
        EXPECT_EQ(check->error().text(), c.readError);
    }
}

TEST_F(ZodezuLUCTest, FactoryTellsTheGenerationsByLockByteZero)
{
    // Lock byte 0; -1: the READ of page 2 refused; -2: a ZodezuLUCv2 ticket created without SAMs.
    for (const auto& [lock0, layout] : {std::pair{0x02, "ZodezuLUCv2"},
                                        {0x04, "ZodezuLUCv2"},
                                        {0x08, "ZodezuLUC"},
                                        {-1, "ZodezuLUC"},
                                        {-2, "ZodezuLUC"}}) {
        place(ulc = std::make_shared<emulators::UltralightC>());
        if (lock0 >= 0)
            ulc->setPage(2, {0, 0, static_cast<uint8_t>(lock0), 0});
        else if (lock0 == -1)
            ulc->inject({emulators::UltralightCard::Fault::Nak, 0, 0x30});
        else
            ASSERT_TRUE(issue(ZodezuLayouts[1], None));
        auto r = RFID::CardReaderFactory::processUltralightCard(reselect(), samList(None), {}, nullptr);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->name(), layout);
    }
    auto read = reader("ZodezuLUC", None)->read(0, 0);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->data().size(), 28u);
}

// Bit 0 of the selector byte alone names the copy, whatever else the page holds (no SAMs: no MAC
// covers the page here).
TEST_F(ZodezuLUCTest, SelectorBitZeroAloneNamesTheCopy)
{
    for (const auto& l : ZodezuLayouts) {
        SCOPED_TRACE(l.name);
        ASSERT_TRUE(issue(l, None));
        const VariantMap ticket = zodezuTicket(1, l.v2);
        ASSERT_NE(reader(l.name, None)->write(ticket), nullptr);
        const size_t at = l.v2 ? 0 : 3;
        for (uint8_t value : {0x02, 0x03}) {
            Bytes page(4, 0xFF);
            page[at] = value;
            ulc->setPage(13, page);
            auto read = reader(l.name, None)->read(0, 0);
            ASSERT_NE(read, nullptr);
            EXPECT_EQ(sameTicket(read->data(), ticket), value == 0x02) << int(value);
        }
    }
}

TEST_F(ZodezuLUCTest, CodecPlacesFieldsAndCutsThemToWidth)
{
    ZodezuLUC::CardReader v1(nullptr, {});
    ZodezuLUCv2::CardReader v2(nullptr, {});
    // Reader, key, value, offset in the information record, the bytes there, the value read back.
    const std::tuple<ZodezuLUC::CardReader*, const char*, Variant, size_t, Bytes, std::string> cases[] = {
        {&v1, "info/issuerId", 0x12345u, 18, {0x45, 0x23}, "9029"},
        {&v1, "info/cardElectronicId", "0a1b2c3d4e5f60", 9, fromHex("0A1B2C3D4E5F60"), "0A1B2C3D4E5F60"},
        {&v2, "info/riderType", 0x1FFu, 26, {0xFF, 0x00}, "255"},
    };
    for (const auto& [reader, key, value, offset, stored, readBack] : cases) {
        VariantMap map = zodezuTicket(1, reader == &v2);
        map[key] = value;
        const auto data = reader->encodeCardData(map);
        EXPECT_EQ(Bytes(data.cardInfo.begin() + offset, data.cardInfo.begin() + offset + stored.size()),
                  stored);
        EXPECT_EQ(reader->decodeCardData(data)[key].toString(), readBack);
    }
    VariantMap oldContract = zodezuTicket(1, false);
    oldContract["info/riderType"] = 1;
    EXPECT_THROW(v2.encodeCardData(oldContract), std::out_of_range);
}

TEST_F(ZodezuLUCTest, SubKeysMatchPublishedVectors)
{
    std::ifstream file(TAPGATE_VECTORS_DIR "/nist_sp800_38b_tdea_cmac.json");
    const auto vectors = nlohmann::json::parse(file);
    std::vector<std::array<Bytes, 3>> cases = {
        {fromHex("8000000000000000"), fromHex("000000000000001B"), fromHex("0000000000000036")}};
    for (const auto& g : vectors["groups"]) {
        Bytes iv(8, 0);
        const Bytes key = fromHex(g["key"].get<std::string>());
        const Bytes l =
            emulators::cardcrypto::cbcEncrypt(emulators::cardcrypto::Cipher::TDES, key, iv, Bytes(8, 0));
        cases.push_back(
            {l, fromHex(g["subkey_k1"].get<std::string>()), fromHex(g["subkey_k2"].get<std::string>())});
    }
    for (const auto& [l, k1, k2] : cases) {
        Bytes gotK1, gotK2;
        ZodezuLUC::CardReader::generateSubKeys(l, gotK1, gotK2);
        EXPECT_EQ(gotK1, k1);
        EXPECT_EQ(gotK2, k2);
    }
}

TEST_F(ZodezuLUCTest, BadInputAndSamFaultsLeaveTheCardAsItWas)
{
    const struct
    {
        char op;                   // create, read or write
        const char* electronicId;  // "": a map without the contract key
        int slot;                  // the SAM that misbehaves, -1 none
        uint8_t ins;
        uint16_t sw;  // 0: the answer is cut to `keep` bytes
        size_t after, keep;
        const char* error;
    } cases[] = {
        {'w', "0A1B2C3D4E5F6", -1, 0, 0, 0, 0, "write: "},
        {'w', "0A1B2C3D4E5F601", -1, 0, 0, 0, 0, "write: "},
        {'w', "0A1B2C3D4E5FG0", -1, 0, 0, 0, 0, "write: "},
        {'w', "", -1, 0, 0, 0, 0, "write: Key not found: "},
        {'w', nullptr, 0, 0x7C, 0x6982, 0, 0, "generateSignature: "},
        {'w', nullptr, 0, 0x7C, 0, 0, 3, "generateSignature: "},
        {'w', nullptr, 0, 0x5C, 0x6982, 0, 0, "verifySignature: "},
        {'r', nullptr, 0, 0x01, 0x6A82, 1, 0, "verifySignature: "},
        {'r', nullptr, 0, 0x0A, 0x6982, 1, 0, "authenticate: "},
        {'r', nullptr, 0, 0x0A, 0, 0, 8, "authenticate: "},
        {'c', nullptr, 1, 0x01, 0x6A82, 0, 0, "generateAuthKey: "},
        {'c', nullptr, 1, 0x0E, 0x6982, 0, 0, "generateAuthKey: "},
        {'c', nullptr, 1, 0x0E, 0x6982, 2, 0, "generateAuthKey: "},
        {'c', nullptr, 1, 0x0E, 0, 0, 15, "generateAuthKey: "},
        {'c', nullptr, 1, 0x0E, 0, 1, 15, "generateAuthKey: "},
        {'c', nullptr, 1, 0x0E, 0, 2, 8, "generateAuthKey: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        place(ulc = std::make_shared<emulators::UltralightC>());
        if (c.op != 'c') {
            ASSERT_TRUE(issue(ZodezuLayouts[0]));
        }
        VariantMap map = zodezuTicket(2, c.electronicId && !*c.electronicId);
        if (c.electronicId && *c.electronicId)
            map["info/cardElectronicId"] = c.electronicId;
        const Bytes before = ulc->memory();
        auto r = reader("ZodezuLUC");
        const auto& model = c.slot == 0 ? tvmModel : accreditationModel;
        if (c.slot >= 0 && c.sw)
            model->refuseNext(c.ins, c.sw, c.after);
        else if (c.slot >= 0)
            model->shortenNext(c.ins, c.keep, c.after);
        const auto result = c.op == 'c' ? r->create(false) : c.op == 'r' ? r->read(0, 0) : r->write(map);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(r->error().text().rfind(c.error, 0), 0u) << r->error().text();
        EXPECT_EQ(ulc->memory(), before);
    }
}

}  // namespace
