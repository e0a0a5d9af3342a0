// The service's one logging facility: lines go to syslog (facility LOCAL1) with an uptime prefix
// and optional ANSI colours, optionally copied to stderr. Static only; any thread may log. A line
// above the level set is dropped before anything of it is formatted; callers that build costly
// arguments (hex of frames) ask enabled() first. Whatever a caller passes, the message of a line
// is escaped as String::escaped escapes outside text (its quotes and backslashes kept) and cut on a
// character's edge at 560 printed bytes, a mark saying so: a line can neither be forged, nor reach a
// terminal, nor run on. Call sites still show outside text as excerpts, so a line says what it cut.
#pragma once

#include <cstdarg>
#include <string>

class Log
{
public:
    enum Level { LevelError = 0, LevelWarning = 1, LevelInfo = 2, LevelDebug = 3 };

    // ident must outlive the process (syslog keeps the pointer). Always returns true.
    static bool open(const char* ident, bool toStderr, bool color);
    // Where lines go that no system logger takes ("/dev/console"); a line the console cannot take
    // at once is dropped and counted, never waited for.
    static void setConsole(const std::string& path);
    static void setLevel(int level);
    // True when a line at this level would be written (levels outside the four count as debug).
    static bool enabled(int level);

    static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

    static void vprint(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    static void print(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The text is logged literally: a '%' in it is never interpreted (nor is one in an argument).
    static void print(int level, const std::string& text);

    static std::string levelToStr(int level);
};
