// The reader facade end to end: device string -> probing of the reader families -> the real Elatec
// driver over a pseudo-terminal to the emulated reader -> tag and SAM objects. Families that this
// test does not want to reach are stood in for by scripted drivers that record their opens.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "HoldScript.h"
#include "HoldingProgram.h"
#include "MonetFake.h"
#include "NFC/Classic.h"
#include "NFC/EMV.h"
#include "NFC/Protocols/DESFire.h"
#include "NFC/Protocols/LGsam.h"
#include "NFC/Protocols/MifareSAM.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Reader.h"
#include "PeerProcess.h"
#include "ScriptedDriver.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "drivers/ElatecTWN/Driver.h"
#include "drivers/Monet/Factory.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/MifareSam.h"
#include "emulators/ScriptedCard.h"
#include "emulators/ScriptedSam.h"
#include "emulators/UltralightC.h"
#include "emulators/UltralightEV1.h"

using emulators::Bytes;
using emulators::ElatecReader;
using emulators::fromHex;
using Factory = NFC::Reader::DriverFactory;
using testdrivers::ScriptedDriver;

namespace {

using Opens = std::shared_ptr<std::vector<std::string>>;

// The program's probing order with the networked, Yarus and Monet families replaced by recorders.
NFC::Reader::DriverFactories recordedFamilies(const Opens& opens)
{
    return {
        ScriptedDriver::family(Factory::Networked, "net", opens),
        {Factory::Serial, "ElatecTWN", [] { return std::make_shared<ElatecTWN::Driver>(); }},
        ScriptedDriver::family(Factory::Serial, "yarus", opens),
        ScriptedDriver::family(Factory::Serial, "monet", opens),
    };
}

uint16_t commandOf(const ElatecReader::Received& r)
{
    return r.command;
}

class ReaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        opens = std::make_shared<std::vector<std::string>>();
        nfc = std::make_shared<NFC::Reader>(recordedFamilies(opens), testsupport::lockDirectory());
    }

    void openReader()
    {
        ASSERT_TRUE(testsupport::openAsTheServiceDoes(emulator, [&] {
            return nfc->open(emulator.devicePath(), 115200);
        })) << nfc->error().what();
        emulator.clearReceived();
    }

    ElatecReader emulator{ElatecReader::Mode::BinaryCrc};
    Opens opens;
    std::shared_ptr<NFC::Reader> nfc;
};

// ATRs exactly as the SAMs give them.
const Bytes Av2Atr =
    fromHex("3B DF 18 FF 81 F1 FE 43 00 3F 03 83 4D 49 46 41 52 45 20 50 6C 75 73 20 53 41 4D 3B");
const Bytes Av3Atr =
    fromHex("3B DF 18 FF 81 F1 FE 43 00 3F 07 83 4D 49 46 41 52 45 20 53 41 4D 20 41 56 33 30 11");
const Bytes LgAtr = fromHex("3B 72 18 00 00 AA DD");

TEST_F(ReaderTest, OpenFindsTheElatecReaderAndReportsItsIdentityAndSlots)
{
    ASSERT_TRUE(nfc->open(emulator.devicePath(), 115200)) << nfc->error().what();

    // A path is no host: the networked family is skipped; the serial families after Elatec are
    // never reached.
    EXPECT_TRUE(opens->empty());
    EXPECT_EQ(nfc->manufacturer(), "TWN4");
    EXPECT_EQ(nfc->model(), "Elatec");
    EXPECT_EQ(nfc->firmware(), "TWN4/B1.65/X4.06/PRS1.04");
    EXPECT_EQ(nfc->deviceUID(), "7E11020344556677");
    EXPECT_EQ(nfc->appUpdateResult(), "n/a");
    EXPECT_EQ(nfc->type(), "usb");
    EXPECT_EQ(nfc->numberOfSlots(), 2);
    EXPECT_TRUE(nfc->isOpen());
    EXPECT_NE(nfc->iso14443(), nullptr);
    EXPECT_FALSE(nfc->isSlotEmpty(2));  // a slot the reader does not have

    // The liveness beep: volume 50, 2600 Hz, 70 ms on, 0 ms off.
    const auto received = emulator.received();
    const auto beep = std::find_if(received.begin(), received.end(),
                                   [](const ElatecReader::Received& r) { return commandOf(r) == 0x0407; });
    ASSERT_NE(beep, received.end());
    EXPECT_EQ(beep->params, fromHex("32 28 0A 46 00 00 00"));
}

TEST_F(ReaderTest, ProbingFailuresSayWhyAndLeaveNoDriver)
{
    // A path that does not exist: the port's own reason, not "NFC device not found".
    EXPECT_FALSE(nfc->open("/dev/tapgate-no-such-reader", 115200));
    EXPECT_EQ(nfc->error().what(), "No such file or directory");
    EXPECT_EQ(nfc->error().function, "makeDevice");
    EXPECT_EQ(nfc->error().code, -1);
    EXPECT_TRUE(opens->empty());

    // A line where nobody answers: every serial family in turn, then "NFC device not found".
    opens->clear();
    ElatecReader silent(ElatecReader::Mode::Silent);
    EXPECT_FALSE(nfc->open(silent.devicePath(), 57600));
    EXPECT_EQ(nfc->error().what(), "NFC device not found");
    EXPECT_EQ(nfc->error().function, "makeDevice");
    EXPECT_EQ(*opens, (std::vector<std::string>{"yarus " + silent.devicePath() + " 57600",
                                                "monet " + silent.devicePath() + " 57600"}));
    EXPECT_TRUE(silent.waitForBytes(1, 5000));  // the Elatec driver did try
    EXPECT_FALSE(nfc->isOpen());
    EXPECT_EQ(nfc->manufacturer(), "");
    EXPECT_EQ(nfc->type(), "");
    EXPECT_EQ(nfc->numberOfSlots(), 0);
    EXPECT_EQ(nfc->searchTag(10), nullptr);
}

TEST_F(ReaderTest, ReaderThatDoesNotBeepIsDropped)
{
    emulator.inject({ElatecReader::Fault::Status, 1, 0x0407});
    // Opened as the service does: again while a busy machine fails the open before the beep.
    for (int attempt = 0; attempt < 3 && nfc->error().what() != "Device not responding"; ++attempt)
        EXPECT_FALSE(nfc->open(emulator.devicePath(), 115200));
    EXPECT_EQ(nfc->error().what(), "Device not responding");
    EXPECT_EQ(nfc->error().function, "openDevice");
    EXPECT_FALSE(nfc->isOpen());
    EXPECT_EQ(nfc->firmware(), "");
    EXPECT_FALSE(nfc->beep(50, 2600, 70, 0));

    // It answers again: a second open succeeds on the same object.
    openReader();
    EXPECT_TRUE(nfc->isOpen());
}

// A second program on the reader's line (a second facade locks like one) is refused by name before
// a family sends a byte or the Monet bring-up runs a tool, for as long as the first one keeps trying
// that line: while it reads, while its reader is silent or does not beep, and at the reopens after.
// A reader plugged in again is a new node under the same name, left to the first while it still wants
// the name, then held anew by it and the old one let go. The line is let go when its facade turns to
// another device, networked or serial, unless our own link (pppd) still runs on it; the waiting
// program then takes the very node it was refused on.
TEST_F(ReaderTest, DeviceHeldByAnotherReaderIsRefusedBeforeAnyFamilyTouchesIt)
{
    testsupport::TempDir dir;
    const std::string device = dir / "ttyReader";
    ASSERT_EQ(::symlink(emulator.devicePath().c_str(), device.c_str()), 0);
    ASSERT_TRUE(nfc->open(device, 115200)) << nfc->error().what();
    auto platform = std::make_shared<testsupport::RecordingPlatform>(-1);
    Monet::Driver::Setup monet;
    monet.platform = platform;
    NFC::Reader second({recordedFamilies(opens)[1], Monet::driverFactory(monet)},
                       testsupport::lockDirectory());
    const auto refused = [&](const char* step, ElatecReader& line) {
        SCOPED_TRACE(step);
        ASSERT_TRUE(line.waitForIdle(testsupport::PeerDeadlineMs));
        const size_t heard = line.bytesReceived();
        EXPECT_FALSE(second.open(device, 115200));
        EXPECT_EQ(second.error().what(), "'" + device + "' is held by another program");
        ASSERT_TRUE(line.waitForIdle(testsupport::PeerDeadlineMs));
        EXPECT_EQ(line.bytesReceived(), heard);
        EXPECT_TRUE(platform->calls().empty());
    };
    refused("the first reads", emulator);

    emulator.setMode(ElatecReader::Mode::Silent);
    EXPECT_FALSE(nfc->open(device, 115200));
    EXPECT_EQ(nfc->error().what(), "NFC device not found");
    refused("its reader is silent", emulator);
    emulator.setMode(ElatecReader::Mode::BinaryCrc);
    emulator.inject({ElatecReader::Fault::Status, 1, 0x0407});
    EXPECT_FALSE(nfc->open(device, 115200));
    EXPECT_EQ(nfc->error().what(), "Device not responding");
    refused("its reader does not beep", emulator);
    ASSERT_TRUE(nfc->open(device, 115200)) << nfc->error().what();
    refused("its reader is back", emulator);
    emulator.setCard(std::make_shared<emulators::UltralightEV1>());
    const auto tag = nfc->searchTag(testsupport::PeerDeadlineMs);
    ASSERT_NE(tag, nullptr);
    EXPECT_TRUE(tag->iso14443()->checkPresence());

    const auto plugIn = [&](const ElatecReader& reader) {
        ASSERT_EQ(::unlink(device.c_str()), 0);
        ASSERT_EQ(::symlink(reader.devicePath().c_str(), device.c_str()), 0);
    };
    ElatecReader replugged;
    plugIn(replugged);
    refused("its reader was plugged in again, before it comes back to it", replugged);
    ASSERT_TRUE(nfc->open(device, 115200)) << nfc->error().what();
    EXPECT_TRUE(second.open(emulator.devicePath(), 115200)) << second.error().what();
    refused("its reader was plugged in again", replugged);

    // Once the first has ended, a reader plugged in again is the waiting program's.
    nfc.reset();
    ElatecReader again;
    plugIn(again);
    EXPECT_TRUE(second.open(device, 115200)) << second.error().what();
    plugIn(replugged);
    bool ownLink = true;
    Factory claimant = ScriptedDriver::family(Factory::Serial, "monet", opens);
    claimant.claims = [&](const std::string& line) { return ownLink && line == device; };
    NFC::Reader first({claimant}, testsupport::lockDirectory());
    ElatecReader otherLine(ElatecReader::Mode::Silent);
    for (const bool link : {true, false})
        for (const std::string& other : {std::string("127.0.0.1:1"), otherLine.devicePath()}) {
            SCOPED_TRACE(other);
            ownLink = link;
            // The waiting program turns away, so that the first finds the line as it left it.
            EXPECT_FALSE(second.open("127.0.0.1:1", 115200));
            EXPECT_FALSE(first.open(device, 115200));
            refused("its open failed", replugged);
            EXPECT_FALSE(first.open(other, 115200));
            // Trying again on the node it was refused on, it takes it once the first has let go.
            EXPECT_EQ(second.open(device, 115200), !link) << second.error().what();
        }
}

// A file at a name, locked unless asked not to, and kept open: the descriptor.
int lockedFile(const std::string& path, mode_t mode, uid_t owner, bool locked = true)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, mode);
    return ::fchmod(fd, mode) == 0 && (owner == ::geteuid() || ::fchown(fd, owner, owner) == 0) &&
                   (!locked || ::flock(fd, LOCK_EX) == 0)
               ? fd
               : -1;
}

// Whatever another user, a missing or read-only lock directory or a stray file does to a device's
// name, the program that may use the reader opens it, and the node alone keeps a second one out (where
// nothing does, the name). Each program is a child of its own, forked before any thread (as another
// user where the row asks).
TEST(ReaderHold, ReaderOpensWhereverItsNameCannotBeHeld)
{
    if (const std::string refused = testsupport::nameHoldRefusedInTempDirectory(); !refused.empty())
        GTEST_SKIP() << refused;
    Log::open("tapgate-test", true, false);
    const bool root = ::geteuid() == 0;
    using Prepare = std::function<bool(const std::string& locks)>;
    const Prepare nobody = [](auto&) {
        return !::setgroups(0, nullptr) && !::setgid(65534) && !::setuid(65534);
    };
    const std::string reached = testsupport::tempDirectoryForNobody();
    const Prepare readOnly = [](const std::string& locks) {
        return !::unshare(CLONE_NEWNS) && !::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) &&
               !::mount(locks.c_str(), locks.c_str(), nullptr, MS_BIND, nullptr) &&
               !::mount(nullptr, locks.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
    };
    const struct
    {
        const char* way;
        mode_t directory;                                    // 0: none; set once the name is laid
        std::function<int(const std::string& name)> atName;  // a descriptor kept for the row, or -1
        Prepare prepare;                                     // in each program, first
        bool needsRoot;
        const char* said = nullptr;  // in the programs' log; "": no "node alone" line; null: unchecked
    } rows[] = {
        {"no lock directory", 0, nullptr, nullptr, false},
        {"a lock directory the program's user may not write", root ? 0755u : 0555u, nullptr,
         root ? nobody : nullptr, false},
        {"a read-only lock directory", 0755, nullptr, readOnly, true},
        // Every stop by a signal leaves the program's file, and an older version made it readable by all.
        {"an older version's file, in a lock directory the program's user may not write",
         root ? 0755u : 0555u,
         [root](auto& name) { return lockedFile(name, 0644, root ? 65534 : ::geteuid(), false); },
         root ? nobody : nullptr, false, "cannot be made anew"},
        {"an older version's file, in a read-only lock directory", 0755,
         [](auto& name) { return lockedFile(name, 0644, ::geteuid(), false); }, readOnly, true,
         "cannot be made anew"},
        {"root's sticky lock directory, for programs of another user (they hold the name)", 01777, nullptr,
         nobody, true, ""},
        {"another user's file at the name, locked by it", 01777,
         [](const std::string& name) { return lockedFile(name, 0644, 65534); }, nullptr, true},
        {"another user's file at the name that only it may open, locked by it", 01777,
         [](const std::string& name) { return lockedFile(name, 0600, 65534); }, nullptr, true},
        {"a link at the name to a file of ours that is locked", 0700,
         [](const std::string& name) {
             return ::symlink("held", name.c_str())
                        ? -1
                        : lockedFile(name.substr(0, name.rfind('/')) + "/held", 0600, ::geteuid());
         },
         nullptr, false},
        {"a second name of a file of ours that is locked", 0700,
         [](const std::string& name) {
             const int fd = lockedFile(name + ".held", 0600, ::geteuid());
             return ::link((name + ".held").c_str(), name.c_str()) ? -1 : fd;
         },
         nullptr, false},
        {"a lock directory behind a loop of links", 0,
         [](const std::string& name) {
             const std::string locks = name.substr(0, name.rfind('/'));
             return ::symlink(locks.c_str(), locks.c_str());
         },
         nullptr, false, "Too many levels of symbolic links"},
        {"a FIFO at the name", 0700, [](const std::string& name) { return ::mkfifo(name.c_str(), 0666); },
         nullptr, false},
        {"a directory at the name", 0700, [](const std::string& name) { return ::mkdir(name.c_str(), 0777); },
         nullptr, false},
        {"a socket at the name, which nobody can open", 0700, testsupport::socketAt, nullptr, false},
        {"a file of ours left readable by all, locked through a read-only descriptor", 0700,
         [](const std::string& name) { return lockedFile(name, 0644, ::geteuid()); }, nullptr, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.way);
        if (row.needsRoot && !root) {
            std::cout << "skipped \"" << row.way << "\": it needs root (another user, or a mount)\n";
            continue;
        }
        const bool asNobody = root && row.prepare.target_type() == nobody.target_type();
        if (asNobody && reached.empty()) {
            std::cout << "skipped \"" << row.way
                      << "\": user 65534 cannot reach the temporary directory nor /tmp\n";
            continue;
        }
        testsupport::TempDir dir(asNobody ? reached : testsupport::tempDirectory());
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // for nobody to reach the lock directory
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const std::string device = ::ptsname(master);
        ASSERT_TRUE(!root || ::chown(device.c_str(), 65534, 65534) == 0);
        const std::string locks = dir / "locks";
        ASSERT_TRUE(!row.directory || ::mkdir(locks.c_str(), 0700) == 0);
        const int kept = row.atName ? row.atName(NFC::DeviceHold::lockPath(locks, device)) : 0;
        ASSERT_TRUE(kept >= 0) << std::strerror(errno);
        ASSERT_TRUE(!row.directory || ::chmod(locks.c_str(), row.directory) == 0);
        const auto prepare = [&] { return !row.prepare || row.prepare(locks); };
        testsupport::StderrCapture capture;
        testsupport::HoldingProgram first(device, locks, prepare);
        testsupport::HoldingProgram second(device, locks, prepare);
        EXPECT_TRUE(first.open()) << first.why();
        EXPECT_FALSE(second.open());
        EXPECT_EQ(second.why(), "'" + device + "' is held by another program");
        const std::string log = capture.text();
        EXPECT_TRUE(!row.said ||
                    (log.find(*row.said ? row.said : "node alone") != std::string::npos) == (*row.said != 0))
            << log;
        ::close(kept > 0 ? kept : -1);
        ::chmod(locks.c_str(), 0700);
        ::close(master);
    }
}

TEST_F(ReaderTest, NetworkPortIsTakenOnlyWhenItIsOne)
{
    const std::string silent = "no answer from the reader";
    struct Case
    {
        std::string device;
        std::string networkedOpen;  // empty: the networked family is not tried
        std::string error;          // after "networked reader '<device>': "; empty: the serial open's
    } cases[] = {
        // A host alone that can only be one, on the default port.
        {"127.0.0.1", "net 127.0.0.1 1973", silent},
        {"localhost", "net localhost 1973", silent},
        {"rfid", "net rfid 1973", ""},  // may be a file in the working directory
        {"127.0.0.256", "net 127.0.0.256 1973", ""},
        {"127.0.0.1:", "net 127.0.0.1 1973", silent},
        {"127.0.0.1:4000", "net 127.0.0.1 4000", silent},
        {"127.0.0.1:65535", "net 127.0.0.1 65535", silent},
        {"127.0.0.1:1", "net 127.0.0.1 1", silent},
        // Not ports: no number cut to 16 bits may reach some other service.
        {"127.0.0.1:65536", "", "bad port '65536'"},
        {"127.0.0.1:70000", "", "bad port '70000'"},
        {"127.0.0.1:0", "", "bad port '0'"},
        {"127.0.0.1:-5", "", "bad port '-5'"},
        {"127.0.0.1:40x", "", "bad port '40x'"},
        {"127.0.0.1:abc", "", "bad port 'abc'"},
        // Never resolved.
        {"reader1:1973", "net reader1 1973", "'reader1' is not a numeric IPv4 address"},
    };
    for (const Case& c : cases) {
        opens->clear();
        EXPECT_FALSE(nfc->open(c.device, 115200));
        const std::vector<std::string> expected =
            c.networkedOpen.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.networkedOpen};
        EXPECT_EQ(*opens, expected) << c.device;
        // Then the string is tried as a serial device, which it is not; a text that names a host
        // keeps the networked cause.
        EXPECT_EQ(nfc->error().what(), c.error.empty() ? "No such file or directory"
                                                       : "networked reader '" + c.device + "': " + c.error)
            << c.device;
    }
}

TEST_F(ReaderTest, NetworkedReaderThatOpensIsKeptAndSerialIsNotProbed)
{
    auto net = std::make_shared<ScriptedDriver>("VUrur", opens, true);
    NFC::Reader reader({{Factory::Networked, "net", [&] { return net; }},
                        ScriptedDriver::family(Factory::Serial, "serial", opens)});
    ASSERT_TRUE(reader.open("127.0.0.1:2000", 115200));
    EXPECT_EQ(*opens, std::vector<std::string>{"VUrur 127.0.0.1 2000"});
    EXPECT_EQ(reader.manufacturer(), "VUrur");
    EXPECT_EQ(reader.type(), "local");
}

TEST_F(ReaderTest, LogTellsWhatWasProbedFoundAndPowered)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelDebug);
    emulator.setSam(0, std::make_shared<emulators::ScriptedSam>(LgAtr));
    testsupport::StderrCapture capture;
    ElatecReader silent(ElatecReader::Mode::Silent);
    EXPECT_FALSE(nfc->open(silent.devicePath(), 115200));
    ASSERT_TRUE(nfc->open(emulator.devicePath(), 115200));
    ASSERT_NE(nfc->turnOnSam(0), nullptr);
    EXPECT_EQ(nfc->turnOnSam(1), nullptr);  // empty slot
    ASSERT_TRUE(nfc->open(emulator.devicePath(), 115200));
    const std::string log = capture.text();

    for (const char* line : {
             "[NFCReader] Probing for NFC devices...\n",
             "[NFCReader] ERROR: (-1) makeDevice: NFC device not found\n",
             "[NFCReader] Found 'TWN4' device : TWN4/B1.65/X4.06/PRS1.04\n",
             "[NFCReader] NFC Driver already open. Closing...\n",
             "[NFCReader] [Slot#0] Turning on SAM\n",
             "[NFCReader] [Slot#0] ATR : 3B72180000AADD\n",
             "[NFCReader] [Slot#0] Setting PPS\n",
             "[NFCReader] [Slot#0] SAM turned on (type=4)\n",
             "[NFCReader] [Slot#1] Could not turn on SAM\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST(ReaderFamilies, ProgramProbesVururThenElatecYarusMonet)
{
    // Only the names and kinds: making these drivers is left to the program itself.
    const auto families = NFC::Reader::defaultDriverFactories();
    ASSERT_EQ(families.size(), 4u);
    EXPECT_EQ(families[0].name, "VUrurRemote");
    EXPECT_EQ(families[0].family, Factory::Networked);
    EXPECT_EQ(families[1].name, "ElatecTWN");
    EXPECT_EQ(families[2].name, "YarusRemote");
    EXPECT_EQ(families[3].name, "Monet");
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(families[i].family, Factory::Serial);
}

TEST_F(ReaderTest, ControlsAreForwardedAndRefusalsRecorded)
{
    EXPECT_FALSE(nfc->setTagTypes(1, 2));  // no reader yet
    openReader();
    ASSERT_TRUE(nfc->setLEDs(0x08));
    ASSERT_TRUE(nfc->setTagTypes(0x11, 0x22));
    ASSERT_TRUE(nfc->disableRF());
    EXPECT_EQ(emulator.leds(), 0x01);

    emulator.inject({ElatecReader::Fault::Status, 1, 0x0502});
    EXPECT_FALSE(nfc->setTagTypes(0x11, 0x22));
    EXPECT_EQ(nfc->error().what(), "Failed to set allowed Tag types");
    EXPECT_EQ(nfc->error().function, "setTagTypes");

    // Messages are cut, never overrun, and text with % in it is not taken as a format.
    nfc->setError("f", 7, "%s", std::string(600, 'x').c_str());
    EXPECT_EQ(nfc->error().what().size(), 511u);
    nfc->setError("f", 8, std::string("100%s %n done"));
    EXPECT_EQ(nfc->error().what(), "100%s %n done");
}

TEST_F(ReaderTest, SearchTurnsEachCardIntoItsTagClass)
{
    openReader();
    EXPECT_EQ(nfc->searchTag(50), nullptr);  // empty field

    auto ev1 = std::make_shared<emulators::UltralightEV1>();
    emulator.setCard(ev1);
    auto tag = nfc->searchTag(testsupport::PeerDeadlineMs);
    ASSERT_NE(tag, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<NFC::Ultralight>(tag), nullptr);
    EXPECT_EQ(tag->type(), NFC::Tag::MifareUltralight);
    EXPECT_EQ(tag->uid(), ev1->identity().uid);
    EXPECT_TRUE(tag->ats().empty());

    emulator.setCard(std::make_shared<emulators::UltralightC>());
    EXPECT_NE(std::dynamic_pointer_cast<NFC::Ultralight>(nfc->searchTag(testsupport::PeerDeadlineMs)),
              nullptr);

    emulator.setCard(std::make_shared<emulators::ScriptedCard>(emulators::ScriptedCard::desfireIdentity()));
    tag = nfc->searchTag(testsupport::PeerDeadlineMs);
    ASSERT_NE(tag, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<NFC::DESFire>(tag), nullptr);
    EXPECT_EQ(tag->type(), NFC::Tag::MifareDESFire);
    EXPECT_EQ(tag->ats(), emulators::ScriptedCard::desfireIdentity().ats);

    emulators::ScriptedCard::Identity classic;
    classic.uid = {0x11, 0x22, 0x33, 0x44};
    classic.sak = 0x08;
    classic.atqa = 0x0004;
    emulator.setCard(std::make_shared<emulators::ScriptedCard>(classic));
    tag = nfc->searchTag(testsupport::PeerDeadlineMs);
    ASSERT_NE(std::dynamic_pointer_cast<NFC::Classic>(tag), nullptr);
    EXPECT_EQ(tag->type(), NFC::Tag::MifareClassic4K);  // a Classic reports 8 whatever its size

    classic.sak = 0x28;  // another ISO 14443A card: a plain tag with the reported code
    emulator.setCard(std::make_shared<emulators::ScriptedCard>(classic));
    tag = nfc->searchTag(testsupport::PeerDeadlineMs);
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag->type(), NFC::Tag::ISO14443A);
    EXPECT_EQ(std::dynamic_pointer_cast<NFC::Classic>(tag), nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<NFC::Ultralight>(tag), nullptr);

    EXPECT_NE(std::dynamic_pointer_cast<NFC::EMV>(nfc->makeTag(512, {1, 2, 3, 4}, {})), nullptr);
}

TEST_F(ReaderTest, CardTakenAwayIsNoLongerPresent)
{
    openReader();
    emulator.setCard(std::make_shared<emulators::UltralightEV1>());
    auto tag = nfc->searchTag(testsupport::PeerDeadlineMs);
    ASSERT_NE(tag, nullptr);
    EXPECT_TRUE(tag->iso14443()->checkPresence());
    emulator.setCard(nullptr);
    EXPECT_FALSE(tag->iso14443()->checkPresence());
    EXPECT_EQ(nfc->searchTag(50), nullptr);
}

TEST_F(ReaderTest, SamClassFollowsTheAtrWithItsProtocolSettings)
{
    openReader();
    auto av3 = std::make_shared<emulators::ScriptedSam>(Av3Atr);
    auto lg = std::make_shared<emulators::ScriptedSam>(LgAtr);
    emulator.setSam(0, av3);
    emulator.setSam(1, lg);
    EXPECT_FALSE(nfc->isSlotEmpty(0));

    auto mifare = std::dynamic_pointer_cast<NFC::MifareSAM>(nfc->turnOnSam(0));
    ASSERT_NE(mifare, nullptr);
    EXPECT_EQ(mifare->type(), NFC::SAM::MifareAV);
    EXPECT_EQ(mifare->atr(), Av3Atr);
    // T=1 with PPS1 0x18, then the slot's T=1 settings (this reader's SDK wants one more byte).
    EXPECT_EQ(av3->ppsRequests(), std::vector<Bytes>{fromHex("FF 11 18 F6")});
    EXPECT_EQ(av3->commSettings(), std::vector<Bytes>{fromHex("01 05 00 00 00 00 18 00 00 43 00 FE 00 00")});

    auto lgsam = std::dynamic_pointer_cast<NFC::LGsam>(nfc->turnOnSam(1));
    ASSERT_NE(lgsam, nullptr);
    EXPECT_EQ(lgsam->type(), NFC::SAM::LG);
    EXPECT_EQ(lg->ppsRequests(), std::vector<Bytes>{fromHex("FF 10 18 F7")});
    EXPECT_EQ(lg->commSettings(), std::vector<Bytes>{fromHex("00 05 00 00 00 00 18 00 00 0A 00 00 00 00")});

    // An AV2 that refuses the PPS is not turned on.
    auto refusing = std::make_shared<emulators::ScriptedSam>(Av2Atr);
    refusing->setPpsAnswer(fromHex("FF 11"));
    emulator.setSam(0, refusing);
    EXPECT_EQ(nfc->turnOnSam(0), nullptr);

    // A SAM that computes its side answers the MIFARE SAM's own check.
    emulator.setSam(0, std::make_shared<emulators::MifareSam>());
    auto live = std::dynamic_pointer_cast<NFC::MifareSAM>(nfc->turnOnSam(0));
    ASSERT_NE(live, nullptr);
    EXPECT_TRUE(live->check());
}

TEST_F(ReaderTest, SamWithAnUnknownAtrIsAPlainSamWithTheReaderDefaults)
{
    openReader();
    const Bytes otherAtr = fromHex("3B 6A 00 00 80 65 A2 01 01 01 3D 72 D6 43");
    auto sam = std::make_shared<emulators::ScriptedSam>(otherAtr);
    emulator.setSam(1, sam);

    EXPECT_TRUE(nfc->isSlotEmpty(0));
    auto plain = nfc->turnOnSam(1);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->type(), NFC::SAM::Plain);
    EXPECT_EQ(plain->atr(), otherAtr);
    EXPECT_EQ(plain->slot(), 1);
    EXPECT_TRUE(sam->ppsRequests().empty());  // no PPS, no settings for a SAM we do not know
    EXPECT_TRUE(sam->commSettings().empty());

    // One byte off the AV2 ATR is not an AV2.
    Bytes almost = Av2Atr;
    almost.back() ^= 0x01;
    emulator.setSam(0, std::make_shared<emulators::ScriptedSam>(almost));
    auto other = nfc->turnOnSam(0);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->type(), NFC::SAM::Plain);

    EXPECT_EQ(nfc->turnOnSam(5), nullptr);  // no such slot
    auto mute = std::make_shared<emulators::ScriptedSam>(otherAtr);
    mute->setMute(true);
    emulator.setSam(1, mute);
    EXPECT_EQ(nfc->turnOnSam(1), nullptr);
}

}  // namespace
