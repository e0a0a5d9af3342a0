// The networked reader's command set: the T2151 commands with a 2000 ms time-out, disableRF
// (command 18), no setConfig, two update-result texts in getInfo and a firmware update that starts
// with command 7. An answer without a result, or without a reply tag its command reads, is
// malformed (2), never an exception. Stateless; the transport must outlive it.
#pragma once

#include <memory>
#include <string>

#include "drivers/T2151/CommandSet.h"
#include "drivers/T2151/FileSender.h"
#include "drivers/VUrurRemote/Transport.h"

namespace vurur {

struct Info : T2151::Info
{
    std::string appUpdate;  // first tag 35
    std::string sysUpdate;  // second tag 35
};

using HardwareStatus = T2151::HardwareStatus;
using Status = T2151::Status;
using CommSettings = T2151::CommSettings;
using TPDUHeader = T2151::TPDUHeader;
using APDUHeader = T2151::APDUHeader;

class Reader final : public T2151::CommandSet
{
public:
    // sender: how files reach the reader; null sends them with ZMODEM on the transport's client.
    explicit Reader(Transport& transport, std::shared_ptr<T2151::FileSender> sender = nullptr);

    // A missing tag 3 to 7 gives 2 and leaves the later ones untouched; the update texts are read
    // whenever present.
    int getInfo(Info& info);
    int disableRF();
    // Command 7, the transfer, then up to timeoutSec for the reader's report; rebootRequired is
    // its tag 17 (untouched when the update fails or the tag is missing).
    int updateFirmware(const std::string& path, int timeoutSec, bool& rebootRequired,
                       const Progress& progress) override;
};

}  // namespace vurur
