#include "drivers/VUrurRemote/Reader.h"

#include <utility>

namespace vurur {

namespace {

enum Code
{
    UpdateFirmware = 7,
    DisableRF = 18,
};

enum Tag
{
    TagDelay = 16,
    TagRebootRequired = 17,
    TagUpdateResult = 35,
};

const int CommandTimeoutMs = 2000;
// What command 7 tells the reader; the sender's own wait is the caller's.
const int UpdateWindowValue = 10000;

}  // namespace

Reader::Reader(Transport& transport, std::shared_ptr<T2151::FileSender> sender)
    : CommandSet(transport, std::move(sender), {CommandTimeoutMs, true})
{
}

int Reader::getInfo(Info& info)
{
    Message::Ptr answer;
    const int result = CommandSet::getInfo(info, answer);
    if (answer && answer->has(TagUpdateResult))
        info.appUpdate = answer->popStr(TagUpdateResult);
    if (answer && answer->has(TagUpdateResult))
        info.sysUpdate = answer->popStr(TagUpdateResult);
    return result;
}

int Reader::disableRF()
{
    return command(request(DisableRF), true);
}

int Reader::updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                           const Progress& progress)
{
    Message::Ptr start = request(UpdateFirmware);
    start->pushInt(TagDelay, 4, UpdateWindowValue);
    start->pushInt(TagRebootRequired, 2, 1);
    // The reader answers command 7 by starting its file receiver, not with a frame.
    if (!m_channel.transmit(start))
        return TransferFailed;
    return transferAndReport(path, timeoutSec, 1000 * timeoutSec, rebootRequired, progress);
}

}  // namespace vurur
