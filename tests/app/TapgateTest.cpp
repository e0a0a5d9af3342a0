// The tapgate program as a user runs it: against tapgate-emulator on a pseudo-terminal, with a bad
// command line, and with a reader that is not there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "PeerProcess.h"

namespace {

using testsupport::PeerProcess;

struct Pipe
{
    Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe()
    {
        closeWrite();
        ::close(fd[0]);
    }
    void closeWrite()
    {
        if (fd[1] >= 0)
            ::close(fd[1]);
        fd[1] = -1;
    }
    int fd[2] = {-1, -1};
};

std::string readAll(int fd)
{
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Waits until the log file holds `times` lines with `what`; false after timeoutMs.
bool waitForLog(const std::string& path, const std::string& what, size_t times, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::vector<uint8_t> log = testsupport::readFile(path);
        if (count(std::string(log.begin(), log.end()), what) >= times)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void send(int fd, const std::string& line)
{
    const std::string text = line + "\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

TEST(Tapgate, BadCommandLineShowsUsageAndExitsWithMinusOne)
{
    const struct
    {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{}, "ERROR: no reader device given"},
        {{"-x", "/dev/ttyS0"}, "ERROR: unknown option -x"},
        {{"/dev/ttyS0", "-c"}, "ERROR: option -c needs a file name"},
        {{"/dev/ttyS0", "/dev/ttyS1"}, "ERROR: unexpected argument '/dev/ttyS1'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<std::string> argv = {TAPGATE_PROGRAM};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Pipe err;
        PeerProcess tapgate(argv, {"", -1, -1, err.fd[1]});
        err.closeWrite();
        const std::string text = readAll(err.fd[0]);
        const int status = tapgate.wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 255);
        EXPECT_NE(text.find("Usage: tapgate [-c FILE] DEVICE"), std::string::npos) << text;
        EXPECT_NE(text.find(c.error), std::string::npos) << text;
    }
}

TEST(Tapgate, PrintsOneLinePerCardPlacedOnTheEmulatedReader)
{
    testsupport::TempDir dir;
    Pipe toEmulator, fromEmulator, fromTapgate;
    PeerProcess emulator({TAPGATE_EMULATOR, "--card", "ev1", "--uid", "04A1B2C3D4E5F6"},
                         {"", toEmulator.fd[0], fromEmulator.fd[1], -1});
    const std::string device = testsupport::readLine(fromEmulator.fd[0], 5000);
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;

    const std::string log = dir / "tapgate.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    PeerProcess tapgate({TAPGATE_PROGRAM, device}, {"", -1, fromTapgate.fd[1], logFd});
    ::close(logFd);

    // The first read happens on its own; the second needs the card out of the field and back.
    for (const char* step : {"start", "remove and place"}) {
        SCOPED_TRACE(step);
        if (std::string(step) != "start") {
            send(toEmulator.fd[1], "remove");
            ASSERT_TRUE(waitForLog(log, "Card removed: UID 04A1B2C3D4E5F6", 1, 5000));
            send(toEmulator.fd[1], "place");
        }
        const std::string line = testsupport::readLine(fromTapgate.fd[0], 10000);
        ASSERT_FALSE(line.empty()) << "no read within 10 s";
        const nlohmann::json read = nlohmann::json::parse(line);
        EXPECT_EQ(read.at("uid"), "04A1B2C3D4E5F6");
        EXPECT_EQ(read.at("type"), 64);
        EXPECT_TRUE(read.at("layout").is_string());
        EXPECT_TRUE(read.at("data").is_object());
        if (read.contains("error")) {
            EXPECT_NE(read["error"].at("code"), 0);
        }
    }
    tapgate.kill(SIGTERM);
    emulator.kill(SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(tapgate.wait()));
    emulator.wait();
}

TEST(Tapgate, ReaderThatIsNotThereIsRetried)
{
    testsupport::TempDir dir;
    const std::string log = dir / "tapgate.log";
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    PeerProcess tapgate({TAPGATE_PROGRAM, dir / "no-reader"}, {"", -1, -1, logFd});
    ::close(logFd);
    EXPECT_TRUE(waitForLog(log, "open: ", 2, 8000));
    EXPECT_EQ(::waitpid(tapgate.pid(), nullptr, WNOHANG), 0) << "tapgate ended";
    tapgate.kill(SIGTERM);
    tapgate.wait();
}

}  // namespace
