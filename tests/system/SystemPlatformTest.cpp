// The system platform against recording stand-ins of setserial, pppd and systemctl (first on PATH):
// what it runs, what it refuses to run, how it stops the pppd it started, how it reads the flags.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "ToolStandIns.h"
#include "core/Log.h"
#include "drivers/Monet/System/SystemPlatform.h"

namespace {

using Lines = std::vector<std::string>;
using testsupport::ToolStandIns;

class SystemPlatformTest : public ::testing::Test
{
protected:
    void SetUp() override { Log::open("tapgate-test", true, false), Log::setLevel(Log::LevelError); }

    ToolStandIns tools;
};

TEST_F(SystemPlatformTest, RunsTheToolsWithTheirExactArgumentsOnlyOnACharacterDevice)
{
    const struct
    {
        std::string device;
        Lines records;
    } cases[] = {
        {"/dev/null", {"setserial|/dev/null|low_latency|", "pppd|/dev/null|115200|"}},
        {"/dev/null;reboot", {}}, {"/dev/null 9600 x", {}}, {"dev/null", {}}, {"-detach", {}},
        {tools.path("setserial"), {}},  // a file, not a line
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        std::remove(tools.recordPath().c_str());
        Monet::SystemPlatform platform;
        platform.setLowLatency(c.device);
        EXPECT_EQ(platform.startPppd(c.device, 115200), !c.records.empty());
        EXPECT_EQ(platform.holdsDevice(c.device), !c.records.empty());
        EXPECT_TRUE(c.records.empty() || tools.pppdPid() > 0);  // the stand-in has recorded its run
        platform.stopPppd();
        EXPECT_FALSE(platform.holdsDevice(c.device));
        EXPECT_EQ(tools.records(), c.records);
    }
    std::remove(tools.recordPath().c_str());
    Monet::SystemPlatform platform;  // the service restarts once in the program's life
    platform.restartService();
    platform.restartService();
    EXPECT_EQ(tools.records(), Lines{"systemctl|restart|tapgate|"});

    // PATH holds the stand-ins alone, so that taking pppd's away can never reach a real one.
    ::setenv("PATH", tools.path("").c_str(), 1);
    ASSERT_EQ(::unlink(tools.path("pppd").c_str()), 0);
    EXPECT_FALSE(platform.startPppd("/dev/null", 115200));
}

TEST_F(SystemPlatformTest, StopsOnlyItsOwnPppdByPidAndKillsOneIgnoringSigtermAfterASecond)
{
    // Another pppd, not ours: the same name, started by someone else.
    testsupport::TempDir otherDir;
    ASSERT_EQ(::symlink("/bin/sleep", (otherDir / "pppd").c_str()), 0);
    testsupport::PeerProcess other({otherDir / "pppd", "30"}, {});
    Monet::SystemPlatform platform("/sys/class/net/ppp0/flags", tools.daemonPidPath());

    const struct
    {
        const char* variable;  // set for the stand-in
        int minMs, maxMs;
    } cases[] = {{"", 0, 500}, {"STANDIN_PPPD_IGNORES_TERM", 900, 2000}, {"STANDIN_PPPD_DETACHES", 0, 500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        const bool detaches = std::strcmp(c.variable, "STANDIN_PPPD_DETACHES") == 0;
        for (const std::string& file : {tools.pidPath(), tools.daemonPidPath()}) std::remove(file.c_str());
        if (*c.variable)
            ::setenv(c.variable, "1", 1);
        ASSERT_TRUE(platform.startPppd("/dev/null", 115200));
        ::unsetenv(c.variable);
        const pid_t started = tools.pppdPid();
        const pid_t ours = detaches ? tools.pppdPid(true) : started;
        ASSERT_GT(ours, 0);
        if (detaches)
            testsupport::eventually([&] { return ToolStandIns::ended(started); });
        EXPECT_TRUE(platform.holdsDevice("/dev/null"));

        const auto start = std::chrono::steady_clock::now();
        platform.stopPppd();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_GE(ms.count(), c.minMs);
        EXPECT_LE(ms.count(), c.maxMs);
        // Our child is reaped (not even a zombie is left); the detached one has ended.
        EXPECT_TRUE(detaches ? ToolStandIns::ended(ours) : ::kill(ours, 0) != 0);
        EXPECT_FALSE(platform.holdsDevice("/dev/null"));
        EXPECT_FALSE(other.endsWithin(0)) << "a pppd that is not ours was stopped";
    }
}

TEST_F(SystemPlatformTest, LeavesAloneWhatTheDetachedPppdsPidNamesOnceItIsNoLongerThatPppd)
{
    Monet::SystemPlatform platform("/sys/class/net/ppp0/flags", tools.daemonPidPath());
    const std::string trigger = tools.path("becomes");
    ::setenv("STANDIN_PPPD_DETACHES", "1", 1);
    ::setenv("STANDIN_PPPD_BECOMES", trigger.c_str(), 1);
    ASSERT_TRUE(platform.startPppd("/dev/null", 115200));
    ::unsetenv("STANDIN_PPPD_DETACHES");
    ::unsetenv("STANDIN_PPPD_BECOMES");
    const pid_t started = tools.pppdPid();
    const pid_t daemon = tools.pppdPid(true);
    ASSERT_GT(daemon, 0);
    testsupport::eventually([&] { return ToolStandIns::ended(started); });
    EXPECT_TRUE(platform.holdsDevice("/dev/null"));  // followed to the background pppd

    // The same pid now runs something else, as it would once reused.
    testsupport::writeFile(trigger, {});
    std::string comm;
    testsupport::eventually([&] {
        std::ifstream file("/proc/" + std::to_string(daemon) + "/comm");
        std::getline(file, comm);
        return comm == "sleep";
    });
    ASSERT_EQ(comm, "sleep");
    EXPECT_FALSE(platform.holdsDevice("/dev/null"));
    platform.stopPppd();
    EXPECT_FALSE(ToolStandIns::ended(daemon)) << "a process that is no longer our pppd was signalled";
    ::kill(daemon, SIGKILL);
}

// Fails pidfd_open and close_range with ENOSYS for this process and its children, as a kernel
// older than either does.
bool withoutPidfdsOrCloseRange()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(SystemPlatformTest, ToolsGetNoDescriptorOfOursAreReapedByAZeroWaitAndAFailedStartIsReported)
{
    const struct
    {
        const char* name;
        bool oldKernel, streamsClosed;
    } cases[] = {{"this kernel", false, false},
                 {"without pidfds or close_range", true, false},
                 {"stdin and stdout closed", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // In a child of its own, whose failures are the bits of its exit code.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int failures = c.oldKernel && !withoutPidfdsOrCloseRange() ? 1 : 0;
            int line[2];
            if (::pipe(line) != 0)
                ::_exit(2);
            const pid_t sleeper = Monet::process::spawn({"sleep", "5"});
            ::close(line[1]);
            pollfd p{line[0], POLLIN, 0};
            // The write end reached the tool when its closing here does not end the line.
            failures |= ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) ? 0 : 4;
            ::kill(sleeper, SIGKILL);
            int status = Monet::process::waitFor(sleeper, 0);
            for (int i = 0; i < 100 && status < 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                status = Monet::process::waitFor(sleeper, 0);
            }
            failures |= status >= 0 && WIFSIGNALED(status) && ::kill(sleeper, 0) != 0 ? 0 : 8;
            if (c.streamsClosed)
                ::close(0), ::close(1);
            failures |= Monet::process::spawn({tools.path("missing")}) < 0 ? 0 : 16;
            ::_exit(failures);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no filter, 4: descriptor leaked, 8: not reaped, 16: no failure";
    }
}

TEST_F(SystemPlatformTest, LinkIsUpWhenTheFlagsHaveAOneAtIndexFive)
{
    const std::string flags = tools.path("flags");
    Monet::SystemPlatform platform(flags);
    const struct
    {
        const char* text;  // nullptr: no file
        bool up;
    } cases[] = {{"0x1091\n", true}, {"0x1091", true}, {"0x1003\n", false}, {"0x1\n", false}, {"", false}, {nullptr, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "missing");
        std::remove(flags.c_str());
        if (c.text)
            testsupport::writeFile(flags, std::vector<uint8_t>(c.text, c.text + std::strlen(c.text)));
        EXPECT_EQ(platform.linkUp("ppp0"), c.up);
    }
}

}  // namespace
