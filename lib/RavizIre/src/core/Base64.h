// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks). Static and stateless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Base64
{
public:
    static std::string encode(const std::string& data);
    static std::string encodeV(const std::vector<uint8_t>& data);
    // Skips white space and '=' anywhere; throws std::invalid_argument on any other foreign byte.
    static std::vector<uint8_t> decodeV(const std::string& text);
};
