#include "Velmora/Cards/VozeLUCv1/TicketImage.h"

#include <string>

#include "Velmora/Cards/ZodezuDES/CardUtils.h"
#include "core/DateTime.h"

namespace VozeLUCv1 {
namespace TicketImage {

namespace {

const char* const DateFormat = "%Y-%m-%d";
const char* const DateTimeFormat = "%Y-%m-%dT%H:%M:%SZ";

// A field given by the byte holding its most significant bit, that bit (7 to 0) and its width;
// the image is read as one big-endian bit string, so a field may run on into the next bytes.
struct Field
{
    size_t byte;
    int high;
    int width;
};

void put(Bytes& image, Field f, uint32_t value)
{
    size_t bit = f.byte * 8 + static_cast<size_t>(7 - f.high);
    for (int i = f.width - 1; i >= 0; --i, ++bit) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
        if ((value >> i) & 1)
            image[bit / 8] |= mask;
        else
            image[bit / 8] &= static_cast<uint8_t>(~mask);
    }
}

uint32_t get(const Bytes& image, Field f)
{
    size_t bit = f.byte * 8 + static_cast<size_t>(7 - f.high);
    uint32_t value = 0;
    for (int i = 0; i < f.width; ++i, ++bit) value = value << 1 | ((image[bit / 8] >> (7 - bit % 8)) & 1);
    return value;
}

uint8_t u8(const VariantMap& map, const char* key)
{
    return static_cast<unsigned char>(map[key]);
}

uint16_t u16(const VariantMap& map, const char* key)
{
    return static_cast<unsigned short>(map[key]);
}

uint32_t u32(const VariantMap& map, const char* key)
{
    return map[key].toUInt();
}

void putDateTime(Bytes& image, size_t at, const VariantMap& map, const char* key)
{
    auto it = image.begin() + static_cast<long>(at);
    CardUtils::pushReverseDateTimeC2(it, DateTime::fromString(map[key].toString(), DateTimeFormat));
}

std::string dateTimeText(uint32_t word)
{
    return CardUtils::dateTimeC2FromWord(word).toString(DateTimeFormat);
}

std::string dateTimeAt(const Bytes& image, size_t at)
{
    return dateTimeText(get(image, {at, 7, 32}));
}

uint8_t xorOf(const Bytes& image, size_t from, size_t to)
{
    uint8_t x = 0;
    for (size_t i = from; i < to; ++i) x ^= image[i];
    return x;
}

}  // namespace

void encodeIssue(Bytes& image, const VariantMap& map)
{
    put(image, {0, 7, 4}, u8(map, "issueData/issueCenter"));
    put(image, {0, 3, 5}, u8(map, "issueData/cardHolder"));
    put(image, {1, 6, 15},
        CardUtils::dateC2Word(Date::fromString(map["issueData/issueDate"].toString(), DateFormat)));
    put(image, {3, 7, 2}, u8(map, "issueData/keyVersion"));
    put(image, {3, 5, 2}, u8(map, "issueData/mapVersion"));
    put(image, {3, 3, 4}, u8(map, "issueData/cardStatus"));
}

void decodeIssue(const Bytes& image, VariantMap& map)
{
    map["issueData/issueCenter"] = static_cast<unsigned char>(get(image, {0, 7, 4}));
    map["issueData/cardHolder"] = static_cast<unsigned char>(get(image, {0, 3, 5}));
    map["issueData/issueDate"] =
        CardUtils::dateC2FromWord(static_cast<uint16_t>(get(image, {1, 6, 15}))).toString(DateFormat);
    map["issueData/keyVersion"] = static_cast<unsigned char>(get(image, {3, 7, 2}));
    map["issueData/mapVersion"] = static_cast<unsigned char>(get(image, {3, 5, 2}));
    map["issueData/cardStatus"] = static_cast<unsigned char>(get(image, {3, 3, 4}));
    auto cert = image.cbegin() + 4;
    map["issueData/issueCert"] = CardUtils::popHexString(cert, 2);
    map["issueData/groupCDcodeBackup"] = image[8];
    map["issueData/typeAccumCntBackup"] = static_cast<unsigned char>(image[9] >> 1);
    // Only the time of day is kept: the low 17 bits of a date-time word.
    map["issueData/useDateBackup"] = dateTimeText(get(image, {9, 0, 17}));
}

void encodePass(Bytes& image, const VariantMap& map)
{
    put(image, {12, 7, 4}, u8(map, "passData/passIndex"));
    put(image, {12, 3, 2}, u8(map, "passData/timeDevision"));
    put(image, {12, 1, 1}, u8(map, "passData/startStatus"));
    put(image, {12, 0, 1}, u8(map, "passData/passType"));
    image[13] = u8(map, "passData/permittedPeriod");
    image[14] = u8(map, "passData/permittedCount");
    image[15] = 0;
    // The flag goes in shifted but unmasked, as tickets in the field carry it.
    image[16] = static_cast<uint8_t>(u8(map, "passData/transFlag") << 4);
    put(image, {16, 3, 4}, u8(map, "passData/discountCode"));
    put(image, {17, 7, 4}, u8(map, "passData/passArea") / 10u);
    put(image, {17, 3, 4}, u8(map, "passData/productAgencyId"));
    image[18] = u8(map, "passData/productGroupId");
    image[19] = u8(map, "passData/productCode");
    putDateTime(image, 20, map, "passData/purchaseOrStartDate");
}

void decodePass(const Bytes& image, VariantMap& map)
{
    map["passData/passIndex"] = static_cast<unsigned char>(get(image, {12, 7, 4}));
    map["passData/timeDevision"] = static_cast<unsigned char>(get(image, {12, 3, 2}));
    map["passData/startStatus"] = static_cast<unsigned char>(get(image, {12, 1, 1}));
    map["passData/passType"] = static_cast<unsigned char>(get(image, {12, 0, 1}));
    map["passData/permittedPeriod"] = image[13];
    map["passData/permittedCount"] = image[14];
    map["passData/transFlag"] = static_cast<unsigned char>(get(image, {16, 4, 1}));
    map["passData/discountCode"] = static_cast<unsigned char>(get(image, {16, 3, 4}));
    map["passData/passArea"] = static_cast<int>(get(image, {17, 7, 4}) * 10);
    map["passData/productAgencyId"] = static_cast<unsigned char>(get(image, {17, 3, 4}));
    map["passData/productGroupId"] = image[18];
    map["passData/productCode"] = image[19];
    map["passData/purchaseOrStartDate"] = dateTimeAt(image, 20);
}

void decodeUsage(const Bytes& image, VariantMap& map)
{
    map["usageLog/usingIndex"] = static_cast<unsigned char>(get(image, {28, 7, 4}));
    map["usageLog/transNo"] = static_cast<int>(get(image, {28, 3, 5}));
    map["usageLog/boardingType"] = static_cast<unsigned char>(get(image, {29, 6, 2}));
    map["usageLog/accTransCnt"] = static_cast<unsigned char>(get(image, {29, 4, 5}));
    map["usageLog/transGroupCd"] = static_cast<unsigned char>(get(image, {30, 7, 3}));
    map["usageLog/transCode"] = static_cast<unsigned char>(get(image, {30, 4, 5}));
    map["usageLog/passType"] = static_cast<unsigned char>(get(image, {31, 7, 4}));
    map["usageLog/passengersNr"] = static_cast<unsigned char>(get(image, {31, 3, 4}));
    map["usageLog/transVer"] = static_cast<unsigned char>(get(image, {32, 7, 2}));
    map["usageLog/firstTrip"] = static_cast<unsigned char>(get(image, {32, 3, 2}));
    map["usageLog/remainDayMin"] = static_cast<int>(get(image, {32, 1, 8}));
    map["usageLog/remainTripCnt"] = static_cast<int>(get(image, {33, 1, 10}));
    map["usageLog/zoneId"] = image[35];
    map["usageLog/routeId"] = static_cast<unsigned short>(get(image, {36, 7, 16}));
    map["usageLog/stationId"] = static_cast<unsigned short>(get(image, {38, 7, 16}));
    map["usageLog/useDateTime"] = dateTimeAt(image, 40);
    map["usageLog/penaltyFare"] = static_cast<int>(get(image, {44, 7, 14}));
    map["usageLog/accAmtBackup"] = static_cast<int>(get(image, {45, 1, 10}) * 10);
    const uint32_t tripStart = uint32_t(image[47]) << 24 | get(image, {64, 7, 24});
    map["usageLog/tripStartDtBackup"] = dateTimeText(tripStart);
    map["usageLog/transDeviceId"] = static_cast<unsigned int>(get(image, {48, 7, 32}));
    map["usageLog/stageId"] = static_cast<unsigned short>(get(image, {52, 7, 16}));
    map["usageLog/vehicleId"] = static_cast<unsigned int>(get(image, {56, 7, 32}));
    map["usageLog/previousUseDate"] = dateTimeAt(image, 60);
    map["usageLog/bccResult"] = image[67] == xorOf(image, 28, 67);
}

void encodeTrans(Bytes& image, const VariantMap& map)
{
    putDateTime(image, TransAt, map, "transOD/tripStartDate");
    for (size_t i = 72; i <= 75; ++i) image[i] = 0;
    put(image, {76, 7, 16}, u16(map, "transOD/tripStartStationId"));
    put(image, {78, 7, 4}, u8(map, "transOD/accumCntDay"));
    put(image, {78, 3, 12}, u16(map, "transOD/accumAmtDay"));
    put(image, {80, 7, 16}, u16(map, "transOD/startStationId"));
    put(image, {82, 7, 16}, u16(map, "transOD/endStationId"));
    image[75] = xorOf(image, TransAt, TransAt + BlockSize);
}

void decodeTrans(const Bytes& image, VariantMap& map)
{
    map["transOD/tripStartDate"] = dateTimeAt(image, TransAt);
    map["transOD/bccODresult"] = xorOf(image, TransAt, TransAt + BlockSize) == 0;
    map["transOD/tripStartStationId"] = static_cast<unsigned short>(get(image, {76, 7, 16}));
    map["transOD/accumCntDay"] = static_cast<unsigned char>(get(image, {78, 7, 4}));
    map["transOD/accumAmtDay"] = static_cast<int>(get(image, {78, 3, 12}));
    map["transOD/startStationId"] = static_cast<unsigned short>(get(image, {80, 7, 16}));
    map["transOD/endStationId"] = static_cast<unsigned short>(get(image, {82, 7, 16}));
}

void encodeValue(Bytes& image, const VariantMap& map)
{
    put(image, {84, 7, 4}, u8(map, "value/valueIndex"));
    put(image, {84, 3, 4}, u8(map, "value/trt"));
    put(image, {85, 7, 3}, u8(map, "value/accumCntBackup"));
    put(image, {85, 1, 10}, u16(map, "value/passRemainTrips"));
    image[87] = u8(map, "value/permittedZone");
    put(image, {88, 7, 14}, u16(map, "value/usedAmount"));
    put(image, {89, 1, 18}, u32(map, "value/cardBalance"));
    put(image, {92, 7, 24}, u32(map, "value/counter"));
    put(image, {95, 7, 6}, u8(map, "value/accTopUpCnt"));
    put(image, {95, 1, 1}, u8(map, "value/airportIn"));
    put(image, {95, 0, 1}, u8(map, "value/airportOut"));
}

void decodeValue(const Bytes& image, VariantMap& map)
{
    map["value/valueIndex"] = static_cast<unsigned char>(get(image, {84, 7, 4}));
    map["value/trt"] = static_cast<unsigned char>(get(image, {84, 3, 4}));
    map["value/accumCntBackup"] = static_cast<unsigned char>(get(image, {85, 7, 3}));
    map["value/passRemainTrips"] = static_cast<int>(get(image, {85, 1, 10}));
    map["value/permittedZone"] = image[87];
    map["value/usedAmount"] = static_cast<int>(get(image, {88, 7, 14}));
    map["value/cardBalance"] = static_cast<unsigned int>(get(image, {89, 1, 18}));
    map["value/counter"] = static_cast<unsigned int>(get(image, {92, 7, 24}));
    map["value/accTopUpCnt"] = static_cast<unsigned char>(get(image, {95, 7, 6}));
    map["value/airportIn"] = static_cast<unsigned char>(get(image, {95, 1, 1}));
    map["value/airportOut"] = static_cast<unsigned char>(get(image, {95, 0, 1}));
}

void encodeReload(Bytes& image, const VariantMap& map)
{
    put(image, {116, 7, 4}, u8(map, "topupLog/reloadIndex"));
    put(image, {116, 3, 4}, u8(map, "topupLog/trt"));
    put(image, {117, 7, 6}, u8(map, "topupLog/discountProfileCode"));
    put(image, {117, 1, 18}, u32(map, "topupLog/reloadOrPassAmt"));
    putDateTime(image, 120, map, "topupLog/reloadDateTime");
    put(image, {124, 7, 32}, u32(map, "topupLog/devIDorProdInfo"));
}

void decodeReload(const Bytes& image, VariantMap& map)
{
    map["topupLog/reloadIndex"] = static_cast<unsigned char>(get(image, {116, 7, 4}));
    map["topupLog/trt"] = static_cast<unsigned char>(get(image, {116, 3, 4}));
    map["topupLog/discountProfileCode"] = static_cast<unsigned short>(get(image, {117, 7, 6}));
    map["topupLog/reloadOrPassAmt"] = static_cast<unsigned int>(get(image, {117, 1, 18}));
    map["topupLog/reloadDateTime"] = dateTimeAt(image, 120);
    map["topupLog/devIDorProdInfo"] = static_cast<unsigned int>(get(image, {124, 7, 32}));
}

const Encoder Encoders[5] = {
    {"IssueData", encodeIssue},    {"PassData", encodePass},     {"ValueData", encodeValue},
    {"EncTransData", encodeTrans}, {"ReloadData", encodeReload},
};

Bytes encode(const VariantMap& map)
{
    Bytes image(Size, 0x00);
    for (const Encoder& e : Encoders) e.encode(image, map);
    return image;
}

VariantMap decode(const Bytes& image)
{
    VariantMap map;
    decodeIssue(image, map);
    decodePass(image, map);
    decodeUsage(image, map);
    decodeTrans(image, map);
    decodeValue(image, map);
    decodeReload(image, map);
    return map;
}

}  // namespace TicketImage
}  // namespace VozeLUCv1
