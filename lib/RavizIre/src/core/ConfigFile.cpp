#include "core/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/JsonDepth.h"

namespace ConfigFile {

namespace {

// Takes every value and keeps only the parser's first error. The parser's words quote the whole
// token it stopped in, raw: a name of most of a megabyte, bytes that are no UTF-8. The token is
// shown as an excerpt, and the library's own name for the error is left out.
class FirstError final : public nlohmann::json_sax<nlohmann::json>
{
public:
    std::string reason;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }

    bool parse_error(std::size_t position, const std::string& token,
                     const nlohmann::json::exception& e) override
    {
        reason = e.what();
        const size_t name = reason.find("] ");
        if (reason.rfind("[json.exception.", 0) == 0 && name != std::string::npos)
            reason.erase(0, name + 2);
        const std::string quoted = "'" + token + "'";
        for (const char* before : {"; last read: ", "number overflow parsing "}) {
            const size_t at = reason.rfind(before + quoted);
            if (at != std::string::npos) {
                reason.replace(at + std::strlen(before), quoted.size(), excerpt(token));
                break;
            }
        }
        // Only the syntax errors say where themselves (line and column); a number too large does not.
        if (reason.rfind("parse error at ", 0) != 0)
            reason = "at byte " + std::to_string(position) + ": " + reason;
        return false;
    }
};

}  // namespace

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
    document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_discarded())
        return true;
    // Read again only to hear why, with the text the parser stopped at kept apart from its words.
    FirstError error;
    (void)nlohmann::json::sax_parse(text, &error);
    reason = error.reason;
    document = nullptr;
    return false;
}

std::string excerpt(const std::string& text)
{
    std::string shown = nlohmann::json(text.substr(0, MaxExcerptBytes))
                            .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > MaxExcerptBytes)
        shown += "...";
    return shown;
}

}  // namespace ConfigFile
