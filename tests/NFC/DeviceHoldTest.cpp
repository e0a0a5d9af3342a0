// The hold on a device's name between programs of one user, each a DeviceHold of its own (a lock
// conflicts between any two opens, within one process too). The devices have no node unless a row
// makes one (a regular file locks like one), so that only the name tells who holds the reader. A step
// hook lets another program act inside a step.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
    // Whether the program has the reader: its name's hold, or its node's where that is the hold.
    static bool reads(DeviceHold& program, const std::string& device)
    {
        std::string why;
        return program.take(device, why);
    }
    // The reader plugged in again: a new node under the device's name.
    void plugIn() const
    {
        testsupport::writeFile(device + ".new", {});
        ASSERT_EQ(::rename((device + ".new").c_str(), device.c_str()), 0);
    }
    mode_t modeAtName() const
    {
        struct stat made = {};
        return ::lstat(name.c_str(), &made) == 0 ? made.st_mode & 0777 : 0;
    }
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
        {"the holder removes its file before it lets go, its lock still keeping others off it",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             const int early = ::open(p.name.c_str(), O_RDONLY | O_CLOEXEC);
             Programs::at(p.b, Step::NameRemoved, [&] {
                 EXPECT_NE(::flock(early, LOCK_EX | LOCK_NB), 0);
                 EXPECT_TRUE(p.takes(p.a));
             });
             p.b.takeNone();
             ::close(early);
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
        {"a file of ours that others may open is made anew as 0600 whatever the umask, the other "
         "program kept out",
         [](Programs& p) {
             const mode_t umask = ::umask(0477);
             for (const mode_t mode : {0640, 0660, 0644}) {
                 p.a.takeNone();
                 testsupport::writeFile(p.name, {});
                 ASSERT_EQ(::chmod(p.name.c_str(), mode), 0);
                 EXPECT_TRUE(p.takes(p.a)) << mode;
                 EXPECT_FALSE(p.takes(p.b)) << mode;
                 EXPECT_EQ(p.modeAtName(), 0600u) << mode;
             }
             ::umask(umask);
         },
         {true, false, false}},
        {"a file its holder removes just after this program opened it is tried again",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             Programs::at(p.a, Step::NameLooked, [&] { p.b.takeNone(); });
             EXPECT_TRUE(p.takes(p.a));
         },
         {true, false, false}},
        {"a file that came to the name after this program looked is neither opened nor changed",
         [](Programs& p) {
             Programs::at(p.a, Step::NameLooked, [&] { ASSERT_EQ(::mkfifo(p.name.c_str(), 0644), 0); });
             EXPECT_FALSE(p.takes(p.a));
             EXPECT_EQ(p.modeAtName(), 0644u);
         },
         {false, false, false}},
        {"a holder whose file was moved away, a link to it left at the name, holds the name no more",
         [](Programs& p) {
             ASSERT_TRUE(p.takes(p.b));
             ASSERT_EQ(::rename(p.name.c_str(), (p.name + ".moved").c_str()), 0);
             ASSERT_EQ(::symlink((p.name + ".moved").c_str(), p.name.c_str()), 0);
             EXPECT_FALSE(p.takes(p.b));
         },
         {false, false, false}},
        {"the file at the name changing at every try is no other program: the node alone holds",
         [](Programs& p) {
             testsupport::writeFile(p.device, {});
             p.a.setStepHook([&](Step at) {
                 if (at == Step::NameLooked && ::unlink(p.name.c_str()) != 0)
                     testsupport::writeFile(p.name, {});
             });
             EXPECT_TRUE(Programs::reads(p.a, p.device));
             EXPECT_FALSE(Programs::reads(p.b, p.device));
         },
         {false, true, false}},
        {"a lock directory another user may write, or of another user, holds no name unless sticky",
         [](Programs& p) {
             for (const mode_t mode : {0777, 0770}) {
                 ASSERT_EQ(::chmod(p.locks.path().c_str(), mode), 0);
                 EXPECT_FALSE(p.takes(p.a)) << mode;
             }
             ASSERT_EQ(::chmod(p.locks.path().c_str(), 0700), 0);
             if (::geteuid() == 0) {
                 ASSERT_EQ(::chown(p.locks.path().c_str(), 65534, 65534), 0);
                 EXPECT_FALSE(p.takes(p.a)) << "nobody's";
                 ASSERT_EQ(::chown(p.locks.path().c_str(), 0, 0), 0);
             }
             ASSERT_EQ(::chmod(p.locks.path().c_str(), 01777), 0);
             EXPECT_TRUE(p.takes(p.a));
             EXPECT_FALSE(p.takes(p.b));
         },
         {true, false, false}},
        {"a program holding the node alone keeps it through a replug while one of its user took the "
         "name and waits at the node",
         [](Programs& p) {
             testsupport::writeFile(p.device, {});
             ASSERT_EQ(::mkfifo(p.name.c_str(), 0600), 0);
             EXPECT_TRUE(Programs::reads(p.a, p.device));
             ASSERT_EQ(::unlink(p.name.c_str()), 0);
             EXPECT_FALSE(Programs::reads(p.b, p.device));
             p.plugIn();
             EXPECT_TRUE(Programs::reads(p.a, p.device));
             EXPECT_FALSE(Programs::reads(p.b, p.device));
         },
         {false, true, false}},
        {"an old node is let go only once the new one is open, against a program that came by another "
         "name of it",
         [](Programs& p) {
             const std::string node = p.devices / "node";
             const std::string alias = p.devices / "ttyAlias";
             testsupport::writeFile(node, {});
             ASSERT_EQ(::symlink(node.c_str(), p.device.c_str()) | ::symlink(node.c_str(), alias.c_str()), 0);
             EXPECT_TRUE(Programs::reads(p.a, p.device));
             ASSERT_EQ(::unlink(p.device.c_str()), 0);  // the reader is out
             EXPECT_FALSE(Programs::reads(p.a, p.device));
             EXPECT_FALSE(Programs::reads(p.b, alias));
             ASSERT_EQ(::symlink(node.c_str(), p.device.c_str()), 0);
             EXPECT_TRUE(Programs::reads(p.a, p.device));
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

// A name that cannot be held is said once for each device and cause, not at every try, and still for
// a new one after many; the name is taken as soon as the directory can be used.
TEST(DeviceHold, NodeAloneIsSaidOncePerDeviceAndCause)
{
    testsupport::TempDir dir;
    const std::string locks = dir / "locks";
    const std::string device = dir / "ttyReader";
    const std::string other = dir / "ttyOther";
    for (const std::string& node : {device, other}) testsupport::writeFile(node, {});
    Log::open("tapgate-test", true, false);
    DeviceHold program(locks);
    DeviceHold many(locks);
    testsupport::StderrCapture capture;
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) EXPECT_TRUE(program.take(device, why)) << why;
    EXPECT_TRUE(program.take(other, why)) << why;
    // As many as are remembered, one of them again, then one more.
    for (int n = 0; n < 64; ++n) (void)many.take(dir / ("tty" + std::to_string(n)), why);
    (void)many.take(dir / "tty63", why);
    (void)many.take(dir / "tty64", why);
    ASSERT_EQ(::mkdir(locks.c_str(), 0700), 0);
    EXPECT_TRUE(program.take(device, why)) << why;
    EXPECT_TRUE(program.holdsName(device));
    sockaddr_un address = {AF_UNIX, {}};
    DeviceHold::lockPath(locks, other).copy(address.sun_path, sizeof address.sun_path - 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(program.take(other, why)) << why;
    ::close(socket);
    const std::string log = capture.text();

    const std::string line =
        "WARN: Reader \"" + device +
        "\" is held by its node alone, its name cannot be held: " + DeviceHold::lockPath(locks, device) +
        ": No such file or directory\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_NE(log.find("WARN: Reader \"" + other + "\" is held by its node alone"), std::string::npos) << log;
    EXPECT_NE(log.find(DeviceHold::lockPath(locks, other) + ": a socket\n"), std::string::npos) << log;
    size_t said = 0;
    for (size_t at = log.find("node alone"); at != std::string::npos; at = log.find("node alone", at + 1))
        ++said;
    EXPECT_EQ(said, 2u + 65u + 1u) << log;
}

}  // namespace
