// The configuration file: what a file holds decides the firmware directory and the Ultralight
// layouts the factory may choose; a file that cannot be used leaves every default standing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PeerProcess.h"
#include "Velmora/Config.h"

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

}  // namespace
