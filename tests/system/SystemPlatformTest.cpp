// The system platform against recording stand-ins of setserial, pppd and systemctl (first on PATH):
// what it runs and with which arguments, what it refuses to run, how it stops the pppd it started
// and how it reads the link's flags.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "ToolStandIns.h"
#include "core/Log.h"
#include "drivers/Monet/System/SystemPlatform.h"

using testsupport::ToolStandIns;

namespace {

using Lines = std::vector<std::string>;

class SystemPlatformTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Log::open("tapgate-test", true, false);
        Log::setLevel(Log::LevelError);
    }

    // The pid the pppd stand-in wrote once it was ready; -1 when none came within 2 s.
    pid_t standInPppd()
    {
        for (int i = 0; i < 200; ++i) {
            if (FILE* f = std::fopen(tools.pidPath().c_str(), "r")) {
                int pid = -1;
                const bool read = std::fscanf(f, "%d", &pid) == 1;
                std::fclose(f);
                if (read)
                    return pid;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    ToolStandIns tools;
    Monet::SystemPlatform platform;
};

TEST_F(SystemPlatformTest, RunsTheToolsWithTheirExactArgumentsOnlyOnACharacterDevice)
{
    const std::string regularFile = tools.path("setserial");
    const struct
    {
        const char* name;
        std::function<bool(Monet::SystemPlatform&)> call;
        Lines records;
    } cases[] = {
        {"setserial", [](auto& p) { return p.setLowLatency("/dev/null"), true; }, {"setserial|/dev/null|low_latency|"}},
        {"pppd", [](auto& p) { return p.startPppd("/dev/null", 115200); }, {"pppd|/dev/null|115200|"}},
        {"restart once", [](auto& p) { return p.restartService(), p.restartService(), true; },
         {"systemctl|restart|tapgate|"}},
        {"shell text", [](auto& p) { return p.setLowLatency("/dev/null;reboot"), !p.startPppd("/dev/null;reboot", 1); },
         {}},
        {"blanks", [](auto& p) { return p.setLowLatency("/dev/null x"), !p.startPppd("/dev/null 9600 x", 1); }, {}},
        {"relative", [](auto& p) { return !p.startPppd("dev/null", 9600) && !p.startPppd("-detach", 9600); }, {}},
        {"regular file", [&](auto& p) { return p.setLowLatency(regularFile), !p.startPppd(regularFile, 9600); }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(tools.recordPath().c_str());
        Monet::SystemPlatform fresh;
        EXPECT_TRUE(c.call(fresh));
        if (!c.records.empty() && c.records[0].rfind("pppd", 0) == 0) {
            ASSERT_GT(standInPppd(), 0);
            EXPECT_TRUE(fresh.holdsDevice("/dev/null"));
            EXPECT_FALSE(fresh.holdsDevice("/dev/zero"));
            fresh.stopPppd();
            EXPECT_FALSE(fresh.holdsDevice("/dev/null"));
        }
        EXPECT_EQ(tools.records(), c.records);
    }
}

TEST_F(SystemPlatformTest, PppdThatCannotStartEndsTheBringUp)
{
    // PATH holds the stand-ins alone, so that taking pppd's away can never reach a real one.
    ASSERT_EQ(::unlink(tools.path("pppd").c_str()), 0);
    ::setenv("PATH", tools.path("").c_str(), 1);
    EXPECT_FALSE(platform.startPppd("/dev/null", 115200));
    EXPECT_FALSE(platform.holdsDevice("/dev/null"));
}

TEST_F(SystemPlatformTest, StopsOnlyItsOwnPppdByPidKillingOneThatIgnoresSigtermAfterASecond)
{
    // Another pppd, not ours: the same name, started by someone else.
    testsupport::TempDir otherDir;
    ASSERT_EQ(::symlink("/bin/sleep", (otherDir / "pppd").c_str()), 0);
    testsupport::PeerProcess other({otherDir / "pppd", "30"}, {});

    const struct
    {
        bool ignoresTerm;
        int minMs, maxMs;
    } cases[] = {{false, 0, 500}, {true, 900, 2000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ignoresTerm ? "ignores SIGTERM" : "ends on SIGTERM");
        std::remove(tools.pidPath().c_str());
        if (c.ignoresTerm)
            ::setenv("STANDIN_PPPD_IGNORES_TERM", "1", 1);
        ASSERT_TRUE(platform.startPppd("/dev/null", 115200));
        ::unsetenv("STANDIN_PPPD_IGNORES_TERM");
        const pid_t ours = standInPppd();
        ASSERT_GT(ours, 0);

        const auto start = std::chrono::steady_clock::now();
        platform.stopPppd();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_GE(ms.count(), c.minMs);
        EXPECT_LE(ms.count(), c.maxMs);
        // Gone and reaped: not even a zombie is left to signal.
        EXPECT_EQ(::kill(ours, 0), -1);
        EXPECT_EQ(errno, ESRCH);
        EXPECT_FALSE(other.endsWithin(0)) << "a pppd that is not ours was stopped";
    }
}

TEST_F(SystemPlatformTest, LinkIsUpWhenTheFlagsHaveAOneAtIndexFive)
{
    const std::string flags = tools.path("flags");
    Monet::SystemPlatform platformOnFile(flags);
    const struct
    {
        const char* text;  // nullptr: no file
        bool up;
    } cases[] = {{"0x1091\n", true}, {"0x1091", true}, {"0x1003\n", false}, {"0x1\n", false},
                 {"", false},        {nullptr, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "missing");
        std::remove(flags.c_str());
        if (c.text)
            testsupport::writeFile(flags, std::vector<uint8_t>(c.text, c.text + std::strlen(c.text)));
        EXPECT_EQ(platformOnFile.linkUp("ppp0"), c.up);
    }
}

}  // namespace
