// Text helpers: splitting, case, trimming, escaping, printf-style formatting and the text forms of
// booleans, integers, doubles and byte strings. Static and stateless; any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

class String
{
public:
    using Bytes = std::vector<uint8_t>;

    static std::list<std::string> tokenize(const std::string& text, const std::string& delimiters);
    static std::vector<std::string> tokenizeV(const std::string& text, const std::string& delimiters);

    static std::string toUpper(const std::string& text);
    static std::string toLower(const std::string& text);

    static bool toBool(const std::string& text);
    static std::string fromBool(bool value);
    static bool isNumeric(const std::string& text);

    static std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // Throws std::invalid_argument "Odd length!" or "Not a hex digit!"; accepts either case.
    static Bytes fromHex(const std::string& text);
    // Upper case, two digits per byte, no separators.
    static std::string toHex(const Bytes& bytes);
    static std::string toHex(const uint8_t* bytes, size_t count);

    static std::string& ltrim(std::string& text);
    static std::string& rtrim(std::string& text);
    static std::string& trim(std::string& text);

    static std::string replace(const std::string& text, const std::string& from, const std::string& to);
    static std::string escape(const std::string& text);
    // Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF): the set that the JSON
    // library's serializer accepts, so text that passes here never makes a dump throw.
    static bool isValidUtf8(const std::string& text);

    static int64_t toInteger(const std::string& text, int base);
    static std::string fromInteger(int64_t value, int base = 10, int width = 1, char fill = '0');
    static double toDouble(const std::string& text);
    static std::string fromDouble(double value);
};
