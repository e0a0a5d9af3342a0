// A pseudo-terminal for device emulators: the code under test opens path() like a serial device,
// the emulator reads and writes the master side. The emulator keeps one slave descriptor open
// so the master never sees a hang-up while the code under test closes and reopens the device.
// wait() blocks until input, a stop() from another thread, or a time-out; no busy waiting.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emulators {

class PseudoTerminal
{
public:
    // Throws std::runtime_error when no pseudo-terminal can be had.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& path() const { return m_path; }

    enum class Wait
    {
        Readable,
        Stopped,
        TimedOut
    };
    // timeoutMs < 0 waits without limit.
    Wait wait(int timeoutMs);
    // Sleeps up to ms, returning false early when stopped.
    bool pause(int ms);
    // Appends what is there now to out; returns the count (0 when nothing or on error).
    size_t readAvailable(std::vector<uint8_t>& out);
    // How many bytes wait on the line unread.
    size_t pending() const;
    // Writes all bytes (retrying short writes); false on error.
    bool write(const uint8_t* data, size_t size);
    // How many bytes write() has put on the line in all.
    size_t written() const { return m_written; }

    // Wakes wait() and pause() for good; safe from any thread.
    void stop();

    // The line speed the code under test set on its side (read through our own slave
    // descriptor, since both share the tty's settings); 0 when unknown.
    int baud() const;
    // For emulators that wait on the line and another descriptor at once.
    int masterFd() const { return m_master; }

private:
    int m_master = -1;
    int m_slave = -1;
    int m_wake[2] = {-1, -1};
    std::string m_path;
    std::atomic<size_t> m_written{0};
};

}  // namespace emulators
