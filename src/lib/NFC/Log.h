// The NFC layer's trace: printf-style lines with a module prefix at debug level, and the one
// format in which every frame to and from a card or SAM is written. Static and stateless on top
// of the program log; any thread may call.
#pragma once

#include <cstdint>
#include <vector>

#include "NFC/Driver.h"

namespace NFC {

class Log
{
public:
    enum Module : uint32_t
    {
        Reader = 1,
        Crypto = 2,
        Card = 4,
        SAM = 8,
        ISO7816 = 16,
        ISO14443 = 32,
    };

    static void print(Module module, const char* format, ...) __attribute__((format(printf, 2, 3)));

    static void outgoingPICC(const std::vector<uint8_t>& frame);
    static void incomingPICC(const std::vector<uint8_t>& frame);
    static void outgoingPDU(const Driver::TPDUHeader& header, const std::vector<uint8_t>* data);
    static void outgoingPDU(const Driver::APDUHeader& header, const std::vector<uint8_t>* data);
    static void incomingPDU(const std::vector<uint8_t>* response, int sw);
};

}  // namespace NFC
