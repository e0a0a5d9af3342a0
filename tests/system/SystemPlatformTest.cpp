// The system platform against recording stand-ins of setserial, pppd and systemctl (first on PATH):
// what it runs, what it refuses to run, how it stops the pppd it started, how it reads the flags.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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
    // Where a platform looks for pppds an earlier start left: none but those a test names, so that
    // no other pppd (another test's stand-in) is ever stopped.
    testsupport::TempDir proc;
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
        Monet::SystemPlatform platform("/sys/class/net", "/var/run/ppp0.pid", proc.path());
        platform.setLowLatency(c.device);
        EXPECT_EQ(platform.startPppd(c.device, 115200), !c.records.empty());
        EXPECT_EQ(platform.holdsDevice(c.device), !c.records.empty());
        EXPECT_TRUE(c.records.empty() || tools.pppdPid() > 0);  // the stand-in has recorded its run
        platform.stopPppd();
        EXPECT_FALSE(platform.holdsDevice(c.device));
        EXPECT_EQ(tools.records(), c.records);
    }
    std::remove(tools.recordPath().c_str());
    // The service restarts once in the program's life.
    Monet::SystemPlatform platform("/sys/class/net", "/var/run/ppp0.pid", proc.path());
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
    Monet::SystemPlatform platform("/sys/class/net", tools.daemonPidPath(), proc.path());

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
    Monet::SystemPlatform platform("/sys/class/net", tools.daemonPidPath(), proc.path());
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

// Fails the given system calls with error for this process and its later children, as a kernel
// without them (ENOSYS) or a policy against them does.
bool failing(std::initializer_list<long> calls, int error)
{
    std::vector<sock_filter> filter = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    unsigned char left = static_cast<unsigned char>(calls.size());
    for (const long call : calls)
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(call), left--, 0));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)));
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// No pppd of ours outlives the program unseen: the one it started ends when the program is killed,
// and one that an earlier start left on our line (detached, even ignoring SIGTERM) is stopped before
// a new one starts, also by a kernel without pidfds. Leftovers are looked for only among the
// stand-ins this test names, so that no other pppd (another test's) is ever signalled; one on another
// line is left alone.
TEST_F(SystemPlatformTest, NoPppdOfOursOutlivesTheProgramUnseen)
{
    const struct
    {
        const char* name;
        const char* earlierDevice;
        bool ignoresTerm, stopped;
        int minMs;
        bool oldKernel = false;
    } cases[] = {
        {"program killed", nullptr, false, true, 0},
        {"detached pppd left by an earlier start", "/dev/null", false, true, 0},
        {"left one ignoring SIGTERM", "/dev/null", true, true, 900},
        {"left one on another line", "/dev/zero", false, false, 0},
        {"left one, stopped by a kernel without pidfds", "/dev/null", false, true, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& file : {tools.pidPath(), tools.daemonPidPath()}) std::remove(file.c_str());
        if (!c.earlierDevice) {
            const pid_t program = ::fork();
            ASSERT_GE(program, 0);
            if (program == 0) {
                Monet::SystemPlatform platform("/sys/class/net", tools.daemonPidPath(), proc.path());
                if (platform.startPppd("/dev/null", 115200))
                    ::pause();
                ::_exit(1);
            }
            const pid_t pppd = tools.pppdPid();
            ASSERT_GT(pppd, 0);
            ::kill(program, SIGKILL);
            ASSERT_EQ(::waitpid(program, nullptr, 0), program);
            EXPECT_TRUE(Monet::process::gone(pppd, 5000)) << "pppd outlived the program";
            continue;
        }
        pid_t leftover = -1;
        {
            // The earlier start, whose pppd detached and was left running.
            Monet::SystemPlatform earlier("/sys/class/net", tools.daemonPidPath(), proc.path());
            ::setenv("STANDIN_PPPD_DETACHES", "1", 1);
            if (c.ignoresTerm)
                ::setenv("STANDIN_PPPD_IGNORES_TERM", "1", 1);
            ASSERT_TRUE(earlier.startPppd(c.earlierDevice, 115200));
            ::unsetenv("STANDIN_PPPD_DETACHES");
            ::unsetenv("STANDIN_PPPD_IGNORES_TERM");
            const pid_t started = tools.pppdPid();
            leftover = tools.pppdPid(true);
            ASSERT_GT(leftover, 0);
            for (int i = 0; i < 100 && !ToolStandIns::ended(started); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_TRUE(earlier.holdsDevice(c.earlierDevice));
        }
        const std::string entry = proc / std::to_string(leftover);
        ASSERT_EQ(::symlink(("/proc/" + std::to_string(leftover)).c_str(), entry.c_str()), 0);
        std::remove(tools.pidPath().c_str());

        // The new start (its pppd stopped again), on a kernel without pidfds in a child of its own.
        const auto startAgain = [&] {
            Monet::SystemPlatform platform("/sys/class/net", tools.daemonPidPath(), proc.path());
            const bool started = platform.startPppd("/dev/null", 115200) && tools.pppdPid() > 0;
            platform.stopPppd();
            return started;
        };
        const auto start = std::chrono::steady_clock::now();
        if (c.oldKernel) {
            const pid_t program = ::fork();
            ASSERT_GE(program, 0);
            if (program == 0)
                ::_exit(!failing({SYS_pidfd_open}, ENOSYS) ? 2 : startAgain() ? 0 : 1);
            int status = 0;
            ASSERT_EQ(::waitpid(program, &status, 0), program);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "1: not started, 2: no filter";
        } else {
            EXPECT_TRUE(startAgain());
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(ToolStandIns::ended(leftover), c.stopped);
        EXPECT_GE(ms.count(), c.minMs);
        if (!ToolStandIns::ended(leftover))
            ::kill(leftover, SIGKILL);
        std::remove(entry.c_str());
    }
}

// A detached pppd is not our child: once it has ended, its pid may name any other process. It is
// signalled only through the pidfd its identity was checked on: here kill(2) fails for the
// program, and that pppd is stopped all the same.
TEST_F(SystemPlatformTest, DetachedPppdIsSignalledThroughThePidfdItWasRecognisedOn)
{
    std::remove(tools.daemonPidPath().c_str());
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        Monet::SystemPlatform platform("/sys/class/net", tools.daemonPidPath(), proc.path());
        ::setenv("STANDIN_PPPD_DETACHES", "1", 1);
        if (!platform.startPppd("/dev/null", 115200))
            ::_exit(1);
        const pid_t started = tools.pppdPid();
        const pid_t daemon = tools.pppdPid(true);
        if (daemon <= 0 || !testsupport::eventually([&] { return ToolStandIns::ended(started); }) ||
            !platform.holdsDevice("/dev/null"))
            ::_exit(2);
        if (!failing({SYS_kill}, EPERM))
            ::_exit(4);
        platform.stopPppd();
        ::_exit(Monet::process::gone(daemon, 0) ? 0 : 8);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(program, &status, 0), program);
    const pid_t daemon = tools.pppdPid(true);
    if (daemon > 0 && !ToolStandIns::ended(daemon))
        ::kill(daemon, SIGKILL);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: not started, 2: not followed, 4: no filter, 8: still running";
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
            int failures = c.oldKernel && !failing({SYS_pidfd_open, SYS_close_range}, ENOSYS) ? 1 : 0;
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

TEST_F(SystemPlatformTest, LinkIsUpWhenTheFlagsOfTheInterfaceAskedForHaveAOneAtIndexFive)
{
    const std::string net = tools.path("net");
    Monet::SystemPlatform platform(net);
    const struct
    {
        const char* interface;
        const char* text;  // nullptr: no file
        bool up;
    } cases[] = {{"ppp0", "0x1091\n", true}, {"ppp0", "0x1091", true}, {"ppp0", "0x1003\n", false},
                 {"ppp0", "0x1\n", false}, {"ppp0", "", false}, {"ppp0", nullptr, false},
                 {"ppp1", "0x1091\n", true}, {"ppp1", "0x1003\n", false},
                 // A name is one path component: this one would reach ppp1's flags, which say up.
                 {"ppp0/../ppp1", "0x1091\n", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.interface) + " " + (c.text ? c.text : "missing"));
        testsupport::removeTree(net);
        ASSERT_EQ(::mkdir(net.c_str(), 0700), 0);
        // The other interface says the opposite.
        for (const std::string name : {"ppp0", "ppp1"}) {
            const char* text = name == c.interface ? c.text : c.up ? "0x1003\n" : "0x1091\n";
            ASSERT_EQ(::mkdir((net + "/" + name).c_str(), 0700), 0);
            if (text)
                testsupport::writeFile(net + "/" + name + "/flags", std::vector<uint8_t>(text, text + std::strlen(text)));
        }
        EXPECT_EQ(platform.linkUp(c.interface), c.up);
    }
}

}  // namespace
