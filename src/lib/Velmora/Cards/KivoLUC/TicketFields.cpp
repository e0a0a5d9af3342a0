#include "Velmora/Cards/KivoLUC/TicketFields.h"

#include "Velmora/Cards/ZodezuDES/CardUtils.h"
#include "core/DateTime.h"

namespace KivoLUC {
namespace TicketFields {

namespace {

const char* const DateTimeFormat = "%Y-%m-%dT%H:%M:%SZ";
const char* const DateFormat = "%Y-%m-%d";

}  // namespace

size_t width(Kind kind)
{
    switch (kind) {
        case Kind::U16:
        case Kind::Date:
            return 2;
        case Kind::DateTime:
            return 4;
        default:
            return 1;
    }
}

size_t width(const std::vector<Field>& fields)
{
    size_t n = 0;
    for (const Field& f : fields) n += width(f.kind);
    return n;
}

void encode(const std::vector<Field>& fields, const VariantMap& map, Bytes& image, size_t at)
{
    auto it = image.begin() + static_cast<long>(at);
    for (const Field& f : fields) {
        switch (f.kind) {
            case Kind::U8:
                CardUtils::pushByte(it, static_cast<uint8_t>(map[f.key].toUInt()));
                break;
            case Kind::U16:
                CardUtils::pushShort(it, static_cast<uint16_t>(map[f.key].toUInt()));
                break;
            case Kind::DateTime:
                CardUtils::pushDateTimeC(it, ::DateTime::fromString(map[f.key].toString(), DateTimeFormat));
                break;
            case Kind::Date:
                CardUtils::pushDateC(it, ::Date::fromString(map[f.key].toString(), DateFormat));
                break;
            case Kind::Nibbles:
                CardUtils::pushByte(it, static_cast<uint8_t>((map[f.key].toUInt() & 0x0F) << 4 |
                                                             (map[f.low].toUInt() & 0x0F)));
                break;
            case Kind::Custom:
                ++it;
                break;
            case Kind::Reserved:
                CardUtils::pushByte(it, 0x00);
                break;
        }
    }
}

void decode(const std::vector<Field>& fields, const Bytes& image, size_t at, VariantMap& map)
{
    auto it = image.cbegin() + static_cast<long>(at);
    for (const Field& f : fields) {
        switch (f.kind) {
            case Kind::U8:
                map[f.key] = CardUtils::popByte(it);
                break;
            case Kind::U16:
                map[f.key] = CardUtils::popShort(it);
                break;
            case Kind::DateTime:
                map[f.key] = CardUtils::popDateTimeC(it).toString(DateTimeFormat);
                break;
            case Kind::Date:
                map[f.key] = CardUtils::popDateC(it).toString(DateFormat);
                break;
            case Kind::Nibbles: {
                const uint8_t b = CardUtils::popByte(it);
                map[f.key] = static_cast<int>(b >> 4);
                map[f.low] = static_cast<int>(b & 0x0F);
                break;
            }
            case Kind::Custom:
            case Kind::Reserved:
                ++it;
                break;
        }
    }
}

}  // namespace TicketFields
}  // namespace KivoLUC
