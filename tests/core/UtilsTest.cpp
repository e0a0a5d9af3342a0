#include <gtest/gtest.h>
#include <libgen.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

#include "core/Utils.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const char* const kRemovedDirChild = "UTILS_TEST_REMOVED_DIR_CHILD";

// Re-executed through a link inside a directory, the binary removes link and directory and then
// reports through its exit status what getAppPath did: 0 a std::runtime_error, 1 a returned path,
// 2 any other exception. It never reaches the test runner.
[[maybe_unused]] const bool removedDirChild = [] {
    const char* directory = getenv(kRemovedDirChild);
    if (directory == nullptr)
        return false;
    unsetenv(kRemovedDirChild);
    fs::remove_all(directory);
    int status = 2;
    try {
        Utils::getAppPath();
        status = 1;
    } catch (const std::runtime_error&) {
        status = 0;
    } catch (...) {
    }
    _exit(status);
}();

class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "utilstest.XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The test binary may have been started by a relative name, which getAppPath resolves against the
// working directory: every test that moves it moves it back.
class ScopedWorkingDirectory
{
public:
    explicit ScopedWorkingDirectory(const std::string& path) : m_before(fs::current_path())
    {
        fs::current_path(path);
    }
    ~ScopedWorkingDirectory() { fs::current_path(m_before); }

private:
    fs::path m_before;
};

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool isDirectory(const std::string& path)
{
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(Utils, MatchTable)
{
    struct Case
    {
        const char* text;
        const char* pattern;
        bool matches;
    };
    const Case cases[] = {
        {"a.dat", "*.dat", true},
        {"a.dat", "*.csv", false},
        {"abc", "a?c", true},
        {"abc", "a*", true},
        {"ab", "ab*cd", true},  // a star reached at the end of the text matches
        {"", "*", true},
        {"", "?", false},
        {"", "", true},
        {"a", "", false},
        {"ab", "abc", false},
        {"abc", "ab", false},
        {"a1b2c", "a*b*c", true},
        {"a1b2cd", "a*b*c", false},
        {"ABC", "abc", false},
        {"abab", "*ab*c", true},  // the first star has to give back: ab at the end, then a star
        {"xab", "*ab*c", true},
        {"keys_v2.json", "keys_v?.json", true},
        {"keys_v10.json", "keys_v?.json", false},
        {"usageLog/3/date", "usageLog/*/date", true},
        {"usageLog/3/time", "usageLog/*/date", false},
        {"a", "**", true},
        {"abc", "a**c", true},
        {"abd", "a**c", false},
        {"abc", "???", true},
        {"ab", "???", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Utils::match(c.text, c.pattern), c.matches) << c.text << " against " << c.pattern;

    // Only the bytes up to the first NUL take part.
    EXPECT_TRUE(Utils::match(std::string("a\0b", 3), std::string("a")));
    EXPECT_TRUE(Utils::match(std::string("a"), std::string("a\0zzz", 5)));
}

TEST(Utils, MatchOfKilobytesWithManyStarsTakesMilliseconds)
{
    // Backtracking, even remembering failures at each star, takes tens of seconds on these.
    const std::string text(4000, 'a');
    std::string pattern;
    for (int i = 0; i < 1000; ++i) pattern += "*a";
    pattern += "*b";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Utils::match(text + "x", pattern));
    EXPECT_TRUE(Utils::match(text + "b", pattern));
    EXPECT_TRUE(Utils::match(text + "xb", pattern));
    EXPECT_FALSE(Utils::match(text + "bx", pattern));
    EXPECT_TRUE(Utils::match(text, pattern));  // a star is reached where the text ends
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(Utils, PathPieces)
{
    EXPECT_EQ(Utils::combinePath("/opt/x/", "/keys"), "/opt/x/keys");
    EXPECT_EQ(Utils::combinePath("/opt/x", "keys"), "/opt/x/keys");
    EXPECT_EQ(Utils::combinePath("/opt/x", ""), "/opt/x");
    EXPECT_EQ(Utils::combinePath("", "/keys"), "keys");
    EXPECT_EQ(Utils::combinePath("", "keys"), "keys");
    EXPECT_EQ(Utils::combinePath("", ""), "");
    EXPECT_EQ(Utils::combinePath("/", "keys"), "/keys");
    EXPECT_EQ(Utils::combinePath("kivo/rfid", "//status"), "kivo/rfid//status");  // only one slash is dropped

    EXPECT_EQ(Utils::getFilenameFromFilepath("C:\\dir\\f.txt"), "f.txt");
    EXPECT_EQ(Utils::getFilenameFromFilepath("/a/b/c.bin"), "c.bin");
    EXPECT_EQ(Utils::getFilenameFromFilepath("c.bin"), "c.bin");
    EXPECT_EQ(Utils::getFilenameFromFilepath("/a/b/"), "");

    EXPECT_EQ(Utils::getFileExtension("archive.tar.gz"), ".gz");
    EXPECT_EQ(Utils::getFileExtension("README"), "");
    EXPECT_EQ(Utils::getFileExtension("fw.d/image"), ".d/image");
    EXPECT_EQ(Utils::getFileExtension("ks.dat"), ".dat");
}

TEST(Utils, ListFilesGivesFullPathsOfMatchingRegularFiles)
{
    TempDir dir;
    writeFile(dir / "a.dat", {1});
    writeFile(dir / "b.csv", {2});
    writeFile(dir / ".hidden", {3});
    writeFile(dir / ".hidden.dat", {4});
    ASSERT_EQ(mkdir((dir / "sub.dat").c_str(), 0700), 0);
    writeFile(dir / "sub.dat/inner.dat", {5});

    EXPECT_EQ(Utils::listFiles(dir.path(), "*.dat"), std::list<std::string>{dir / "a.dat"});
    EXPECT_EQ(Utils::listFiles(dir.path() + "/", "*.dat"), std::list<std::string>{dir / "a.dat"});

    const std::list<std::string> all = Utils::listFiles(dir.path(), "");
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()),
              (std::set<std::string>{dir / "a.dat", dir / "b.csv"}));

    std::list<std::string> kept{"earlier"};
    EXPECT_TRUE(Utils::listFilesInDir(dir.path(), kept, "b.*"));
    EXPECT_EQ(kept, (std::list<std::string>{"earlier", dir / "b.csv"}));

    EXPECT_FALSE(Utils::listFilesInDir(dir / "missing", kept, ""));
    EXPECT_EQ(kept.size(), 2u);
    EXPECT_TRUE(Utils::listFiles(dir / "missing", "*").empty());
}

TEST(Utils, MakePathTreatsShellCharactersAsPlainNameCharacters)
{
    TempDir dir;
    const std::string hostile = dir / "it's $(touch pwned1) `touch pwned2`; touch pwned3 '";
    const std::string nested = hostile + "/a\"b/c";
    const ScopedWorkingDirectory inside(dir.path());  // where the commands above would write

    EXPECT_TRUE(Utils::makePath(nested));

    EXPECT_TRUE(isDirectory(hostile));
    EXPECT_TRUE(isDirectory(nested));
    for (const char* stray : {"pwned1", "pwned2", "pwned3"})
        EXPECT_FALSE(Utils::fileExists(dir / stray)) << stray;
}

TEST(Utils, MakePathCreatesParentsAndFailsWhereAFileIsInTheWay)
{
    TempDir dir;
    EXPECT_TRUE(Utils::makePath(dir / "x/y/z"));
    EXPECT_TRUE(isDirectory(dir / "x/y/z"));
    EXPECT_TRUE(Utils::makePath(dir / "x/y/z"));  // already there
    EXPECT_TRUE(Utils::makePath(dir / "p//q/"));
    EXPECT_TRUE(isDirectory(dir / "p/q"));
    EXPECT_TRUE(Utils::makePath(dir.path()));
    EXPECT_TRUE(Utils::makePath("/"));

    writeFile(dir / "file", {0});
    EXPECT_FALSE(Utils::makePath(dir / "file"));
    EXPECT_FALSE(Utils::makePath(dir / "file/below"));
    EXPECT_FALSE(Utils::makePath(""));

    const ScopedWorkingDirectory inside(dir.path());
    EXPECT_TRUE(Utils::makePath("rel/dir"));
    EXPECT_TRUE(isDirectory(dir / "rel/dir"));
}

TEST(Utils, FileOperationsReportThroughTheirResult)
{
    TempDir dir;
    const Bytes fourBytes{0x41, 0x20, 0x0A, 0x42};
    writeFile(dir / "small", fourBytes);
    EXPECT_EQ(Utils::readFile(dir / "small"), fourBytes);

    // Longer than one read chunk, with NUL and high bytes, and a final partial chunk.
    Bytes large(70001);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    writeFile(dir / "large", large);
    EXPECT_EQ(Utils::readFile(dir / "large"), large);

    writeFile(dir / "empty", {});
    EXPECT_TRUE(Utils::readFile(dir / "empty").empty());
    EXPECT_TRUE(Utils::readFile(dir / "missing").empty());
    EXPECT_TRUE(Utils::readFile(dir.path()).empty());

    EXPECT_TRUE(Utils::fileExists(dir / "small"));
    EXPECT_TRUE(Utils::moveFile(dir / "small", dir / "small.done"));
    EXPECT_FALSE(Utils::fileExists(dir / "small"));
    EXPECT_EQ(Utils::readFile(dir / "small.done"), fourBytes);
    EXPECT_FALSE(Utils::moveFile(dir / "small", dir / "again"));
    EXPECT_TRUE(Utils::deleteFile(dir / "small.done"));
    EXPECT_FALSE(Utils::deleteFile(dir / "small.done"));
    EXPECT_FALSE(Utils::fileExists(dir / "small.done"));
}

TEST(Utils, SerialEncodeInBothByteOrders)
{
    EXPECT_EQ(Utils::serialEncode<uint32_t>(0x01020304u, Utils::BigEndian), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Utils::serialEncode<uint32_t>(0x01020304u, Utils::LittleEndian), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(Utils::serialEncode<int32_t>(0x01020304, true), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Utils::serialEncode<int32_t>(-2, true), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(Utils::serialEncode<int32_t>(-2, false), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Utils::serialEncode<int32_t>(INT32_MIN, true), (Bytes{0x80, 0, 0, 0}));
    EXPECT_EQ(Utils::serialEncode<uint16_t>(0xA1B2, true), (Bytes{0xA1, 0xB2}));
    EXPECT_EQ(Utils::serialEncode<uint8_t>(0x7F, false), (Bytes{0x7F}));
    EXPECT_EQ(Utils::serialEncode<uint64_t>(0x0102030405060708ull, false), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST(Utils, AppPathIsTheExecutablesResolvedDirectory)
{
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    char* resolved = realpath(dirname(self), nullptr);
    ASSERT_NE(resolved, nullptr);
    const std::string expected = resolved;
    free(resolved);

    EXPECT_EQ(Utils::getAppPath(), expected);

    const fs::path before = fs::current_path();
    EXPECT_EQ(Utils::changeToAppPath(), expected);
    EXPECT_EQ(fs::current_path(), fs::path(expected));
    fs::current_path(before);

    EXPECT_EQ(Utils::getProcessId(), std::to_string(getpid()));
}

TEST(Utils, AppPathOfARemovedDirectoryIsAClearError)
{
    TempDir dir;
    const std::string binDir = dir / "bin";
    ASSERT_EQ(mkdir(binDir.c_str(), 0700), 0);
    const std::string link = binDir + "/self";
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    ASSERT_EQ(symlink(self, link.c_str()), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv(kRemovedDirChild, binDir.c_str(), 1);
        char* const argv[] = {const_cast<char*>("self"), nullptr};
        execv(link.c_str(), argv);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a path came back, 2: not a std::runtime_error, 3: exec failed";
    EXPECT_FALSE(fs::exists(binDir));
}

}  // namespace
