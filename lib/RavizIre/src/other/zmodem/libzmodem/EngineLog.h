// The engine's own levelled log: a message at or above the threshold goes to standard error as
// "%H:%M:%S %-5s file:line: " and the text. Messages are passed as arguments, never as formats.
// Any thread may log; the threshold is process-wide.
#pragma once

namespace zmodem {

enum LogLevel
{
    LogTrace = 0,
    LogDebug = 1,
    LogInfo = 2,
    LogWarn = 3,
    LogError = 4,
    LogFatal = 5
};

void setLogThreshold(int level);
int logThreshold();
void logMessage(int level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace zmodem

#define ZM_LOG(level, ...) ::zmodem::logMessage((level), __FILE__, __LINE__, __VA_ARGS__)
