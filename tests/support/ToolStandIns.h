// Recording stand-ins for setserial, pppd and systemctl, put first on this process's PATH (and so on
// the PATH of every child it starts) for as long as the object lives, so that nothing a test starts
// can ever reach the real tools. Each stand-in appends "name|arg|arg|" as one line to a record
// file and does nothing else; pppd also writes its pid and then sleeps (ignoring SIGTERM when
// STANDIN_PPPD_IGNORES_TERM is set), as a pppd holding the line would, or detaches (below). One per test; not
// thread-safe (it sets PATH).
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PeerProcess.h"
#include "TestSupport.h"

namespace testsupport {

class ToolStandIns
{
public:
    ToolStandIns() : m_oldPath(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        const std::string record = "{ printf '%s|' \"${0##*/}\" \"$@\"; echo; } >> '" + recordPath() + "'\n";
        write("setserial", record);
        write("systemctl", record);
        // With STANDIN_PPPD_DETACHES it goes on in a subshell (at most 20 s) whose pid it writes to
        // daemonPidPath(), and ends with 0, as pppd does once the link is up. Once the file that
        // STANDIN_PPPD_BECOMES names exists, that subshell turns into "sleep 20" under the same pid.
        write("pppd", record + "[ -n \"$STANDIN_PPPD_IGNORES_TERM\" ] && trap '' TERM\necho $$ > '" + pidPath() +
                          "'\nif [ -n \"$STANDIN_PPPD_DETACHES\" ]; then\n"
                          "  ( i=0; while [ $i -lt 200 ] && ! [ -e \"${STANDIN_PPPD_BECOMES:-/nonexistent}\" ] &&\n"
                          "    sleep 0.1; do i=$((i+1)); done\n    [ $i -lt 200 ] && exec sleep 20 ) &\n"
                          "  echo $! > '" + daemonPidPath() + "'\n  exit 0\nfi\nexec sleep 10\n");
        ::setenv("PATH", (m_dir.path() + ":" + m_oldPath).c_str(), 1);
    }
    ~ToolStandIns() { ::setenv("PATH", m_oldPath.c_str(), 1); }
    ToolStandIns(const ToolStandIns&) = delete;
    ToolStandIns& operator=(const ToolStandIns&) = delete;

    std::string path(const std::string& name) const { return m_dir / name; }
    std::string recordPath() const { return m_dir / "record"; }
    std::string pidPath() const { return m_dir / "pppd.pid"; }
    std::string daemonPidPath() const { return m_dir / "ppp0.pid"; }

    // The pid the pppd stand-in (or its detached part) wrote; -1 when none came.
    pid_t pppdPid(bool detached = false) const
    {
        int pid = -1;
        eventually([&] {
            std::ifstream in(detached ? daemonPidPath() : pidPath());
            if (!(in >> pid))
                pid = -1;
            return pid >= 0;
        });
        return pid;
    }
    // Reaped, or a zombie left for its reaper.
    static bool ended(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        return text.empty() || text.find(") Z ") != std::string::npos;
    }

    // The recorded runs, one "name|arg|...|" line each, in order.
    std::vector<std::string> records() const
    {
        std::vector<std::string> lines;
        if (!fileExists(recordPath()))
            return lines;
        const std::vector<uint8_t> bytes = readFile(recordPath());
        std::istringstream in(std::string(bytes.begin(), bytes.end()));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    void write(const std::string& name, const std::string& body)
    {
        const std::string text = "#!/bin/sh\n" + body;
        writeFile(path(name), std::vector<uint8_t>(text.begin(), text.end()));
        ::chmod(path(name).c_str(), 0755);
    }

    TempDir m_dir;
    std::string m_oldPath;
};

}  // namespace testsupport
