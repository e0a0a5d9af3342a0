// The tapgate program as a user runs it: against tapgate-emulator (its Elatec and Yarus readers on
// a pseudo-terminal, its VUrur reader on 127.0.0.1), with a bad command line, with a reader that is
// not there, and on a line where nothing answers (the Monet family's PPP bring-up, run against
// stand-ins of the tools).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TapgateRun.h"

namespace {

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
        testsupport::TapgateRun run;
        run.startTapgate(c.args);
        const int status = run.tapgate().wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 255);
        EXPECT_EQ(run.logCount("Usage: tapgate [-c FILE] DEVICE"), 1u) << run.log();
        EXPECT_EQ(run.logCount(c.error), 1u) << run.log();
    }
}

TEST(Tapgate, PrintsOneLinePerCardPlacedOnTheEmulatedReader)
{
    testsupport::TapgateRun run;
    const std::string device = run.startEmulator({"--card", "ev1", "--uid", "04A1B2C3D4E5F6"});
    ASSERT_EQ(device.rfind("/dev/", 0), 0u) << device;
    run.startTapgate({device});

    // The first read happens on its own; the second needs the card out of the field and back.
    for (const std::string step : {"start", "remove and place"}) {
        SCOPED_TRACE(step);
        if (step != "start") {
            ASSERT_TRUE(run.send("remove"));
            ASSERT_TRUE(run.waitForLog("Card removed: UID 04A1B2C3D4E5F6", 1, 5000));
            ASSERT_TRUE(run.send("place"));
        }
        const std::string line = run.readLine(10000);
        ASSERT_FALSE(line.empty()) << "no read within 10 s";
        const nlohmann::json read = nlohmann::json::parse(line);
        EXPECT_EQ(read.at("uid"), "04A1B2C3D4E5F6");
        EXPECT_EQ(read.at("type"), 64);
        EXPECT_TRUE(read.at("layout").is_string());
        EXPECT_TRUE(read.at("data").is_object());
        EXPECT_NE(read.value("/error/code"_json_pointer, -1), 0);
    }
    run.end();
    EXPECT_TRUE(WIFSIGNALED(run.tapgate().wait()));
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
    run.startTapgate({run.startEmulator(emulatorArgs)}, program);
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

// Nothing answers the probes of the serial readers, so the Monet family brings up PPP on the line:
// the stand-ins get exactly the device and the speed, and the link that never comes up fails open.
TEST(Tapgate, SilentLineGetsThePppBringUpOfTheMonetFamily)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    const std::string line = ::ptsname(master);

    testsupport::TapgateRun run;
    run.startTapgate({line});
    EXPECT_TRUE(run.waitForLog("[Monet] Failed to start pppd", 1, 30000)) << run.log();
    run.end();
    const std::vector<std::string> expected = {"setserial|" + line + "|low_latency|", "pppd|" + line + "|115200|"};
    EXPECT_EQ(run.tools().records(), expected) << run.log();
    ::close(master);
}

}  // namespace
