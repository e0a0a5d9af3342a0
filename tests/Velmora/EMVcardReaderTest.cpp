// The bank-card layout through NFC::Reader: a scripted driver stands in for the reader's payment
// kernel (EMV_getToken, EMV_completeTransaction), since no reader emulator carries one; the
// factory builds the layout for the bank-card tag as the manager would.
#include <gtest/gtest.h>

#include "NFC/Reader.h"
#include "NFC/ScriptedDriver.h"
#include "Velmora/CardReaderFactory.h"

namespace {

using Strings = std::vector<std::string>;
using testdrivers::ScriptedDriver;

class EMVcardReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        nfc = std::make_shared<NFC::Reader>(NFC::Reader::DriverFactories{
            {NFC::Reader::DriverFactory::Networked, "kernel", [this] { return kernel; }}});
        ASSERT_TRUE(nfc->open("127.0.0.1:1973", 0));
    }
    void TearDown() override { EXPECT_TRUE(kernel->scriptUsed()); }

    // A reader that has read the tap R / 1228 / 4000 when read is set; null when none is built.
    std::shared_ptr<RFID::CardReader> reader(bool read)
    {
        auto r =
            RFID::CardReaderFactory::createFromTemplateName("EMV", nfc->makeTag(512, {1, 2, 3, 4}, {}), {});
        if (read && r) {
            kernel->expectEMV({true, false, 0, {"R", "1228", "4000"}});
            EXPECT_NE(r->read(0, 0), nullptr);
        }
        return r;
    }
    static std::string fields(const VariantMap& m, const Strings& keys)
    {
        std::string out;
        for (const auto& k : keys) out += (m.exists(k) ? m[k].toString() : "-") + "|";
        return out;
    }

    std::shared_ptr<ScriptedDriver> kernel = std::make_shared<ScriptedDriver>("kernel", nullptr, true);
    std::shared_ptr<NFC::Reader> nfc;
};

TEST_F(EMVcardReaderTest, TokensFillTheCardAndAKernelErrorComesWithTheCard)
{
    struct Row
    {
        bool ok;
        int code;
        Strings tokens;
        std::string card;
        int error;
    };
    const Row rows[] = {{true, 0, {"T1"}, "T1||||", 0},
                        {true, 0, {"T2", "1228", "4111"}, "T2|1228|4111|VISA|", 0},
                        {true, 0, {"T3", "0127", "5500"}, "T3|0127|5500|MASTERCARD|", 0},
                        {true, 0, {"T4", "0127", "3714"}, "T4|0127|3714||", 0},
                        {false, 207, {}, "||||", 477},
                        {false, 209, {}, "||||", 100},
                        {false, 999, {}, "||||", 900},
                        {false, 33, {}, "||||", 433},
                        {false, 199, {}, "||||", 599},
                        {false, 200, {}, "||||", 470}};
    bool create = false;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.card + std::to_string(row.code));
        kernel->expectEMV({row.ok, !row.ok, row.code, row.tokens});
        auto r = reader(false);
        ASSERT_NE(r, nullptr);
        auto card = (create = !create) ? r->create(true) : r->read(0, 0);
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(card->uid() + card->name(), "01020304EMV");
        EXPECT_EQ(fields(card->data(), {"EMVtoken", "expDate", "PAN", "cardBrand"}), row.card);
        EXPECT_EQ(static_cast<int>(r->error().code()), row.error);
        EXPECT_EQ(r->error().text().rfind("readEMVtoken: ", 0), row.error ? 0 : std::string::npos);
    }
}

TEST_F(EMVcardReaderTest, WriteSendsTheTripAndTakesTheKernelAnswer)
{
    VariantMap trip, noTickets, badText, scalar, list;
    trip["tripData/tk/0/id"] = 7;
    trip["tripData/fare"] = "100% %s%n";  // client text, logged only as an argument
    noTickets["tripData/fare"] = 3;
    badText["tripData/tk"] = std::string("\xC3(", 2);
    scalar["tripData"] = "tk";
    list["tripData/0"] = 1;
    const std::string sent = R"({"fare":"100% %s%n","tk":[{"id":7}]})";
    const std::string bad = "{\"tk\":\"\xEF\xBF\xBD(\"}";
    const Strings keys = {"EMVtoken", "cardBrand", "PAN", "expDate", "tripData"};
    struct Row
    {
        bool read;
        VariantMap map;
        bool ok;
        int code;
        Strings results;
        std::string sent, uid, card, error;
    };
    const Row rows[] = {
        {true,
         trip,
         true,
         0,
         {"AABB", "TOK", "VISA", "4111**"},
         sent,
         "AABB",
         "TOK|VISA|4111**||" + sent + "|",
         ""},
        {true, trip, true, 0, {}, sent, "01020304", "-|-|-||" + sent + "|", ""},
        {true, noTickets, true, 0, {}, "", "01020304", "-|-|-||-|", ""},
        {true,
         noTickets,
         false,
         207,
         {},
         "",
         "01020304",
         "R|VISA|4000|1228|-|",
         "writeTripData: No Tickets Selected - Select Tickets First"},
        {true, badText, true, 0, {"X"}, bad, "X", "-|-|-||" + bad + "|", ""},
        {true, trip, true, 0, {"AB", "TOK"}, sent, "AB", "TOK|-|-||" + sent + "|", ""},
        {true, trip, true, 0, {"AB", "TOK", "VISA"}, sent, "AB", "TOK|VISA|-||" + sent + "|", ""},
        {false, trip, true, 0, {}, "-", "", "", "write: No active card"},
        {true, scalar, true, 0, {}, "-", "", "", "write: \"tripData\" is not a group of members"},
        {true, list, true, 0, {}, "-", "", "", "write: \"tripData\" is not a group of members"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.sent + row.error);
        auto r = reader(row.read);
        ASSERT_NE(r, nullptr);
        if (row.sent != "-")
            kernel->expectEMV({row.ok, !row.ok, row.code, row.results});
        const size_t calls = kernel->completed().size();
        auto card = r->write(row.map);
        EXPECT_EQ(r->error().text(), row.error);
        ASSERT_EQ(kernel->completed().size(), calls + (row.sent != "-"));
        if (!row.error.empty()) {
            EXPECT_EQ(card, nullptr);
            card = r->activeCard();
        }
        if (row.sent == "-")
            continue;
        EXPECT_EQ(kernel->completed().back(), row.sent);
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(card->uid(), row.uid);
        EXPECT_EQ(fields(card->data(), keys), row.card);
        EXPECT_NO_THROW(card->data().toJson());
    }
}

}  // namespace
