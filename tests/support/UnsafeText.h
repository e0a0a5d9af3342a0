// Text from outside as a log line shows it: one row per character or byte of each kind that could
// break the line, reach a terminal or is no UTF-8, and per kind kept as it is (those at the edges of
// the escaped ranges among them). Quote and backslash are left out: an excerpt escapes them, a line not.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Each row: the raw text, and how a line shows it.
inline std::vector<std::pair<std::string, std::string>> unsafeTexts()
{
    const auto u = [](unsigned code) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", code);
        return std::string(escape);
    };
    // clang-format off
    const std::string bad = "\xEF\xBF\xBD", bad3 = bad + bad + bad, ascii = " !#$%&'()*+,-./09:;<=>?@AZ[]^_`az{|}~",
        kept = "\xC2\xA0\xDF\xBF\xE0\xA0\x80\xE2\x80\xA7\xE2\x80\xAA\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF";
    std::vector<std::pair<std::string, std::string>> rows = {{"\x7F", u(0x7F)}, {"\xE2\x80\xA8", u(0x2028)}, {"\xE2\x80\xA9", u(0x2029)},
        {"\x80", bad}, {"\xBF", bad}, {"\xC3", bad}, {"\xE2\x82", bad}, {"\xF0\x9F\x98", bad}, {"\xC0\xAF", bad + bad},
        {"\xE0\x80\xAF", bad3}, {"\xF0\x80\x80\xAF", bad3 + bad}, {"\xED\xA0\x80", bad3}, {"\xED\xBF\xBF", bad3},
        {kept, kept}, {ascii, ascii}};
    for (unsigned c = 0; c < 0x20; ++c)
        rows.push_back({std::string(1, char(c)),
                        c == 8 ? "\\b" : c == 9 ? "\\t" : c == 10 ? "\\n" : c == 12 ? "\\f" : c == 13 ? "\\r" : u(c)});
    // clang-format on
    for (unsigned c = 0x80; c < 0xA0; ++c) rows.push_back({std::string{'\xC2', static_cast<char>(c)}, u(c)});
    for (unsigned c = 0xC0; c <= 0xFF; c = c == 0xC1 ? 0xF5 : c + 1)
        rows.push_back({std::string(1, char(c)), bad});
    return rows;
}

}  // namespace testsupport
