// The hold on a device's name between programs of one user, and what the rest of the machine may do
// to it, played as scripts (see HoldScript.h for their words).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "HoldScript.h"
#include "NFC/DeviceHold.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "core/String.h"
#include "core/Log.h"

using NFC::DeviceHold;

namespace {

// Each rule of the name's hold, with the interleaving or the state of the machine that would break
// it without the rule.
TEST(DeviceHold, NameIsHeldByOneProgramOfAUserAndOnlyWhereNoOtherUserCanMoveIt)
{
    if (const std::string refused = testsupport::nameHoldRefusedInTempDirectory(); !refused.empty())
        GTEST_SKIP() << refused;
    const struct
    {
        const char* rule;
        const char* script;
    } rows[] = {
        {"names that end alike in other directories never share a lock", "a+ b+other"},
        {"a lock won on a file its holder removed meanwhile is no hold", "b+ a@opened:b0 a+ c- held=a"},
        {"the holder removes its file, still locked, before it lets go",
         "b+ early b@removed:early!,a+ b0 c- held=a"},
        {"the holder removes its file only while it is the one it locked", "b+ rm a+ b0 c- held=a"},
        {"a holder whose file was removed takes the name anew at its next try", "b+ rm a+ b- held=a"},
        {"a holder whose file was moved, a link left at the name, holds it no more", "b+ move b- held="},
        {"a file others may open is made anew as 0600 whatever the umask",
         "umask=0477 file=0640 a+ b- mode=0600 a0 file=0660 a+ b- mode=0600 a0 file=0644 a+ b- mode=0600"},
        {"a file removed just after this program opened it is tried again", "b+ a@looked:b0 a+ held=a"},
        {"a lock refused by a holder that had removed its file is tried again", "b+ a@opened:rm a+"},
        {"a file made between the look and the create is looked at again", "a@looked:b+ a- held=b said="},
        {"a file that came after this program looked holds no name and is not changed",
         "a@looked:fifo a- mode=0644"},
        {"a file changing at every try is no other program: the node alone holds",
         "node a@looked*:toggle a= b!"},
        {"a lock directory another user may write, or another user's, holds no name unless sticky",
         "dir=0777 a- dir=0770 a- dir=0700 ^dir~65534 ^a- ^dir~0 dir=01777 a+ b-"},
        {"nor does one in a directory another user may write, or another user's, unless sticky",
         "up=0777 a- said=a_directory_above_the_lock_directory_other_users_may_write up=01777 a+ b- said= "
         "a0 ^up~65534 ^a- ^said=a_directory_above_the_lock_directory_of_another_user"},
        {"root's directories are told by their owner, not their group",
         "^dir~0:65534 ^a+ ^a0 ^dir~65534:0 ^a- ^said=a_lock_directory_of_another_user"},
        {"a link of another user on the lock directory's path holds no name",
         "links=1 a+ a0 ^dir~65534 ^a- ^said=a_symbolic_link_on_the_lock_directory's_path_of_another_user"},
        {"the walk follows as many links as an open, each \"..\" going up", "links=40 a+ b-"},
        {"and no more", "links=41 a- said=Too_many_levels_of_symbolic_links"},
        {"a lock directory named from a working directory that is unknown holds no name",
         "gone a- b- said=the_working_directory_is_unknown:_No_such_file_or_directory"},
        {"nor does a relative device name from there",
         "gone=locks a+ a0 a-here said=the_working_directory_is_unknown:_No_such_file_or_directory"},
        {"holding the node alone, a program keeps it through a replug",
         "node fifo a= rm b! held=b plug a= b!"},
        {"an old node is let go only once the new one is open", "node a= out a! b!alias in a="},
    };
    Log::open("tapgate-test", true, false);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rule);
        testsupport::HoldScript().play(row.script);
    }
}

// A name that cannot be held is said once for each device and cause, not at every try, and still for
// a new one after many; the name is taken as soon as the directory can be used. The lock file's path
// is shown as the device is, so that no directory's name makes a line of its own or a long one.
TEST(DeviceHold, NodeAloneIsSaidOncePerDeviceAndCauseInOneBoundedLine)
{
    if (const std::string refused = testsupport::nameHoldRefusedInTempDirectory(); !refused.empty())
        GTEST_SKIP() << refused;
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
    const int socket = testsupport::socketAt(DeviceHold::lockPath(locks, other));
    EXPECT_TRUE(program.take(other, why)) << why;
    ::close(socket);
    // Lock directories named from the working directory, so that the whole path is the row's.
    const auto shown = [](const std::string& path) { return String::excerpt(path, 128); };
    const std::string fits(128 - DeviceHold::lockPath("", device).size(), 'p');
    const std::string paths[] = {fits, fits + "p", "x\nWARN: forged", std::string(4096, 'x')};
    for (const std::string& path : paths) (void)DeviceHold(path).take(device, why);
    const std::string log = capture.text();

    for (const std::string& path : paths)
        EXPECT_NE(log.find("cannot be held: " + shown(DeviceHold::lockPath(path, device)) + ": "),
                  std::string::npos)
            << log;
    EXPECT_EQ(log.find("\nWARN: forged"), std::string::npos) << log;
    const std::string line =
        "WARN: Reader " + shown(device) +
        " is held by its node alone, its name cannot be held: " + shown(DeviceHold::lockPath(locks, device)) +
        ": No such file or directory\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_NE(log.find("WARN: Reader " + shown(other) + " is held by its node alone"), std::string::npos)
        << log;
    EXPECT_NE(log.find(shown(DeviceHold::lockPath(locks, other)) + ": a socket\n"), std::string::npos) << log;
    EXPECT_EQ(testsupport::occurrences(log, "node alone"), 2u + 65u + 1u + 4u) << log;
}

}  // namespace
