#include "core/Utils.h"

#include <dirent.h>
#include <libgen.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

bool isDirectory(const std::string& path)
{
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Wildcard matcher. Failed (text position, '*' position) pairs are remembered, so a pattern with
// many stars costs at most text length x pattern length steps instead of exploding.
class Matcher
{
public:
    Matcher(const char* text, const char* pattern)
        : m_text(text), m_pattern(pattern), m_textLength(strlen(text)), m_patternLength(strlen(pattern))
    {
    }

    bool run() { return m_patternLength == 0 ? m_textLength == 0 : matchFrom(0, 0); }

private:
    bool matchFrom(size_t t, size_t p)
    {
        for (; p < m_patternLength && m_pattern[p] != '*'; ++t, ++p) {
            if (t == m_textLength)
                return false;
            if (m_pattern[p] != '?' && m_pattern[p] != m_text[t])
                return false;
        }
        if (p == m_patternLength)
            return t == m_textLength;
        // A run of stars matches exactly what one star matches.
        while (p + 1 < m_patternLength && m_pattern[p + 1] == '*') ++p;
        if (t == m_textLength || p + 1 == m_patternLength)
            return true;
        const size_t key = t * m_patternLength + p;
        if (!m_failed.empty() && m_failed[key])
            return false;
        for (size_t from = t; from < m_textLength; ++from) {
            if (matchFrom(from, p + 1))
                return true;
        }
        if (m_failed.empty())
            m_failed.resize((m_textLength + 1) * m_patternLength);
        m_failed[key] = true;
        return false;
    }

    const char* m_text;
    const char* m_pattern;
    size_t m_textLength;
    size_t m_patternLength;
    std::vector<bool> m_failed;
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
    return Matcher(text, pattern).run();
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
                                "Cannot resolve the directory of the executable '" + directory + "'");
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
