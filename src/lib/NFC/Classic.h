// A MIFARE Classic card: detected and reported only, so it adds nothing to the tag handle.
#pragma once

#include <memory>
#include <vector>

#include "NFC/Tag.h"

namespace NFC {

class Classic : public Tag
{
public:
    Classic(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid, const std::vector<uint8_t>& ats)
        : Tag(std::move(link), MifareClassic4K, uid, ats)
    {
    }

    static std::shared_ptr<Classic> make(std::shared_ptr<ISO14443> link, const std::vector<uint8_t>& uid,
                                         const std::vector<uint8_t>& ats)
    {
        return std::make_shared<Classic>(std::move(link), uid, ats);
    }
};

}  // namespace NFC
