// The field walker of the Kivo limited-use tickets: a record is a table of fixed-width fields laid
// end to end, each with its card-data key, encoded into or decoded out of a byte image at a start
// offset. Integers are little-endian and keep their low bits; DateTime is the 1990-based date word
// and the 2-second time word; Date the date word alone. Encoding reads keys with the const lookup
// and so throws std::out_of_range ("Key not found: <key>") for a missing one, before the caller
// writes anything. The caller sizes the image; nothing here reads or writes past the table's width,
// and decoding a short image is refused by the callers before it gets here. Stateless.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/VariantMap.h"

namespace KivoLUC {
namespace TicketFields {

using Bytes = std::vector<uint8_t>;

enum class Kind
{
    U8,
    U16,
    DateTime,
    Date,
    // One byte: the high four bits from key, the low four from low; decoded as two ints.
    Nibbles,
    // One byte the layout fills itself (flags, zones); skipped by the walker.
    Custom,
    // One byte written 0 and skipped on reading.
    Reserved,
};

struct Field
{
    Kind kind;
    const char* key = nullptr;
    const char* low = nullptr;
};

size_t width(Kind kind);
size_t width(const std::vector<Field>& fields);

// The fields into image from at on; Custom bytes are left as they are.
void encode(const std::vector<Field>& fields, const VariantMap& map, Bytes& image, size_t at);
// The fields out of image from at on, with the typed setters (u8 and u16 unsigned, nibbles int,
// dates as text). image holds at least at + width(fields) bytes.
void decode(const std::vector<Field>& fields, const Bytes& image, size_t at, VariantMap& map);

}  // namespace TicketFields
}  // namespace KivoLUC
