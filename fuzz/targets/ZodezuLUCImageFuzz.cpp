// The ZodezuLUC and ZodezuLUCv2 ticket images as read from a card: the first input byte picks the
// generation and the split of the rest into the record fields, which may come out short or long;
// the fields are decoded, the data encoded again and decoded once more. Every key must survive
// the second round unchanged, short fields read as zeros, and nothing may read or write outside
// what was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Velmora/Cards/ZodezuLUCv2/ZodezuLUCv2CardReader.h"
#include "support/Check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    if (size == 0)
        return 0;
    static ZodezuLUC::CardReader v1(nullptr, {});
    static ZodezuLUCv2::CardReader v2(nullptr, {});
    ZodezuLUC::CardReader& reader = (data[0] & 0x01) ? static_cast<ZodezuLUC::CardReader&>(v2) : v1;
    // Bit 1 clear: the fields have their card sizes; set: each takes what the next byte says.
    const bool exact = (data[0] & 0x02) == 0;
    const size_t infoSize = (data[0] & 0x01) ? 28 : 26;
    const uint8_t* p = data + 1;
    const uint8_t* const end = data + size;
    auto take = [&](size_t n) {
        if (!exact && p < end)
            n = *p++ % 48;
        const size_t k = std::min(n, static_cast<size_t>(end - p));
        std::vector<uint8_t> out(p, p + k);
        p += k;
        return out;
    };
    ZodezuLUC::CardReader::CardData image;
    image.blockStatus = take(4);
    image.cardInfo = take(infoSize);
    image.layoutData = take(32);

    const VariantMap first = reader.decodeCardData(image);
    FUZZ_CHECK(first.size() == ((data[0] & 0x01) ? 29u : 28u));
    const ZodezuLUC::CardReader::CardData again = reader.encodeCardData(first);
    FUZZ_CHECK(again.blockStatus.size() == 4 && again.cardInfo.size() == infoSize &&
               again.layoutData.size() == 32);
    const VariantMap second = reader.decodeCardData(again);
    for (const std::string& key : first.keys())
        FUZZ_CHECK(second.exists(key) && second[key].toString() == first[key].toString());
    return 0;
}
