// The hold on a device's name between programs of one user, each a DeviceHold of its own (a lock
// conflicts between any two opens, within one process too). The devices have no node, so that only
// the name tells who holds the reader. A step hook lets another program act inside a step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "NFC/DeviceHold.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "core/Log.h"

using NFC::DeviceHold;
using Step = DeviceHold::Step;

namespace {

struct Programs
{
    testsupport::TempDir locks;
    testsupport::TempDir devices;
    const std::string device = devices / "ttyReader";
    // The same last component in another directory.
    const std::string other = devices / "ttyReader/ttyReader";
    const std::string name = DeviceHold::lockPath(locks.path(), device);
    DeviceHold a{locks.path()};
    DeviceHold b{locks.path()};
    DeviceHold c{locks.path()};

    // Whether the program holds the device's name once it has tried to take it.
    static bool takes(DeviceHold& program, const std::string& device)
    {
        std::string why;
        (void)program.take(device, why);  // fails for want of a node
        return program.holdsName(device);
    }
    bool takes(DeviceHold& program) { return takes(program, device); }
    // Runs `act` the first time the program reaches the step.
    static void at(DeviceHold& program, Step step, std::function<void()> act)
    {
        program.setStepHook([step, act = std::move(act)](Step now) mutable {
            if (now == step && act)
                std::exchange(act, nullptr)();
        });
    }
};

// Each step that keeps two programs of one user from both holding a name, with the interleaving
// that would let both in without it.
TEST(DeviceHold, TwoProgramsNeverBothHoldAName)
{
    const struct
    {
        const char* step;
        std::function<void(Programs&)> play;
        std::vector<bool> holding;  // a, b, c at the end
    } rows[] = {
        {"names that end alike in different directories never share a lock",
         [](Programs& p) {
             EXPECT_TRUE(p.takes(p.a));
             EXPECT_TRUE(Programs::takes(p.b, p.other));
         },
         {true, true, false}},
        {"a lock won on a file its holder removed meanwhile is no hold",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             Programs::at(p.a, Step::NameOpened, [&] { p.b.takeNone(); });
             EXPECT_TRUE(p.takes(p.a));
             EXPECT_FALSE(p.takes(p.c));
         },
         {true, false, false}},
        {"the holder removes its file before it lets go",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             Programs::at(p.b, Step::NameRemoved, [&] { EXPECT_TRUE(p.takes(p.a)); });
             p.b.takeNone();
             EXPECT_FALSE(p.takes(p.c));
         },
         {true, false, false}},
        {"the holder removes its file only while it is the one it locked",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             ASSERT_EQ(::unlink(p.name.c_str()), 0);
             EXPECT_TRUE(p.takes(p.a));
             p.b.takeNone();
             EXPECT_FALSE(p.takes(p.c));
         },
         {true, false, false}},
        {"a holder whose file was removed takes the name anew at its next try",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             ASSERT_EQ(::unlink(p.name.c_str()), 0);
             EXPECT_TRUE(p.takes(p.a));
             EXPECT_FALSE(p.takes(p.b));
         },
         {true, false, false}},
        {"a file of ours that others may open is made anew, the other program kept out",
         [](Programs& p) {
             testsupport::writeFile(p.name, {});
             ASSERT_EQ(::chmod(p.name.c_str(), 0644), 0);
             EXPECT_TRUE(p.takes(p.a));
             EXPECT_FALSE(p.takes(p.b));
             struct stat made = {};
             ASSERT_EQ(::stat(p.name.c_str(), &made), 0);
             EXPECT_EQ(made.st_mode & 0777, 0600u);
         },
         {true, false, false}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        Programs p;
        row.play(p);
        EXPECT_EQ(
            (std::vector<bool>{p.a.holdsName(p.device), p.b.holdsName(p.device) || p.b.holdsName(p.other),
                               p.c.holdsName(p.device)}),
            row.holding);
    }
}

// A name that cannot be held is said once for each device and cause, not at every try; the name is
// taken as soon as the directory can be used.
TEST(DeviceHold, NodeAloneIsSaidOncePerDeviceAndCause)
{
    testsupport::TempDir dir;
    const std::string locks = dir / "locks";
    const std::string device = dir / "ttyReader";
    const std::string other = dir / "ttyOther";
    for (const std::string& node : {device, other}) testsupport::writeFile(node, {});
    Log::open("tapgate-test", true, false);
    DeviceHold program(locks);
    testsupport::StderrCapture capture;
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) EXPECT_TRUE(program.take(device, why)) << why;
    EXPECT_TRUE(program.take(other, why)) << why;
    ASSERT_EQ(::mkdir(locks.c_str(), 0700), 0);
    EXPECT_TRUE(program.take(device, why)) << why;
    EXPECT_TRUE(program.holdsName(device));
    const std::string log = capture.text();

    const std::string line =
        "WARN: Reader \"" + device +
        "\" is held by its node alone, its name cannot be held: " + DeviceHold::lockPath(locks, device) +
        ": No such file or directory\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_NE(log.find("WARN: Reader \"" + other + "\" is held by its node alone"), std::string::npos) << log;
}

}  // namespace
