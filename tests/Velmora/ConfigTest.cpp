// The configuration file: what a file holds decides the firmware directory and the Ultralight
// layouts the factory may choose; a file that cannot be used leaves every default standing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "StderrCapture.h"
#include "Velmora/Config.h"
#include "core/Log.h"
#include "drivers/Monet/Configuration.h"

namespace {

using Names = std::vector<std::string>;

TEST(Config, FileDecidesFirmwareDirectoryAndUltralightTemplates)
{
    const struct
    {
        const char* text;
        bool parsed;
        std::string firmwarePath;
        Names templates;
    } cases[] = {
        {R"({"rfid": {"firmwarePath": "/opt/fw", "cardTypes": {"ultralight": ["KivoLUCv2", "VerUZA"]}}})",
         true,
         "/opt/fw",
         {"KivoLUCv2", "VerUZA"}},
        {R"({"mqtt": {}, "tcp": {}, "rfid": {"cardTypes": {"ultralight": []}}})", true, ".", {}},
        // Wrong types are skipped one value at a time.
        {R"({"rfid": {"firmwarePath": 7, "cardTypes": {"ultralight": ["ZodezuLUC", 3, null, "KivoLUC"]}}})",
         true,
         ".",
         {"ZodezuLUC", "KivoLUC"}},
        {R"({"rfid": {"firmwarePath": "", "cardTypes": {"ultralight": "KivoLUC"}}})", true, ".", {}},
        {R"({"rfid": 5})", true, ".", {}},
        {R"({"rfid": {"firmwarePath": "/opt/fw")", false, ".", {}},
        {R"(["rfid"])", false, ".", {}},
        {"", false, ".", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RFID::Config config;
        std::string reason;
        EXPECT_EQ(config.parse(c.text, &reason), c.parsed);
        EXPECT_EQ(reason.empty(), c.parsed);
        EXPECT_EQ(config.firmwarePath(), c.firmwarePath);
        EXPECT_EQ(config.ultralightTemplates(), c.templates);
    }
}

TEST(Config, UnusableFileKeepsDefaultsAndIsLeftAlone)
{
    testsupport::TempDir dir;
    const std::vector<uint8_t> broken = {'{', '"', 'r', 'f', 'i', 'd', '"', ':'};
    testsupport::writeFile(dir / "broken.conf", broken);
    for (const char* name : {"missing.conf", "broken.conf"}) {
        RFID::Config config;
        EXPECT_FALSE(config.load(dir / name));
        EXPECT_EQ(config.firmwarePath(), ".");
        EXPECT_TRUE(config.section("rfid").empty());
    }
    EXPECT_FALSE(testsupport::fileExists(dir / "missing.conf"));
    EXPECT_EQ(testsupport::readFile(dir / "broken.conf"), broken);
}

// Both readers of a configuration file refuse what is not a small regular file, or a document too
// deep to copy, with one warning naming the file and the reason, and never block on it.
TEST(Config, RefusesWhatIsNotASmallRegularFileOrTooDeepWithTheReason)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "deep.conf", testsupport::nestedDocument(150000));
    testsupport::writeFile(dir / "deepest.conf", testsupport::nestedDocument(257));
    testsupport::writeFile(dir / "large.conf", std::vector<uint8_t>(1024 * 1024 + 1, ' '));
    testsupport::writeFile(dir / "unreadable.conf", {'{', '}'});
    ASSERT_EQ(::chmod((dir / "unreadable.conf").c_str(), 0), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct
    {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir.path(), "not a regular file"},
        {dir / "fifo", "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {dir / "large.conf", "larger than 1 MiB"},
        {dir / "missing.conf", "No such file or directory"},
        {dir / "unreadable.conf", "Permission denied"},
        {dir / "large.conf/tapgate.conf", "Not a directory"},  // an open that fails for root too
        {dir / "deep.conf", "nested deeper than 256 levels"},
        {dir / "deepest.conf", "nested deeper than 256 levels"},
    };
    Log::open("tapgate-test", true, false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.reason == "Permission denied" && ::geteuid() == 0) {
            std::printf("skipped the unreadable file: root reads it all the same\n");
            continue;
        }
        testsupport::StderrCapture capture;
        RFID::Config config;
        EXPECT_FALSE(config.load(c.path));
        EXPECT_EQ(config.firmwarePath(), ".");
        EXPECT_TRUE(config.section("rfid").empty());
        EXPECT_TRUE(Monet::fileConfiguration(c.path)().is_null());
        // One warning from each reader.
        const std::string log = capture.text();
        const std::string line = "'" + c.path + "' (" + c.reason + ")";
        size_t lines = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
        EXPECT_EQ(lines, 2u) << log;
    }
    const std::vector<uint8_t> deepestTaken = testsupport::nestedDocument(256);
    EXPECT_TRUE(RFID::Config().parse(std::string(deepestTaken.begin(), deepestTaken.end())));
}

}  // namespace
