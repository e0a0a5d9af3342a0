// The time values of the Monet driver and its three protocols, in one value that the driver and
// its readers are given, so that tests shorten the waits that only a real reader needs. Every wait
// measured against these runs on `Monet::Clock`. Copied at construction; never changed after.
#pragma once

#include <cstdint>

namespace Monet {

struct Timing
{
    // PPP link bring-up: checks of the interface flags, this far apart.
    int64_t linkCheckIntervalMs = 200;
    int linkChecks = 25;
    // After a failed bring-up the next one waits this long, doubling up to the maximum.
    int64_t bringUpBackoffMs = 2000;
    int64_t bringUpBackoffMaxMs = 300000;

    // Driver timers.
    int64_t enableDelayMs = 3000;    // first enableRF → reader enabled
    int64_t emvCompletionMs = 7000;  // tap result → transaction terminated
    int64_t idleMessagesMs = 500;    // side-channel events read before re-enabling

    // B- and N-protocol.
    int64_t requestMs = 3000;         // answer to one request
    int64_t antennaReceiveMs = 5000;  // each receive while the antenna switches
    int64_t antennaLimitMs = 15000;   // the whole antenna switch
    int64_t tmsReceiveMs = 5000;      // each receive during the TMS download
    int64_t tmsTimeoutS = 300;        // the whole TMS download
    int64_t rebootStepMs = 10000;     // one of the reboot wait's steps
    int rebootSteps = 6;              // reboot wait = rebootSteps × rebootStepMs
    int tmsAttempts = 3;              // TMS downloads tried while connecting
    int firmwareAttempts = 5;         // TMS downloads tried by a firmware update

    // Side channel.
    int64_t sideChannelIoMs = 10000;   // socket read and write time-outs
    int64_t sideRequestMs = 3000;      // answer to one request
    int64_t sidePollMs = 1000;         // presence checks, pass-through, each search receive
    int64_t searchFailSafeMs = 10000;  // search ends while unrelated frames keep coming
    int64_t drainMs = 50;              // pending frames discarded before a request, at most
    int drainFrames = 32;
};

}  // namespace Monet
