#include "core/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/JsonDepth.h"

namespace ConfigFile {

bool read(const std::string& path, std::string& text, std::string& reason)
{
    text.clear();
    // The type is looked at before any open: opening a serial line raises and drops its control
    // lines, which can reset the reader on it.
    struct stat named
    {
    };
    if (::stat(path.c_str(), &named) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(named.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    // The path may name something else by the time it is opened: without O_NONBLOCK a FIFO put
    // there would hold the open until someone writes to it. The descriptor is looked at again.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    struct stat st
    {
    };
    bool ok = false;
    if (::fstat(fd, &st) != 0)
        reason = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        reason = "not a regular file";
    else if (static_cast<unsigned long long>(st.st_size) > MaxBytes)
        reason = "larger than 1 MiB";
    else
        ok = true;
    // The file may grow after the fstat: one byte more than allowed tells.
    text.assign(ok ? static_cast<size_t>(st.st_size) : 0, '\0');
    size_t have = 0;
    while (ok) {
        if (have == text.size())
            text.resize(have + 4096 > MaxBytes + 1 ? MaxBytes + 1 : have + 4096);
        const ssize_t n = ::read(fd, &text[have], text.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if ((have += static_cast<size_t>(n)) > MaxBytes) {
            reason = "larger than 1 MiB";
            ok = false;
        }
    }
    ::close(fd);
    text.resize(ok ? have : 0);
    return ok;
}

bool parse(const std::string& text, nlohmann::json& document, std::string& reason)
{
    if (!Json::nestsAtMost(text, MaxDepth)) {
        reason = "nested deeper than " + std::to_string(MaxDepth) + " levels";
        document = nullptr;
        return false;
    }
    try {
        document = nlohmann::json::parse(text);
        return true;
    } catch (const nlohmann::json::exception& e) {
        reason = e.what();
    }
    document = nullptr;
    return false;
}

}  // namespace ConfigFile
