#include "core/String.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace {

template <typename Container>
Container split(const std::string& text, const std::string& delimiters)
{
    Container out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find_first_not_of(delimiters, pos);
        if (start == std::string::npos)
            break;
        size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        pos = end;
    }
    return out;
}

bool isTrimmed(char c) { return c == '\0' || std::isspace(static_cast<unsigned char>(c)); }

int hexNibble(char c)
{
    static const char digits[] = "0123456789ABCDEF";
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (int i = 0; i < 16; ++i)
        if (digits[i] == upper)
            return i;
    return -1;
}

}  // namespace

std::list<std::string> String::tokenize(const std::string& text, const std::string& delimiters)
{
    return split<std::list<std::string>>(text, delimiters);
}

std::vector<std::string> String::tokenizeV(const std::string& text, const std::string& delimiters)
{
    return split<std::vector<std::string>>(text, delimiters);
}

std::string String::toUpper(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string String::toLower(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool String::toBool(const std::string& text)
{
    const std::string lower = toLower(text);
    if (lower == "on" || lower == "true" || lower == "high" || lower == "1")
        return true;
    return !lower.empty() && lower[0] == 'y';
}

std::string String::fromBool(bool value) { return value ? "true" : "false"; }

bool String::isNumeric(const std::string& text)
{
    if (text.empty())
        return false;
    const char first = text[0];
    if (!std::isdigit(static_cast<unsigned char>(first)) && first != '+' && first != '-')
        return false;
    char* end = nullptr;
    const char* begin = text.c_str();
    std::strtol(begin, &end, 10);
    return end != begin && end == begin + text.size();
}

std::string String::format(const char* format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string out;
    if (needed >= 1 && needed < static_cast<int>(sizeof buffer)) {
        out.assign(buffer, static_cast<size_t>(needed));
    } else if (needed >= 1) {
        out.resize(static_cast<size_t>(needed) + 1);
        vsnprintf(&out[0], out.size(), format, again);
        out.resize(static_cast<size_t>(needed));
    }
    va_end(again);
    return out;
}

String::Bytes String::fromHex(const std::string& text)
{
    if (text.size() % 2 != 0)
        throw std::invalid_argument("Odd length!");
    Bytes out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hexNibble(text[i]);
        const int low = hexNibble(text[i + 1]);
        if (high < 0 || low < 0)
            throw std::invalid_argument("Not a hex digit!");
        out.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return out;
}

std::string String::toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

std::string String::toHex(const uint8_t* bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return out;
}

std::string String::toHexExcerpt(const Bytes& bytes, size_t maxBytes)
{
    std::string hex = toHex(bytes.data(), bytes.size() < maxBytes ? bytes.size() : maxBytes);
    if (bytes.size() > maxBytes)
        hex += "...";
    return hex;
}

std::string String::toHexExcerptSized(const Bytes& bytes, size_t maxBytes)
{
    std::string hex = toHexExcerpt(bytes, maxBytes);
    if (bytes.size() > maxBytes)
        hex += " (" + std::to_string(bytes.size()) + " bytes)";
    return hex;
}

std::string& String::ltrim(std::string& text)
{
    size_t n = 0;
    while (n < text.size() && isTrimmed(text[n]))
        ++n;
    text.erase(0, n);
    return text;
}

std::string& String::rtrim(std::string& text)
{
    size_t n = text.size();
    while (n > 0 && isTrimmed(text[n - 1]))
        --n;
    text.erase(n);
    return text;
}

std::string& String::trim(std::string& text) { return rtrim(ltrim(text)); }

std::string String::replace(const std::string& text, const std::string& from, const std::string& to)
{
    std::string out(text);
    const size_t pos = out.find(from);
    if (pos != std::string::npos)
        out.replace(pos, from.size(), to);
    return out;
}

bool String::isValidUtf8(const std::string& text)
{
    bool valid = true;
    for (size_t at = 0; at < text.size() && valid;) at += utf8Length(text, at, valid);
    return valid;
}

size_t String::utf8Length(const std::string& text, size_t at, bool& valid)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + at;
    const size_t left = text.size() - at;
    const unsigned char c = *p;
    valid = true;
    if (c < 0x80)
        return 1;
    size_t follow;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        follow = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        follow = 2;
        if (c == 0xE0)
            low = 0xA0;
        else if (c == 0xED)
            high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        follow = 3;
        if (c == 0xF0)
            low = 0x90;
        else if (c == 0xF4)
            high = 0x8F;
    } else {
        valid = false;
        return 1;
    }
    for (size_t i = 1; i <= follow; ++i) {
        if (i >= left || p[i] < low || p[i] > high) {
            valid = false;
            return i;
        }
        low = 0x80;
        high = 0xBF;
    }
    return follow + 1;
}

int64_t String::toInteger(const std::string& text, int base)
{
    std::string rest = text;
    if (base == 0) {
        if (rest.compare(0, 2, "0x") == 0) {
            rest.erase(0, 2);
            base = 16;
        } else if (!rest.empty() && rest[0] == '0') {
            rest.erase(0, 1);
            base = 8;
        } else {
            base = 10;
        }
    }
    std::istringstream in(rest);
    if (base == 16)
        in >> std::hex;
    else if (base == 8)
        in >> std::oct;
    else
        in >> std::dec;
    int64_t value = 0;
    if (!(in >> value))
        return 0;
    return value;
}

std::string String::fromInteger(int64_t value, int base, int width, char fill)
{
    std::ostringstream out;
    out.width(width);
    out.fill(fill);
    if (base == 16)
        out << std::hex << static_cast<uint64_t>(value);
    else
        out << value;
    return out.str();
}

double String::toDouble(const std::string& text)
{
    std::istringstream in(text);
    double value = 0.0;
    if (!(in >> value))
        return 0.0;
    return value;
}

std::string String::fromDouble(double value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

namespace {

// The code point of a character that is printed escaped (one that would break the line, talk to a
// terminal or, in quotes, end them), or -1 for one printed as it is: the bytes at `at`, `length` of
// them, are one whole UTF-8 character.
long escapedCode(const std::string& text, size_t at, size_t length, bool quoted)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    if (length == 1 && (byte(0) < 0x20 || byte(0) == 0x7F || (quoted && (byte(0) == '"' || byte(0) == '\\'))))
        return byte(0);
    if (length == 2 && byte(0) == 0xC2 && byte(1) < 0xA0)  // the C1 controls, CSI among them
        return byte(1);
    if (length == 3 && byte(0) == 0xE2 && byte(1) == 0x80 && (byte(2) == 0xA8 || byte(2) == 0xA9))
        return 0x2000 + byte(2) - 0x80;  // the line and paragraph separators
    return -1;
}

// As a JSON string has it: the short form where there is one, else the six-byte form with four hex
// digits.
size_t escapeOf(long code, char (&escape)[8])
{
    static const char Named[] = "\"\\\b\f\n\r\t";
    static const char Letters[] = "\"\\bfnrt";
    const char* const named = code > 0 && code < 0x80 ? std::strchr(Named, static_cast<int>(code)) : nullptr;
    const int length =
        named ? std::snprintf(escape, sizeof escape, "\\%c", Letters[named - Named])
              : std::snprintf(escape, sizeof escape, "\\u%04lx", static_cast<unsigned long>(code));
    return static_cast<size_t>(length);
}

// Appends text[at..] escaped while what it prints stays within maxBytes; else keeps only what
// stays within cutAt and returns false. Each character goes whole or not at all, so a cut never
// leaves half an escape or half a UTF-8 sequence, and only what can still be printed is looked at.
bool escapeInto(std::string& out, const std::string& text, size_t at, size_t maxBytes, size_t cutAt,
                bool quoted)
{
    size_t printed = 0;
    size_t kept = out.size();
    while (at < text.size()) {
        bool valid = false;
        const size_t length = String::utf8Length(text, at, valid);
        const long code = valid ? escapedCode(text, at, length, quoted) : -1;
        char escape[8];
        const char* piece = valid ? &text[at] : "\xEF\xBF\xBD";
        size_t pieceLength = valid ? length : 3;
        if (code >= 0) {
            pieceLength = escapeOf(code, escape);
            piece = escape;
        }
        if (printed + pieceLength > maxBytes) {
            out.resize(kept);
            return false;
        }
        out.append(piece, pieceLength);
        printed += pieceLength;
        if (printed <= cutAt)
            kept = out.size();
        at += length;
    }
    return true;
}

}  // namespace

std::string String::escaped(const std::string& text, size_t maxBytes)
{
    std::string shown;
    if (!escapeInto(shown, text, 0, maxBytes, maxBytes, true))
        shown += "...";
    return shown;
}

std::string String::escapedSized(const std::string& text, size_t maxBytes)
{
    std::string shown = escaped(text, maxBytes);
    if (text.size() > maxBytes)
        shown += " (" + std::to_string(text.size()) + " bytes)";
    return shown;
}

std::string String::excerpt(const std::string& text, size_t maxBytes)
{
    std::string shown = "\"";
    shown += escapeInto(shown, text, 0, maxBytes, maxBytes, true) ? "\"" : "\"...";
    return shown;
}

bool String::makeLineSafe(std::string& line, size_t from, size_t maxBytes, size_t cutAt)
{
    size_t at = from;
    while (at < line.size() && at - from <= maxBytes) {
        bool valid = false;
        const size_t length = utf8Length(line, at, valid);
        if (!valid || escapedCode(line, at, length, false) >= 0)
            break;
        at += length;
    }
    if (at == line.size() && at - from <= maxBytes)
        return true;
    const std::string message = line.substr(from);
    line.resize(from);
    return escapeInto(line, message, 0, maxBytes, cutAt, false);
}
