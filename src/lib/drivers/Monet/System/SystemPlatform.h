// The Monet platform of the real board: setserial, pppd and systemctl started straight from their
// argument vectors (found on PATH, never through a shell), the serial tools only on a character
// device, a link's state read from the flags file of the interface asked about. Stops only the
// pppd it started, and always reaps it; a pppd that detaches is followed through its pid file to
// the process that goes on, and, not being our child, is only ever signalled through a pidfd taken
// while its identity was checked. The pppd it starts ends with the program; one that an earlier
// start left on the same device and speed is stopped before a new one starts. Only the program
// links this; tests and the library default use platforms that run nothing. One per program,
// shared by its drivers; any thread may call it.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

#include "drivers/Monet/Platform.h"

namespace Monet {

class SystemPlatform final : public Platform
{
public:
    // netPath holds a directory per interface with its flags file, as /sys/class/net does; procPath
    // a directory per process, as /proc does, where a pppd left by an earlier start is looked for.
    explicit SystemPlatform(std::string netPath = "/sys/class/net", std::string pidFilePath = "/var/run/ppp0.pid",
                            std::string procPath = "/proc");
    // Leaves a running pppd alone: one that detached keeps the link, which the next start finds up.
    ~SystemPlatform() override = default;
    SystemPlatform(const SystemPlatform&) = delete;
    SystemPlatform& operator=(const SystemPlatform&) = delete;

    bool interfaceExists(const std::string& name) override;
    // The interface's flags file's text has 6 or more characters and a '1' at index 5 (0x1091: up).
    bool linkUp(const std::string& name) override;
    void setLowLatency(const std::string& device) override;
    bool startPppd(const std::string& device, int baud) override;
    // SIGTERM, SIGKILL after about 1 s, reaped either way.
    void stopPppd() override;
    // Runs "systemctl restart tapgate" once in the life of the program; later calls are logged only.
    void restartService() override;
    bool holdsDevice(const std::string& device) override;

private:
    void stopLocked();
    // Forgets our pppd once it has ended on its own, or follows it when it detached.
    void reapLocked();
    // The pid in pppd's pid file when that process is the pppd we started; else -1.
    pid_t detachedPppd() const;
    // The process is a pppd on the device and speed we started ours with.
    bool isOurPppd(pid_t pid) const;
    // The process whose /proc directory this is runs pppd with argv ending "\0device\0baud\0".
    static bool runsPppd(const std::string& process, const std::string& args);
    // Stops each pppd on args that an earlier start of the program left running: SIGTERM, SIGKILL
    // after about 1 s.
    void stopLeftoversLocked(const std::string& args);
    // Stops pid when, looked at through a pidfd taken first, it runs pppd on args (process is its
    // /proc directory): SIGTERM, SIGKILL after about 1 s while it still does, both sent through that
    // pidfd. False, with nothing sent, when it has ended or is not that pppd.
    static bool stopPppdProcess(pid_t pid, const std::string& process, const std::string& args);

    const std::string m_netPath;
    const std::string m_pidFilePath;
    const std::string m_procPath;
    std::mutex m_mutex;
    pid_t m_pppd = -1;
    // m_pppd is the background pppd, not our child.
    bool m_detached = false;
    std::string m_pppdDevice;
    // "\0device\0baud\0": the end of our pppd's command line.
    std::string m_pppdArgs;
    bool m_restarted = false;
};

namespace process {

// Starts argv[0] from PATH with stdin and stdout on /dev/null; -1 when it could not be started.
// A deathSignal other than 0 is sent to it when the thread that called this ends (with the
// program, as long as that is the thread that runs the driver for the program's life).
[[nodiscard]] pid_t spawn(const std::vector<std::string>& argv, int deathSignal = 0);
// Waits up to ms for the child to end and reaps it; its wait status, or -1 when it still runs.
[[nodiscard]] int waitFor(pid_t pid, int ms);
// Waits up to ms for a process that is not our child to end; true when it has.
[[nodiscard]] bool gone(pid_t pid, int ms);
// Runs argv to its end (killed after limitMs); the wait status, or -1 when it did not start.
int run(const std::vector<std::string>& argv, int limitMs);

}  // namespace process

}  // namespace Monet
