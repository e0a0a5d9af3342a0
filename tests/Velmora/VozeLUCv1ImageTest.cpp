// The VozeLUCv1 page image's plain records: the bit positions that tickets in the field carry,
// values out of their field's range kept inside it, and the read-only records decoded from bytes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "Velmora/Cards/VozeLUCv1/TicketImage.h"
#include "Velmora/Cards/VozeLUCv1/VozeLUCv1CardReader.h"
#include "VozeLUCv1Ticket.h"

namespace {

namespace Image = VozeLUCv1::TicketImage;
using Bytes = std::vector<uint8_t>;
using Entries = std::vector<std::pair<std::string, Variant>>;

// Every key the encoders read, in range.
VariantMap fullMap()
{
    return testsupport::vozeTicket(2, 0x123456);
}

TEST(VozeLUCv1Image, FieldsSitWhereTicketsCarryThemAndStayInTheirWidth)
{
    struct Row
    {
        const char* what;
        Entries given;
        std::vector<std::pair<size_t, Bytes>> bytes;
        Entries readBack;  // also: every other key reads back as given
    };
    const std::vector<Row> rows = {
        {"in range, all keys", {}, {{4, {0, 0}}, {24, {0, 0, 0, 0}}, {100, Bytes(16, 0)}}, {}},
        {"used amount beside the balance's top bits",
         {{"value/usedAmount", 1000}, {"value/cardBalance", 0x2ABCDu}},
         {{88, {0x0F, 0xA2, 0xAB, 0xCD}}},
         {}},
        {"remaining trips at the top of ten bits",
         {{"value/passRemainTrips", 1023}},
         {{85, {0x23, 0xFF}}},
         {}},
        {"remaining trips one past ten bits",
         {{"value/passRemainTrips", 1024}},
         {{85, {0x20, 0x00}}},
         {{"value/passRemainTrips", 0}}},
        {"holder and centre at their maximum",
         {{"issueData/cardHolder", 31}, {"issueData/issueCenter", 15}, {"issueData/issueDate", "2021-06-30"}},
         {{0, {0xFF, 0x80 | (11 << 1), 0xDE}}},
         {}},
        {"area kept in tens", {{"passData/passArea", 57}}, {{17, {0x52}}}, {{"passData/passArea", 50}}},
        {"first second of 2010",
         {{"passData/purchaseOrStartDate", "2010-01-01T00:00:00Z"}},
         {{20, {0, 0, 0, 0}}},
         {{"passData/purchaseOrStartDate", "1970-01-01T00:00:00Z"}}},
        {"out of range: issue data",
         {{"issueData/issueCenter", 0x1F}, {"issueData/keyVersion", 7}, {"issueData/cardStatus", 0x35}},
         {{0, {0xF0}}, {3, {0xE5}}},
         {{"issueData/issueCenter", 15}, {"issueData/keyVersion", 3}, {"issueData/cardStatus", 5}}},
        {"out of range: trip record",
         {{"transOD/accumCntDay", 0x1F}, {"transOD/accumAmtDay", 0xFFFF}},
         {{78, {0xFF, 0xFF}}},
         {{"transOD/accumCntDay", 15}, {"transOD/accumAmtDay", 4095}}},
        {"out of range: value record",
         {{"value/accumCntBackup", 9},
          {"value/usedAmount", 0xFFFF},
          {"value/cardBalance", 0xFFFFFFFFu},
          {"value/counter", 0xAB123456u},
          {"value/accTopUpCnt", 0xFF},
          {"value/passRemainTrips", 0xFFFF}},
         {{85, {0x23, 0xFF, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x34, 0x56, 0xFD}}},
         {{"value/accumCntBackup", 1},
          {"value/usedAmount", 16383},
          {"value/accTopUpCnt", 63},
          {"value/cardBalance", 0x3FFFFu},
          {"value/counter", 0x123456u},
          {"value/passRemainTrips", 1023}}},
        {"out of range: top-up log",
         {{"topupLog/discountProfileCode", 0xFF},
          {"topupLog/reloadOrPassAmt", 0xFFFFFFFFu},
          {"topupLog/trt", 0x1A}},
         {{116, {0x2A, 0xFF, 0xFF, 0xFF}}},
         {{"topupLog/discountProfileCode", 63},
          {"topupLog/reloadOrPassAmt", 0x3FFFFu},
          {"topupLog/trt", 10}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        VariantMap given = fullMap();
        for (const auto& [key, value] : row.given) given[key] = value;
        const Bytes image = Image::encode(given);
        for (const auto& [at, expected] : row.bytes)
            EXPECT_EQ(Bytes(image.begin() + at, image.begin() + at + expected.size()), expected)
                << "at " << at;
        const VariantMap back = Image::decode(image);
        EXPECT_TRUE(back["transOD/bccODresult"].toBool());
        for (const std::string& key : given.keys()) {
            Variant expected = given[key];
            for (const auto& [k, v] : row.readBack)
                if (k == key)
                    expected = v;
            EXPECT_EQ(back[key].toString(), expected.toString()) << key;
        }
    }
}

TEST(VozeLUCv1Image, ReadOnlyRecordsAndChecksDecodeFromTheirBytes)
{
    struct Row
    {
        const char* what;
        std::vector<std::pair<size_t, Bytes>> bytes;
        Entries expected;
    };
    const std::vector<Row> rows = {
        {"fresh ticket",
         {},
         {{"usageLog/bccResult", true},
          {"transOD/bccODresult", true},
          {"usageLog/remainTripCnt", 0},
          {"issueData/issueDate", "1970-01-01"},
          {"issueData/useDateBackup", "1970-01-01T00:00:00Z"},
          {"value/cardBalance", 0u},
          {"issueData/issueCert", "0000"}}},
        {"usage log fields across byte borders",
         {{28, {0x5B, 0xB5, 0x6A, 0x93, 0x8E, 0x6F, 0x5A, 0x21}}},
         {{"usageLog/usingIndex", 5},
          {"usageLog/transNo", 23},
          {"usageLog/boardingType", 1},
          {"usageLog/accTransCnt", 21},
          {"usageLog/transGroupCd", 3},
          {"usageLog/transCode", 10},
          {"usageLog/passType", 9},
          {"usageLog/passengersNr", 3},
          {"usageLog/transVer", 2},
          {"usageLog/firstTrip", 3},
          {"usageLog/remainDayMin", 155},
          {"usageLog/remainTripCnt", 0x35A},
          {"usageLog/zoneId", 0x21},
          {"usageLog/bccResult", false}}},
        {"fare, backups and the trip start split over two places",
         {{44, {0xFF, 0xFE, 0x07, 0x58}}, {64, {0xE6, 0x71, 0xC0, 0x00}}, {8, {0x42, 0x0F, 0x13, 0x86}}},
         {{"usageLog/penaltyFare", 16383},
          {"usageLog/accAmtBackup", 5190},
          {"usageLog/tripStartDtBackup", "2032-03-19T07:07:00Z"},
          {"issueData/groupCDcodeBackup", 0x42},
          {"issueData/typeAccumCntBackup", 7},
          {"issueData/useDateBackup", "1970-01-01T17:14:06Z"},
          {"issueData/issueCert", "0000"}}},
        {"broken trip check", {{70, {0x01}}}, {{"transOD/bccODresult", false}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes image(Image::Size, 0x00);
        for (const auto& [at, bytes] : row.bytes) std::copy(bytes.begin(), bytes.end(), image.begin() + at);
        const VariantMap map = Image::decode(image);
        for (const auto& [key, value] : row.expected) EXPECT_EQ(map[key].toString(), value.toString()) << key;
    }

    // The reader decodes nothing but a whole image.
    VozeLUCv1::CardReader reader(nullptr, {});
    for (size_t size : {Image::Size - 1, Image::Size, Image::Size + 1})
        EXPECT_EQ(reader.deserializeData(Bytes(size, 0x00)).size() == 0, size != Image::Size) << size;
}

}  // namespace
