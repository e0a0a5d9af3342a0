// One reader, one program: keeps the serial reader devices this program uses from other programs,
// by advisory locks that the kernel drops however the program ends. A device is held by its node
// (a read-only descriptor of it, locked) and, beside it, by its name (a lock file of this program's
// user in a lock directory), so that a reader plugged in again under the same name goes back to the
// program that had it. The name is a guard between programs of one user only: wherever it cannot be
// held, the node alone keeps other programs out, and nothing another user does to the lock directory
// keeps this program from its reader. Owned by the reader facade and called from its caller's thread
// only.
//
// A device's name is in one state, changed at each take in takeName alone (and ended by release):
//   Held -> Held             its file is still the one at the name
//   Held -> tried anew       its file was removed or moved from under it
//   any -> Held              a lock won on a regular file of ours with one name and no group or other
//                            bits in its mode, still at the name
//   any -> Elsewhere         a lock refused on such a file; Alone stays Alone while its node is locked
//   any -> Alone             anything else, an unknown outcome included: no usable lock directory (or
//                            a directory or link on its path that another user may change, or a
//                            relative one where the working directory is unknown), another kind of
//                            file, a file others may open that cannot be made anew, the file changing
//                            at every try; said once per device and cause
//   any -> (gone)            the device let go; a held file is removed while it is still locked
// Only Elsewhere refuses the reader by its name; Alone leaves it to the node.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace NFC {

class DeviceHold
{
public:
    // Kept apart for each boot and outside any service's private /tmp, so that a program started
    // by hand meets the service's locks.
    static const char* const SystemDirectory;

    // ours: true while a line stays this program's whichever device it turns to (our own link still
    // runs on it).
    explicit DeviceHold(std::string directory, std::function<bool(const std::string& device)> ours = nullptr);
    ~DeviceHold();
    DeviceHold(const DeviceHold&) = delete;
    DeviceHold& operator=(const DeviceHold&) = delete;

    // Takes the device for this program, or keeps it when it is held already; every other device
    // is let go (but those still ours). False with the reason: "'DEVICE' is held by another
    // program" while another program of this user holds its name or any program its node, else why
    // the node cannot be held. A failure keeps what is held, for the next try.
    [[nodiscard]] bool take(const std::string& device, std::string& why);
    // Lets every device go but those still ours: the program turned to a networked reader.
    void takeNone();

    // Whether this program holds the device's name (not only its node).
    bool holdsName(const std::string& device) const;

    // The lock file of a device's name in a lock directory; empty for a relative name while the
    // working directory is unknown.
    static std::string lockPath(const std::string& directory, const std::string& device);
    // Removes a device's lock file that no program holds (one ended by a signal leaves its file),
    // as its holder would.
    static void removeLeftover(const std::string& directory, const std::string& device);

    // Where another program may act between two steps of the name's lock, for tests of its order:
    // once the name's file was looked for (opened, or found missing), before it is made or looked
    // at; after it is checked, before it is locked; after it is removed at the end, before its lock
    // goes.
    enum class Step
    {
        NameLooked,
        NameOpened,
        NameRemoved
    };
    void setStepHook(std::function<void(Step)> hook) { m_stepHook = std::move(hook); }

private:
    struct Line
    {
        std::string device;
        std::string namePath;
        // Held: `name` is a descriptor of the name's file, locked. Elsewhere: another program of this
        // user holds it. Alone: it cannot be held here, and the node alone is the hold (see above).
        enum class Name
        {
            Untried,
            Held,
            Elsewhere,
            Alone
        } state = Name::Untried;
        int name = -1;
        // A read-only descriptor of the device node, -1 when none; locked, or kept open only to
        // tell, once the reader is plugged in again, whether a program that came by another name
        // still holds the old node.
        int node = -1;
        bool nodeLocked = false;
    };

    // One try of the name: a descriptor that holds it, another program of this user at it, or why
    // it cannot be held here.
    struct NameLock
    {
        int fd = -1;
        bool elsewhere = false;
        std::string cause;
    };

    NameLock lockName(const std::string& path);
    std::string directoryFault() const;
    std::string entryFault(const std::string& path, const struct stat& entry, bool last) const;
    std::string fileFault(const struct stat& file) const;
    void takeName(Line& line);
    bool takeNode(Line& line, std::string& why);
    void release(Line& line);
    void releaseAllBut(const std::string& keep);
    void warnOnce(const Line& line, const std::string& cause);
    void step(Step at) const;

    const std::string m_directory;
    const std::function<bool(const std::string&)> m_ours;
    const uid_t m_user;
    std::vector<Line> m_lines;
    // Device and cause of each "node alone" line logged, so that a retry every 2 s adds none.
    std::set<std::string> m_warned;
    std::function<void(Step)> m_stepHook;
};

}  // namespace NFC
