#include "core/Base64.h"

#include <cctype>
#include <stdexcept>

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t maxInput = 0xBFFFFFFDu;

std::string encodeBytes(const uint8_t* data, size_t size)
{
    std::string out((size + 2) / 3 * 4, '=');
    size_t o = 0;
    uint32_t acc = 0;
    int bits = 0;
    for (size_t i = 0; i < size; ++i) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out[o++] = alphabet[(acc >> bits) & 0x3F];
        }
    }
    if (bits > 0)
        out[o++] = alphabet[(acc << (6 - bits)) & 0x3F];
    return out;
}

int valueOf(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::string Base64::encode(const std::string& data)
{
    if (data.size() > maxInput)
        throw std::length_error("String too large to be converted to base64.");
    return encodeBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::string Base64::encodeV(const std::vector<uint8_t>& data)
{
    if (data.size() > maxInput)
        throw std::length_error("Data too large to be converted to base64.");
    return encodeBytes(data.data(), data.size());
}

std::vector<uint8_t> Base64::decodeV(const std::string& text)
{
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '=' || (c < 0x80 && std::isspace(c)))
            continue;
        const int v = valueOf(c);
        if (v < 0)
            throw std::invalid_argument("Data contains characters not legal in a base64 encoded string.");
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}
