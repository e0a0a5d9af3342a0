// The system platform against recording stand-ins of setserial, pppd and systemctl (first on PATH):
// what it runs, what it refuses to run, how it stops the pppd it started, how it reads the flags.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
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
        for (int i = 0; detaches && i < 100 && !ToolStandIns::ended(started); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
