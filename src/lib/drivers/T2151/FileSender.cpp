#include "drivers/T2151/FileSender.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "other/zmodem/ZModem.h"

namespace T2151 {

int percentOf(long transferred, long total)
{
    if (total <= 0 || transferred <= 0)
        return 0;
    if (transferred >= total)
        return 100;
    // Exact in 64 bits wherever 100 x transferred fits; beyond that only the file size is absurd.
    if (static_cast<int64_t>(transferred) <= INT64_MAX / 100)
        return static_cast<int>(int64_t{100} * transferred / total);
    return static_cast<int>(100.0L * static_cast<long double>(transferred) / static_cast<long double>(total));
}

FileSender::Events progressEvents(const std::function<void(int, int, int)>& progress)
{
    FileSender::Events events;
    if (!progress)
        return events;
    events.started = [progress] { progress(0, 0, 0); };
    events.progress = [progress](long transferred, long total, int minutes, int seconds) {
        progress(percentOf(transferred, total), minutes, seconds);
    };
    events.finished = [progress] { progress(100, 0, 0); };
    return events;
}

bool ZModemFileSender::send(const std::string& path, int timeoutSec, const Events& events)
{
    std::unique_ptr<ZModem> owned =
        m_client ? std::make_unique<ZModem>(*m_client) : std::make_unique<ZModem>(*m_port);
    ZModem& zmodem = *owned;
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
