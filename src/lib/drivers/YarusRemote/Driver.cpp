#include "drivers/YarusRemote/Driver.h"

#include <exception>

#include "core/Log.h"
#include "core/Thread.h"

namespace YarusRemote {

namespace {

const std::vector<int>& autobaudRates()
{
    // 14400 is no line rate of ours: the port falls back to 9600, so that step repeats 9600.
    static const std::vector<int> rates = {9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800};
    return rates;
}

const int PingTimeoutMs = 50;
const int SwitchPauseMs = 500;
const int FirmwareTimeoutSec = 30;

}  // namespace

Driver::Driver(std::shared_ptr<T2151::FileSender> sender)
    : CommandDriver(m_reader, "[T2151] ", FirmwareTimeoutSec),
      m_transport(m_port),
      m_reader(m_transport, std::move(sender))
{
}

Driver::~Driver()
{
    m_port.close();
}

bool Driver::attach(const std::string& device, int baud, std::string* error)
{
    m_port.close();
    m_transport.reset();

    if (!m_port.open(device, baud, -1, 8, 1, 0)) {
        if (error)
            *error = m_port.errorStr();
        return false;
    }
    // Pseudo-terminals and some USB bridges refuse the flag; the line works without it.
    m_port.setLowLatency(true);

    if (!answersPing(PingTimeoutMs)) {
        Log::warning("[T2151] No response from device @ %d. Trying autobaud", baud);
        bool found = false;
        for (int rate : autobaudRates()) {
            m_port.setBaudrate(static_cast<unsigned>(rate));
            Log::debug("[T2151] Trying @ %d baud", rate);
            if (answersPing(PingTimeoutMs)) {
                Log::info("[T2151] Detected baud rate    : %d baud", rate);
                found = true;
                break;
            }
        }
        if (!found) {
            Log::debug("[T2151] Failed to find suitable baud rate.");
            return false;
        }
        T2151::Config config;
        config.baudRate = baud;
        config.second = 0;
        if (m_reader.setConfig(config) == T2151::Reader::OK) {
            Log::info("[T2151] Changing baud rate to : %d baud", baud);
            m_port.setBaudrate(static_cast<unsigned>(baud));
            Thread::sleep(SwitchPauseMs);
        }
    }

    if (m_reader.getInfo(m_info) != T2151::Reader::OK)
        return false;
    return true;
}

// Restores the line's earlier settings.
void Driver::detach()
{
    m_port.close();
}

NFC::Driver::Info Driver::info() const
{
    return describe(m_info, "n/a", "n/a");
}

// The command set has no RF-off command: the reader gets the same request as for enableRF.
bool Driver::disableRF()
{
    return guarded("disableRF", false, [&] { return m_reader.enableRF() == T2151::Reader::OK; });
}

}  // namespace YarusRemote
