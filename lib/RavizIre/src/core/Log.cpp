#include "core/Log.h"

#include <syslog.h>

#include <atomic>

#include "core/Clock.h"
#include "core/String.h"

namespace {

// Written only by Log::open, which runs before other threads start; atomics keep readers clean
// should a later open race with a logging thread.
std::atomic<double> time_start{0.0};
std::atomic<bool> Log_colorEnable{false};

int priorityOf(int level)
{
    switch (level) {
        case Log::LevelError: return LOG_ERR;
        case Log::LevelWarning: return LOG_WARNING;
        case Log::LevelInfo: return LOG_INFO;
        default: return LOG_DEBUG;
    }
}

std::string Log_formatColor(int level, const std::string& text)
{
    static const char* const codes[] = {"\033[31m", "\033[33m", "\033[39m", "\033[35m"};
    std::string out;
    if (level >= 0 && level <= 3)
        out = codes[level];
    out += text;
    out += "\033[39m";
    return out;
}

std::string joinLine(int level, const char* text)
{
    std::string line = String::format("[%9.03f] ", Clock::elapsedMillis(time_start.load()) / 1000.0);
    if (Log_colorEnable.load())
        line += Log_formatColor(level, text ? text : "");
    else
        line += text ? text : "";
    return line;
}

}  // namespace

bool Log::open(const char* ident, bool toStderr, bool color)
{
    openlog(ident, LOG_CONS | LOG_NDELAY | (toStderr ? LOG_PERROR : 0), LOG_LOCAL1);
    Log_colorEnable = color;
    time_start = Clock::millis();
    return true;
}

void Log::setLevel(int level)
{
    switch (level) {
        case LevelError: setlogmask(LOG_UPTO(LOG_ERR)); break;
        case LevelWarning: setlogmask(LOG_UPTO(LOG_WARNING)); break;
        case LevelInfo: setlogmask(LOG_UPTO(LOG_INFO)); break;
        default: setlogmask(LOG_UPTO(LOG_DEBUG)); break;
    }
}

// The caller's format is joined after the prefix and colour code (neither holds a '%'), and the
// caller's conversions are then expanded by vsyslog against the caller's own arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void Log::vprint(int level, const char* format, va_list args)
{
    const std::string line = joinLine(level, format);
    vsyslog(priorityOf(level), line.c_str(), args);
}
#pragma GCC diagnostic pop

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
    const std::string line = joinLine(level, text.c_str());
    syslog(priorityOf(level), "%s", line.c_str());
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
