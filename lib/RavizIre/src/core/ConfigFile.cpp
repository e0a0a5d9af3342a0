#include "core/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/JsonDepth.h"
#include "core/String.h"

namespace ConfigFile {

namespace {

// Builds the document as the library's parser does, and also hears of each key given again in its
// object (the library's parser replaces such a value without a word). On an error it keeps the first
// one only: the parser's words quote the whole token it stopped in, raw (a name of most of a
// megabyte, bytes that are no UTF-8), so the token is shown as an excerpt and the library's own name
// for the error is left out.
class Builder final : public nlohmann::json_sax<nlohmann::json>
{
public:
    explicit Builder(nlohmann::json& root) : m_root(root) {}

    std::string reason;
    Examples repeated;

    bool null() override { return add(nullptr); }
    bool boolean(bool value) override { return add(value); }
    bool number_integer(number_integer_t value) override { return add(value); }
    bool number_unsigned(number_unsigned_t value) override { return add(value); }
    bool number_float(number_float_t value, const string_t&) override { return add(value); }
    bool string(string_t& value) override { return add(value); }
    bool binary(binary_t& value) override { return add(nlohmann::json::binary(value)); }
    bool start_object(std::size_t) override { return open(nlohmann::json::object()); }
    bool start_array(std::size_t) override { return open(nlohmann::json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    // One look-up per key: the parse stays as cheap as the library's own for any number of members.
    bool key(string_t& name) override
    {
        auto& members = m_open.back()->get_ref<nlohmann::json::object_t&>();
        const auto found = members.find(name);
        if (found != members.end())
            repeated.add(String::excerpt(name));
        m_member = found != members.end() ? &found->second : &members.emplace(name, nullptr).first->second;
        return true;
    }

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
                reason.replace(at + std::strlen(before), quoted.size(), String::excerpt(token));
                break;
            }
        }
        // Only the syntax errors say where themselves (line and column); a number too large does not.
        if (reason.rfind("parse error at ", 0) != 0)
            reason = "at byte " + std::to_string(position) + ": " + reason;
        return false;
    }

private:
    // Where the next value goes: the root, the end of the open list, or the member just named.
    // Pointers into the document stay valid: a list only grows while it is the innermost one open.
    nlohmann::json* place(nlohmann::json value)
    {
        nlohmann::json* at = &m_root;
        if (!m_open.empty() && m_open.back()->is_array()) {
            m_open.back()->push_back(std::move(value));
            return &m_open.back()->back();
        }
        if (!m_open.empty())
            at = m_member;
        *at = std::move(value);
        return at;
    }
    bool add(nlohmann::json value)
    {
        place(std::move(value));
        return true;
    }
    bool open(nlohmann::json container)
    {
        m_open.push_back(place(std::move(container)));
        return true;
    }
    bool close()
    {
        m_open.pop_back();
        return true;
    }

    nlohmann::json& m_root;
    std::vector<nlohmann::json*> m_open;
    nlohmann::json* m_member = nullptr;
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

bool parse(const std::string& text, nlohmann::json& document, std::string& reason, std::string& repeated)
{
    if (!Json::nestsAtMost(text, MaxDepth)) {
        reason = "nested deeper than " + std::to_string(MaxDepth) + " levels";
        document = nullptr;
        return false;
    }
    Builder builder(document);
    repeated.clear();
    if (!nlohmann::json::sax_parse(text, &builder)) {
        reason = builder.reason;
        document = nullptr;
        return false;
    }
    const size_t count = builder.repeated.count();
    if (count > 0)
        repeated = std::to_string(count) + (count == 1 ? " key" : " keys") +
                   " given again in the same object, each replacing the value before (" +
                   builder.repeated.list() + ")";
    return true;
}

void Examples::add(std::string shown)
{
    if (m_count < Max)
        m_examples[m_count] = std::move(shown);
    ++m_count;
}

std::string Examples::list() const
{
    std::string shown;
    for (size_t i = 0; i < m_count && i < Max; ++i) {
        shown += i ? ", " : "";
        shown += m_examples[i];
    }
    if (m_count > Max)
        shown += ", ...";
    return shown;
}

}  // namespace ConfigFile
