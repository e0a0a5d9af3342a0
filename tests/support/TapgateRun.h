// The tapgate program and tapgate-emulator started as a user starts them: the emulator's stdin and
// stdout on pipes, tapgate's stdout on a pipe and its log (stderr) in a file of a scratch
// directory. Both are ended by pid and reaped when this goes. Recording stand-ins of setserial,
// pppd and systemctl come first on tapgate's PATH, so that its Monet support never reaches the real
// ones. For targets that define TAPGATE_PROGRAM and TAPGATE_EMULATOR as the two programs' paths.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NFC/DeviceHold.h"
#include "PeerProcess.h"
#include "TestSupport.h"
#include "ToolStandIns.h"

namespace testsupport {

class TapgateRun
{
public:
    TapgateRun()
    {
        for (int* p : {m_toEmulator, m_fromEmulator, m_fromTapgate})
            if (::pipe2(p, O_CLOEXEC) != 0)
                throw std::runtime_error("pipe2 failed");
    }
    ~TapgateRun()
    {
        end();
        for (int* p : {m_toEmulator, m_fromEmulator, m_fromTapgate}) ::close(p[0]), ::close(p[1]);
    }
    TapgateRun(const TapgateRun&) = delete;
    TapgateRun& operator=(const TapgateRun&) = delete;

    // The device path the emulator prints first; empty when none comes.
    std::string startEmulator(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {TAPGATE_EMULATOR};
        argv.insert(argv.end(), args.begin(), args.end());
        m_emulator =
            std::make_unique<PeerProcess>(argv, PeerProcess::Options{"", m_toEmulator[0], m_fromEmulator[1]});
        return testsupport::readLine(m_fromEmulator[0], PeerDeadlineMs);
    }

    // In workingDirectory when one is given (tapgate moves to its own directory all the same), in a
    // network namespace of its own when asked, and program may be another copy of tapgate.
    void startTapgate(const std::vector<std::string>& args, const std::string& workingDirectory = "",
                      bool ownNetwork = false, const std::string& program = TAPGATE_PROGRAM)
    {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!args.empty())
            m_devices.push_back(args.back()[0] == '/'
                                    ? args.back()
                                    : program.substr(0, program.rfind('/') + 1) + args.back());
        const int log = ::open(logPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        m_tapgate = std::make_unique<PeerProcess>(
            argv, PeerProcess::Options{workingDirectory, -1, m_fromTapgate[1], log, ownNetwork});
        ::close(log);
    }

    // Whether a child of this process can be given a network namespace of its own; why not when not.
    static bool canHaveOwnNetwork(std::string& why)
    {
        const pid_t child = ::fork();
        if (child == 0)
            ::_exit(::unshare(CLONE_NEWNET) == 0 ? 0 : errno);
        int status = 0;
        if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
            why = "no child to try it in";
            return false;
        }
        why = WEXITSTATUS(status) ? std::strerror(WEXITSTATUS(status)) : "";
        return WEXITSTATUS(status) == 0;
    }

    // A command line to the emulator ("remove", "place").
    bool send(const std::string& command)
    {
        const std::string line = command + "\n";
        return ::write(m_toEmulator[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }
    // tapgate's next line on stdout; empty on time-out.
    std::string readLine(int timeoutMs) { return testsupport::readLine(m_fromTapgate[0], timeoutMs); }

    // tapgate's log so far, up to MaxLogBytes: a program gone wrong may log without end, and a test
    // looks at the log every few ms. Past that bound tapgate is killed, and a last line says so.
    std::string log() const
    {
        struct stat file = {};
        const int fd = ::open(logPath().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &file) != 0) {
            if (fd >= 0)
                ::close(fd);
            return std::string();
        }
        std::string text(std::min(static_cast<size_t>(file.st_size), MaxLogBytes + 1), '\0');
        const ssize_t n = ::pread(fd, text.data(), text.size(), 0);
        ::close(fd);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (text.size() > MaxLogBytes) {
            if (m_tapgate)
                m_tapgate->kill(SIGKILL);
            text.resize(MaxLogBytes);
            text +=
                "\n[test] tapgate's log passed " + std::to_string(MaxLogBytes) + " bytes: tapgate killed\n";
        }
        return text;
    }
    size_t logCount(const std::string& what) const { return occurrences(log(), what); }
    // Looks at the log every 10 ms until it holds `times` lines with `what`; false after timeoutMs.
    bool waitForLog(const std::string& what, size_t times, int timeoutMs) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (logCount(what) < times) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    PeerProcess& tapgate() { return *m_tapgate; }
    const ToolStandIns& tools() const { return m_tools; }

    // Both programs ended, and the lock files of the devices tapgate was given removed where no
    // program holds them any more (one ended by a signal leaves its file).
    void end()
    {
        for (auto* process : {m_tapgate.get(), m_emulator.get()})
            if (process) {
                process->kill(SIGTERM);
                process->wait();
            }
        for (const std::string& device : m_devices)
            NFC::DeviceHold::removeLeftover(NFC::DeviceHold::SystemDirectory, device);
        m_devices.clear();
    }

private:
    static constexpr size_t MaxLogBytes = 4 * MaxChildOutputBytes;

    std::string logPath() const { return m_dir / "tapgate.log"; }

    ToolStandIns m_tools;
    TempDir m_dir;
    std::vector<std::string> m_devices;
    int m_toEmulator[2] = {-1, -1};
    int m_fromEmulator[2] = {-1, -1};
    int m_fromTapgate[2] = {-1, -1};
    std::unique_ptr<PeerProcess> m_emulator;
    std::unique_ptr<PeerProcess> m_tapgate;
};

}  // namespace testsupport
