// Hex text for emulator diagnostics and test scripts, kept apart from the code under test.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace emulators {

inline std::string toHex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

// Spaces are allowed between bytes ("0B 00 04 07").
inline std::vector<uint8_t> fromHex(const std::string& text)
{
    std::vector<uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (c == ' ')
            continue;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            throw std::invalid_argument("bad hex in test data: " + text);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("odd hex in test data: " + text);
    return out;
}

}  // namespace emulators
