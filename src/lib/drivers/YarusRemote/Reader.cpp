#include "drivers/YarusRemote/Reader.h"

#include <utility>

namespace T2151 {

namespace {

const int SetConfig = 4;
const int CommandTimeoutMs = 1000;
const int ReportTimeoutMs = 30000;

}  // namespace

Reader::Reader(Transport& transport, std::shared_ptr<FileSender> sender)
    : CommandSet(transport, std::move(sender), {CommandTimeoutMs, false})
{
}

int Reader::setConfig(const Config& config)
{
    Message::Ptr message = request(SetConfig);
    message->pushInt(12, 4, config.baudRate);
    message->pushInt(13, 1, config.second);
    return command(message, true);
}

int Reader::updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                           const Progress& progress)
{
    return transferAndReport(path, timeoutSec, ReportTimeoutMs, rebootRequired, progress);
}

}  // namespace T2151
