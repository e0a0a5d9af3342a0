// The T2151 reader's command set: the shared commands with a 1000 ms time-out, where a missing tag
// reads as 0 or empty, plus setConfig (the line speed) and a firmware update that is the transfer
// and the report. Stateless; used by the thread that owns the reader, and the transport must
// outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "drivers/T2151/CommandSet.h"
#include "drivers/T2151/FileSender.h"
#include "drivers/YarusRemote/Transport.h"

namespace T2151 {

struct Config
{
    int32_t baudRate = 0;
    int32_t second = 0;
};

class Reader final : public CommandSet
{
public:
    // sender: how files reach the reader; null sends them with ZMODEM on the transport's line.
    explicit Reader(Transport& transport, std::shared_ptr<FileSender> sender = nullptr);

    int setConfig(const Config& config);
    // The transfer, then the reader's report (up to 30 s); rebootRequired is its tag 17.
    int updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                       const Progress& progress) override;
};

}  // namespace T2151
