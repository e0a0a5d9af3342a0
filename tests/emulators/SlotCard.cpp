#include "emulators/SlotCard.h"

namespace emulators {

Bytes SlotCard::Apdu::encode() const
{
    Bytes out = {cla, ins, p1, p2};
    if (!data.empty()) {
        out.push_back(static_cast<uint8_t>(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    }
    if (hasLe)
        out.push_back(static_cast<uint8_t>(le));
    return out;
}

}  // namespace emulators
