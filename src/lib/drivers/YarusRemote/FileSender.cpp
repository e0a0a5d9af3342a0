#include "drivers/YarusRemote/FileSender.h"

#include <algorithm>

#include "other/zmodem/ZModem.h"

namespace T2151 {

bool ZModemFileSender::send(const std::string& path, int timeoutSec, const Events& events)
{
    ZModem zmodem(m_port);
    zmodem.progress.connect(
        [&events](const std::string&, long transferred, long total, long, int minutes, int seconds) {
            if (events.progress)
                events.progress(transferred, total, minutes, seconds);
        });
    zmodem.completed.connect([&events](const std::string&, bool, int, int) {
        if (events.finished)
            events.finished();
    });
    if (events.started)
        events.started();
    if (!zmodem.transmit({path}, timeoutSec))
        return false;
    // The sender also finishes when the receiver skipped the file: only a completed file counts.
    const auto& done = zmodem.transferredFiles();
    return std::find(done.begin(), done.end(), path) != done.end();
}

}  // namespace T2151
