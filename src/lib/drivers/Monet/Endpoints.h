// Where the Monet reader and its three channels are: the reader's address on the PPP link, the
// reader's ports, the local ports and address the UDP answers arrive on, and the link's
// interface. A plain value copied into the driver and its transports at construction; tests give
// loopback addresses and port 0 (the system chooses, the transport tells which).
#pragma once

#include <cstdint>
#include <string>

namespace Monet {

struct Endpoints
{
    // The reader's fixed address on the PPP link.
    std::string host = "192.168.10.6";
    uint16_t bPort = 33333;
    uint16_t nPort = 33332;
    uint16_t sideChannelPort = 33330;
    // Local ports the reader answers to; 0 lets the system choose.
    uint16_t bListenPort = 33333;
    uint16_t nListenPort = 33332;
    // Local address the UDP servers bind to; "0.0.0.0" is every local address.
    std::string bindAddress = "0.0.0.0";
    std::string interface = "ppp0";
};

}  // namespace Monet
