#include "drivers/Monet/System/SystemPlatform.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <thread>
#include <utility>

#include "core/String.h"
#include "core/Log.h"

namespace Monet {

namespace {

// How long the tools may take before they are killed; pppd gets about 1 s to end on SIGTERM.
const int SetserialLimitMs = 5000;
const int SystemctlLimitMs = 30000;
const int PppdTermMs = 1000;

std::string commandText(const std::vector<std::string>& argv)
{
    std::string text;
    for (const std::string& arg : argv)
        text += (text.empty() ? "" : " ") + String::escaped(arg, String::MaxPathExcerptBytes);
    return text;
}

// Only an absolute path to an existing character device is handed to setserial or pppd: no
// option ("-..."), no shell text, no file that is not a line.
bool characterDevice(const std::string& device)
{
    struct stat st
    {
    };
    const bool ok = !device.empty() && device[0] == '/' && ::stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
    if (!ok)
        Log::error("[Monet] '%s' is not a character device ===> Nothing run",
                   String::escaped(device, String::MaxPathExcerptBytes).c_str());
    return ok;
}

}  // namespace

namespace process {

namespace {

// The file execvp would run for name, found before the fork: the search reads the environment and
// builds paths, which a child of a program with other threads may not do before its exec. Empty
// when there is none.
std::string executable(const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/bin:/usr/bin";
    for (size_t begin = 0;;) {
        const size_t end = dirs.find(':', begin);
        const std::string dir =
            dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        const std::string file = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st
        {
        };
        if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0)
            return file;
        if (end == std::string::npos)
            return {};
        begin = end + 1;
    }
}

// A program started with a standard stream closed gets that number back from its next open, where
// the child's dup2 onto 0 and 1 would replace the pipe or /dev/null: ours are kept above 2.
int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, int deathSignal)
{
    if (argv.empty())
        return -1;
    const std::string file = executable(argv[0]);
    if (file.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // A kernel without close_range leaves the child to close each descriptor itself, up to this.
    const long openMax = ::sysconf(_SC_OPEN_MAX);
    const int lastFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) - 1 : 65535;

    // The child reports a failed exec through this pipe; a successful exec closes it unwritten.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -1;
    report[0] = aboveStandardStreams(report[0]);
    report[1] = aboveStandardStreams(report[1]);
    const int devnull = aboveStandardStreams(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const pid_t parent = ::getpid();
    const pid_t pid = devnull < 0 || report[0] < 0 || report[1] < 0 ? -1 : ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on: the program has other threads.
        // A parent that ended before the prctl took effect would never send the signal.
        if (deathSignal != 0 && (::prctl(PR_SET_PDEATHSIG, deathSignal) != 0 || ::getppid() != parent))
            ::_exit(127);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        // None of our sockets or lines goes to the tool.
        if (report[1] > 3 && ::close_range(3, static_cast<unsigned>(report[1]) - 1, 0) != 0)
            for (int fd = 3; fd < report[1]; ++fd) ::close(fd);
        if (::close_range(static_cast<unsigned>(report[1]) + 1, ~0U, 0) != 0)
            for (int fd = report[1] + 1; fd <= lastFd; ++fd) ::close(fd);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(file.c_str(), args.data());
        const int error = errno;
        if (::write(report[1], &error, sizeof error) < 0)
            ::_exit(127);
        ::_exit(127);
    }
    for (const int fd : {devnull, report[1]})
        if (fd >= 0)
            ::close(fd);
    int error = 0;
    ssize_t n = -1;
    if (pid > 0)
        do n = ::read(report[0], &error, sizeof error);
        while (n < 0 && errno == EINTR);
    if (report[0] >= 0)
        ::close(report[0]);
    if (pid > 0 && n > 0) {
        (void)waitFor(pid, -1);
        errno = error;
        return -1;
    }
    return pid;
}

int waitFor(pid_t pid, int ms)
{
    int status = 0;
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int ready;
        do ready = ::poll(&p, 1, ms);
        while (ready < 0 && errno == EINTR);
        ::close(fd);
        // Not known to have ended: a blocking wait here could outlast the caller's bound.
        if (ready == 0 || (ready < 0 && ms >= 0))
            return -1;
    } else if (errno != ESRCH) {
        // A kernel without pidfds: look every 10 ms, as long as the caller allows, and at least once.
        for (int waited = 0;; waited += 10) {
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno != EINTR))
                return r == pid ? status : 0;
            if (ms >= 0 && waited >= ms)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    pid_t r;
    do r = ::waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    // Reaped elsewhere (SIGCHLD ignored): it has ended all the same.
    return r == pid ? status : 0;
}

bool gone(pid_t pid, int ms)
{
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        if (errno == ESRCH)
            return true;
        // A kernel without pidfds: look every 10 ms.
        for (int waited = 0; waited < ms; waited += 10) {
            if (::kill(pid, 0) != 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ::kill(pid, 0) != 0;
    }
    pollfd p{fd, POLLIN, 0};
    int ready;
    do ready = ::poll(&p, 1, ms);
    while (ready < 0 && errno == EINTR);
    ::close(fd);
    return ready > 0;
}

int run(const std::vector<std::string>& argv, int limitMs)
{
    const pid_t pid = spawn(argv);
    if (pid < 0)
        return -1;
    int status = waitFor(pid, limitMs);
    if (status < 0) {
        Log::error("[Monet] %s did not end within %d ms ===> Killed", argv[0].c_str(), limitMs);
        ::kill(pid, SIGKILL);
        status = waitFor(pid, -1);
    }
    return status;
}

}  // namespace process

SystemPlatform::SystemPlatform(std::string netPath, std::string pidFilePath, std::string procPath)
    : m_netPath(std::move(netPath)), m_pidFilePath(std::move(pidFilePath)), m_procPath(std::move(procPath))
{
}

bool SystemPlatform::interfaceExists(const std::string& name)
{
    return ::if_nametoindex(name.c_str()) != 0;
}

bool SystemPlatform::linkUp(const std::string& name)
{
    // An interface name is one path component.
    const bool named = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
    std::ifstream file;
    if (named)
        file.open(m_netPath + "/" + name + "/flags");
    std::string line;
    if (!file || !std::getline(file, line) || line.empty()) {
        Log::error("[Monet] %s interface is not up (unknwon state)", String::escaped(name).c_str());
        return false;
    }
    return line.size() >= 6 && line[5] == '1';
}

void SystemPlatform::setLowLatency(const std::string& device)
{
    if (!characterDevice(device))
        return;
    const std::vector<std::string> argv = {"setserial", device, "low_latency"};
    const int status = process::run(argv, SetserialLimitMs);
    Log::info("[Monet] system(%s) returned: %d", commandText(argv).c_str(), status);
}

bool SystemPlatform::startPppd(const std::string& device, int baud)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Two of ours on one line would fight over it.
    stopLocked();
    if (!characterDevice(device))
        return false;
    const std::string args = std::string(1, '\0') + device + '\0' + std::to_string(baud) + '\0';
    stopLeftoversLocked(args);
    const std::vector<std::string> argv = {"pppd", device, std::to_string(baud)};
    // Ends with the program; a pppd that detaches does not, and the next start finds it.
    const pid_t pid = process::spawn(argv, SIGTERM);
    const int error = errno;
    Log::info("[Monet] system(%s) returned: %d", commandText(argv).c_str(), pid > 0 ? 0 : -1);
    if (pid < 0) {
        Log::error("[Monet] pppd could not be started: %s", std::strerror(error));
        return false;
    }
    m_pppd = pid;
    m_detached = false;
    m_pppdDevice = device;
    m_pppdArgs = args;
    return true;
}

void SystemPlatform::stopPppd()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    stopLocked();
}

void SystemPlatform::stopLocked()
{
    reapLocked();
    if (m_pppd <= 0)
        return;
    if (m_detached) {
        // Not our child: init reaps it, and its pid may go to another process as soon as it has
        // ended, so it is signalled only as the process its identity was checked on.
        if (stopPppdProcess(m_pppd, "/proc/" + std::to_string(m_pppd), m_pppdArgs))
            Log::info("[Monet] pppd (pid %d) stopped", static_cast<int>(m_pppd));
        else
            Log::warning("[Monet] WARN: pppd (pid %d) ended by itself", static_cast<int>(m_pppd));
    } else {
        // Our child: its pid stays ours until it is reaped.
        ::kill(m_pppd, SIGTERM);
        int status = process::waitFor(m_pppd, PppdTermMs);
        if (status < 0) {
            ::kill(m_pppd, SIGKILL);
            status = process::waitFor(m_pppd, -1);
        }
        Log::info("[Monet] pppd (pid %d) stopped (status %d)", static_cast<int>(m_pppd), status);
    }
    m_pppd = -1;
    m_pppdDevice.clear();
}

bool SystemPlatform::stopPppdProcess(pid_t pid, const std::string& process, const std::string& args)
{
    // The descriptor is taken before the identity is checked: what it names stays the process that
    // was checked, even when that ends and another one gets its pid before a signal goes out.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if ((fd < 0 && errno != ENOSYS) || !runsPppd(process, args)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    // A kernel without pidfds leaves only the pid.
    const auto send = [&](int number) {
        if (fd >= 0)
            (void)::syscall(SYS_pidfd_send_signal, fd, number, nullptr, 0);
        else
            ::kill(pid, number);
    };
    const auto ends = [&](int ms) {
        if (fd < 0)
            return process::gone(pid, ms);
        pollfd p{fd, POLLIN, 0};
        int ready;
        do ready = ::poll(&p, 1, ms);
        while (ready < 0 && errno == EINTR);
        return ready > 0;
    };
    send(SIGTERM);
    if (!ends(PppdTermMs) && runsPppd(process, args)) {
        send(SIGKILL);
        (void)ends(PppdTermMs);
    }
    if (fd >= 0)
        ::close(fd);
    return true;
}

void SystemPlatform::reapLocked()
{
    if (m_pppd <= 0)
        return;
    if (m_detached) {
        // Looked at again each time: once it has ended, its pid may name any other process.
        if (process::gone(m_pppd, 0) || !isOurPppd(m_pppd)) {
            Log::warning("[Monet] WARN: pppd (pid %d) ended by itself", static_cast<int>(m_pppd));
            m_pppd = -1;
        }
        return;
    }
    const int status = process::waitFor(m_pppd, 0);
    if (status < 0)
        return;
    // pppd leaves the process we started once the link is up (unless its options say
    // "nodetach") and goes on in one of its own, whose pid it writes to its pid file.
    const pid_t daemon = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? detachedPppd() : -1;
    if (daemon > 0) {
        Log::info("[Monet] pppd (pid %d) goes on in the background as pid %d", static_cast<int>(m_pppd),
                  static_cast<int>(daemon));
        m_pppd = daemon;
        m_detached = true;
        return;
    }
    Log::warning("[Monet] WARN: pppd (pid %d) ended by itself (status %d)", static_cast<int>(m_pppd), status);
    m_pppd = -1;
}

pid_t SystemPlatform::detachedPppd() const
{
    long pid = 0;
    std::ifstream pidFile(m_pidFilePath);
    if (!(pidFile >> pid) || pid <= 1 || pid > std::numeric_limits<pid_t>::max())
        return -1;
    return isOurPppd(static_cast<pid_t>(pid)) ? static_cast<pid_t>(pid) : -1;
}

bool SystemPlatform::isOurPppd(pid_t pid) const
{
    // Ours only while it is a pppd with the device and speed we started it with.
    return runsPppd("/proc/" + std::to_string(pid), m_pppdArgs);
}

bool SystemPlatform::runsPppd(const std::string& process, const std::string& args)
{
    std::ifstream commFile(process + "/comm");
    std::ifstream cmdlineFile(process + "/cmdline", std::ios::binary);
    std::string comm;
    std::getline(commFile, comm);
    const std::string cmdline((std::istreambuf_iterator<char>(cmdlineFile)),
                              std::istreambuf_iterator<char>());
    return comm == "pppd" && cmdline.size() > args.size() &&
           cmdline.compare(cmdline.size() - args.size(), args.size(), args) == 0;
}

void SystemPlatform::stopLeftoversLocked(const std::string& args)
{
    std::vector<pid_t> found;
    if (DIR* dir = ::opendir(m_procPath.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (*entry->d_name && !*end && pid > 1 && pid <= std::numeric_limits<pid_t>::max() &&
                pid != ::getpid() && runsPppd(m_procPath + "/" + entry->d_name, args))
                found.push_back(static_cast<pid_t>(pid));
        }
        ::closedir(dir);
    }
    for (const pid_t pid : found)
        if (stopPppdProcess(pid, m_procPath + "/" + std::to_string(pid), args))
            Log::warning("[Monet] WARN: pppd (pid %d) left on the line by an earlier start ===> Stopped",
                         static_cast<int>(pid));
}

void SystemPlatform::restartService()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_restarted) {
            Log::warning("[Monet] WARN: Service restart already requested ===> Not again");
            return;
        }
        m_restarted = true;
    }
    const std::vector<std::string> argv = {"systemctl", "restart", "tapgate"};
    const int status = process::run(argv, SystemctlLimitMs);
    Log::info("[Monet] system(%s) returned: %d", commandText(argv).c_str(), status);
}

bool SystemPlatform::holdsDevice(const std::string& device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    reapLocked();
    return m_pppd > 0 && device == m_pppdDevice;
}

}  // namespace Monet
