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
#include <deque>
#include <utility>

#include "core/String.h"
#include "core/Log.h"

namespace NFC {

const char* const DeviceHold::SystemDirectory = "/run/lock";

namespace {

// Enough for every device and cause a program meets; past it the record starts again, so that a
// program that is given ever new devices cannot grow it without bound.
const size_t MaxWarned = 64;

// The name's file changing hands at every try means other programs are at it.
const int NameAttempts = 8;

// Symbolic links followed on the way to the lock directory, as many as the kernel follows.
const int MaxLinks = 40;

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

// The descriptor is open on the file at the path now, not on one a link there leads to.
bool isAt(int fd, const std::string& path)
{
    struct stat open = {};
    struct stat named = {};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && sameFile(open, named);
}

// The path from /, a relative one from the working directory, where an open of it goes. Empty where
// the working directory is unknown (removed, or longer than PATH_MAX), errno saying why.
std::string absolutePath(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char here[PATH_MAX];
    return ::getcwd(here, sizeof here) ? std::string(here) + "/" + path : std::string();
}

// Why absolutePath gave nothing, said right after it.
std::string unknownHere()
{
    return "the working directory is unknown: " + std::string(std::strerror(errno));
}

// The device's name as every program that uses it gives it: absolute, its directory with no
// symbolic link or "..", its last component as it is (that is the name a reader comes back under).
// Empty where the working directory is unknown and the name relative: taken as it was given, it
// would be another name than the one a program elsewhere gives the same device.
std::string absoluteName(const std::string& device)
{
    std::string path = absolutePath(device);
    if (path.empty())
        return path;
    const size_t slash = path.rfind('/');
    if (char* directory = ::realpath(path.substr(0, slash + 1).c_str(), nullptr)) {
        const std::string resolved = directory;
        std::free(directory);
        path = (resolved == "/" ? "" : resolved) + path.substr(slash);
    }
    return path;
}

// A path's components in order, without empty ones and ".".
std::deque<std::string> componentsOf(const std::string& path)
{
    std::deque<std::string> components;
    for (size_t from = 0; from <= path.size();) {
        const size_t to = std::min(path.find('/', from), path.size());
        if (to > from && path.compare(from, to - from, ".") != 0)
            components.push_back(path.substr(from, to - from));
        from = to + 1;
    }
    return components;
}

std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
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
    if (name.empty())
        return name;
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

void DeviceHold::removeLeftover(const std::string& directory, const std::string& device)
{
    DeviceHold hold(directory);
    Line line;
    line.namePath = lockPath(directory, device);
    if (line.namePath.empty())
        return;
    line.name = hold.lockName(line.namePath).fd;
    hold.release(line);
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

// Only where no other user can remove or rename the program's file, nor any directory on the way to
// it: else another user could move a held file away, or the whole lock directory with another put in
// its place, and let a second program of ours take the name, or move it onto another device's. Judged
// on the way the program's opens take, from / down: a symbolic link as an entry of the directory it
// is in (its owner may put another in its place), then its target's path as the rest of the way. A
// relative lock directory is judged only from the working directory the opens start from: judged
// from anywhere else, it would be a directory other than the one the file is made in.
std::string DeviceHold::directoryFault() const
{
    const std::string path = absolutePath(m_directory);
    if (path.empty())
        return unknownHere();
    std::deque<std::string> ahead = componentsOf(path);
    std::string at;  // the directory reached, with no link or "..": empty for /
    int links = 0;
    struct stat entry = {};
    if (::lstat("/", &entry) != 0)
        return std::strerror(errno);
    std::string fault = entryFault("/", entry, ahead.empty());
    while (fault.empty() && !ahead.empty()) {
        const std::string name = std::move(ahead.front());
        ahead.pop_front();
        const std::string next = name == ".." ? at.substr(0, at.rfind('/')) : at + "/" + name;
        if (::lstat(next.empty() ? "/" : next.c_str(), &entry) != 0)
            return std::strerror(errno);
        fault = entryFault(next, entry, ahead.empty());
        if (!fault.empty() || !S_ISLNK(entry.st_mode)) {
            at = next;
            continue;
        }
        if (++links > MaxLinks)
            return std::strerror(ELOOP);
        char target[PATH_MAX];
        const ssize_t length = ::readlink(next.c_str(), target, sizeof target);
        if (length <= 0 || length >= PATH_MAX)
            return std::strerror(length < 0 ? errno : ENAMETOOLONG);
        const std::deque<std::string> more = componentsOf(std::string(target, static_cast<size_t>(length)));
        ahead.insert(ahead.begin(), more.begin(), more.end());
        if (target[0] == '/')
            at.clear();
    }
    return fault;
}

// One entry on the way to the lock directory (the lock directory itself when last): a directory, or a
// symbolic link, that only root or this user may change.
std::string DeviceHold::entryFault(const std::string& path, const struct stat& entry, bool last) const
{
    const std::string shown = String::excerpt(path, String::MaxPathExcerptBytes);
    const bool others = entry.st_uid != 0 && entry.st_uid != m_user;
    if (S_ISLNK(entry.st_mode))
        return others ? "a symbolic link on the lock directory's path of another user: " + shown
                      : std::string();
    if (!S_ISDIR(entry.st_mode))
        return last ? "not a directory" : std::strerror(ENOTDIR);
    const std::string what = last ? "a lock directory" : "a directory above the lock directory";
    const std::string where = last ? std::string() : ": " + shown;
    if (others)
        return what + " of another user" + where;
    if ((entry.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (entry.st_mode & S_ISVTX) == 0)
        return what + " other users may write, without the sticky bit" + where;
    return std::string();
}

// Only a regular file of this user with one name is the lock's object: nobody else can then lock it
// once it is made private (a link could lead to a file something else locks).
std::string DeviceHold::fileFault(const struct stat& file) const
{
    if (!S_ISREG(file.st_mode))
        return kindOf(file.st_mode);
    if (file.st_uid != m_user)
        return "a file of another user";
    if (file.st_nlink != 1)
        return "a file with other names";
    return std::string();
}

// A holder removes its file before it lets go, so a lock won on a file no longer under the path is no
// hold and is tried again; a file left by a program that was killed holds nothing, the kernel having
// dropped its lock. Only a lock refused on a private file of ours says that another program of ours
// is at the reader: anything else, an outcome this program cannot tell included, is the node alone.
DeviceHold::NameLock DeviceHold::lockName(const std::string& path)
{
    const auto alone = [](std::string cause) { return NameLock{-1, false, std::move(cause)}; };
    if (std::string fault = directoryFault(); !fault.empty())
        return alone(std::move(fault));
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        int fd = ::open(path.c_str(), flags);
        int error = errno;
        step(Step::NameLooked);
        if (fd < 0 && error == ENOENT) {
            // Only a file it made itself is one whose mode the program sets.
            fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
            error = errno;
            if (fd < 0 && error == EEXIST)
                continue;
            // Readable by this user whatever the umask, so that its next program opens it again.
            if (fd >= 0)
                ::fchmod(fd, 0600);
        }
        if (fd < 0) {
            struct stat named = {};
            if (::lstat(path.c_str(), &named) == 0) {
                if (std::string fault = fileFault(named); !fault.empty())
                    return alone(std::move(fault));
            }
            return alone(std::strerror(error));
        }
        struct stat opened = {};
        if (::fstat(fd, &opened) != 0) {
            error = errno;
            ::close(fd);
            return alone(std::strerror(error));
        }
        if (opened.st_nlink == 0) {
            ::close(fd);  // its holder removed it meanwhile
            continue;
        }
        if (std::string fault = fileFault(opened); !fault.empty()) {
            ::close(fd);
            return alone(std::move(fault));
        }
        const bool shared = (opened.st_mode & 077) != 0;
        step(Step::NameOpened);
        const bool locked = lockNow(fd);
        error = errno;
        if (locked && !isAt(fd, path)) {
            ::close(fd);
            continue;
        }
        if (locked && !shared)
            return NameLock{fd, false, std::string()};
        if (locked) {
            // Another user may have it open and lock it once it is let go: made anew, the old one
            // removed while its lock keeps every program of ours off it. Where it cannot be removed,
            // no file of ours can be held here.
            const bool removed = ::unlink(path.c_str()) == 0;
            error = errno;
            ::close(fd);
            if (removed)
                continue;
            return alone(std::string("a file other users may open, which cannot be made anew: ") +
                         std::strerror(error));
        }
        struct stat now = {};
        const bool gone = ::fstat(fd, &now) == 0 && now.st_nlink == 0;
        ::close(fd);
        if (gone)
            continue;  // refused by a holder that was letting go
        if (error != EWOULDBLOCK)
            return alone(std::strerror(error));
        // A file of ours that others may open (left by an earlier version) may be locked by anyone.
        if (shared)
            return alone("a file other users may open, locked");
        return NameLock{-1, true, std::string()};
    }
    return alone("the file at the name changed at every try");
}

void DeviceHold::takeName(Line& line)
{
    if (line.state == Line::Name::Held) {
        if (isAt(line.name, line.namePath))
            return;
        // Removed from under us: another program may have made the name's file anew.
        ::close(line.name);
        line.name = -1;
        line.state = Line::Name::Untried;
    }
    if (line.namePath.empty())
        line.namePath = lockPath(m_directory, line.device);
    NameLock lock = line.namePath.empty() ? NameLock{-1, false, unknownHere()} : lockName(line.namePath);
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
    std::string said = line.device + '\0' + cause;
    if (m_warned.count(said))
        return;
    if (m_warned.size() >= MaxWarned)
        m_warned.clear();
    m_warned.insert(std::move(said));
    ::Log::warning("WARN: Reader %s is held by its node alone, its name cannot be held: %s: %s",
                   String::excerpt(line.device, String::MaxPathExcerptBytes).c_str(),
                   line.namePath.empty()
                       ? "no lock file"
                       : String::excerpt(line.namePath, String::MaxPathExcerptBytes).c_str(),
                   cause.c_str());
}

bool DeviceHold::takeNode(Line& line, std::string& why)
{
    const bool mayLock = line.state != Line::Name::Elsewhere;
    const auto refused = [&](int error) {
        const std::string device = String::escaped(line.device, String::MaxPathExcerptBytes);
        why = error == EWOULDBLOCK ? "'" + device + "' is held by another program"
                                   : "'" + device + "' cannot be held: " + std::strerror(error);
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
        if (isAt(line.name, line.namePath)) {
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
