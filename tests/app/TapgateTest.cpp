// The tapgate program as a user runs it: against tapgate-emulator (its Elatec and Yarus readers on
// a pseudo-terminal, its VUrur reader on 127.0.0.1), with a bad command line, with a reader that is
// not there, and on a line where nothing answers (the Monet family's PPP bring-up, run against
// stand-ins of the tools).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "StderrCapture.h"
#include "TapgateRun.h"

namespace {

// Asked for help, the usage goes to stdout and the program ends well; a bad command line gets the
// usage and the error on stderr and exit status -1.
TEST(Tapgate, HelpShowsUsageOnStdoutAndBadCommandLineOnStderrWithMinusOne)
{
    const std::string usage = "Usage: tapgate [-c FILE] DEVICE";
    const struct
    {
        std::vector<std::string> args;
        std::string error;  // none: help
    } cases[] = {
        {{}, "ERROR: no reader device given"},
        {{"-x", "/dev/ttyS0"}, "ERROR: unknown option -x"},
        {{"--bogus", "/dev/ttyS0"}, "ERROR: unknown option --bogus"},
        {{"/dev/ttyS0", "--help=1"}, "ERROR: unknown option --help=1"},
        {{"--he=", "/dev/ttyS0"}, "ERROR: unknown option --he="},
        {{"/dev/ttyS0", "-c"}, "ERROR: option -c needs a file name"},
        {{"/dev/ttyS0", "/dev/ttyS1"}, "ERROR: unexpected argument '/dev/ttyS1'"},
        {{""}, "ERROR: empty reader device"},
        {{"--help"}, ""},
        {{"-h"}, ""},
        {{"-c", "x.conf", "--help", "/dev/ttyS0"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        testsupport::TapgateRun run;
        run.startTapgate(c.args);
        ASSERT_TRUE(run.tapgate().endsWithin(10000)) << run.log();
        const int status = run.tapgate().wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.error.empty() ? 0 : 255);
        EXPECT_EQ(run.logCount(usage), c.error.empty() ? 0u : 1u) << run.log();
        EXPECT_EQ(run.logCount("ERROR"), c.error.empty() ? 0u : 1u) << run.log();
        EXPECT_TRUE(c.error.empty() || run.logCount(c.error) == 1u) << run.log();
        // The program has ended: whatever it printed is in the pipe already.
        EXPECT_EQ(run.readLine(0), c.error.empty() ? usage : "");
    }
}

// A program the emulator cannot start is named with the system's reason, and the emulator ends
// with a failure instead of leaving its user with a silent exit.
TEST(Tapgate, EmulatorNamesAProgramItCannotRun)
{
    testsupport::TempDir dir;
    const int err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(err, 0);
    testsupport::PeerProcess emulator({TAPGATE_EMULATOR, "--run", "tapgate-nowhere-on-the-path"},
                                      {"", -1, -1, err});
    ::close(err);
    ASSERT_TRUE(emulator.endsWithin(10000));
    EXPECT_FALSE(emulator.exitedWithZero());
    const std::vector<uint8_t> text = testsupport::readFile(dir / "stderr");
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "tapgate-emulator: cannot run tapgate-nowhere-on-the-path: No such file or directory\n");
}

// Whatever UID a reader announces, the read carries it whole and the log shows it cut short.
TEST(Tapgate, PrintsOneLinePerCardPlacedOnTheEmulatedReader)
{
    for (const auto& [reader, uid] : {std::pair<std::string, std::string>{"elatec", "04A1B2C3D4E5F6"},
                                      {"yarus", std::string(64002, '0')}}) {
        SCOPED_TRACE(reader);
        testsupport::TapgateRun run;
        const std::string device =
            run.startEmulator({"--reader", reader, "--card", "ev1", "--announce-uid", uid});
        ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
        run.startTapgate({device});

        // The first read happens on its own; the second needs the card out of the field and back.
        for (const std::string step : {"start", "remove and place"}) {
            SCOPED_TRACE(step);
            if (step != "start") {
                ASSERT_TRUE(run.send("remove"));
                ASSERT_TRUE(run.waitForLog("Card removed: UID " + uid.substr(0, 64), 1, 5000));
                ASSERT_TRUE(run.send("place"));
            }
            const std::string line = run.readLine(10000);
            ASSERT_FALSE(line.empty()) << "no read within 10 s";
            const nlohmann::json read = nlohmann::json::parse(line);
            EXPECT_EQ(read.at("uid"), uid);
            EXPECT_EQ(read.at("type"), 64);
            EXPECT_TRUE(read.at("layout").is_string());
            EXPECT_TRUE(read.at("data").is_object());
            EXPECT_NE(read.value("/error/code"_json_pointer, -1), 0);
        }
        run.end();
        EXPECT_TRUE(WIFSIGNALED(run.tapgate().wait()));
        const std::string shown = uid.size() > 64 ? uid.substr(0, 64) + "... (32001 bytes)" : uid;
        EXPECT_EQ(run.logCount("Card found: UID " + shown + ", type 64\n"), 2u);
        EXPECT_EQ(testsupport::logFaults(run.log(), uid.substr(0, 8)), "");
    }
}

TEST(Tapgate, ReadsZodezuTicketsThroughBothSams)
{
    for (const auto& [card, layout] : {std::pair{"zodezuluc", "ZodezuLUC"}, {"zodezulucv2", "ZodezuLUCv2"}}) {
        SCOPED_TRACE(card);
        testsupport::TapgateRun run;
        run.startTapgate({run.startEmulator({"--card", card, "--slot1", "mifare", "--unlocked"})});
        const std::string line = run.readLine(10000);
        ASSERT_FALSE(line.empty()) << "no read within 10 s";
        const nlohmann::json read = nlohmann::json::parse(line);
        EXPECT_EQ(read.at("layout"), layout);
        EXPECT_FALSE(read.contains("error")) << line;
        EXPECT_EQ(read.value("/data/info/cardElectronicId"_json_pointer, ""), "0A1B2C3D4E5F60");
        EXPECT_EQ(read.value("/data/blockStatusShortNumber"_json_pointer, 0), 1);
        run.end();
    }
}

TEST(Tapgate, ReadsKivoTicketsThroughTheSamOfSlot0)
{
    const struct
    {
        const char* card;
        const char* layout;
        int version;
    } cases[] = {{"kivoluc", "KivoLUC", 1}, {"kivolucv2", "KivoLUCv2", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.card);
        testsupport::TapgateRun run;
        run.startTapgate({run.startEmulator({"--card", c.card, "--unlocked"})});
        const std::string line = run.readLine(10000);
        ASSERT_FALSE(line.empty()) << "no read within 10 s";
        const nlohmann::json read = nlohmann::json::parse(line);
        EXPECT_EQ(read.at("layout"), c.layout);
        EXPECT_EQ(read.value("/data/info/version"_json_pointer, -1), c.version);
        EXPECT_EQ(read.value("/error/code"_json_pointer, 0), 0) << line;
        run.end();
    }
}

// tapgate's first line for the ticket behind the emulated reader; empty when none comes in 20 s.
std::string firstLine(const std::string& reader, std::vector<std::string> emulatorArgs,
                      const std::string& program = TAPGATE_PROGRAM, std::string* log = nullptr)
{
    emulatorArgs.insert(emulatorArgs.begin(), {"--reader", reader});
    testsupport::TapgateRun run;
    run.startTapgate({run.startEmulator(emulatorArgs)}, "", false, program);
    const std::string line = run.readLine(20000);
    if (log)
        *log = run.log();
    return line;
}

// A serial reader that did not answer would leave the line to the Monet family, whose reader is
// reached over a ppp0 link once one is up: with such a link on this machine the program might
// send off loopback.
bool pppLinkHere()
{
    return testsupport::fileExists("/sys/class/net/ppp0");
}

TEST(Tapgate, PrintsTheSameLineForATicketOnEveryEmulatedReader)
{
    if (pppLinkHere())
        GTEST_SKIP() << "an interface ppp0 exists here";
    const struct
    {
        std::vector<std::string> args;
        const char* layout;
    } cases[] = {
        {{"--card", "kivolucv2", "--unlocked"}, "KivoLUCv2"},
        {{"--card", "zodezulucv2", "--slot1", "mifare", "--unlocked"}, "ZodezuLUCv2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const std::string elatec = firstLine("elatec", c.args);
        ASSERT_FALSE(elatec.empty()) << "no read within 20 s";
        const nlohmann::json read = nlohmann::json::parse(elatec);
        EXPECT_EQ(read.at("layout"), c.layout);
        EXPECT_FALSE(read.contains("error")) << elatec;
        for (const char* reader : {"yarus", "vurur"}) EXPECT_EQ(firstLine(reader, c.args), elatec) << reader;
    }
}

// The key directory "~/.config/kivo/keys" is taken from the working directory, which is the
// program's own: a copy of tapgate finds the key that sits beside it.
TEST(Tapgate, ReadsTheSealedVerUZATicketWithTheKeyBesideTheProgram)
{
    if (pppLinkHere())
        GTEST_SKIP() << "an interface ppp0 exists here";
    testsupport::TempDir dir;
    const std::string program = dir / "tapgate";
    std::filesystem::copy_file(TAPGATE_PROGRAM, program);
    const std::string config = R"({"rfid": {"cardTypes": {"ultralight": ["VerUZA"]}}})";
    testsupport::writeFile(dir / "tapgate.conf", std::vector<uint8_t>(config.begin(), config.end()));
    for (const char* reader : {"elatec", "yarus", "vurur"}) {
        SCOPED_TRACE(reader);
        std::string log;
        const std::string line =
            firstLine(reader, {"--card", "veruza", "--slot0", "lg", "--key-dir", dir / "~/.config/kivo/keys"},
                      program, &log);
        ASSERT_FALSE(line.empty()) << "no read within 20 s\n" << log;
        const nlohmann::json read = nlohmann::json::parse(line);
        EXPECT_EQ(read.at("layout"), "VerUZA");
        EXPECT_FALSE(read.contains("error")) << line;
        EXPECT_EQ(read.value("/data/ticket/from_station"_json_pointer, 0), 8000105);
        EXPECT_EQ(read.value("/data/ticket/to_station"_json_pointer, 0), 8000261);
        EXPECT_NE(log.find("Signature verified"), std::string::npos) << log;
    }
}

TEST(Tapgate, ReaderThatIsNotThereIsRetried)
{
    testsupport::TapgateRun run;
    run.startTapgate({"/nonexistent/reader"});
    EXPECT_TRUE(run.waitForLog("open: ", 2, 10000)) << run.log();
    EXPECT_EQ(::waitpid(run.tapgate().pid(), nullptr, WNOHANG), 0) << "tapgate ended";
}

// A host:port device names the networked reader: when it cannot be opened, the program reports the
// networked cause, never the error of opening the same text as a serial line.
TEST(Tapgate, NetworkedDeviceThatFailsIsReportedWithTheNetworkedCause)
{
    // The kernel completes the connections; nobody ever answers on them.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(silent, 16), 0);
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string listener = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    struct Case
    {
        std::string device;
        std::string cause;
    };
    std::vector<Case> cases = {
        {"localhost:1", "Connection refused"},
        {listener, "no answer from the reader"},
        {"host:99999", "bad port '99999'"},
    };
    // A host alone names the reader on the default port, when this machine has that port free for
    // a silent listener of the test's own.
    const int standard = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_port = htons(1973);
    if (::bind(standard, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(standard, 16) == 0)
        cases.insert(cases.end(), {{"127.0.0.1", "no answer from the reader"},
                                   {"localhost", "no answer from the reader"}});
    else
        std::printf("skipped the host alone: port 1973 is taken\n");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        testsupport::TapgateRun run;
        run.startTapgate({c.device});
        EXPECT_TRUE(run.waitForLog("open: networked reader '" + c.device + "': " + c.cause, 1, 10000)) << run.log();
        EXPECT_EQ(run.logCount("open: No such file or directory"), 0u) << run.log();
    }
    ::close(silent);
    ::close(standard);
}

// A relative configuration name is taken from the program's directory, not the one it was started
// in; a configuration that cannot be used is named with its reason in one short line of UTF-8 (a file
// that does not parse: where the parser stopped, and the text there only as a short escaped excerpt,
// however long the token or foreign its bytes), and the program opens the reader with the defaults,
// neither ending nor blocking on the file. Text taken from a file that is used is shown the same way.
TEST(Tapgate, ConfigurationComesFromTheProgramsDirectoryAndAnUnusableOneNeverStopsTheProgram)
{
    testsupport::TempDir dir;  // also the directory tapgate is started in
    const std::string program = TAPGATE_PROGRAM;
    const std::string name = "tapgate-test-" + std::to_string(::getpid()) + ".conf";
    const struct Removed
    {
        std::string path;
        ~Removed() { std::remove(path.c_str()); }
    } beside{program.substr(0, program.rfind('/') + 1) + name};
    testsupport::writeFile(beside.path, {'{', '}'});
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    testsupport::writeFile(dir / "deep.conf", testsupport::nestedDocument(150000));
    const std::string names(900000, 'V');
    const std::string shown = "\"\\\"" + std::string(30, 'V') + "\"...";  // 32 bytes of such a name, shown
    std::string twice = "{";
    for (int i = 0; i < 20000; ++i)
        twice += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0,\"k" + std::to_string(i) + "\":1";
    twice += "}";
    const struct
    {
        std::string path;
        std::string reason;     // none: taken
        std::string text;       // written to path, unless empty
        std::string said = {};  // once in the log as well
    } cases[] = {
        {name, "", ""},
        {dir.path(), "not a regular file", ""},
        {dir / "fifo", "not a regular file", ""},
        {dir / "deep.conf", "nested deeper than 256 levels", ""},
        // A long name ending in a byte that is no UTF-8; one cut short, as a power loss leaves a write.
        {dir / "bad-byte.conf",
         "parse error at line 1, column 900003: syntax error while parsing object key - invalid string: "
         "ill-formed UTF-8 byte; last read: " +
             shown + "; expected string literal",
         "{\"" + names + "\xFF\": 1}"},
        {dir / "cut.conf",
         "parse error at line 1, column 1000028: syntax error while parsing value - invalid string: missing "
         "closing quote; last read: " +
             shown,
         R"({"rfid": {"firmwarePath": ")" + names + names.substr(0, 100000)},
        // A name in Latin-1 on the third line; a number too large, which says no line and column itself.
        {dir / "latin1.conf",
         "parse error at line 3, column 31: syntax error while parsing value - invalid string: ill-formed "
         "UTF-8 byte; last read: \"\\\"/opt/caf\xEF\xBF\xBD/\"",
         "{\n  \"rfid\": {\n    \"firmwarePath\": \"/opt/caf\xE9/fw\"\n  }\n}\n"},
        {dir / "huge-number.conf",
         "at byte 900027: number overflow parsing \"1" + std::string(31, '0') + "\"...",
         R"({"rfid": {"firmwarePath": 1)" + std::string(900000, '0') + "}}"},
        // Taken: one warning for all the keys given twice; a directory named with a line break in it
        // is shown escaped and cut short.
        {dir / "twice.conf", "", twice,
         "[Config] WARN: 20000 keys given again in the same object, each replacing the value before "
         "(\"k0\", \"k1\", \"k2\", ...)"},
        {dir / "firmware.conf", "", R"({"rfid": {"firmwarePath": "/opt/fw\n[Forged] )" + names + "\"}}",
         "Cannot list firmware directory \"/opt/fw\\n[Forged] " + names.substr(0, 110) + "\"...\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (!c.text.empty())
            testsupport::writeFile(c.path, std::vector<uint8_t>(c.text.begin(), c.text.end()));
        testsupport::TapgateRun run;
        const std::string device = run.startEmulator({"--card", "none"});
        run.startTapgate({"-c", c.path, device}, dir.path());
        EXPECT_TRUE(run.waitForLog("Reader: TWN4 Elatec", 1, 20000)) << run.log().substr(0, 2000);
        EXPECT_TRUE(c.said.empty() || run.waitForLog(c.said, 1, 20000)) << run.log().substr(0, 2000);
        const std::string log = run.log();
        const std::string said = c.reason.empty() ? "Configuration loaded from \"" + c.path + "\""
                                                  : "\"" + c.path + "\" (" + c.reason + ")";
        EXPECT_EQ(run.logCount(said), 1u) << log.substr(0, 2000);
        EXPECT_TRUE(c.said.empty() || run.logCount(c.said) == 1u) << log.substr(0, 2000);
        EXPECT_NO_THROW(nlohmann::json(log).dump()) << "not UTF-8";
        std::istringstream lines(log);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 1024u) << line.substr(0, 200);
        EXPECT_EQ(::waitpid(run.tapgate().pid(), nullptr, WNOHANG), 0) << "tapgate ended";
    }
}

// Nothing answers the probes of the serial readers, so the Monet family brings up PPP on the line:
// the stand-ins get exactly the device and the speed, and the link that never comes up fails open.
TEST(Tapgate, SilentLineGetsThePppBringUpOfTheMonetFamily)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    const std::string line = ::ptsname(master);

    // The program runs the real Monet platform: no traffic of it may leave the loopback range, as it
    // would to the reader's address on a host where ppp0 is up.
    std::string why;
    const bool ownNetwork = testsupport::TapgateRun::canHaveOwnNetwork(why);
    if (!ownNetwork && ::if_nametoindex("ppp0") != 0) {
        GTEST_SKIP() << "no network namespace of its own (" << why << ") and this host has an interface named ppp0";
    }
    testsupport::TapgateRun run;
    run.startTapgate({line}, "", ownNetwork);
    EXPECT_TRUE(run.waitForLog("[Monet] Failed to start pppd", 1, 30000)) << run.log();
    if (ownNetwork) {
        EXPECT_NE(testsupport::networkNamespace(run.tapgate().pid()), testsupport::networkNamespace(::getpid()));
    }
    run.end();
    const std::vector<std::string> expected = {"setserial|" + line + "|low_latency|", "pppd|" + line + "|115200|"};
    EXPECT_EQ(run.tools().records(), expected) << run.log();
    ::close(master);
}

}  // namespace
