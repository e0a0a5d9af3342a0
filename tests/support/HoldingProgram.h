// Another program on a reader's line, for tests of one reader, one program: a facade in a child
// process of its own, driven over a socket pair.
#pragma once

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "NFC/Reader.h"
#include "NFC/ScriptedDriver.h"
#include "PeerProcess.h"
#include "TestSupport.h"

namespace testsupport {

// Another program on the reader: a facade in a child process of its own that opens the device when
// told, with a driver that needs no reader behind the line. Forked before the test starts a thread;
// `prepare` runs first in the child (to become another user, say), which ends at once when it fails.
class HoldingProgram
{
public:
    explicit HoldingProgram(const std::string& device,
                            const std::string& lockDirectory = testsupport::lockDirectory(),
                            const std::function<bool()>& prepare = nullptr)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_line) != 0 || (m_pid = ::fork()) < 0)
            throw std::runtime_error("no holding program");
        if (m_pid == 0) {
            if (prepare && !prepare())
                ::_exit(1);
            NFC::Reader reader(
                {{NFC::Reader::DriverFactory::Serial, "held",
                  [] { return std::make_shared<testdrivers::ScriptedDriver>("held", nullptr, true); }}},
                lockDirectory);
            for (char order = 0; ::read(m_line[1], &order, 1) == 1;) {
                const std::string answer =
                    reader.open(device, 115200) ? "1\n" : "0" + reader.error().what() + "\n";
                if (::write(m_line[1], answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
                    break;
            }
            ::_exit(0);
        }
    }
    ~HoldingProgram()
    {
        kill();
        ::close(m_line[0]);
        ::close(m_line[1]);
    }

    // Whether the program opened the device when told to; why not when not.
    bool open()
    {
        const std::string answer = ::write(m_line[0], "o", 1) == 1
                                       ? testsupport::readLine(m_line[0], testsupport::PeerDeadlineMs)
                                       : "";
        m_why = answer.empty() ? "no answer" : answer.substr(1);
        return answer == "1";
    }
    const std::string& why() const { return m_why; }
    size_t descriptors() const
    {
        const auto open = std::filesystem::directory_iterator("/proc/" + std::to_string(m_pid) + "/fd");
        return static_cast<size_t>(std::distance(open, std::filesystem::directory_iterator()));
    }
    // Killed by its pid and reaped, so that whatever it held is let go by now.
    void kill()
    {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0)
            ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    int m_line[2] = {-1, -1};
    pid_t m_pid = -1;
    std::string m_why;
};

}  // namespace testsupport
