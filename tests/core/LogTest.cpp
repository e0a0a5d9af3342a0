#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "PeerProcess.h"
#include "StderrCapture.h"
#include "UnsafeText.h"
#include "core/Log.h"

namespace {

const char* const kIdent = "logtest";

// Runs body in a forked child whose standard error goes into a pipe, and returns what the child
// wrote there, one entry per line. The log's settings (identity, mask, colour) are process-wide,
// so each scenario gets a fresh process.
std::vector<std::string> stderrLinesOf(const std::function<void()>& body)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        body();
        _exit(0);
    }
    close(fds[1]);
    std::string output, overrun;
    EXPECT_TRUE(testsupport::readChildOutput(fds[0], child, output, overrun)) << overrun;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(output.substr(start, end - start));
    EXPECT_EQ(start, output.size()) << "unterminated line";
    return lines;
}

struct Line
{
    std::string seconds;  // the nine characters between the brackets
    std::string text;     // what follows "] "
};

// Splits "logtest: [   12.345] text" (the system logger's copy on stderr puts the identity in
// front) into the seconds field and the text.
std::vector<Line> parse(const std::vector<std::string>& lines)
{
    const std::string head = std::string(kIdent) + ": [";
    std::vector<Line> parsed;
    for (const std::string& line : lines) {
        const size_t close = line.find("] ", head.size());
        if (line.compare(0, head.size(), head) != 0 || close == std::string::npos) {
            ADD_FAILURE() << "unexpected line: " << line;
            continue;
        }
        parsed.push_back({line.substr(head.size(), close - head.size()), line.substr(close + 2)});
    }
    return parsed;
}

// Blanks, then at least one digit, a point and three digits: "%9.03f" of a non-negative value.
bool isFixedThreeDecimals(const std::string& field)
{
    const size_t digits = field.find_first_not_of(' ');
    const size_t point = field.find('.');
    if (digits == std::string::npos || point == std::string::npos || point <= digits ||
        point + 4 != field.size())
        return false;
    for (size_t i = digits; i < field.size(); ++i) {
        if (i != point && !isdigit(static_cast<unsigned char>(field[i])))
            return false;
    }
    return true;
}

std::vector<std::string> textsOf(const std::vector<Line>& lines)
{
    std::vector<std::string> texts;
    for (const Line& line : lines) texts.push_back(line.text);
    return texts;
}

TEST(Log, PrefixIsSecondsSinceOpenInNineCharactersWithThreeDecimals)
{
    const std::vector<Line> lines = parse(stderrLinesOf([] {
        Log::open(kIdent, true, false);
        Log::info("first");
        Log::error("second");
    }));
    ASSERT_EQ(lines.size(), 2u);
    for (const Line& line : lines) {
        EXPECT_EQ(line.seconds.size(), 9u) << line.seconds;
        EXPECT_TRUE(isFixedThreeDecimals(line.seconds)) << line.seconds;
        // Counted from open, not from the epoch.
        EXPECT_LT(std::stod(line.seconds), 60.0) << line.seconds;
    }
    EXPECT_EQ(textsOf(lines), (std::vector<std::string>{"first", "second"}));
}

TEST(Log, BeforeOpenThePrefixCountsFromTheEpochAndGrowsWider)
{
    const std::vector<Line> lines = parse(stderrLinesOf([] {
        // The system logger opened directly, so the log's own start time is still zero.
        openlog(kIdent, LOG_PERROR, LOG_LOCAL1);
        Log::warning("early");
    }));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GT(lines[0].seconds.size(), 9u);
    EXPECT_TRUE(isFixedThreeDecimals(lines[0].seconds)) << lines[0].seconds;
    EXPECT_GT(std::stod(lines[0].seconds), 1.6e9);
    EXPECT_EQ(lines[0].text, "early");
}

TEST(Log, ColourCodesWrapTheTextButNotThePrefix)
{
    const std::vector<Line> lines = parse(stderrLinesOf([] {
        Log::open(kIdent, true, true);
        Log::error("x");
        Log::warning("w%d", 1);
        Log::info("i");
        Log::debug("d");
        Log::print(Log::LevelWarning, "p%s", "q");
        Log::print(Log::LevelError, std::string("s"));
        Log::print(7, "seven");
        Log::print(4, "four");
    }));
    EXPECT_EQ(textsOf(lines), (std::vector<std::string>{
                                  "\033[31mx\033[39m", "\033[33mw1\033[39m", "\033[39mi\033[39m",
                                  "\033[35md\033[39m", "\033[33mpq\033[39m", "\033[31ms\033[39m",
                                  "seven\033[39m", "four\033[39m",  // unknown levels: reset only
                              }));
    for (const Line& line : lines) EXPECT_EQ(line.seconds.find('\033'), std::string::npos);
}

TEST(Log, WithoutColourTheTextIsBare)
{
    const std::vector<Line> lines = parse(stderrLinesOf([] {
        Log::open(kIdent, true, false);
        Log::error("x");
        Log::print(7, "seven");
    }));
    EXPECT_EQ(textsOf(lines), (std::vector<std::string>{"x", "seven"}));
}

TEST(Log, TextGivenAsStdStringIsLoggedLiterally)
{
    const std::vector<Line> lines = parse(stderrLinesOf([] {
        Log::open(kIdent, true, false);
        // Were these expanded, %s and %n would read and write through missing arguments.
        Log::print(Log::LevelInfo, std::string("100%d done %s %n %%"));
        Log::info("%d", 5);
        Log::info("%s=%u", "n", 7u);
        // A wide character with no narrow form: the C library gives up on the whole message, which
        // is then empty, not the bytes of the attempt.
        Log::info("[%ls]", L"\xD800");
    }));
    EXPECT_EQ(textsOf(lines), (std::vector<std::string>{"100%d done %s %n %%", "5", "n=7", ""}));

    const std::vector<Line> coloured = parse(stderrLinesOf([] {
        Log::open(kIdent, true, true);
        Log::print(Log::LevelDebug, std::string("50%d"));
    }));
    EXPECT_EQ(textsOf(coloured), (std::vector<std::string>{"\033[35m50%d\033[39m"}));
}

// Whatever a caller hands the log, as an argument or as the text itself, its message shows it as an
// excerpt would (its quotes and backslashes kept: they are the line's own marks) and never reads a
// '%' in it; the prefix and the colour codes are the log's own and stay as they are.
TEST(Log, EveryMessageIsEscapedWhateverItHolds)
{
    const auto rows = testsupport::unsafeTexts();
    for (const bool colour : {false, true}) {
        std::vector<std::string> expected;
        for (const auto& [raw, shown] : rows)  // a C string as an argument ends at its NUL
            expected.insert(expected.end(), raw[0] ? 2 : 1,
                            (colour ? "\033[33m<" : "<") + shown + "\"\\%s%n>" + (colour ? "\033[39m" : ""));
        EXPECT_EQ(textsOf(parse(stderrLinesOf([&] {
                      Log::open(kIdent, true, colour);
                      for (const auto& [raw, shown] : rows) {
                          Log::print(Log::LevelWarning, "<" + raw + "\"\\%s%n>");
                          if (raw[0])
                              Log::warning("<%s>", (raw + "\"\\%s%n").c_str());
                      }
                  }))),
                  expected);
    }
}

// A message is cut on what it prints, before the character or escape that would take it with its
// mark beyond 560 bytes (a line of about 600 with its prefix); the mark says so and how long it was.
// Formatted or handed over whole, a message comes whole up to there, past the first guess at its size.
TEST(Log, MessageIsCutOnWhatItPrintsWithAMarkSayingSo)
{
    const std::string x(600, 'x'), y(30, 'y'), e = "\xC3\xA9";
    std::string newlines;
    for (int i = 0; i < 267; ++i) newlines += "\\n";
    const auto cut = [](size_t total) { return "... (cut from " + std::to_string(total) + " bytes)"; };
    const std::pair<std::string, std::string> rows[] = {
        {x.substr(0, 255), x.substr(0, 255)},
        {x.substr(0, 256), x.substr(0, 256)},
        {x.substr(0, 257), x.substr(0, 257)},
        {x.substr(0, 560), x.substr(0, 560)},
        {x.substr(0, 561), x.substr(0, 536) + cut(561)},
        {x.substr(0, 554) + "\x1b", x.substr(0, 554) + "\\u001b"},
        {x.substr(0, 555) + "\x1b", x.substr(0, 536) + cut(556)},
        {x.substr(0, 530) + "\x1b" + y, x.substr(0, 530) + "\\u001b" + cut(561)},
        {x.substr(0, 531) + "\x1b" + y, x.substr(0, 531) + cut(562)},
        {x.substr(0, 534) + e + y, x.substr(0, 534) + e + cut(566)},
        {x.substr(0, 535) + e + y, x.substr(0, 535) + cut(567)},
        {std::string(70306, '\n'), newlines + cut(70306)},
    };
    const std::vector<Line> lines = parse(stderrLinesOf([&] {
        Log::open(kIdent, true, false);
        for (const auto& row : rows) {
            Log::print(Log::LevelInfo, row.first);
            Log::info("%s", row.first.c_str());
        }
    }));
    ASSERT_EQ(lines.size(), 2 * std::size(rows));
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].text, rows[i / 2].second) << i;
}

// What makes a captured log unsafe to read: each raw control of every kind the log escapes, a line
// over the bound and a forged one flagged; the kept kinds, invalid bytes and a line at the bound not.
TEST(Log, LogFaultsFlagsEachWayALineIsUnsafe)
{
    for (const auto& [raw, shown] : testsupport::unsafeTexts())
        EXPECT_EQ(testsupport::logFaults("<" + raw + ">\n", "FORGED").empty(),
                  shown[0] != '\\' || raw == "\n")
            << raw;
    const std::string x(600, 'x');
    for (const auto& [log, flagged] :
         {std::pair<std::string, bool>{x, false}, {x + "x", true}, {"a\nFORGED", true}})
        EXPECT_EQ(testsupport::logFaults(log + "\n", "FORGED").empty(), !flagged) << log;
}

void logEveryLevel()
{
    Log::error("e");
    Log::warning("w");
    Log::info("i");
    Log::debug("d");
    Log::print(Log::LevelInfo, std::string("pi"));
    Log::print(7, "p7");
}

TEST(Log, LevelMaskDropsLinesBelowIt)
{
    auto withLevel = [](int level) {
        return textsOf(parse(stderrLinesOf([level] {
            Log::open(kIdent, true, false);
            Log::setLevel(level);
            logEveryLevel();
        })));
    };
    EXPECT_EQ(withLevel(Log::LevelError), (std::vector<std::string>{"e"}));
    EXPECT_EQ(withLevel(Log::LevelWarning), (std::vector<std::string>{"e", "w"}));
    EXPECT_EQ(withLevel(Log::LevelInfo), (std::vector<std::string>{"e", "w", "i", "pi"}));
    EXPECT_EQ(withLevel(Log::LevelDebug), (std::vector<std::string>{"e", "w", "i", "d", "pi", "p7"}));
    EXPECT_EQ(withLevel(9), (std::vector<std::string>{"e", "w", "i", "d", "pi", "p7"}));
}

TEST(Log, StderrCopyOnlyWhenAskedFor)
{
    EXPECT_TRUE(stderrLinesOf([] {
                    if (!Log::open(kIdent, false, false))
                        _exit(1);
                    logEveryLevel();
                }).empty());
}

// Without a system logger lines go to the console, often a slow serial line. One that takes
// nothing more (a terminal nobody reads) never holds the logging thread: what it cannot take is
// dropped (and counted, as the next test shows).
TEST(Log, AConsoleThatTakesNothingNeverHoldsTheCaller)
{
    if (::access("/dev/log", F_OK) == 0)
        GTEST_SKIP() << "a system logger takes every line here";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master) | ::unlockpt(master), 0);
    Log::open(kIdent, false, false);
    Log::setConsole(::ptsname(master));
    // What reaches the other end, read as it comes (the terminal passes it on in its own time).
    const auto take = [master](std::string& into, int waitMs) {
        pollfd ready{master, POLLIN, 0};
        char chunk[4096];
        ssize_t n;
        for (; ::poll(&ready, 1, waitMs) > 0 && (n = ::read(master, chunk, sizeof chunk)) > 0; waitMs = 0)
            into.append(chunk, static_cast<size_t>(n));
    };
    // Some 2 MB, far past what the terminal holds: a blocking write would wait here for good. The
    // burst runs on a thread of its own, so that a held caller fails the test instead of hanging
    // it; the terminal is then drained, which lets the held writes end.
    auto burst = std::async(std::launch::async, [] {
        for (int i = 0; i < 30000; ++i) Log::error("line %d of a burst that no console keeps up with", i);
    });
    if (burst.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the burst was still held by the console after 10 s";
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (std::string drained; burst.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
             drained.clear()) {
            if (std::chrono::steady_clock::now() > giveUp) {
                std::fprintf(stderr, "the console holds the burst for good\n");
                std::_Exit(1);  // the held thread can be neither joined nor left behind
            }
            take(drained, 100);
        }
        Log::setConsole("/dev/console");
        ::close(master);
        return;
    }
    std::string heard;
    take(heard, 10000);
    EXPECT_NE(heard.find("line 0 of a burst"), std::string::npos);
    EXPECT_EQ(heard.find("line 29999 of a burst"), std::string::npos);
    Log::setConsole("/dev/console");
    ::close(master);
}

// What a console takes once it has dropped lines: the count of those dropped, each counted whether
// or not the console took the count itself, once, ahead of the first line it takes.
TEST(Log, TheConsoleHearsTheCountOfDroppedLinesOnceAheadOfTheNextLineItTakes)
{
    if (::access("/dev/log", F_OK) == 0)
        GTEST_SKIP() << "a system logger takes every line here";
    // A FIFO stands for the console: the test fills it so that it takes nothing, and drains it.
    testsupport::TempDir dir;
    const std::string console = dir / "console";
    ASSERT_EQ(::mkfifo(console.c_str(), 0600), 0);
    const int reader = ::open(console.c_str(), O_RDONLY | O_NONBLOCK);
    const int filler = ::open(console.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_GE(filler, 0);
    Log::open(kIdent, false, false);
    std::string heard;
    const auto drain = [&] {
        char chunk[4096];
        for (ssize_t n; (n = ::read(reader, chunk, sizeof chunk)) > 0;)
            heard.append(chunk, static_cast<size_t>(n));
        heard.erase(std::remove(heard.begin(), heard.end(), '\0'), heard.end());
    };
    const auto fill = [&] {
        // Blocks while they fit, then the last bytes one by one.
        const std::string block(4096, '\0');
        for (const size_t size : {block.size(), size_t{1}})
            while (::write(filler, block.data(), size) > 0) continue;
    };
    const std::string Full = "<full>", Drain = "<drain>";
    const struct
    {
        const char* name;
        std::vector<std::string> steps;  // lines logged, and what is done to the console between them
        std::vector<std::string> heard;
    } cases[] = {
        {"nothing dropped", {"a", "b"}, {"a", "b"}},
        {"three dropped",
         {Full, "a", "b", "c", Drain, "d", "e"},
         {"(3 log lines not written to the console)", "d", "e"}},
        {"dropped in two spells",
         {Full, "a", Drain, "b", Full, "c", "d", Drain, "e"},
         {"(1 log lines not written to the console)", "b", "(2 log lines not written to the console)", "e"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drain();
        heard.clear();
        Log::setConsole(console);
        for (const std::string& step : c.steps) {
            if (step == Full)
                fill();
            else if (step == Drain)
                drain();
            else
                Log::error("%s", step.c_str());
        }
        drain();
        // "Jan  1 00:00:00 logtest: [    0.123] a" gives "a"; the count comes as it is.
        std::vector<std::string> texts;
        for (size_t start = 0, end; (end = heard.find("\r\n", start)) != std::string::npos; start = end + 2) {
            const std::string line = heard.substr(start, end - start);
            const size_t text = line.find("] ");
            texts.push_back(line[0] == '(' || text == std::string::npos ? line : line.substr(text + 2));
        }
        EXPECT_EQ(texts, c.heard);
    }
    Log::setConsole("/dev/console");
    ::close(filler);
    ::close(reader);
}

TEST(Log, LevelNames)
{
    EXPECT_EQ(Log::levelToStr(Log::LevelError), "error");
    EXPECT_EQ(Log::levelToStr(Log::LevelWarning), "warn");
    EXPECT_EQ(Log::levelToStr(Log::LevelInfo), "info");
    EXPECT_EQ(Log::levelToStr(Log::LevelDebug), "debug");
    EXPECT_EQ(Log::levelToStr(7), "<unknown-level(7)>");
    EXPECT_EQ(Log::levelToStr(-1), "<unknown-level(-1)>");
}

}  // namespace
