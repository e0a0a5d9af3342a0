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

    // Text from outside the program (a configuration, a reader's or a card's bytes, a peer's name or
    // payload, a path) as a log line may show it, whatever bytes it holds: escaped as in a JSON
    // string, the controls DEL, C1 and the line and paragraph separators as well, so that it can
    // neither break the line nor reach a terminal, and every byte that is not UTF-8 replaced. It is
    // cut once maxBytes bytes are printed, before the character or escape that would go beyond them
    // ("..." marking the cut), so a text of control characters takes no more room than a plain one,
    // and only its first bytes are looked at. `excerpt` puts it in double quotes ("..." after the
    // closing one); `escaped` gives it bare, for a line with marks of its own around it. A path is
    // given more room than a name, so that the usual ones are shown whole; a payload more still.
    static constexpr size_t MaxExcerptBytes = 32;
    static constexpr size_t MaxTextExcerptBytes = 64;
    static constexpr size_t MaxPathExcerptBytes = 128;
    static constexpr size_t MaxPayloadExcerptBytes = 256;
    static std::string excerpt(const std::string& text, size_t maxBytes = MaxExcerptBytes);
    static std::string escaped(const std::string& text, size_t maxBytes = MaxExcerptBytes);
    // `escaped` with the text's size after it when the text has more bytes than the excerpt may
    // print ("... (70306 bytes)"), so that a line cut short says how much it left out.
    static std::string escapedSized(const std::string& text, size_t maxBytes = MaxExcerptBytes);
    // A log line's message, line[from..], made safe in place as `escaped` makes a text, but with
    // its quotes and backslashes kept: they are the line's own marks, those around its excerpts
    // among them, and break nothing. Kept whole when it prints within maxBytes; else cut before the
    // character or escape that would go beyond cutAt (room left for a mark), and false. A message
    // with nothing to escape costs one scan and no copy.
    static bool makeLineSafe(std::string& line, size_t from, size_t maxBytes, size_t cutAt);

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
