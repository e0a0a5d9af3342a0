#include "core/Log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "core/Clock.h"
#include "core/String.h"

namespace {

// Written only by Log::open, which runs before other threads start; atomics keep readers clean
// should a later open race with a logging thread.
std::atomic<double> time_start{0.0};
std::atomic<bool> Log_colorEnable{false};
// The highest level that is written; a line above it is dropped before anything is formatted.
std::atomic<int> maxLevel{Log::LevelDebug};

int priorityOf(int level)
{
    switch (level) {
        case Log::LevelError: return LOG_ERR;
        case Log::LevelWarning: return LOG_WARNING;
        case Log::LevelInfo: return LOG_INFO;
        default: return LOG_DEBUG;
    }
}

// The most a message prints: with the prefix, the colour codes and a short identity in front, a line
// stays within about 600 bytes, which a viewer or a console shows whole.
constexpr size_t MaxMessageBytes = 560;

// The uptime prefix, and the level's colour code when colours are on: the message follows.
std::string lineHead(int level, bool colour)
{
    static const char* const codes[] = {"\033[31m", "\033[33m", "\033[39m", "\033[35m"};
    std::string line = String::format("[%9.03f] ", Clock::elapsedMillis(time_start.load()) / 1000.0);
    if (colour && level >= 0 && level <= 3)
        line += codes[level];
    return line;
}

// Whatever a caller handed over, the message (line[from..]) can neither break the line nor reach a
// terminal, and it is bounded: the colour codes after it are the log's own.
void finishLine(std::string& line, size_t from, bool colour)
{
    const std::string total = std::to_string(line.size() - from);
    const size_t markBytes = sizeof "... (cut from  bytes)" - 1 + total.size();
    if (!String::makeLineSafe(line, from, MaxMessageBytes, MaxMessageBytes - markBytes))
        line.append("... (cut from ").append(total).append(" bytes)");
    if (colour)
        line += "\033[39m";
}

// Formats straight into the line after its head: most messages fit the first guess.
__attribute__((format(printf, 2, 0))) void appendFormatted(std::string& line, const char* format,
                                                           va_list args)
{
    va_list again;
    va_copy(again, args);
    const size_t at = line.size();
    line.resize(at + 256);
    int needed = std::vsnprintf(&line[at], line.size() - at, format, args);
    if (needed >= 0 && static_cast<size_t>(needed) >= line.size() - at) {
        line.resize(at + static_cast<size_t>(needed) + 1);
        needed = std::vsnprintf(&line[at], line.size() - at, format, again);
    }
    va_end(again);
    line.resize(at + (needed > 0 ? static_cast<size_t>(needed) : 0));
}

// The connection to the system logger's socket, made once and kept. A logger that is not there
// is asked again at most every ten seconds, not for every line: without a syslog daemon each line
// would otherwise cost a socket, a failed connect and a close. Lines it cannot take go to the
// console (also opened once) when the log was opened so, and to standard error when asked; all
// under one mutex, so lines are never interleaved.
class SystemLogger
{
public:
    void open(const char* ident, int options, int facility)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_opened = true;
        m_ident = ident;
        m_options = options;
        m_facility = facility;
        closeSocket();
        m_nextTry = 0;
        connect();
    }

    void write(int priority, const std::string& message)
    {
        if (!m_opened.load()) {
            // Before Log::open the C library's logger serves, under whatever it was opened with.
            syslog(priority, "%s", message.c_str());
            return;
        }
        char head[64];
        const time_t now = ::time(nullptr);
        struct tm local
        {
        };
        ::localtime_r(&now, &local);
        const int pri = (priority & LOG_PRIMASK) | m_facility.load();
        const int headLength = std::snprintf(head, sizeof head, "<%d>", pri);
        const size_t stamp = std::strftime(head + headLength, sizeof head - static_cast<size_t>(headLength),
                                           "%h %e %T ", &local);
        std::lock_guard<std::mutex> lock(m_mutex);
        // What the logger and standard error are given after the time stamp: "ident: message".
        std::string body = (m_ident ? m_ident : program_invocation_short_name);
        body += ": ";
        body += message;
        std::string datagram(head, static_cast<size_t>(headLength) + stamp);
        datagram += body;
        if (m_options & LOG_PERROR) {
            std::string copy = body;
            if (copy.empty() || copy.back() != '\n')
                copy.push_back('\n');
            writeAll(STDERR_FILENO, copy);
        }
        if (send(datagram))
            return;
        if (m_options & LOG_CONS)
            toConsole(datagram.substr(static_cast<size_t>(headLength)) + "\r\n");
    }

    void setConsole(const std::string& path)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_console >= 0)
            ::close(m_console);
        m_console = -1;
        m_consolePath = path;
        m_consoleDropped = 0;
    }

private:
    // The console is often a serial line at 115200 baud that every process without a system logger
    // writes to: a burst of lines would hold the caller (a reader's thread, in the middle of an
    // exchange with a card) for seconds. A line that does not fit at once is dropped and counted,
    // and the count goes out ahead of the next line that fits.
    void toConsole(const std::string& line)
    {
        if (m_console < 0)
            m_console = ::open(m_consolePath.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_console < 0)
            return;
        if (m_consoleDropped > 0) {
            const std::string note = "(" + std::to_string(m_consoleDropped) + " log lines not written to the console)\r\n";
            if (!writeAll(m_console, note)) {
                ++m_consoleDropped;
                return;
            }
            m_consoleDropped = 0;
        }
        if (!writeAll(m_console, line))
            ++m_consoleDropped;
    }

    // False when not all of it went (a descriptor that would block, or an error).
    static bool writeAll(int fd, const std::string& text)
    {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void closeSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // Under m_mutex. False while the logger is not reachable.
    bool connect()
    {
        if (m_fd >= 0)
            return true;
        const double now = Clock::monotonicMillis();
        if (now < m_nextTry)
            return false;
        m_nextTry = now + 10000;
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0)
            return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", "/dev/log");
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            closeSocket();
            return false;
        }
        return true;
    }

    // Under m_mutex.
    bool send(const std::string& datagram)
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!connect())
                return false;
            if (::send(m_fd, datagram.data(), datagram.size(), MSG_NOSIGNAL) >= 0)
                return true;
            if (errno == EINTR)
                continue;
            // The logger went away or restarted: connect again once, now.
            closeSocket();
            m_nextTry = 0;
        }
        return false;
    }

    std::mutex m_mutex;
    std::atomic<bool> m_opened{false};
    int m_console = -1;
    std::string m_consolePath = "/dev/console";
    unsigned long m_consoleDropped = 0;
    const char* m_ident = nullptr;
    int m_options = 0;
    std::atomic<int> m_facility{LOG_USER};
    int m_fd = -1;
    double m_nextTry = 0;
};

SystemLogger& systemLogger()
{
    static SystemLogger logger;
    return logger;
}

}  // namespace

bool Log::open(const char* ident, bool toStderr, bool color)
{
    systemLogger().open(ident, LOG_CONS | LOG_NDELAY | (toStderr ? LOG_PERROR : 0), LOG_LOCAL1);
    Log_colorEnable = color;
    time_start = Clock::millis();
    return true;
}

void Log::setConsole(const std::string& path)
{
    systemLogger().setConsole(path);
}

void Log::setLevel(int level)
{
    switch (level) {
        case LevelError: maxLevel = LevelError; break;
        case LevelWarning: maxLevel = LevelWarning; break;
        case LevelInfo: maxLevel = LevelInfo; break;
        default: maxLevel = LevelDebug; break;
    }
}

bool Log::enabled(int level)
{
    // Levels outside the four are logged as debug.
    const int effective = level >= LevelError && level <= LevelDebug ? level : LevelDebug;
    return effective <= maxLevel.load(std::memory_order_relaxed);
}

// The caller's format is expanded against the caller's arguments alone, and the line made safe
// after: no text of the caller's is ever read as a format.
void Log::vprint(int level, const char* format, va_list args)
{
    if (!enabled(level))
        return;
    const bool colour = Log_colorEnable.load();
    std::string line = lineHead(level, colour);
    const size_t from = line.size();
    if (format)
        appendFormatted(line, format, args);
    finishLine(line, from, colour);
    systemLogger().write(priorityOf(level), line);
}

#define TAPGATE_LOG_AT(level)            \
    va_list args;                        \
    va_start(args, format);              \
    vprint(level, format, args);         \
    va_end(args)

void Log::error(const char* format, ...) { TAPGATE_LOG_AT(LevelError); }
void Log::warning(const char* format, ...) { TAPGATE_LOG_AT(LevelWarning); }
void Log::info(const char* format, ...) { TAPGATE_LOG_AT(LevelInfo); }
void Log::debug(const char* format, ...) { TAPGATE_LOG_AT(LevelDebug); }
void Log::print(int level, const char* format, ...) { TAPGATE_LOG_AT(level); }

#undef TAPGATE_LOG_AT

void Log::print(int level, const std::string& text)
{
    if (!enabled(level))
        return;
    const bool colour = Log_colorEnable.load();
    std::string line = lineHead(level, colour);
    const size_t from = line.size();
    line += text;
    finishLine(line, from, colour);
    systemLogger().write(priorityOf(level), line);
}

std::string Log::levelToStr(int level)
{
    switch (level) {
        case LevelError: return "error";
        case LevelWarning: return "warn";
        case LevelInfo: return "info";
        case LevelDebug: return "debug";
        default: return String::format("<unknown-level(%d)>", level);
    }
}
