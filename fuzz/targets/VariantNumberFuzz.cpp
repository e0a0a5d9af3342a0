// Numbers in text as cards, settings and peers give them: Variant's integer, floating and boolean
// readers and the text conversions under them take any text without failing, and numbers written
// by the program read back as themselves.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/String.h"
#include "core/Variant.h"
#include "support/Check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    const Variant value(text);
    (void)value.toInt();
    (void)value.toUInt();
    (void)value.toDouble();
    (void)value.toBool();
    (void)static_cast<unsigned char>(value);
    (void)static_cast<unsigned short>(value);
    for (int base : {0, 8, 10, 16}) (void)String::toInteger(text, base);
    (void)String::isNumeric(text);
    (void)String::toDouble(text);

    if (size >= 8) {
        int64_t number = 0;
        std::memcpy(&number, data, sizeof number);
        FUZZ_CHECK(String::toInteger(String::fromInteger(number), 10) == number);
        if (number >= 0)
            FUZZ_CHECK(String::toInteger(String::fromInteger(number, 16), 16) == number);

        const int32_t low = static_cast<int32_t>(number);
        FUZZ_CHECK(Variant(static_cast<int>(low)).toInt() == low);
        FUZZ_CHECK(Variant(static_cast<unsigned int>(low)).toUInt() == static_cast<uint32_t>(low));
        FUZZ_CHECK(Variant(static_cast<long>(number)).toInt() == low);

        double real = 0;
        std::memcpy(&real, data, sizeof real);
        if (std::isfinite(real)) {
            // The text form keeps six significant digits; reading it back must stay that close.
            const double back = Variant(real).toDouble();
            FUZZ_CHECK(std::fabs(back - real) <= std::fabs(real) * 1e-5);
        }
    }
    return 0;
}
