#include "NFC/DeviceHold.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/ConfigFile.h"
#include "core/Log.h"

namespace NFC {

const char* const DeviceHold::SystemDirectory = "/run/lock";

namespace {

// Enough for every device and cause a program meets; past it the record starts again, so that a
// program that is given ever new devices cannot grow it without bound.
const size_t MaxWarned = 64;

// The name's file changing hands at every try means other programs are at it.
const int NameAttempts = 8;

// The drivers' serial ports never lock: a lock conflicts between any two opens of a node or a lock
// file, even within this program. Without waiting, so the lock is never one to be interrupted; errno
// says why not.
bool lockNow(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The descriptor is open on the file the path leads to now.
bool isAt(int fd, const std::string& path, bool follow = true)
{
    struct stat open = {};
    struct stat named = {};
    return ::fstat(fd, &open) == 0 && (follow ? ::stat : ::lstat)(path.c_str(), &named) == 0 &&
           sameFile(open, named);
}

// The device's name as every program that uses it gives it: absolute, its directory with no
// symbolic link or "..", its last component as it is (that is the name a reader comes back under).
std::string absoluteName(const std::string& device)
{
    std::string path = device;
    if (path.empty() || path[0] != '/') {
        char here[PATH_MAX];
        if (::getcwd(here, sizeof here))
            path = std::string(here) + "/" + path;
    }
    const size_t slash = path.rfind('/');
    if (char* directory = ::realpath(path.substr(0, slash + 1).c_str(), nullptr)) {
        const std::string resolved = directory;
        std::free(directory);
        path = (resolved == "/" ? "" : resolved) + path.substr(slash);
    }
    return path;
}

std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    return "not a regular file";
}

}  // namespace

DeviceHold::DeviceHold(std::string directory, std::function<bool(const std::string&)> ours)
    : m_directory(std::move(directory)), m_ours(std::move(ours)), m_user(::geteuid())
{
}

DeviceHold::~DeviceHold()
{
    for (Line& line : m_lines) release(line);
}

std::string DeviceHold::lockPath(const std::string& directory, const std::string& device)
{
    // The name's last component, for whoever looks in the directory, and a hash of the whole name
    // (64-bit FNV-1a, the same in every build), so that two names never share a file but by chance.
    const std::string name = absoluteName(device);
    uint64_t hash = 0xcbf29ce484222325u;
    for (unsigned char c : name) hash = (hash ^ c) * 0x100000001b3u;
    std::string shown = name.substr(name.rfind('/') + 1, 32);
    for (char& c : shown)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            c = '_';
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return directory + "/tapgate-" + shown + "-" + hex + ".lock";
}

bool DeviceHold::holdsName(const std::string& device) const
{
    return std::any_of(m_lines.begin(), m_lines.end(), [&](const Line& line) {
        return line.device == device && line.state == Line::Name::Held;
    });
}

void DeviceHold::step(Step at) const
{
    if (m_stepHook)
        m_stepHook(at);
}

// The file is only the lock's object, and only a regular file of this user that no other user may
// open is one: nobody else can then lock it. A holder removes it before it lets go, so a lock won on
// a file no longer under the path is no hold and is tried again; a file left by a program that was
// killed holds nothing, the kernel having dropped its lock.
DeviceHold::NameLock DeviceHold::lockName(const std::string& path)
{
    NameLock result;
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        int fd = ::open(path.c_str(), flags);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
            // Readable by this user whatever the umask, so that its next program opens it again.
            if (fd >= 0)
                ::fchmod(fd, 0600);
        }
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            result.cause = errno == ELOOP ? "a symbolic link" : std::strerror(errno);
            return result;
        }
        struct stat opened = {};
        const bool known = ::fstat(fd, &opened) == 0;
        if (known && opened.st_nlink == 0) {
            ::close(fd);  // its holder removed it meanwhile
            continue;
        }
        if (!known)
            result.cause = std::strerror(errno);
        else if (!S_ISREG(opened.st_mode))
            result.cause = kindOf(opened.st_mode);
        else if (opened.st_uid != m_user)
            result.cause = "a file of another user";
        else if (opened.st_nlink != 1)
            result.cause = "a file with other names";  // a link to a file something else may lock
        if (!result.cause.empty()) {
            ::close(fd);
            return result;
        }
        step(Step::NameOpened);
        if (!lockNow(fd)) {
            const int error = errno;
            ::close(fd);
            // A file of ours that others may open (left by an earlier version) may be locked by
            // anyone: no sign that a program of ours is at the reader.
            if (error == EWOULDBLOCK && (opened.st_mode & 077) == 0)
                result.elsewhere = true;
            else
                result.cause =
                    error == EWOULDBLOCK ? "a file other users may open, locked" : std::strerror(error);
            return result;
        }
        if (isAt(fd, path, false)) {
            if ((opened.st_mode & 077) == 0) {
                result.fd = fd;
                return result;
            }
            // Another user may have it open and lock it once it is let go: made anew, the old one
            // removed while its lock keeps every program of ours off it.
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
    result.elsewhere = true;
    return result;
}

void DeviceHold::takeName(Line& line)
{
    NameLock lock = lockName(line.namePath);
    if (lock.fd >= 0) {
        line.name = lock.fd;
        line.state = Line::Name::Held;
    } else if (lock.elsewhere) {
        // Another program of ours that took the name while this one held the node alone waits at
        // the node: the reader stays here.
        if (!(line.state == Line::Name::Alone && line.nodeLocked))
            line.state = Line::Name::Elsewhere;
    } else {
        line.state = Line::Name::Alone;
        warnOnce(line, lock.cause);
    }
}

void DeviceHold::warnOnce(const Line& line, const std::string& cause)
{
    if (m_warned.size() >= MaxWarned)
        m_warned.clear();
    if (!m_warned.insert(line.device + '\0' + cause).second)
        return;
    ::Log::warning("WARN: Reader %s is held by its node alone, its name cannot be held: %s: %s",
                   ConfigFile::excerpt(line.device, ConfigFile::MaxPathExcerptBytes).c_str(),
                   line.namePath.c_str(), cause.c_str());
}

bool DeviceHold::takeNode(Line& line, std::string& why)
{
    const bool mayLock = line.state != Line::Name::Elsewhere;
    const auto refused = [&](int error) {
        why = error == EWOULDBLOCK ? "'" + line.device + "' is held by another program"
                                   : "'" + line.device + "' cannot be held: " + std::strerror(error);
        return false;
    };
    struct stat node = {};
    if (line.node >= 0 && ::stat(line.device.c_str(), &node) == 0) {
        struct stat open = {};
        if (::fstat(line.node, &open) == 0 && sameFile(open, node)) {
            // The node held already stays held, so that reopening leaves no moment for another
            // program to take it; one that another program held at the last try is tried again.
            if (mayLock && !line.nodeLocked)
                line.nodeLocked = lockNow(line.node);
            return line.nodeLocked || refused(mayLock ? errno : EWOULDBLOCK);
        }
        // A reader plugged in again under a name of ours while a program that came by another
        // name still holds the old node: that program is still at the reader, and the new node is
        // left for it.
        if (mayLock && !line.nodeLocked && !lockNow(line.node) && errno == EWOULDBLOCK)
            return refused(EWOULDBLOCK);
    }
    // Opened only for its lock: read-only, without becoming our terminal and without waiting for a
    // carrier. A line that another program has open is left as it is (its control lines change only
    // at the first open and the last close), and a program refused the name keeps the node open for
    // that reason alone; on a line nobody has open the drivers' own open follows at once, so the
    // hold only keeps the line open between their opens.
    const int fd = ::open(line.device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    const bool locked = mayLock && lockNow(fd);
    const int error = mayLock ? errno : EWOULDBLOCK;
    if (!locked && error != EWOULDBLOCK) {
        ::close(fd);
        return refused(error);
    }
    // An old node is let go only once the new one is open, so that no other program finds both free.
    if (line.node >= 0)
        ::close(line.node);
    line.node = fd;
    line.nodeLocked = locked;
    return locked || refused(EWOULDBLOCK);
}

bool DeviceHold::take(const std::string& device, std::string& why)
{
    releaseAllBut(device);
    auto kept =
        std::find_if(m_lines.begin(), m_lines.end(), [&](const Line& line) { return line.device == device; });
    if (kept == m_lines.end()) {
        kept = m_lines.insert(m_lines.end(), Line());
        kept->device = device;
        kept->namePath = lockPath(m_directory, device);
    }
    // The name first: while the program that had the reader still wants it, its name stays that
    // program's through any number of replugs, also while no node of it is under the name; the
    // node's own lock keeps out a program that comes by another name. A name that could not be held
    // is tried again each time, so that a lock directory made usable meanwhile is used.
    if (kept->state == Line::Name::Held && !isAt(kept->name, kept->namePath, false)) {
        // Removed from under us: another program may have made the name's file anew.
        ::close(kept->name);
        kept->name = -1;
        kept->state = Line::Name::Untried;
    }
    if (kept->state != Line::Name::Held)
        takeName(*kept);
    return takeNode(*kept, why);
}

void DeviceHold::takeNone()
{
    releaseAllBut(std::string());
}

void DeviceHold::releaseAllBut(const std::string& keep)
{
    for (auto line = m_lines.begin(); line != m_lines.end();)
        if (line->device == keep || (m_ours && m_ours(line->device))) {
            ++line;
        } else {
            release(*line);
            line = m_lines.erase(line);
        }
}

void DeviceHold::release(Line& line)
{
    // The name's file goes while it is still locked, so that a program that opened it meanwhile sees
    // that its lock came too late; only while it is still ours (someone may have removed it and
    // another program made and locked a new one).
    if (line.name >= 0) {
        if (isAt(line.name, line.namePath, false)) {
            ::unlink(line.namePath.c_str());
            step(Step::NameRemoved);
        }
        ::close(line.name);
    }
    if (line.node >= 0)
        ::close(line.node);
    line = Line();
}

}  // namespace NFC
