// A card record of the card-reader framework. For now only its card-type enumeration exists: the
// reader drivers carry a reader's raw tag-type byte in it. Plain value type, no I/O, no threads.
#pragma once

#include <cstdint>

namespace RFID {

class Card
{
public:
    // The card-type codes. Values outside the named ones are legal: a driver may store a reader's
    // raw tag-type byte (0 to 255) here.
    enum Type : uint32_t
    {
    };
};

}  // namespace RFID
