#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "core/Variant.h"
#include "core/VariantMap.h"

namespace {

void expectHolds(const Variant& v, const std::string& text, int type)
{
    EXPECT_EQ(v.toString(), text);
    EXPECT_EQ(v.type(), type) << text;
}

TEST(Variant, EachAssignmentSetsItsTextAndTag)
{
    expectHolds(Variant(), "", Variant::TypeNull);
    EXPECT_TRUE(Variant().isNull());

    Variant v(-5);
    expectHolds(v, "-5", Variant::TypeInt);
    v = 7u;
    expectHolds(v, "7", Variant::TypeUInt);
    v = static_cast<unsigned char>(200);
    expectHolds(v, "200", Variant::TypeInt);
    v = static_cast<unsigned short>(65535);
    expectHolds(v, "65535", Variant::TypeInt);
    v = -70000L;
    expectHolds(v, "-70000", Variant::TypeInt);
    v = 4000000000UL;
    expectHolds(v, "4000000000", Variant::TypeUInt);
    v = 3.14159265;
    expectHolds(v, "3.14159", Variant::TypeDouble);
    EXPECT_DOUBLE_EQ(v.toDouble(), 3.14159);
    v = false;
    expectHolds(v, "false", Variant::TypeBool);
    v = "text";
    expectHolds(v, "text", Variant::TypeString);
    v = std::string("0x1A");
    expectHolds(v, "0x1A", Variant::TypeString);
    expectHolds(Variant(true), "true", Variant::TypeBool);
    // A literal must pick the string form, not the bool one.
    expectHolds(Variant("on"), "on", Variant::TypeString);
}

TEST(Variant, IntegerReadersParseTheTextWhateverTheTag)
{
    struct Case
    {
        const char* text;
        int asInt;
    };
    for (const Case& c : {Case{"010", 8}, Case{"08", 0}, Case{"0x1A", 26}, Case{"12abc", 12}, Case{"3.9", 3},
                          Case{"", 0}, Case{"abc", 0}, Case{"-42", -42}}) {
        EXPECT_EQ(Variant(c.text).toInt(), c.asInt) << c.text;
    }

    const Variant max("4294967295");
    EXPECT_EQ(max.toUInt(), 4294967295u);
    EXPECT_EQ(max.toInt(), -1);
    EXPECT_EQ(static_cast<unsigned short>(max), 65535);
    EXPECT_EQ(static_cast<unsigned char>(Variant("0x1FF")), 0xFF);
    EXPECT_EQ(Variant(true).toInt(), 0);
    EXPECT_EQ(Variant("12").toInt(), 12);
}

TEST(Variant, EqualityNeedsSameTextAndSameTag)
{
    EXPECT_FALSE(Variant("1") == Variant(1));
    EXPECT_TRUE(Variant("1") == Variant(std::string("1")));
    EXPECT_FALSE(Variant(1u) == Variant(1));
    EXPECT_FALSE(Variant() == Variant(""));
    EXPECT_TRUE(Variant("1") != Variant("01"));
}

TEST(Variant, NullTextPointerIsRefusedAndLeavesValueAlone)
{
    const char* none = nullptr;
    try {
        Variant v(none);
        FAIL() << "constructed from a null pointer";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "basic_string::_M_construct null not valid");
    }
    Variant v(12);
    EXPECT_THROW(v = none, std::logic_error);
    expectHolds(v, "12", Variant::TypeInt);
}

TEST(Variant, MapValueHoldsCompactJsonAndOnlyItParses)
{
    const Variant empty{VariantMap()};
    expectHolds(empty, "null", Variant::TypeMap);
    EXPECT_TRUE(empty.toMap().empty());

    VariantMap m;
    m["b"] = 1u;
    m["a/x"] = "y";
    const Variant v(m);
    expectHolds(v, R"({"a":{"x":"y"},"b":1})", Variant::TypeMap);
    EXPECT_FALSE(v.toMap() != m);

    // Same text, but a string is never taken for a map.
    EXPECT_TRUE(Variant(v.toString()).toMap().empty());
}

TEST(Variant, MapWithInvalidUtf8IsMadeWithReplacementCharacters)
{
    VariantMap m;
    m["name"] = std::string(
        "ab\xff\xfe"
        "c");
    Variant v;
    ASSERT_NO_THROW(v = m);
    EXPECT_EQ(v.type(), Variant::TypeMap);
    EXPECT_EQ(v.toString(),
              "{\"name\":\"ab\xEF\xBF\xBD\xEF\xBF\xBD"
              "c\"}");
    EXPECT_EQ(v.toMap()["name"].toString(),
              "ab\xEF\xBF\xBD\xEF\xBF\xBD"
              "c");
}

TEST(Variant, FailedMapAssignmentKeepsThePreviousValue)
{
    VariantMap clash;  // a value and a child under the same path cannot both be JSON
    clash["a"] = "leaf";
    clash["a/b"] = "child";
    Variant v("kept");
    EXPECT_THROW(v = clash, nlohmann::json::type_error);
    expectHolds(v, "kept", Variant::TypeString);
}

}  // namespace
