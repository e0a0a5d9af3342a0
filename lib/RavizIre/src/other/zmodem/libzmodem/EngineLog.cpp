#include "other/zmodem/libzmodem/EngineLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace zmodem {

namespace {

std::atomic<int> g_threshold{LogError};

const char* levelName(int level)
{
    static const char* const names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    return level >= 0 && level <= LogFatal ? names[level] : "?";
}

const char* baseName(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/')
            name = p + 1;
    return name;
}

}  // namespace

void setLogThreshold(int level)
{
    g_threshold = level;
}
int logThreshold()
{
    return g_threshold;
}

void logMessage(int level, const char* file, int line, const char* format, ...)
{
    if (level < g_threshold)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const time_t now = time(nullptr);
    struct tm local
    {
    };
    localtime_r(&now, &local);
    char stamp[16];
    strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    // One call per line so lines of two threads do not interleave.
    fprintf(stderr, "%s %-5s %s:%d: %s\n", stamp, levelName(level), baseName(file), line, text);
    fflush(stderr);
}

}  // namespace zmodem
