#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/Log.h"
#include "core/MQTT/Config.h"
#include "core/SettingStore.h"
#include "core/VariantMap.h"

namespace {

using nlohmann::json;

VariantMap mapOf(std::initializer_list<std::pair<const char*, Variant>> entries)
{
    VariantMap map;
    for (const auto& entry : entries) map.set(entry.first, entry.second);
    return map;
}

TEST(SettingStore, MapValueSpreadsIntoLeavesAndComesBackAsAGroup)
{
    SettingStore store;
    store.set("log/other", "kept");
    store.set("log", mapOf({{"payload", true}, {"received", false}}));

    EXPECT_TRUE(store.get("log/payload").toBool());
    EXPECT_EQ(store.get("log/payload").type(), Variant::TypeBool);
    EXPECT_EQ(store.get("log/received").type(), Variant::TypeBool);
    EXPECT_EQ(store.toJson(), json::parse(R"({"log":{"other":"kept","payload":true,"received":false}})"));

    Variant group = store.get("log");
    ASSERT_EQ(group.type(), Variant::TypeMap);
    VariantMap members = group.toMap();
    EXPECT_EQ(members.keys(), (std::vector<std::string>{"other", "payload", "received"}));
    EXPECT_EQ(members["payload"], Variant(true));

    // Only whole levels form a group.
    EXPECT_TRUE(store.get("lo").isNull());
    EXPECT_TRUE(store.get("log/payload/x").isNull());
    // A deeper group keeps the rest of the path.
    store.set("a/b/c", 1);
    EXPECT_EQ(store.get("a").toMap().keys(), (std::vector<std::string>{"b/c"}));

    store.set("empty", VariantMap());
    EXPECT_TRUE(store.get("empty").isNull());
}

TEST(SettingStore, JsonNestsPathsAndKeepsTypes)
{
    SettingStore store;
    store.set("a/b", 1);
    store.set("a/c", "x");
    store.set("n", Variant(2.5));
    store.set("u", Variant(7u));
    store.set("obj", "{\"k\":[1,2]}");  // text holding a JSON object is embedded as that object
    EXPECT_EQ(store.toJson(), json::parse(R"({"a":{"b":1,"c":"x"},"n":2.5,"u":7,"obj":{"k":[1,2]}})"));
    EXPECT_TRUE(store.toJson()["u"].is_number_unsigned());
    EXPECT_TRUE(store.toJson()["a"]["b"].is_number_integer());

    EXPECT_TRUE(SettingStore().toJson().is_null());
}

TEST(SettingStore, ArrayElementsGoByIndexAndHugeIndicesAreRefused)
{
    SettingStore store;
    for (int i = 0; i <= 10; ++i) store.set("x/" + std::to_string(i), i);
    json expected = json::array();
    for (int i = 0; i <= 10; ++i) expected.push_back(i);
    // The store yields x/10 before x/2; the array must not.
    EXPECT_EQ(store.toJson()["x"], expected);

    SettingStore huge;
    huge.set("x/4000000000", 1);
    EXPECT_THROW(huge.toJson(), std::out_of_range);
    // Chained indices are padded within one budget, and keys deeper than 256 levels are refused.
    SettingStore chained;
    chained.set(
        "65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/65535/"
        "65535",
        1);
    EXPECT_THROW(chained.toJson(), std::out_of_range);
    std::string deep = "k";
    for (int i = 0; i < 256; ++i) deep += "/k";
    EXPECT_THROW(chained.set(deep, 1), std::out_of_range);
    EXPECT_THROW(chained.set("k", Variant(mapOf({{deep.c_str(), 1}}))), std::out_of_range);
}

TEST(SettingStore, ConflictingPathsAndBadEmbeddedJsonThrowAndLeaveTheStore)
{
    SettingStore store;
    store.set("a", 1);
    store.set("a/b", 2);
    try {
        store.toJson();
        FAIL() << "no exception";
    } catch (const json::type_error& e) {
        EXPECT_EQ(e.id, 305);
    }
    EXPECT_EQ(store.get("a").toInt(), 1);
    EXPECT_EQ(store.get("a/b").toInt(), 2);

    SettingStore bad;
    bad.set("s", "{not json");
    EXPECT_THROW(bad.toJson(), json::parse_error);
}

TEST(MQTTConfig, DefaultsHoldTheElevenSettings)
{
    MQTT::Config config("kivo/rfid", "MQTT");
    EXPECT_EQ(config.toJson(), json::parse(R"({
        "url": "127.0.0.1:1883", "username": "", "password": "", "clientId": "",
        "base": "kivo/rfid", "keepAliveSec": 20,
        "log": {"payload": false, "subscriptions": false, "published": false, "received": false,
                "logfmt": false}})"));
    EXPECT_EQ(config.getBase(), "kivo/rfid");
    EXPECT_EQ(config.getKeepAlive(), 20);
    EXPECT_FALSE(config.getLogfmt());
    EXPECT_FALSE(config.getLogLowLevel());
    EXPECT_EQ(config.getCaFile(), "");
}

TEST(MQTTConfig, SettersAndPlainStoreWritesReachTheGetters)
{
    MQTT::Config config("b", "MQTT");
    config.setLogPayload(true);
    config.setLogSubscriptions(true);
    config.setUrl("ssl://127.0.0.1:8883");
    config.setUsername("u");
    config.setPassword("p");
    config.setBase("x/y");
    config.set("keepAliveSec", "30");
    config.set("log/received", true);
    EXPECT_TRUE(config.getLogPayload());
    EXPECT_TRUE(config.toJson()["log"]["payload"].get<bool>());
    EXPECT_TRUE(config.getLogSubscriptions());
    EXPECT_TRUE(config.getLogReceived());
    EXPECT_EQ(config.getUrl(), "ssl://127.0.0.1:8883");
    EXPECT_EQ(config.getUsername(), "u");
    EXPECT_EQ(config.getPassword(), "p");
    EXPECT_EQ(config.getBase(), "x/y");
    EXPECT_EQ(config.getKeepAlive(), 30);

    // A copy carries the switch that is not a setting.
    config.setLogLowLevel(true);
    MQTT::Config copy("other", "other");
    copy = config;
    EXPECT_TRUE(copy.getLogLowLevel());
    EXPECT_EQ(copy.toJson(), config.toJson());
}

TEST(MQTTConfig, ConstructionLogsOnceInKeyValueFormAndNamesAreNotFormats)
{
    Log::open("tapgate-test", true, false);
    testing::internal::CaptureStderr();
    MQTT::Config config("b", "remote");
    MQTT::Config odd("b", "100%s%n");
    odd.log(Log::LevelInfo, "value %d", 7);
    const std::string out = testing::internal::GetCapturedStderr();

    EXPECT_NE(out.find("lib=ravizire module=mqtt class=Config client=\"remote\" "
                       "message=\"Loading default configuration.\"\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[100%s%n::Config] value 7\n"), std::string::npos) << out;
    size_t lines = 0;
    for (char c : out) lines += c == '\n';
    EXPECT_EQ(lines, 3u) << out;
}

}  // namespace
