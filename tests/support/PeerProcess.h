// Helpers for tests that talk to real peer programs (an FTP server, a ZMODEM receiver): a scratch
// directory removed with its contents, a child process started from an argument vector (never
// through a shell) with chosen descriptors as its standard streams, and small file helpers.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

inline void removeTree(const std::string& path)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* dir = ::opendir(path.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    removeTree(path + "/" + name);
            }
            ::closedir(dir);
        }
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

// Where tests put their files: TEST_TMPDIR (GoogleTest's own choice) or TMPDIR when set, else
// /tmp; no trailing slash.
inline std::string tempDirectory()
{
    for (const char* name : {"TEST_TMPDIR", "TMPDIR"}) {
        const char* dir = std::getenv(name);
        if (dir && *dir) {
            std::string path = dir;
            while (path.size() > 1 && path.back() == '/') path.pop_back();
            return path;
        }
    }
    return "/tmp";
}

// Where a test run as root makes what user 65534 must reach: the temporary directory where that user
// can pass it, else /tmp (a private one, as a shared host asks for, keeps it out); empty when
// neither, or when not root.
inline std::string tempDirectoryForNobody()
{
    for (const std::string& base : {tempDirectory(), std::string("/tmp")}) {
        const pid_t child = ::geteuid() == 0 ? ::fork() : -1;
        if (child == 0)
            ::_exit(!::setgroups(0, nullptr) && !::setgid(65534) && !::setuid(65534) &&
                            ::access(base.c_str(), X_OK) == 0
                        ? 0
                        : 1);
        int status = 1;
        if (child > 0 && ::waitpid(child, &status, 0) == child && status == 0)
            return base;
    }
    return std::string();
}

class TempDir
{
public:
    explicit TempDir(const std::string& base = tempDirectory())
    {
        std::string pattern = base + "/tapgate-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TempDir() { removeTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Where the test program's readers lock device names: its own, so that no test writes into the
// machine's lock directory nor meets a file another run left there. Removed when the program ends.
inline const std::string& lockDirectory()
{
    static const TempDir directory;
    return directory.path();
}

inline size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A socket bound at a path, which nobody can open as a file: its descriptor, or -1.
inline int socketAt(const std::string& path)
{
    sockaddr_un address = {AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

inline bool fileExists(const std::string& path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0;
}

inline std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A JSON object whose member "rfid" holds arrays, levels deep in all.
inline std::vector<uint8_t> nestedDocument(size_t levels)
{
    const std::string text =
        "{\"rfid\": " + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Bytes from a fixed-seed generator, so a failing run can be repeated.
inline std::vector<uint8_t> pseudoRandomBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    uint32_t x = seed ? seed : 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// A child program. The destructor kills it (SIGKILL) if it still runs and reaps it.
class PeerProcess
{
public:
    struct Options
    {
        std::string workingDirectory;
        int stdinFd = -1;   // -1: /dev/null
        int stdoutFd = -1;  // -1: /dev/null
        int stderrFd = -1;  // -1: /dev/null
        // In a network namespace of its own, where only a loopback that is down exists.
        bool ownNetwork = false;
        // In a process group of its own, which killGroup ends with whatever it started.
        bool ownProcessGroup = false;
    };

    PeerProcess(const std::vector<std::string>& argv, const Options& options)
    {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid < 0)
            throw std::runtime_error("fork failed");
        if (m_pid == 0) {
            // Only async-signal-safe calls from here on: the parent may have threads.
            const int devnull = ::open("/dev/null", O_RDWR);
            const int in = options.stdinFd >= 0 ? options.stdinFd : devnull;
            const int out = options.stdoutFd >= 0 ? options.stdoutFd : devnull;
            const int err = options.stderrFd >= 0 ? options.stderrFd : devnull;
            // Through fresh numbers first, so that a source that is itself 0, 1 or 2 survives.
            const int in2 = ::fcntl(in, F_DUPFD, 10);
            const int out2 = ::fcntl(out, F_DUPFD, 10);
            const int err2 = ::fcntl(err, F_DUPFD, 10);
            ::dup2(in2, 0);
            ::dup2(out2, 1);
            ::dup2(err2, 2);
            ::closefrom(3);
            ::signal(SIGPIPE, SIG_DFL);
            if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0)
                ::_exit(126);
            if (options.ownNetwork && ::unshare(CLONE_NEWNET) != 0)
                ::_exit(125);
            if (options.ownProcessGroup && ::setpgid(0, 0) != 0)
                ::_exit(124);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        if (options.ownProcessGroup)
            ::setpgid(m_pid, m_pid);  // before the child may start anything of its own
    }
    ~PeerProcess()
    {
        kill(SIGKILL);
        wait();
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    pid_t pid() const { return m_pid; }
    void kill(int signal)
    {
        if (m_pid > 0 && !m_reaped)
            ::kill(m_pid, signal);
    }
    // Ends what is left of a child's own process group: what a child that died had started.
    void killGroup()
    {
        if (m_pid > 0)
            ::kill(-m_pid, SIGKILL);
    }
    // Exit status as waitpid gives it; reaps once.
    int wait()
    {
        if (m_pid > 0 && !m_reaped) {
            while (::waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
            }
            m_reaped = true;
        }
        return m_status;
    }
    bool exitedWithZero()
    {
        const int status = wait();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    // Waits at most timeoutMs for the child to end by itself (sleeping on a process descriptor,
    // not polling); true when it did and was reaped, false when it still runs.
    bool endsWithin(int timeoutMs)
    {
        if (m_pid <= 0 || m_reaped)
            return true;
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
        if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, timeoutMs) < 0 && errno == EINTR) {
            }
            ::close(fd);
        }
        if (::waitpid(m_pid, &m_status, WNOHANG) != m_pid)
            return false;
        m_reaped = true;
        return true;
    }
    // The child's own exit status when it ends within timeoutMs; otherwise it is killed by its
    // pid and the result is false.
    bool exitedWithZeroWithin(int timeoutMs)
    {
        if (!endsWithin(timeoutMs)) {
            kill(SIGKILL);
            wait();
            return false;
        }
        return exitedWithZero();
    }

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// The network namespace a process runs in, as /proc names it; empty when it cannot be read.
inline std::string networkNamespace(pid_t pid)
{
    char target[128] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/ns/net";
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// How much a test takes in of what a child writes, and for how long at most (well inside a test
// program's 300 s): a child gone wrong may pour out without end (a capture that copies itself into
// itself filled gigabytes in minutes), and a reader without a bound would take it all in.
constexpr size_t MaxChildOutputBytes = size_t{1} << 20;
constexpr int ChildOutputMs = 60000;

inline long long monotonicMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// What the child (pid) writes on fd until it closes it, into out. Past maxBytes or timeoutMs, the
// child is killed by its pid and false returned, with why saying which bound it overran.
inline bool readChildOutput(int fd, pid_t child, std::string& out, std::string& why,
                            size_t maxBytes = MaxChildOutputBytes, int timeoutMs = ChildOutputMs)
{
    const auto overrun = [&](const std::string& what) {
        why = "the child (pid " + std::to_string(child) + ") " + what + ": killed";
        if (child > 0)
            ::kill(child, SIGKILL);
        return false;
    };
    const long long deadline = monotonicMs() + timeoutMs;
    char buffer[4096];
    for (;;) {
        const long long left = deadline - monotonicMs();
        pollfd p{fd, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return overrun("did not close its output within " + std::to_string(timeoutMs) + " ms");
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, maxBytes + 1 - out.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        out.append(buffer, static_cast<size_t>(n));
        if (out.size() > maxBytes)
            return overrun("wrote more than " + std::to_string(maxBytes) + " bytes");
    }
}

// What a forked child wrote on its standard error, taken in as readChildOutput does, and how it
// ended (waitpid's status).
struct ChildRun
{
    bool whole = false;  // read to its end within the bounds
    std::string output;
    std::string overrun;  // which bound it passed, when it did
    int status = 0;
};

// Runs body in a forked child whose standard error is a pipe to this process; the child ends with
// 0 when body returns.
inline ChildRun runInChild(const std::function<void()>& body, size_t maxBytes = MaxChildOutputBytes)
{
    ChildRun run;
    int line[2];
    if (::pipe(line) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(line[0]);
        ::dup2(line[1], 2);
        body();
        ::_exit(0);
    }
    ::close(line[1]);
    run.whole = readChildOutput(line[0], child, run.output, run.overrun, maxBytes);
    ::close(line[0]);
    while (::waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
    }
    return run;
}

// One line from a descriptor within timeoutMs and MaxChildOutputBytes; empty on time-out, EOF or
// a line longer than that (which is said on standard error, the test's log).
inline std::string readLine(int fd, int timeoutMs)
{
    const long long deadline = monotonicMs() + timeoutMs;
    std::string line;
    while (line.size() <= MaxChildOutputBytes) {
        // Past the deadline what is already there is still read: a child that has ended has
        // written all it will.
        const long long left = std::max(0LL, deadline - monotonicMs());
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            return std::string();
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            return std::string();
        if (c == '\n')
            return line;
        line += c;
    }
    std::fprintf(stderr, "a line of more than %zu bytes from descriptor %d: dropped\n", MaxChildOutputBytes,
                 fd);
    return std::string();
}

}  // namespace testsupport
