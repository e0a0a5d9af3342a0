// Hex and Base64 text from files, settings and peers: decoding refuses what it cannot take with
// std::invalid_argument and nothing else, and whatever decodes comes back unchanged through the
// encoder. The input is also taken as bytes to encode and decode again.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/Base64.h"
#include "core/String.h"
#include "support/Check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<uint8_t> bytes(data, data + size);

    try {
        const std::vector<uint8_t> decoded = String::fromHex(text);
        FUZZ_CHECK(decoded.size() * 2 == text.size());
        FUZZ_CHECK(String::toUpper(String::toHex(decoded)) == String::toUpper(text));
    } catch (const std::invalid_argument&) {
    }

    try {
        const std::vector<uint8_t> decoded = Base64::decodeV(text);
        FUZZ_CHECK(decoded.size() <= text.size());
        FUZZ_CHECK(Base64::decodeV(Base64::encodeV(decoded)) == decoded);
    } catch (const std::invalid_argument&) {
    }

    FUZZ_CHECK(String::fromHex(String::toHex(bytes)) == bytes);
    const std::string encoded = Base64::encodeV(bytes);
    FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    FUZZ_CHECK(Base64::decodeV(encoded) == bytes);
    FUZZ_CHECK(Base64::encode(text) == encoded);
    return 0;
}
