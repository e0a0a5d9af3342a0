// Programs of one user at a device's name, and the rest of the machine around them, played from a
// script of words, for tests of the rules of the reader hold. Each program is a DeviceHold of its own
// (a lock conflicts between any two opens, within one process too); the device has a node only once
// the script makes one (a regular file locks like one). Each word is checked as it is played:
//
//   a+  a-          program a (or b, c) takes the device: it holds its name / it does not
//   a=  a!          program a takes the device: it has the reader / it is refused
//   b+other  b!alias  the same for the device "other" (same last component, another directory),
//                   "alias" (another name of the node) or "here" (its name relative)
//   a0              program a lets every device go
//   held=ab         who holds the device's name now
//   a@looked:W,W    the words W run once when a reaches that step of the name's lock (looked,
//   a@looked*:W     opened, removed); with '*' every time
//   node            a node under the device's name and under "alias"; out, in: the device's name goes
//   plug            and comes back; plug: a new node under the device's name
//   file=0640 fifo  at the name's file: a file of ours of that mode; a FIFO of mode 0644; nothing;
//   rm move         the file moved away and a symbolic link to it left; a file where there is none,
//   toggle          else none
//   mode=0600       the mode of what is at the name's file
//   early early!    opens the name's file / a lock through that descriptor is refused
//   dir=0777        the lock directory's mode; dir~65534 its owner and group (a link's, after
//                   links=), dir~0:65534 owner, then group; up=, up~: the same for the directory
//                   it is in
//   links=3         the lock directory moved, a chain of 3 symbolic links to it left in its place,
//                   each up through ".."
//   gone            programs a, b, c made anew, their lock directory "..", in a working directory
//   gone=locks      then removed (in the lock directory's); gone=locks: their lock directory as it is
//   said=a_b        the "node alone" lines since the last said= name "a b"; said= : there are none
//   umask=0477      this process's umask, until the script ends
//   ^W              W, only when running as root
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "NFC/DeviceHold.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "core/Log.h"

namespace testsupport {

// Why a reader's name cannot be held in a lock directory made in the temporary directory (a
// directory on its path other users may write without the sticky bit, another user's link on it,
// ...), as the hold itself says it; empty when it can. A test of holding names skips with it.
inline std::string nameHoldRefusedInTempDirectory()
{
    TempDir dir;
    const std::string locks = dir / "locks", device = dir / "ttyReader";
    writeFile(device, {});
    Log::open("tapgate-test", true, false);
    StderrCapture log;
    NFC::DeviceHold hold(locks);
    std::string why;
    if (::mkdir(locks.c_str(), 0700) == 0 && hold.take(device, why) && hold.holdsName(device))
        return "";
    const std::string said = log.text();
    const size_t at = said.find("cannot be held: "), cause = at == std::string::npos ? said.size() : at + 16;
    return "no reader's name can be held in the temporary directory " + dir.path() + ": " +
           said.substr(cause, said.find('\n', cause) - cause);
}

class HoldScript
{
public:
    HoldScript() { EXPECT_EQ(::mkdir(m_lockDir.c_str(), 0700), 0); }
    ~HoldScript()
    {
        if (m_umask)
            ::umask(*m_umask);
        ::close(m_early);
        for (auto& program : m_programs) program.reset();  // before ".." leads elsewhere
        EXPECT_TRUE(m_here < 0 || ::fchdir(m_here) == 0);
        ::close(m_here);
        if (!m_skipped.empty())
            std::cout << "skipped, as they need root:" << m_skipped << "\n";
    }

    void play(const std::string& script)
    {
        std::istringstream words(script);
        for (std::string word; words >> word;) step(word);
    }

private:
    using Step = NFC::DeviceHold::Step;

    std::string device(const std::string& which) const
    {
        return which.empty()      ? m_device
               : which == "other" ? m_devices / "ttyReader/ttyReader"
               : which == "here"  ? std::string("ttyReader")
                                  : m_alias;
    }

    void step(const std::string& word)
    {
        SCOPED_TRACE(word);
        if (word[0] == '^') {
            if (::geteuid() == 0)
                step(word.substr(1));
            else
                m_skipped += " " + word;
            return;
        }
        if (word[0] >= 'a' && word[0] <= 'c' && std::string("+-=!0@").find(word[1]) != std::string::npos)
            return programStep(*m_programs[word[0] - 'a'], word[1], word.substr(2));
        const size_t sign = word.find_first_of("=~");
        const std::string what = word.substr(0, sign);
        const std::string value = sign == std::string::npos ? "" : word.substr(sign + 1);
        const auto octal = [&] { return static_cast<mode_t>(std::stoul(value, nullptr, 8)); };
        const std::string group = value.substr(value.find(':') + 1);  // else the owner's: npos + 1 is 0
        const char* const name = m_name.c_str();
        const std::string directory = what == "up" ? m_locks.path() : m_lockDir;
        struct stat found = {};
        if (what == "held")
            for (char p = 'a'; p <= 'c'; ++p)
                EXPECT_EQ(m_programs[p - 'a']->holdsName(m_device), value.find(p) != std::string::npos) << p;
        else if (what == "node") {
            writeFile(m_node, {});
            ASSERT_EQ(::symlink(m_node.c_str(), m_device.c_str()), 0);
            ASSERT_EQ(::symlink(m_node.c_str(), m_alias.c_str()), 0);
        } else if (what == "out")
            ASSERT_EQ(::unlink(m_device.c_str()), 0);
        else if (what == "in")
            ASSERT_EQ(::symlink(m_node.c_str(), m_device.c_str()), 0);
        else if (what == "plug") {
            writeFile(m_device + ".new", {});
            ASSERT_EQ(::rename((m_device + ".new").c_str(), m_device.c_str()), 0);
        } else if (what == "file") {
            writeFile(m_name, {});
            ASSERT_EQ(::chmod(name, octal()), 0);
        } else if (what == "fifo") {
            ASSERT_EQ(::mkfifo(name, 0644), 0);
            ASSERT_EQ(::chmod(name, 0644), 0);
        } else if (what == "rm")
            ASSERT_EQ(::unlink(name), 0);
        else if (what == "move") {
            ASSERT_EQ(::rename(name, (m_name + ".moved").c_str()), 0);
            ASSERT_EQ(::symlink((m_name + ".moved").c_str(), name), 0);
        } else if (what == "toggle") {
            if (::unlink(name) != 0)
                writeFile(m_name, {});
        } else if (what == "mode")
            EXPECT_EQ(::lstat(name, &found) == 0 ? found.st_mode & 0777 : 0, octal());
        else if (what == "early")
            m_early = ::open(name, O_RDONLY | O_CLOEXEC);
        else if (what == "early!")
            EXPECT_NE(::flock(m_early, LOCK_EX | LOCK_NB), 0);
        else if ((what == "dir" || what == "up") && word[sign] == '=')
            ASSERT_EQ(::chmod(directory.c_str(), octal()), 0);
        else if (what == "dir" || what == "up")
            ASSERT_EQ(::lchown(directory.c_str(), std::stoi(value), std::stoi(group)), 0);
        else if (what == "links") {
            const std::string next = "../" + m_locks.path().substr(m_locks.path().rfind('/') + 1) + "/locks";
            ASSERT_EQ(::rename(m_lockDir.c_str(), (m_lockDir + value).c_str()), 0);
            for (int link = 0; link < std::stoi(value); ++link)
                ASSERT_EQ(::symlink((next + std::to_string(link + 1)).c_str(),
                                    (m_lockDir + (link ? std::to_string(link) : "")).c_str()),
                          0);
        } else if (what == "gone") {
            const std::string gone = m_locks / "gone";
            m_here = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_TRUE(!::mkdir(gone.c_str(), 0700) && !::chdir(gone.c_str()) && !::rmdir(gone.c_str()));
            for (auto& program : m_programs)
                program = std::make_unique<NFC::DeviceHold>(value.empty() ? ".." : m_lockDir);
        } else if (what == "said") {
            const std::string log = m_log->text();
            m_log = std::make_unique<StderrCapture>();
            std::string text = value;
            for (char& c : text) c = c == '_' ? ' ' : c;
            EXPECT_EQ(log.find(text.empty() ? "node alone" : text) != std::string::npos, !text.empty())
                << log;
        } else if (what == "umask")
            m_umask = std::make_unique<mode_t>(::umask(octal()));
        else
            ADD_FAILURE() << "no such word";
    }

    void programStep(NFC::DeviceHold& program, char op, const std::string& rest)
    {
        std::string why;
        if (op == '+' || op == '-') {
            (void)program.take(device(rest), why);
            EXPECT_EQ(program.holdsName(device(rest)), op == '+');
        } else if (op == '=' || op == '!') {
            EXPECT_EQ(program.take(device(rest), why), op == '=') << why;
        } else if (op == '0') {
            program.takeNone();
        } else {
            const size_t colon = rest.find(':');
            std::string at = rest.substr(0, colon);
            const bool every = at.back() == '*';
            at.resize(at.size() - every);
            const Step step = at == "looked"   ? Step::NameLooked
                              : at == "opened" ? Step::NameOpened
                                               : Step::NameRemoved;
            std::vector<std::string> words;
            std::istringstream list(rest.substr(colon + 1));
            for (std::string word; std::getline(list, word, ',');) words.push_back(word);
            program.setStepHook([this, step, every, words, done = false](Step now) mutable {
                if (now != step || done)
                    return;
                done = !every;
                for (const std::string& word : words) this->step(word);
            });
        }
    }

    TempDir m_locks;
    const std::string m_lockDir = m_locks / "locks";
    TempDir m_devices;
    const std::string m_device = m_devices / "ttyReader";
    const std::string m_alias = m_devices / "ttyAlias";
    const std::string m_node = m_devices / "node";
    const std::string m_name = NFC::DeviceHold::lockPath(m_lockDir, m_device);
    std::unique_ptr<NFC::DeviceHold> m_programs[3] = {std::make_unique<NFC::DeviceHold>(m_lockDir),
                                                      std::make_unique<NFC::DeviceHold>(m_lockDir),
                                                      std::make_unique<NFC::DeviceHold>(m_lockDir)};
    std::unique_ptr<StderrCapture> m_log = std::make_unique<StderrCapture>();
    std::unique_ptr<mode_t> m_umask;
    int m_early = -1;
    int m_here = -1;  // the working directory before "gone"
    std::string m_skipped;
};

}  // namespace testsupport
