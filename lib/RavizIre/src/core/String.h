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
    // The hex of the first maxBytes of them, "..." after it when there were more: bytes from
    // outside (a frame, a token) as a log line may show them, never longer than about 600 bytes.
    static constexpr size_t MaxHexExcerptBytes = 256;
    static std::string toHexExcerpt(const Bytes& bytes, size_t maxBytes = MaxHexExcerptBytes);
    // The same with the number of bytes after a cut ("04E15B... (32001 bytes)"), for a line that
    // shows no length of its own; bytes shown whole read as toHex has them.
    static std::string toHexExcerptSized(const Bytes& bytes, size_t maxBytes = MaxHexExcerptBytes);

    static std::string& ltrim(std::string& text);
    static std::string& rtrim(std::string& text);
    static std::string& trim(std::string& text);

    static std::string replace(const std::string& text, const std::string& from, const std::string& to);
    // Strict UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF): the set that the JSON
    // library's serializer accepts, so text that passes here never makes a dump throw.
    static bool isValidUtf8(const std::string& text);
    // The bytes at `at` (within text) that make one character as isValidUtf8 takes them: valid, its
    // length (1 to 4); not valid, the longest start of a character found there (at least 1 byte),
    // which a reader replaces with one U+FFFD.
    static size_t utf8Length(const std::string& text, size_t at, bool& valid);

    static int64_t toInteger(const std::string& text, int base);
    static std::string fromInteger(int64_t value, int base = 10, int width = 1, char fill = '0');
    static double toDouble(const std::string& text);
    static std::string fromDouble(double value);
};
