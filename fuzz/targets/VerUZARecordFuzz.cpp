// The VerUZA record as read from a card: the input's first 114 bytes (zero-filled when shorter)
// decoded into card data and encoded again without "raw" must give the same bytes; the rest of the
// input, taken as a "raw" text, must either decode to exactly one record or be refused with the
// error recorded, and never read or write outside the record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Velmora/Cards/VerUZA/VerUZACardReader.h"
#include "support/Check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    static VerUZA::CardReader reader(nullptr, {});
    const size_t cut = std::min(size, VerUZA::CardReader::RecordSize);
    std::vector<uint8_t> record(data, data + cut);
    record.resize(VerUZA::CardReader::RecordSize, 0x00);

    const VariantMap decoded = reader.decodeData(record);
    VariantMap fields;
    for (const std::string& key : decoded.keys())
        if (key != "raw")
            fields[key] = decoded[key];
    FUZZ_CHECK(reader.encodeData(fields) == record);

    VariantMap raw;
    raw["raw"] = std::string(data + cut, data + size);
    const std::vector<uint8_t> bytes = reader.encodeData(raw);
    FUZZ_CHECK(bytes.empty() ? !reader.error().ok() : bytes.size() == VerUZA::CardReader::RecordSize);
    return 0;
}
