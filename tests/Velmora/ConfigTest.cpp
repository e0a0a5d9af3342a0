// The configuration file: what a file holds decides the firmware directory and the Ultralight
// layouts the factory may choose; a file that cannot be used leaves every default standing.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "StderrCapture.h"
#include "Velmora/Config.h"
#include "core/Log.h"
#include "core/String.h"
#include "drivers/Monet/Configuration.h"

namespace {

using Names = std::vector<std::string>;

TEST(Config, FileDecidesFirmwareDirectoryAndUltralightTemplates)
{
    // Brackets and escaped quotes inside a string are no levels.
    const std::string bracketed = "/opt/" + std::string(300, '[') + "\\\"" + std::string(300, '{');
    const struct
    {
        std::string text;
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
        {R"({"rfid": {"firmwarePath": ")" + bracketed + R"("}})",
         true,
         "/opt/" + std::string(300, '[') + "\"" + std::string(300, '{'),
         {}},
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

// What goes wrong when both readers of a configuration file are given path; empty when each
// refuses it with one warning naming the file as shown and the reason, and keeps its defaults.
std::string refusal(const std::string& path, const std::string& shown, const std::string& reason)
{
    testsupport::StderrCapture capture;
    std::string wrong;
    RFID::Config config;
    if (config.load(path) || config.firmwarePath() != "." || !config.section("rfid").empty())
        wrong += "configuration taken; ";
    if (!Monet::fileConfiguration(path)().is_null())
        wrong += "Monet configuration taken; ";
    const std::string log = capture.text();
    const std::string line = shown + " (" + reason + ")";
    size_t lines = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
    if (lines != 2)
        wrong += "warnings: " + log;
    return wrong;
}

// What refusal says when an unprivileged user (nobody) reads path, in a child of its own: root
// reads any file.
std::string refusalAsNobody(const std::string& path, const std::string& shown, const std::string& reason)
{
    int result[2];
    if (::pipe(result) != 0)
        return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(result[0]);
        const std::string wrong = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0
                                      ? refusal(path, shown, reason)
                                      : std::string("cannot become nobody");
        const ssize_t written = ::write(result[1], wrong.data(), wrong.size());
        ::_exit(written == static_cast<ssize_t>(wrong.size()) ? 0 : 1);
    }
    ::close(result[1]);
    std::string wrong, overrun;
    if (child > 0 && !testsupport::readChildOutput(result[0], child, wrong, overrun))
        wrong += overrun;
    ::close(result[0]);
    int status = -1;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        wrong += "child failed";
    return wrong;
}

// Both readers of a configuration file refuse what is not a small regular file, or a document too
// deep to copy, with one warning naming the file and the reason. They never block on it, and never
// open what is not a regular file: a serial line's control lines would move. The name is shown
// escaped and cut short, as it may hold anything: a line break would forge a line of its own.
TEST(Config, RefusesWhatIsNotASmallRegularFileOrTooDeepWithTheReason)
{
    // Where nobody can reach the unreadable file, so that it is the file that refuses it.
    const std::string reached = ::geteuid() == 0 ? testsupport::tempDirectoryForNobody() : "";
    testsupport::TempDir dir(reached.empty() ? testsupport::tempDirectory() : reached);
    testsupport::writeFile(dir / "deep.conf", testsupport::nestedDocument(150000));
    testsupport::writeFile(dir / "deepest.conf", testsupport::nestedDocument(257));
    testsupport::writeFile(dir / "large.conf", std::vector<uint8_t>(1024 * 1024 + 1, ' '));
    testsupport::writeFile(dir / "unreadable.conf", {'{', '}'});
    ASSERT_EQ(::chmod((dir / "unreadable.conf").c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // for nobody to reach the file
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    const std::string line = ::ptsname(terminal);
    const struct
    {
        std::string path;
        std::string reason;
        bool watched;            // no open of it may be seen
        std::string shown = {};  // the name in the warning, when not the path in quotes
    } cases[] = {
        {dir.path(), "not a regular file", true},
        {dir / "fifo", "not a regular file", true},
        {line, "not a regular file", true},
        {"/dev/zero", "not a regular file", false},
        {dir / "large.conf", "larger than 1 MiB", false},
        {dir / "missing.conf", "No such file or directory", false},
        {dir / "unreadable.conf", "Permission denied", false},
        {dir / "large.conf/tapgate.conf", "Not a directory", false},
        {dir / "deep.conf", "nested deeper than 256 levels", false},
        {dir / "deepest.conf", "nested deeper than 256 levels", false},
        {"missing/" + std::string(120, 'V'), "No such file or directory", false},
        {"missing\n" + std::string(121, 'V'), "No such file or directory", false,
         "\"missing\\n" + std::string(119, 'V') + "\"..."},
    };
    Log::open("tapgate-test", true, false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string shown = c.shown.empty() ? "\"" + c.path + "\"" : c.shown;
        // An open queues its inotify event before it returns.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_TRUE(!c.watched || ::inotify_add_watch(watch, c.path.c_str(), IN_OPEN) >= 0);
        if (c.reason == "Permission denied" && ::geteuid() == 0 && reached.empty())
            std::cout
                << "skipped the unreadable file: user 65534 cannot reach the temporary directory nor /tmp\n";
        else if (c.reason == "Permission denied" && ::geteuid() == 0)
            EXPECT_EQ(refusalAsNobody(c.path, shown, c.reason), "");
        else
            EXPECT_EQ(refusal(c.path, shown, c.reason), "");
        char events[4096];
        EXPECT_FALSE(c.watched && ::read(watch, events, sizeof events) > 0) << "opened";
        ::close(watch);
    }
    ::close(terminal);
    testsupport::writeFile(dir / "deepest-taken.conf", testsupport::nestedDocument(256));
    EXPECT_TRUE(RFID::Config().load(dir / "deepest-taken.conf"));
    EXPECT_FALSE(Monet::fileConfiguration(dir / "deepest-taken.conf")().is_null());
}

// Up to the size limit, a document of any shape is read in time linear in its size: a long flat
// list of containers, many members, or a template list of nothing but skipped items or of names no
// layout has, each exactly 1 MiB, are taken by both readers within seconds however loaded the
// machine (a parse that rescanned its containers took minutes, and so did a warning for each
// item). Skipped items and unknown names each make one warning for their list, with their number
// and the first few, each name cut short; so do the keys given again in their object, in each reader
// (20,000 of them: the program's own test).
TEST(Config, LargestDocumentsOfAnyShapeAreTakenInLinearTime)
{
    const size_t limit = 1024 * 1024;
    std::string list = R"({"list":[{})";
    while (list.size() + 5 <= limit) list += ",{}";
    list += "]}";
    std::string members = "{";
    for (int i = 0; members.size() + 12 <= limit; ++i)
        members += (i ? "," : "") + String::format("\"%05d\":{}", i);
    members += "}";
    // A template list: the items given, then copies of filler up to the limit.
    auto templates = [&](const std::string& first, size_t given, const std::string& filler, size_t& items) {
        std::string text = R"({"rfid":{"cardTypes":{"ultralight":[)" + first;
        for (items = given; text.size() + filler.size() + 5 <= limit; ++items) text += "," + filler;
        return text + "]}}}";
    };
    size_t skippedItems = 0;
    const std::string skipped = templates("0", 1, "0", skippedItems);
    // A layout's name among names that no layout has: a case slip, a line break, a long name.
    size_t unknownItems = 0;
    const std::string unknown =
        templates(R"("KivoLUC","kivoluc","Kivo\nLUC",")" + std::string(40, 'V') + "\"", 4, R"("VozeLUCv2")",
                  unknownItems);
    const struct
    {
        std::string text;
        std::string warning;         // the one warning, or none
        bool byBothReaders = false;  // the Monet reader gives it too
    } cases[] = {
        {list, ""},
        {members, ""},
        {skipped, String::format("rfid/cardTypes/ultralight: skipped %zu items (not a template name: number, "
                                 "number, number, ...)",
                                 skippedItems)},
        {unknown,
         String::format("rfid/cardTypes/ultralight: kept %zu items (no Ultralight layout has the name: "
                        "\"kivoluc\", \"Kivo\\nLUC\", \"%s\"..., ...)",
                        unknownItems - 1, std::string(32, 'V').c_str())},
        // The bank card's layout is no Ultralight one.
        {R"({"rfid":{"cardTypes":{"ultralight":["EMV"]}}})",
         "rfid/cardTypes/ultralight: kept 1 item (no Ultralight layout has the name: \"EMV\")"},
        // Three examples at most, and a name shown whole up to 32 bytes.
        {R"({"rfid":{"cardTypes":{"ultralight":[1,true,null]}}})",
         "rfid/cardTypes/ultralight: skipped 3 items (not a template name: number, boolean, null)"},
        {R"({"rfid":{"cardTypes":{"ultralight":[1,true,null,{}]}}})",
         "rfid/cardTypes/ultralight: skipped 4 items (not a template name: number, boolean, null, ...)"},
        {R"({"rfid":{"cardTypes":{"ultralight":[")" + std::string(32, 'V') + R"("]}}})",
         "kept 1 item (no Ultralight layout has the name: \"" + std::string(32, 'V') + "\")"},
        {R"({"rfid":{"cardTypes":{"ultralight":[")" + std::string(33, 'V') + R"("]}}})",
         "kept 1 item (no Ultralight layout has the name: \"" + std::string(32, 'V') + "\"...)"},
        {R"({"rfid":{"firmwarePath":"/opt/fw"},"mqtt":{},"rfid":{}})",
         "1 key given again in the same object, each replacing the value before (\"rfid\")", true},
        {R"({"a\n)" + std::string(40, 'V') + R"(":1,"a\n)" + std::string(40, 'V') + R"(":2})",
         "1 key given again in the same object, each replacing the value before (\"a\\n" +
             std::string(29, 'V') + "\"...)",
         true},
    };
    testsupport::TempDir dir;
    Log::open("tapgate-test", true, false);
    for (const auto& c : cases) {
        std::string text = c.text;
        SCOPED_TRACE(text.substr(0, 40));
        text.resize(limit, ' ');  // exactly the limit: one byte more is refused above
        testsupport::writeFile(dir / "tapgate.conf", std::vector<uint8_t>(text.begin(), text.end()));
        testsupport::StderrCapture capture;
        const auto start = std::chrono::steady_clock::now();
        RFID::Config config;
        EXPECT_TRUE(config.load(dir / "tapgate.conf"));
        EXPECT_FALSE(Monet::fileConfiguration(dir / "tapgate.conf")().is_null());
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
        const std::string log = capture.text();
        size_t warnings = 0;
        for (size_t at = log.find("WARN"); at != std::string::npos; at = log.find("WARN", at + 1)) ++warnings;
        EXPECT_EQ(warnings, c.warning.empty() ? 0u : c.byBothReaders ? 2u : 1u) << log.substr(0, 1000);
        EXPECT_TRUE(c.warning.empty() || log.find(c.warning) != std::string::npos) << log.substr(0, 1000);
    }
}

}  // namespace
