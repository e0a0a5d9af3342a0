#include "core/Utils.h"

#include <dirent.h>
#include <libgen.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/String.h"

namespace {

bool isDirectory(const std::string& path)
{
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Wildcard matcher over the set of text positions that the pattern read so far can end at, kept as
// a bit set and moved one pattern character at a time: at most text length x pattern length / 64
// word steps whatever the stars, no recursion, no backtracking.
class Matcher
{
public:
    explicit Matcher(const char* text) : m_text(text), m_length(strlen(text)), m_words(m_length / 64 + 1) {}

    bool run(const char* pattern)
    {
        // Bit t: the pattern so far matches the first t characters of the text. Words outside
        // [low, high] are zero, so that a literal run costs one word per character.
        // The literal head needs no positions: a keyed lookup usually ends there.
        const size_t head = strcspn(pattern, "*?");
        if (head > m_length || memcmp(m_text, pattern, head) != 0)
            return false;
        if (pattern[head] == '\0')
            return head == m_length;
        std::vector<uint64_t> reach(m_words, 0);
        size_t low = head / 64;
        size_t high = low;
        reach[low] = uint64_t{1} << (head % 64);
        for (const char* p = pattern + head; *p; ++p) {
            if (*p == '*') {
                // A star reached at the end of the text matches, whatever follows it.
                if (bit(reach, m_length))
                    return true;
                // Every position from the lowest reachable one to the end of the text.
                reach[low] = ~((reach[low] & (0 - reach[low])) - 1);
                for (size_t i = low + 1; i < m_words; ++i) reach[i] = ~uint64_t{0};
                clearPastEnd(reach);
                high = m_words - 1;
                // A run of stars matches exactly what one star matches.
                while (p[1] == '*') ++p;
                continue;
            }
            // One character: each reachable t moves to t + 1 where the text allows it.
            const std::vector<uint64_t>& allowed = mask(static_cast<unsigned char>(*p), *p == '?');
            const size_t end = std::min(high + 1, m_words - 1);
            uint64_t carry = 0;
            size_t newLow = m_words;
            size_t newHigh = 0;
            for (size_t i = low; i <= end; ++i) {
                const uint64_t word = reach[i];
                reach[i] = ((word << 1) | carry) & allowed[i];
                carry = word >> 63;
                if (reach[i]) {
                    newLow = std::min(newLow, i);
                    newHigh = i;
                }
            }
            if (newLow == m_words)
                return false;
            low = newLow;
            high = newHigh;
        }
        return bit(reach, m_length);
    }

private:
    static bool bit(const std::vector<uint64_t>& bits, size_t t) { return (bits[t / 64] >> (t % 64)) & 1; }

    void clearPastEnd(std::vector<uint64_t>& bits) const
    {
        const size_t used = (m_length + 1) % 64;
        if (used != 0)
            bits.back() &= (uint64_t{1} << used) - 1;
    }

    // Bit t + 1 set where text[t] is c (any character for '?'); built once per character used.
    const std::vector<uint64_t>& mask(unsigned char c, bool any)
    {
        uint16_t& slot = m_slot[any ? 256 : c];
        if (slot == 0) {
            std::vector<uint64_t> m(m_words, 0);
            for (size_t t = 0; t < m_length; ++t)
                if (any || static_cast<unsigned char>(m_text[t]) == c)
                    m[(t + 1) / 64] |= uint64_t{1} << ((t + 1) % 64);
            m_masks.push_back(std::move(m));
            slot = static_cast<uint16_t>(m_masks.size());
        }
        return m_masks[slot - 1];
    }

    const char* m_text;
    size_t m_length;
    size_t m_words;
    std::array<uint16_t, 257> m_slot{};  // 1 + index into m_masks; 256 is '?'
    std::vector<std::vector<uint64_t>> m_masks;
};

}  // namespace

bool Utils::deleteFile(const std::string& path)
{
    return unlink(path.c_str()) == 0;
}

bool Utils::fileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool Utils::moveFile(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0;
}

std::string Utils::getFilenameFromFilepath(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Utils::getFileExtension(const std::string& path)
{
    const size_t dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string Utils::combinePath(const std::string& directory, const std::string& name)
{
    std::string path = directory;
    if (!directory.empty() && !name.empty() && directory.back() != '/')
        path += '/';
    if (!name.empty())
        path.append(name, name.front() == '/' ? 1 : 0, std::string::npos);
    return path;
}

bool Utils::match(const char* text, const char* pattern)
{
    return Matcher(text).run(pattern);
}

bool Utils::listFilesInDir(const std::string& directory, std::list<std::string>& files,
                           const std::string& pattern)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
    if (!dir)
        return false;
    while (const struct dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.')
            continue;
        std::string path = combinePath(directory, entry->d_name);
        struct stat st
        {
        };
        if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (!pattern.empty() && !match(entry->d_name, pattern.c_str()))
            continue;
        files.push_back(std::move(path));
    }
    return true;
}

std::list<std::string> Utils::listFiles(const std::string& directory, const std::string& pattern)
{
    std::list<std::string> files;
    listFilesInDir(directory, files, pattern);
    return files;
}

std::vector<uint8_t> Utils::readFile(const std::string& path)
{
    std::vector<uint8_t> data;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return data;
    char chunk[16384];
    while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0)
        data.insert(data.end(), chunk, chunk + in.gcount());
    return data;
}

// Each component is made with mkdir(2): the path never reaches a shell, so quotes, "$(...)" and
// the like in a name are just characters of that name.
bool Utils::makePath(const std::string& path)
{
    if (path.empty())
        return false;
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        const bool emptyComponent = !prefix.empty() && prefix.back() == '/';
        if (!emptyComponent && mkdir(prefix.c_str(), 0777) != 0 && !isDirectory(prefix))
            return false;
        if (end == std::string::npos)
            break;
    }
    return isDirectory(path);
}

std::string Utils::getAppPath()
{
    const char* execfn = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    if (execfn == nullptr)
        throw std::runtime_error("Cannot find the file name of the executable");
    std::string copy(execfn);
    const std::string directory = dirname(&copy[0]);
    const std::unique_ptr<char, void (*)(void*)> resolved(realpath(directory.c_str(), nullptr), free);
    if (!resolved) {
        const int error = errno;
        throw std::system_error(error, std::generic_category(),
                                "Cannot resolve the directory of the executable '" +
                                    String::escaped(directory, String::MaxPathExcerptBytes) + "'");
    }
    return resolved.get();
}

std::string Utils::changeToAppPath()
{
    const std::string path = getAppPath();
    return chdir(path.c_str()) == 0 ? path : std::string();
}

std::string Utils::getProcessId()
{
    return std::to_string(getpid());
}
