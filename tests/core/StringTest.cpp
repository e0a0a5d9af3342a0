#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include "TestSupport.h"
#include "UnsafeText.h"
#include "core/Base64.h"
#include "core/Random.h"
#include "core/String.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(String, TokenizeDropsEmptyPieces)
{
    EXPECT_EQ(String::tokenizeV(",a,,b,", ","), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(String::tokenizeV("a, b", ", "), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(String::tokenizeV("abc", ","), (std::vector<std::string>{"abc"}));
    EXPECT_TRUE(String::tokenize("", ",").empty());
    EXPECT_TRUE(String::tokenize(",,,", ",").empty());
}

TEST(String, HexRoundTripAndRejections)
{
    EXPECT_EQ(String::toHex(Bytes{0x0A, 0xFF}), "0AFF");
    EXPECT_EQ(String::fromHex("0aff"), (Bytes{0x0A, 0xFF}));
    EXPECT_EQ(String::toHex(Bytes{}), "");
    EXPECT_TRUE(String::fromHex("").empty());
    auto thrown = [](const std::string& text) {
        try {
            String::fromHex(text);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("nothing");
    };
    EXPECT_EQ(thrown("0AF"), "Odd length!");
    EXPECT_EQ(thrown("0G"), "Not a hex digit!");
    EXPECT_EQ(thrown("0A FF"), "Odd length!");  // length is checked before any digit
    EXPECT_EQ(thrown("0A  FF"), "Not a hex digit!");
    EXPECT_EQ(thrown("0x0A"), "Not a hex digit!");
    EXPECT_EQ(thrown(std::string("0\0", 2)), "Not a hex digit!");
}

// An excerpt that left bytes out says how many there were; one shown whole reads as before, and
// text cut for its escapes alone keeps only the mark.
TEST(String, SizedExcerptsSayTheSizeOfWhatTheyCut)
{
    const std::tuple<size_t, size_t, std::string> hexRows[] = {{3, 4, "0A0A0A"},
                                                               {4, 4, "0A0A0A0A"},
                                                               {5, 4, "0A0A0A0A... (5 bytes)"},
                                                               {0, 0, ""},
                                                               {1, 0, "... (1 bytes)"}};
    for (const auto& [size, maxBytes, shown] : hexRows)
        EXPECT_EQ(String::toHexExcerptSized(Bytes(size, 0x0A), maxBytes), shown) << size;
    const std::tuple<std::string, size_t, std::string> textRows[] = {
        {"abc", 4, "abc"},  {"abcd", 4, "abcd"}, {"abcde", 4, "abcd... (5 bytes)"},
        {"a\n", 2, "a..."}, {"a\n", 3, "a\\n"},  {"\xC3\xA9\xE2\x80\xA8", 4, "\xC3\xA9... (5 bytes)"}};
    for (const auto& [text, maxBytes, shown] : textRows)
        EXPECT_EQ(String::escapedSized(text, maxBytes), shown) << text;
}

TEST(String, BoolForms)
{
    for (const char* t : {"ON", "True", "HIGH", "1", "y", "yes", "Yellow"})
        EXPECT_TRUE(String::toBool(t)) << t;
    for (const char* t : {"0", "off", "false", "no", "", "2"})
        EXPECT_FALSE(String::toBool(t)) << t;
    EXPECT_EQ(String::fromBool(true), "true");
    EXPECT_EQ(String::fromBool(false), "false");
}

TEST(String, IsNumericNeedsWholeTextInBase10)
{
    for (const char* t : {"123", "-5", "+7", "0"})
        EXPECT_TRUE(String::isNumeric(t)) << t;
    for (const char* t : {"", "12a", " 12", "1.5", "-", "+", "12 "})
        EXPECT_FALSE(String::isNumeric(t)) << t;
}

TEST(String, ToIntegerChoosesBaseFromPrefix)
{
    EXPECT_EQ(String::toInteger("0x1f", 0), 31);
    EXPECT_EQ(String::toInteger("017", 0), 15);
    EXPECT_EQ(String::toInteger("17", 0), 17);
    EXPECT_EQ(String::toInteger("-17", 0), -17);
    EXPECT_EQ(String::toInteger("abc", 0), 0);
    EXPECT_EQ(String::toInteger("0", 0), 0);
    EXPECT_EQ(String::toInteger("0X10", 0), 0);
    EXPECT_EQ(String::toInteger("ff", 16), 255);
    EXPECT_EQ(String::toInteger("0xff", 16), 255);
    EXPECT_EQ(String::toInteger("12abc", 10), 12);
    EXPECT_EQ(String::toInteger("4294967295", 10), 4294967295LL);
}

TEST(String, FromIntegerPadsInFront)
{
    EXPECT_EQ(String::fromInteger(255, 16, 4, '0'), "00ff");
    EXPECT_EQ(String::fromInteger(255, 8, 4, '0'), "0255");
    EXPECT_EQ(String::fromInteger(-1, 16, 1, '0'), "ffffffffffffffff");
    EXPECT_EQ(String::fromInteger(-5, 10, 4, '0'), "00-5");
    EXPECT_EQ(String::fromInteger(42), "42");
}

TEST(String, DoubleForms)
{
    EXPECT_EQ(String::fromDouble(3.14159265), "3.14159");
    EXPECT_EQ(String::fromDouble(1000000.0), "1e+06");
    EXPECT_EQ(String::fromDouble(0.5), "0.5");
    EXPECT_EQ(String::fromDouble(100.0), "100");
    EXPECT_DOUBLE_EQ(String::toDouble(" 2.5xyz"), 2.5);
    EXPECT_DOUBLE_EQ(String::toDouble("nope"), 0.0);
}

TEST(String, ReplaceTrim)
{
    EXPECT_EQ(String::replace("a-b-c", "-", "+"), "a+b-c");
    EXPECT_EQ(String::replace("abc", "x", "y"), "abc");
    EXPECT_EQ(String::replace("abc", "", ">"), ">abc");
    std::string t("ab\0 ", 4);
    EXPECT_EQ(String::rtrim(t), "ab");
    std::string u = " \t x \n";
    EXPECT_EQ(String::trim(u), "x");
    std::string blank = " \r\n";
    EXPECT_EQ(String::trim(blank), "");
}

// Outside text in a log line: each character that could break the line, reach a terminal or end the
// quotes escaped, each byte that is no UTF-8 replaced; then cut on the bytes printed, never inside an
// escape or a character ("..." marks the cut): whole at its printed length and one over, cut one under.
TEST(String, ExcerptEscapesEveryUnsafeKindAndIsBoundedOnWhatItPrints)
{
    for (const auto& [raw, shown] : testsupport::unsafeTexts())
        EXPECT_EQ(String::escaped("<" + raw + "\"\\>", 200), "<" + shown + "\\\"\\\\>") << raw;
    const std::string e = "\xC3\xA9";
    const std::tuple<std::string, size_t, std::string> rows[] = {
        {"ab\x1b", 8, "\"ab\\u001b\""},   {"ab\x1b", 7, "\"ab\"..."}, {"ab\x1b", 9, "\"ab\\u001b\""},
        {"ab" + e, 4, "\"ab" + e + "\""}, {"ab" + e, 3, "\"ab\"..."}, {"ab" + e, 5, "\"ab" + e + "\""},
    };
    for (const auto& [text, maxBytes, shown] : rows)
        EXPECT_EQ(String::excerpt(text, maxBytes), shown) << maxBytes;
    EXPECT_EQ(String::escaped("ab\n", 3), "ab...");
}

TEST(String, FormatLongOutputIsComplete)
{
    const std::string big(600, 'x');
    EXPECT_EQ(String::format("%s", big.c_str()), big);
    EXPECT_EQ(String::format("%s|%d", big.c_str(), 7).size(), 602u);
    EXPECT_EQ(String::format("%s", ""), "");
    EXPECT_EQ(String::format("%d-%s", 5, "x"), "5-x");
}

TEST(Base64, PublishedVectors)
{
    const auto doc = testsupport::loadVectors("rfc4648_base64.json");
    int checked = 0;
    for (const auto& v : doc.at("cases")) {
        const std::string plain = v.at("input_ascii").get<std::string>();
        const std::string encoded = v.at("base64").get<std::string>();
        EXPECT_EQ(Base64::encode(plain), encoded);
        const Bytes decoded = Base64::decodeV(encoded);
        EXPECT_EQ(std::string(decoded.begin(), decoded.end()), plain);
        ++checked;
    }
    EXPECT_GE(checked, 7);
}

TEST(Base64, DecodingIsLenientOnPaddingAndBlanksOnly)
{
    EXPECT_EQ(Base64::decodeV("YW Jj"), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(Base64::decodeV("YQ"), Bytes{'a'});
    EXPECT_EQ(Base64::decodeV("YQ="), Bytes{'a'});
    EXPECT_EQ(Base64::decodeV("YQ=="), Bytes{'a'});
    EXPECT_THROW(Base64::decodeV("YQ*"), std::invalid_argument);
    EXPECT_THROW(Base64::decodeV("YQ\xC3\xA9"), std::invalid_argument);
    EXPECT_EQ(Base64::encodeV(Bytes{0xFF, 0xFE, 0x00}), "//4A");
}

TEST(Random, AppendsEightOddParityBytesPerCall)
{
    Bytes out{0x42};
    Random::generate(out);
    Random::generate(out);
    ASSERT_EQ(out.size(), 17u);
    EXPECT_EQ(out[0], 0x42);
    for (size_t i = 1; i < out.size(); ++i)
        EXPECT_EQ(__builtin_popcount(out[i]) % 2, 1) << i;
    EXPECT_NE(Bytes(out.begin() + 1, out.begin() + 9), Bytes(out.begin() + 9, out.end()));
}

}  // namespace
