#include "other/zmodem/ZModem.h"

#include <termios.h>

#include <exception>

#include "core/String.h"
#include "core/Log.h"
#include "core/SerialPort.h"
#include "core/TCPClient.h"
#include "other/zmodem/libzmodem/zmodem.h"

ZModem::ZModem(SerialPort& port) : m_fd(port.getUnderlying()) {}

ZModem::ZModem(TCPClient& client) : m_fd(client.getNative()) {}

ZModem::~ZModem() = default;

bool ZModem::transmit(const std::vector<std::string>& files, int timeoutSec)
{
    struct termios saved
    {
    };
    const bool haveSettings = ::tcgetattr(m_fd, &saved) == 0;  // fails on a socket: nothing to keep

    Log::debug("[ZModem] Sending %d file(s) (timeout=%d sec)", static_cast<int>(files.size()), timeoutSec);
    bool success = false;
    try {
        std::vector<const char*> names;
        names.reserve(files.size());
        for (const auto& file : files) names.push_back(file.c_str());
        success = zmodem_send(m_fd, static_cast<int>(names.size()), names.data(), &ZModem::tick,
                              &ZModem::complete, 0, 0, this, timeoutSec);
    } catch (const std::exception& e) {
        Log::error("[ZModem] ERROR: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    Log::debug("[ZModem] Finished. Transferred %d file(s).", static_cast<int>(transferred.size()));

    if (haveSettings)
        ::tcsetattr(m_fd, TCSANOW, &saved);
    return success;
}

bool ZModem::tick(const char* name, long transferred, long total, long bps, int minutesLeft, int secondsLeft,
                  void* self)
{
    Log::debug("[ZModem] Transfer progress: name=%s transfer=%d total=%d bps=%d eta=%02d:%02d",
               String::escaped(name, String::MaxPathExcerptBytes).c_str(),
               static_cast<int>(transferred), static_cast<int>(total), static_cast<int>(bps), minutesLeft,
               secondsLeft);
    try {
        static_cast<ZModem*>(self)->progress.emit(name, transferred, total, bps, minutesLeft, secondsLeft);
    } catch (const std::exception& e) {
        // A listener's failure is no reason to break off a firmware upload.
        Log::error("[ZModem] ERROR: progress listener failed: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[ZModem] ERROR: progress listener failed");
    }
    return true;
}

void ZModem::complete(const char* name, int result, unsigned size, long date, void* self)
{
    Log::debug("[ZModem] Transfer ended: name=%s result=%d size=%d date=%d",
               String::escaped(name, String::MaxPathExcerptBytes).c_str(), result,
               static_cast<int>(size), static_cast<int>(date));
    auto* zmodem = static_cast<ZModem*>(self);
    try {
        if (result == 0)
            zmodem->transferred.push_back(name);
        zmodem->completed.emit(name, result == 0, static_cast<int>(size), static_cast<int>(date));
    } catch (const std::exception& e) {
        Log::error("[ZModem] ERROR: completion listener failed: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[ZModem] ERROR: completion listener failed");
    }
}
