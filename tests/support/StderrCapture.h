// Points descriptor 2 at a temporary file for the life of the object, so that a test can read the
// log's copy on standard error; text() restores the descriptor and returns what was written. One
// capture at a time per process, on the test's thread.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

class StderrCapture
{
public:
    StderrCapture()
    {
        std::fflush(stderr);
        m_path = ::testing::TempDir() + "stderr-capture-XXXXXX";
        const int fd = mkstemp(&m_path[0]);
        if (fd < 0)
            return;
        m_saved = dup(2);
        dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture()
    {
        restore();
        unlink(m_path.c_str());
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text()
    {
        restore();
        std::ifstream in(m_path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

    std::string m_path;
    int m_saved = -1;
};

}  // namespace testsupport
