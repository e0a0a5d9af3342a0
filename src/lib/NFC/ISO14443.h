// The contactless link: every tag object sends its frames to the card through one of these, and
// each frame is traced both ways. It shares the driver; used on the reader's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "NFC/Driver.h"

namespace NFC {

class ISO14443
{
public:
    explicit ISO14443(std::shared_ptr<Driver> driver);

    bool checkPresence();
    // Raw ISO 14443-3 frame: the caller adds and checks CRC_A.
    bool TDX3(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);
    // ISO 14443-4 exchange: the reader runs the block protocol.
    bool TDX4(const std::vector<uint8_t>& tx, std::vector<uint8_t>& rx);
    std::shared_ptr<Driver> driver() const { return m_driver; }

private:
    std::shared_ptr<Driver> m_driver;
};

}  // namespace NFC
