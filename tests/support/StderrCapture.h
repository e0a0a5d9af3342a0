// Points descriptor 2 at an anonymous in-memory file for the life of the object, so that a test can
// read the log's copy on standard error; text() restores the descriptor and returns what was
// written. The file has no path, so a capture works for any user (a child that dropped to nobody)
// and whatever the temporary directory allows. One capture at a time per process, on the test's
// thread.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace testsupport {

class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_file = ::memfd_create("stderr-capture", MFD_CLOEXEC);
        if (m_file < 0)
            return;
        m_saved = ::dup(2);
        ::dup2(m_file, 2);
    }
    ~StderrCapture()
    {
        restore();
        if (m_file >= 0)
            ::close(m_file);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text()
    {
        restore();
        std::string all;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = m_file < 0 ? 0 : ::pread(m_file, buffer, sizeof buffer, at);
            if (n <= 0)
                break;
            all.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        return all;
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

    int m_file = -1;
    int m_saved = -1;
};

// What makes a captured log unsafe to read, empty when nothing does: a line that begins with text
// from outside (`forged`), a control byte other than the line break, a line longer than maxLine;
// the first few.
inline std::string logFaults(const std::string& log, const std::string& forged, size_t maxLine = 600)
{
    std::string faults;
    size_t start = 0;
    for (size_t at = 0; at <= log.size() && faults.size() < 1000; ++at) {
        const unsigned char c = at < log.size() ? static_cast<unsigned char>(log[at]) : '\n';
        if (c == '\r' || c == '\n') {
            const std::string line = log.substr(start, at - start);
            if (line.rfind(forged, 0) == 0 || line.size() > maxLine)
                faults += "line of " + std::to_string(line.size()) + " bytes: " + line.substr(0, 80) + "\n";
            start = at + 1;
        }
        if ((c < 0x20 && c != '\n') || c == 0x7F)
            faults += "control byte " + std::to_string(c) + " at " + std::to_string(at) + "\n";
    }
    return faults;
}

}  // namespace testsupport
