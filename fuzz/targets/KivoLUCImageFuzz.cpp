// The KivoLUC and KivoLUCv2 ticket images as read from a card, of any length: the input decoded as a
// first-generation page image and as a second-generation header (its first 32 bytes) and copy (the
// rest). An image too short for its record decodes to nothing; one that decodes must encode again
// to a record that decodes to the same values (dates aside: a card may hold a day or month that no
// calendar has), and nothing may read or write outside the image.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Velmora/Cards/KivoLUC/KivoLUCCardReader.h"
#include "Velmora/Cards/KivoLUCv2/KivoLUCv2CardReader.h"
#include "support/Check.h"

namespace {

void sameValues(const VariantMap& first, const VariantMap& second)
{
    FUZZ_CHECK(first.size() == second.size());
    for (const std::string& key : first.keys()) {
        const std::string text = first[key].toString();
        if (text.find('-') != std::string::npos)
            continue;
        FUZZ_CHECK(second.exists(key) && second[key].toString() == text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    const std::vector<uint8_t> input(data, data + size);

    const VariantMap first = KivoLUC::CardReader::deserializeData(input);
    FUZZ_CHECK(first.empty() == (size < KivoLUC::CardReader::RecordSize));
    if (!first.empty()) {
        const std::vector<uint8_t> record = KivoLUC::CardReader::serializeData(first);
        FUZZ_CHECK(record.size() == KivoLUC::CardReader::RecordSize);
        sameValues(first, KivoLUC::CardReader::deserializeData(record));
    }

    using V2 = KivoLUCv2::CardReader;
    const size_t split = std::min(size, V2::HeaderSize);
    const V2::CardData read{std::vector<uint8_t>(input.begin(), input.begin() + static_cast<long>(split)),
                            std::vector<uint8_t>(input.begin() + static_cast<long>(split), input.end())};
    const VariantMap second = V2::decodeData(read);
    FUZZ_CHECK(second.empty() == (size < V2::HeaderSize + V2::CopySize));
    if (!second.empty()) {
        V2 reader(nullptr, {});
        const V2::CardData encoded = reader.encodeData(second);
        FUZZ_CHECK(encoded.header.size() == V2::HeaderSize && encoded.layout.size() == V2::CopySize);
        sameValues(second, V2::decodeData(encoded));
    }
    return 0;
}
