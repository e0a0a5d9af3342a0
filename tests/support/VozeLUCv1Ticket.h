// A VozeLUCv1 ticket map as a client writes it, for the layout's tests and benchmark: the issue
// data that create leaves on a ticket made today with key set 1, numbers that differ with v, and
// the counter #2 value the write will leave on the chip (the TVALUE record carries it); and the
// comparisons of card data the tests make.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "MapEdits.h"
#include "core/DateTime.h"
#include "core/VariantMap.h"

namespace testsupport {

inline VariantMap vozeTicket(int v, unsigned counter2After, int mapVersion = 2)
{
    VariantMap m;
    const std::string d = "2025-0" + std::to_string(v) + "-1" + std::to_string(v);
    const std::vector<std::pair<const char*, Variant>> entries = {
        {"issueData/issueCenter", 1},
        {"issueData/cardHolder", 1},
        {"issueData/issueDate", Date::currentDate().toString("%Y-%m-%d")},
        {"issueData/keyVersion", 1},
        {"issueData/mapVersion", mapVersion},
        {"issueData/cardStatus", 1},
        {"passData/passIndex", v},
        {"passData/timeDevision", 1},
        {"passData/startStatus", 1},
        {"passData/passType", 0},
        {"passData/permittedPeriod", 10 + v},
        {"passData/permittedCount", 20 + v},
        {"passData/transFlag", 1},
        {"passData/discountCode", v},
        {"passData/passArea", 10 * v},
        {"passData/productAgencyId", 2},
        {"passData/productGroupId", 3},
        {"passData/productCode", 4 + v},
        {"passData/purchaseOrStartDate", d + "T10:00:0" + std::to_string(v) + "Z"},
        {"transOD/tripStartDate", d + "T11:00:00Z"},
        {"transOD/tripStartStationId", 100 + v},
        {"transOD/accumCntDay", v},
        {"transOD/accumAmtDay", 50 * v},
        {"transOD/startStationId", 7},
        {"transOD/endStationId", 8 + v},
        {"value/valueIndex", v},
        {"value/trt", 9},
        {"value/accumCntBackup", 1},
        {"value/passRemainTrips", 40 - v},
        {"value/permittedZone", 2},
        {"value/usedAmount", 100 * v},
        {"value/cardBalance", 5000 - v},
        {"value/counter", counter2After},
        {"value/accTopUpCnt", v},
        {"value/airportIn", 0},
        {"value/airportOut", 1},
        {"topupLog/reloadIndex", v},
        {"topupLog/trt", 8 + v % 4},
        {"topupLog/discountProfileCode", 3},
        {"topupLog/reloadOrPassAmt", 100 * v},
        {"topupLog/reloadDateTime", d + "T12:00:00Z"},
        {"topupLog/devIDorProdInfo", 0x1000 + v},
    };
    for (const auto& [key, value] : entries) m[key] = value;
    return m;
}

// Whether every key of want under prefix reads back as written.
inline bool holds(const VariantMap& got, const VariantMap& want, const std::string& prefix = "")
{
    for (const std::string& key : want.keys())
        if (key.rfind(prefix, 0) == 0 && (!got.exists(key) || got[key].toString() != want[key].toString()))
            return false;
    return true;
}

}  // namespace testsupport
