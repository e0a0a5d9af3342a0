// The bank-card layout through NFC::Reader: a scripted driver stands in for the reader's payment
// kernel (EMV_getToken, EMV_completeTransaction), since no reader emulator carries one; the
// factory builds the layout for the bank-card tag as the manager would.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "NFC/Reader.h"
#include "NFC/ScriptedDriver.h"
#include "Velmora/CardReaderFactory.h"

namespace {

using Factory = NFC::Reader::DriverFactory;
using Strings = std::vector<std::string>;
using testdrivers::ScriptedDriver;

class EMVcardReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        kernel = std::make_shared<ScriptedDriver>("kernel", nullptr, true);
        nfc = std::make_shared<NFC::Reader>(
            NFC::Reader::DriverFactories{{Factory::Networked, "kernel", [this] { return kernel; }}});
        ASSERT_TRUE(nfc->open("127.0.0.1:1973", 0));
    }

    void TearDown() override { EXPECT_TRUE(kernel->scriptUsed()); }

    std::shared_ptr<RFID::CardReader> reader()
    {
        auto tag = nfc->makeTag(512, {0x01, 0x02, 0x03, 0x04}, {});
        return RFID::CardReaderFactory::createFromTemplateName("EMV", tag, {});
    }

    std::shared_ptr<ScriptedDriver> kernel;
    std::shared_ptr<NFC::Reader> nfc;
};

TEST_F(EMVcardReaderTest, TokensFillTheCardAndAKernelErrorComesWithTheCard)
{
    struct Row
    {
        bool ok;
        int code;
        Strings tokens;
        Strings expected;  // EMVtoken, expDate, PAN, cardBrand
        int error;
    };
    const std::vector<Row> rows = {
        {true, 0, {"T1"}, {"T1", "", "", ""}, 0},
        {true, 0, {"T2", "1228", "4111222233334444"}, {"T2", "1228", "4111222233334444", "VISA"}, 0},
        {true, 0, {"T3", "0127", "5500"}, {"T3", "0127", "5500", "MASTERCARD"}, 0},
        {true, 0, {"T4", "0127", "3714"}, {"T4", "0127", "3714", ""}, 0},
        {true, 0, {}, {"", "", "", ""}, 0},
        {false, 207, {}, {"", "", "", ""}, 477},
        {false, 209, {}, {"", "", "", ""}, 100},
        {false, 999, {}, {"", "", "", ""}, 900},
        {false, 33, {}, {"", "", "", ""}, 433},
        {false, 199, {}, {"", "", "", ""}, 599},
        {false, 200, {}, {"", "", "", ""}, 470},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(i);
        kernel->expectEMV({row.ok, !row.ok, row.code, row.tokens});
        auto r = reader();
        // create is a read; the card comes back after a kernel error too.
        auto card = i % 2 ? r->create(true) : r->read(0, 0);
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(card->uid(), "01020304");
        EXPECT_EQ(card->name(), "EMV");
        const VariantMap& data = card->data();
        EXPECT_EQ((Strings{data["EMVtoken"].toString(), data["expDate"].toString(), data["PAN"].toString(),
                           data["cardBrand"].toString()}),
                  row.expected);
        EXPECT_EQ(static_cast<int>(r->error().code()), row.error);
        if (row.error) {
            EXPECT_EQ(r->error().text().rfind("readEMVtoken: ", 0), 0u) << r->error().text();
        }
    }
}

TEST_F(EMVcardReaderTest, WriteSendsTheTripAndTakesTheKernelAnswer)
{
    struct Row
    {
        VariantMap map;
        bool ok;
        int code;
        Strings results;
        std::string sent;
        std::string uid;
        Strings expected;  // EMVtoken, cardBrand, PAN, tripData
        int error;
    };
    VariantMap trip;
    trip["tripData/tk/0/id"] = 7;
    trip["tripData/fare"] = "100% %s%n";  // client text, logged only as an argument
    VariantMap noTickets;
    noTickets["tripData/fare"] = 3;
    VariantMap badText;
    badText["tripData/tk"] = std::string("\xC3(", 2);
    const std::string tripText = R"({"fare":"100% %s%n","tk":[{"id":7}]})";
    const std::vector<Row> rows = {
        {trip, true, 0, {"AABBCCDD", "TOK", "VISA", "4111****4444"}, tripText, "AABBCCDD",
         {"TOK", "VISA", "4111****4444", tripText}, 0},
        // No results: the UID stays, the map is kept with an empty "expDate".
        {trip, true, 0, {}, tripText, "01020304", {"", "", "4000", tripText}, 0},
        {noTickets, true, 0, {}, "", "01020304", {"", "", "4000", ""}, 0},
        {noTickets, false, 207, {}, "", "01020304", {"R", "VISA", "4000", ""}, 477},
        {badText, true, 0, {"X"}, "{\"tk\":\"\xEF\xBF\xBD(\"}", "X", {"", "", "4000", "{\"tk\":\"\xEF\xBF\xBD(\"}"}, 0},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(i);
        kernel->expectEMV({true, false, 0, {"R", "1228", "4000"}});
        kernel->expectEMV({row.ok, !row.ok, row.code, row.results});
        auto r = reader();
        ASSERT_NE(r->read(0, 0), nullptr);
        VariantMap map = row.map;
        if (!row.results.empty() || row.ok)
            map["PAN"] = "4000";
        auto card = r->write(map);
        EXPECT_EQ(kernel->completed().back(), row.sent);
        EXPECT_EQ(static_cast<int>(r->error().code()), row.error);
        if (row.error) {
            EXPECT_EQ(card, nullptr);
            EXPECT_EQ(r->error().text().rfind("writeTripData: ", 0), 0u);
            card = r->activeCard();
        }
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(card->uid(), row.uid);
        const VariantMap& data = card->data();
        EXPECT_EQ(data.exists("EMVtoken") ? data["EMVtoken"].toString() : "", row.expected[0]);
        EXPECT_EQ(data.exists("cardBrand") ? data["cardBrand"].toString() : "", row.expected[1]);
        EXPECT_EQ(data["PAN"].toString(), row.expected[2]);
        EXPECT_EQ(data.exists("tripData") ? data["tripData"].toString() : "", row.expected[3]);
        if (!row.error) {
            EXPECT_EQ(data["expDate"].toString(), "");
        }
        EXPECT_NO_THROW(data.toJson());
    }
}

TEST_F(EMVcardReaderTest, WriteThatCannotBeSentFailsWithoutADriverCall)
{
    VariantMap trip;
    trip["tripData/tk"] = "[]";
    VariantMap scalar;
    scalar["tripData"] = "tk";
    VariantMap list;
    list["tripData/0"] = 1;
    struct Row
    {
        bool readFirst;
        VariantMap map;
        std::string error;
    };
    const std::vector<Row> rows = {
        {false, trip, "write: No active card"},
        {true, scalar, "write: \"tripData\" is not a group of members"},
        {true, list, "write: \"tripData\" is not a group of members"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        auto r = reader();
        if (row.readFirst) {
            kernel->expectEMV({true, false, 0, {"R"}});
            ASSERT_NE(r->read(0, 0), nullptr);
        }
        EXPECT_EQ(r->write(row.map), nullptr);
        EXPECT_EQ(r->error().text(), row.error);
        EXPECT_EQ(static_cast<int>(r->error().code()), 202);
    }
    EXPECT_TRUE(kernel->completed().empty());
}

}  // namespace
