// Events from another thread (a service's signals) as lines of text in arrival order, for a test
// thread to wait on and compare. Thread-safe.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class Journal
{
public:
    void add(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(line);
        m_changed.notify_all();
    }

    // The lines that start with prefix, in order.
    std::vector<std::string> starting(const std::string& prefix) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return startingLocked(prefix);
    }

    // Waits until count lines start with prefix; false after timeoutMs.
    bool waitFor(const std::string& prefix, size_t count, int timeoutMs) const
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return startingLocked(prefix).size() >= count; });
    }

private:
    std::vector<std::string> startingLocked(const std::string& prefix) const
    {
        std::vector<std::string> found;
        std::copy_if(m_lines.begin(), m_lines.end(), std::back_inserter(found),
                     [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
        return found;
    }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

}  // namespace testsupport
