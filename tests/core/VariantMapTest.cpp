#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/VariantMap.h"

using nlohmann::json;

namespace {

VariantMap flatten(const std::string& text)
{
    VariantMap m;
    m.fromJson(json::parse(text));
    return m;
}

// The card document that most cases below work on.
const char* const cardText =
    R"({"card":{"uid":"04A1B2C3D4E5F6","type":7},"list":[1,-2],"ok":true,"rate":2.5,"note":null})";

TEST(VariantMap, FromJsonFlattensIntoPathKeysWithTags)
{
    const VariantMap m = flatten(cardText);
    EXPECT_EQ(m.keys(), (std::vector<std::string>{"card/type", "card/uid", "list/0", "list/1", "list/_size",
                                                  "note", "ok", "rate"}));
    struct Expect
    {
        const char* key;
        const char* text;
        int type;
    };
    for (const Expect& e :
         {Expect{"card/type", "7", Variant::TypeUInt},
          Expect{"card/uid", "04A1B2C3D4E5F6", Variant::TypeString}, Expect{"list/0", "1", Variant::TypeUInt},
          Expect{"list/1", "-2", Variant::TypeInt}, Expect{"list/_size", "2", Variant::TypeUInt},
          Expect{"note", "", Variant::TypeNull}, Expect{"ok", "true", Variant::TypeBool},
          Expect{"rate", "2.5", Variant::TypeDouble}}) {
        EXPECT_EQ(m[e.key].toString(), e.text) << e.key;
        EXPECT_EQ(m[e.key].type(), e.type) << e.key;
    }
    EXPECT_EQ(m.toJson(), json::parse(cardText));
}

TEST(VariantMap, FromJsonReplacesEverythingAndHandlesTopLevelForms)
{
    VariantMap m = flatten(R"({"stale":1})");
    m.fromJson(json::parse(R"(["a","b"])"));
    EXPECT_EQ(m.keys(), (std::vector<std::string>{"0", "1", "_size"}));
    EXPECT_EQ(m.toJson(), json::parse(R"(["a","b"])"));

    m.fromJson(json("lone"));
    EXPECT_EQ(m.keys(), (std::vector<std::string>{""}));
    EXPECT_EQ(m[""].toString(), "lone");
    m.fromJson(json());
    EXPECT_TRUE(m.empty());

    // A later duplicate path wins, as a depth-first walk in member order writes it.
    m.fromJson(json::parse(R"({"a":{"b":2},"a/b":1})"));
    EXPECT_EQ(m.size(), 1u);
    EXPECT_EQ(m["a/b"].toString(), "1");
}

TEST(VariantMap, NumbersKeepTheirLow32BitsAndSixDigitsOfDoubles)
{
    const VariantMap m = flatten(R"({"big":5000000000,"neg":-1,"pi":3.14159265,"min":-2147483648})");
    EXPECT_EQ(m["big"].toString(), "705032704");
    EXPECT_EQ(m["big"].type(), Variant::TypeUInt);
    EXPECT_EQ(m["neg"].toString(), "-1");
    EXPECT_EQ(m["neg"].type(), Variant::TypeInt);
    EXPECT_EQ(m["min"].toString(), "-2147483648");
    EXPECT_EQ(m.toJson()["pi"].dump(), "3.14159");

    VariantMap written;
    written["v"] = 5000000000L;
    EXPECT_EQ(written.toJson().dump(), R"({"v":705032704})");
}

TEST(VariantMap, ToJsonShapesThatDoNotRoundTrip)
{
    // Empty containers leave only what their entries say: a size for the array, nothing for the object.
    EXPECT_EQ(flatten(R"({"list":[],"obj":{}})").toJson().dump(), R"({"list":null})");
    // A numeric member name is taken for an index.
    EXPECT_EQ(flatten(R"({"7":"x"})").toJson().dump(), R"([null,null,null,null,null,null,null,"x"])");

    VariantMap m;
    m["/"] = "dropped";
    m["a//b/"] = 1;
    m["x/_size"] = 5u;
    EXPECT_EQ(m.toJson().dump(), R"({"a":{"b":1},"x":null})");
    EXPECT_TRUE(VariantMap().toJson().is_null());

    // A string holding a JSON object is embedded as that object.
    m["o"] = R"({"a":1})";
    EXPECT_EQ(m.toJson()["o"].dump(), R"({"a":1})");
    m["o"] = "{a}";
    EXPECT_THROW(m.toJson(), json::parse_error);
}

TEST(VariantMap, MixedShapesUnderOnePathThrowTypeError305)
{
    auto idOf = [](const VariantMap& m) {
        try {
            m.toJson();
        } catch (const json::type_error& e) {
            return e.id;
        }
        return 0;
    };
    VariantMap leafAndChild;
    leafAndChild["a"] = "leaf";
    leafAndChild["a/b"] = "child";
    EXPECT_EQ(idOf(leafAndChild), 305);
    VariantMap indexAndName;
    indexAndName["x/0"] = 1;
    indexAndName["x/name"] = 2;
    EXPECT_EQ(idOf(indexAndName), 305);
    EXPECT_EQ(leafAndChild.size(), 2u);
}

TEST(VariantMap, ArrayElementsArePlacedByIndexNotByKeyOrder)
{
    VariantMap m;
    for (int i = 0; i < 130; ++i) m["trips/" + std::to_string(i) + "/stop"] = "s" + std::to_string(i);
    m["trips/_size"] = 130u;
    // The map yields trips/0, trips/1, trips/10, trips/100 ... yet the JSON must count up.
    ASSERT_GE(m.keys().size(), 3u);
    ASSERT_EQ(m.keys()[2], "trips/10/stop");
    // Not const: a missing member then reads as null, where a const lookup of it is undefined.
    json j = m.toJson();
    ASSERT_EQ(j["trips"].size(), 130u);
    for (int i = 0; i < 130; ++i) EXPECT_EQ(j["trips"][i]["stop"], "s" + std::to_string(i));

    VariantMap gap;
    gap["x/+2"] = "signed";
    EXPECT_EQ(gap.toJson().dump(), R"({"x":[null,null,"signed"]})");
}

TEST(VariantMap, IndicesOutsideTheArrayLimitAreRefused)
{
    auto place = [](const std::string& key) {
        VariantMap m;
        m[key] = 1;
        return m.toJson();
    };
    EXPECT_EQ(place("x/65535")["x"].size(), 65536u);
    for (const char* key : {"x/65536", "x/4000000000", "4294967296", "x/99999999999999999999", "x/-1", "x/-0",
                            "x/+0000000065536"})
        EXPECT_THROW(place(key), std::out_of_range) << key;
    // Leading zeros alone do not make an index large.
    EXPECT_EQ(place("x/0000000")["x"].size(), 1u);
}

std::string nestedKey(size_t levels)
{
    std::string key = "k";
    for (size_t i = 1; i < levels; ++i) key += "/k";
    return key;
}

TEST(VariantMap, NestingDeeperThan256LevelsIsRefusedOnEveryWayIn)
{
    VariantMap m;
    m.set(nestedKey(256), 1);
    m[nestedKey(256) + "/"] = 2;  // slashes alone add no level
    EXPECT_THROW(m.set(nestedKey(257), 1), std::out_of_range);
    EXPECT_THROW(m[nestedKey(60000)], std::out_of_range);
    EXPECT_THROW(m.set(nestedKey(200), Variant(flatten(R"({"a":)" + std::string(57, '[') + "1" +
                                                       std::string(57, ']') + "}"))),
                 std::out_of_range);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_NO_THROW(m.toJson().dump());

    // Documents: 256 levels of arrays are taken, 257 refused leaving nothing, 40 kB refused at once.
    const auto nested = [](size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    EXPECT_EQ(flatten(nested(256)).size(), 256u);
    VariantMap refused = flatten("[1]");
    EXPECT_THROW(refused.fromJson(json::parse(nested(257))), std::out_of_range);
    EXPECT_TRUE(refused.empty());
    EXPECT_THROW(flatten(nested(20000)), std::out_of_range);
    EXPECT_THROW(flatten(R"({")" + nestedKey(257) + R"(":1})"), std::out_of_range);  // names with '/'
    // So is a string value that embeds one: 256 levels in all are taken, 257 refused; brackets in
    // its strings are no levels.
    VariantMap embedding;
    embedding["s"] = "{\"a\":" + nested(255) + "}";
    EXPECT_NO_THROW(embedding.toJson());
    embedding["s"] = "{\"a\":" + nested(256) + "}";
    EXPECT_THROW(embedding.toJson(), std::out_of_range);
    embedding["s"] = "{\"a\":\"\\\"" + std::string(300, '[') + "\"}";
    EXPECT_EQ(embedding.toJson()["s"]["a"], "\"" + std::string(300, '['));
}

TEST(VariantMap, ArrayPaddingIsBudgetedOverTheWholeConversion)
{
    VariantMap m;
    for (int i = 0; i < 16; ++i) m["a" + std::to_string(i) + "/65535"] = i;
    EXPECT_EQ(m.toJson()["a15"].size(), 65536u);  // 16 x 65,536 elements: the whole budget
    m["b/0"] = 1;
    EXPECT_THROW(m.toJson(), std::out_of_range);
    // Indices along one key add up before anything is allocated.
    VariantMap chained;
    chained
        ["65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/"
         "65535"] = 1;
    EXPECT_THROW(chained.toJson(), std::out_of_range);
}

TEST(VariantMap, InvalidUtf8IsWrittenWithReplacementCharacters)
{
    VariantMap m;
    m["v"] = std::string("a\xC3(b");
    m[std::string("k\xE2\x82")] = "valid";
    json j;
    ASSERT_NO_THROW(j = m.toJson());
    EXPECT_EQ(j.dump(), "{\"k\xEF\xBF\xBD\":\"valid\",\"v\":\"a\xEF\xBF\xBD(b\"}");
}

// The JSON library's strict serializer decides what valid UTF-8 is: text it accepts must pass
// untouched, and whatever we emit must satisfy it.
TEST(VariantMap, Utf8CheckAgreesWithTheStrictSerializer)
{
    const unsigned char interesting[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                         0xDF, 0xE0, 0xE1, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
    std::mt19937 rng(20240229);
    std::uniform_int_distribution<size_t> pick(0, sizeof interesting - 1);
    std::uniform_int_distribution<int> length(1, 8);
    int valid = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int n = length(rng); n > 0; --n) text += static_cast<char>(interesting[pick(rng)]);
        VariantMap m;
        m["v"] = text;
        m["k" + text] = 1;
        json out;
        ASSERT_NO_THROW(out = m.toJson());
        ASSERT_NO_THROW(out.dump()) << testing::PrintToString(text);
        bool strictOk = true;
        try {
            json(text).dump();
        } catch (const json::type_error&) {
            strictOk = false;
        }
        if (strictOk) {
            ++valid;
            EXPECT_EQ(out["v"], text);
            EXPECT_TRUE(out.contains("k" + text));
        }
    }
    EXPECT_GT(valid, 100);  // both branches were exercised
}

TEST(VariantMap, GetReturnsEntrySubtreeOrNull)
{
    const VariantMap m = flatten(cardText);
    const Variant card = m.get("card");
    EXPECT_EQ(card.type(), Variant::TypeMap);
    EXPECT_EQ(card.toMap().keys(), (std::vector<std::string>{"type", "uid"}));
    EXPECT_TRUE(m.get("car").isNull());
    EXPECT_TRUE(m.get("nope").isNull());
    EXPECT_EQ(m.get("card/uid").toString(), "04A1B2C3D4E5F6");
    EXPECT_EQ(m.get("card/uid").type(), Variant::TypeString);
    // Tags survive the trip through the sub-map's JSON text (non-negative numbers come back unsigned).
    EXPECT_EQ(m.get("list").toMap()["1"].type(), Variant::TypeInt);
}

TEST(VariantMap, GetWithWildcardsCutsWhereTheKeyMatched)
{
    VariantMap m = flatten(cardText);
    EXPECT_EQ(m.get("c?rd").toMap().keys(), (std::vector<std::string>{"type", "uid"}));
    EXPECT_EQ(m.get("ca*").toMap().keys(), (std::vector<std::string>{"type", "uid"}));
    EXPECT_TRUE(m.get("card/uid?").isNull());
    EXPECT_TRUE(m.get("????????????????????").isNull());

    m["a*/x"] = "literal";
    EXPECT_EQ(m.get("a*").toMap()["x"].toString(), "literal");

    VariantMap two;
    two["left/x"] = 1;
    two["right/y"] = 2;
    EXPECT_EQ(two.get("*").toMap().keys(), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(two.get("?ight").toMap().keys(), (std::vector<std::string>{"y"}));
}

TEST(VariantMap, SetSpreadsAMapValueUnderTheKey)
{
    VariantMap m = flatten(cardText);
    m["x/other"] = "stays";
    m.set("x", m.get("card"));
    EXPECT_FALSE(m.exists("x"));
    EXPECT_EQ(m["x/uid"].toString(), "04A1B2C3D4E5F6");
    EXPECT_EQ(m["x/type"].toString(), "7");
    EXPECT_EQ(m["x/other"].toString(), "stays");

    const size_t before = m.size();
    m.set("y", Variant(VariantMap()));
    EXPECT_EQ(m.size(), before);
    m.set("y", Variant(3));
    EXPECT_EQ(m["y"].type(), Variant::TypeInt);

    VariantMap copy = m;
    EXPECT_FALSE(copy != m);
    copy["y"] = 3u;  // same text, other tag
    EXPECT_TRUE(copy != m);
}

// The key is quoted as a log line may show it: escaped, and cut short with its size.
TEST(VariantMap, ConstLookupOfMissingKeyThrowsWithTheKey)
{
    const VariantMap m = flatten(cardText);
    const std::pair<std::string, std::string> rows[] = {
        {"nope", "nope"},
        {"a\nWARN\x7f\xc2\x9b\xe2\x80\xa8", "a\\nWARN\\u007f\\u009b\\u2028"},
        {std::string(64, 'k'), std::string(64, 'k')},
        {std::string(65, 'k'), std::string(64, 'k') + "... (65 bytes)"}};
    for (const auto& [key, shown] : rows) {
        try {
            (void)m[key];
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_EQ(e.what(), "Key not found: " + shown);
        }
    }
    EXPECT_FALSE(m.exists("card"));  // a prefix is no entry
}

// Card-like documents in the shape the layouts and messages use: they must come back unchanged.
const char* const corpus[] = {
    R"({"card":{"uid":"04 5A 6B 7C","type":256,"atq":"0344","sak":32,"ats":"0675778102"},
       "app":{"aid":"F21190","files":[{"no":0,"size":32,"data":"00112233445566778899AABBCCDDEEFF"},
       {"no":1,"size":16,"data":"DEADBEEF"},{"no":2,"value":-1500,"limit":2147483647}]},
       "authenticated":true,"keyVersion":0})",
    R"({"ticket":{"product":"Monatskarte Zürich","zones":[110,111,120,121,130,131,140,150,151,152,153,154,155,
       156],"valid":{"from":20240229,"to":20240331},"price":81.5,"reduced":false},
       "trips":[{"stop":"Hauptbahnhof","t":1709190000},{"stop":"Stadelhofen","t":1709190600},
       {"stop":"Tiefenbrunnen","t":1709191200},{"stop":"Küsnacht","t":1709191800},{"stop":"Erlenbach","t":1709192400},
       {"stop":"Herrliberg-Feldmeilen","t":1709193000},{"stop":"Meilen","t":1709193600},{"stop":"Uetikon","t":1709194200},
       {"stop":"Männedorf","t":1709194800},{"stop":"Stäfa","t":1709195400},{"stop":"Uerikon","t":1709196000},
       {"stop":"Feldbach","t":1709196600},{"stop":"Rapperswil","t":1709197200}]})",
    R"({"holder":{"name":"Łukasz Żółć","city":"東京","note":"🚇 line 3 → \"north\"\nside\t\\"},
       "balance":{"cents":-250,"max":4294967295,"min":-2147483648,"rate":0.125},"flags":[true,false,true,
       true,false,false,true,false,true,true,false,true],"spare":null,"history":[[1,2,3],[4,5,6],[7,8,9],
       [10,11,12],[13,14,15],[16,17,18],[19,20,21],[22,23,24],[25,26,27],[28,29,30],[31,32,33],[34,35,36]]})",
    R"([{"sam":"AV3","slot":0},{"sam":"LG","slot":1},null,"plain",7,-7,1.5,true,false,[0],{"x":{"y":{"z":"deep"}}},
       "last-but-one","last"])",
    R"({"log":{"payload":true,"received":false,"published":true},"keepAliveSec":20,"base":"tapgate/dev-01",
       "url":"ssl://127.0.0.1:8883","matrix":[[null,null],[null,"x"]],"ratio":-0.000125,"big":1e+20})",
};

TEST(VariantMap, CardCorpusSurvivesFromJsonThenToJson)
{
    for (const char* text : corpus) {
        const json original = json::parse(text);
        VariantMap m;
        m.fromJson(original);
        EXPECT_EQ(m.toJson().dump(), original.dump()) << text;
        // And once more through the map Variant's text, as a map travels inside another.
        EXPECT_EQ(Variant(m).toMap().toJson().dump(), original.dump()) << text;
    }
}

// Random documents in the shapes that round-trip: non-empty containers, member names that are
// neither numbers nor hold '/', integers of 32 bits, doubles of six digits or fewer.
json randomDocument(std::mt19937& rng, int depth)
{
    static const char* const words[] = {"ä", "uid", "Zone", "日本", "x-y", "_", "e\u0301", "🎫", "k", "AB"};
    auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int kind = depth >= 4 ? uniform(2, 7) : uniform(0, 7);
    switch (kind) {
        case 0: {
            json o = json::object();
            for (int n = uniform(1, 5); n > 0; --n)
                o[std::string(words[uniform(0, 9)]) + words[uniform(0, 9)]] = randomDocument(rng, depth + 1);
            return o;
        }
        case 1: {
            json a = json::array();
            for (int n = uniform(0, 3) == 0 ? uniform(10, 120) : uniform(1, 4); n > 0; --n)
                a.push_back(randomDocument(rng, depth + 1));
            return a;
        }
        case 2:
            return json(std::string(words[uniform(0, 9)]) + std::to_string(uniform(0, 999)));
        case 3:
            return json(uniform(-2147483647 - 1, -1));
        case 4:
            return json(static_cast<unsigned>(std::uniform_int_distribution<uint32_t>()(rng)));
        case 5:
            return json(uniform(-7999, 7999) / 8.0);
        case 6:
            return json(uniform(0, 1) == 1);
        default:
            return json();
    }
}

TEST(VariantMap, RandomDocumentsSurviveFromJsonThenToJson)
{
    std::mt19937 rng(1106);
    for (int round = 0; round < 300; ++round) {
        json doc = json::object();
        doc["root"] = randomDocument(rng, 0);
        VariantMap m;
        m.fromJson(doc);
        ASSERT_EQ(m.toJson().dump(), doc.dump());
    }
}

}  // namespace
