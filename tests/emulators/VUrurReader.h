// An emulated networked VUrur reader: a TCP listener on 127.0.0.1 at a port the system chose,
// framing requests off the accepted connection, having a T2151Device (in its networked dialect)
// answer them and framing the answers back. Faults make its next answers misbehave, as on the
// serial emulator, and also close the connection (before or in the middle of an answer). It can
// accept and never answer, and after command 7 hand the connection to lrzsz's rz, then send the
// firmware report. One connection at a time; a new one replaces the old. Runs on a thread of its
// own; every public call is thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "emulators/T2151Device.h"

namespace emulators {

class VUrurReader
{
public:
    struct Fault
    {
        enum Kind
        {
            Silent,         // no answer
            Late,           // answer value ms late
            Flood,          // value stray bytes instead of the answer
            Rz,             // the bytes "rz" instead of the answer
            Truncate,       // leave the last value bytes of the answer off
            Result,         // tag 2 = value
            NoResult,       // no tag 2
            BrokenTlv,      // tag 2 = 0, then a TLV cut inside its header
            Replace,        // payload = data, as it is
            Close,          // close the connection instead of answering
            CloseMidFrame,  // the first half of the answer, then close
            Trickle,        // the answer one byte at a time, value ms apart
        };
        Kind kind;
        int value = 0;
        int command = AnyCommand;
        Bytes data = {};
    };
    static constexpr int AnyCommand = -1;

    // A loopback port on which nothing listens: connecting to it is refused.
    static int refusedPort();

    VUrurReader();
    ~VUrurReader();
    VUrurReader(const VUrurReader&) = delete;
    VUrurReader& operator=(const VUrurReader&) = delete;

    const std::string& host() const { return m_host; }
    int port() const { return m_port; }
    T2151Device& device() { return m_device; }

    void inject(const Fault& fault);
    // Accept connections but never read or answer a byte.
    void setMute(bool mute);
    // Sends a frame nobody asked for (an answer arriving late, say).
    void sendFrame(const Bytes& payload);
    void sendRaw(const Bytes& bytes);
    // After command 7 the connection goes to rz (run in directory); when rz ends, the reader sends
    // the report: tag 2 = result, tag 17 = reboot flag.
    void handZmodemTo(const std::string& directory, int result, bool rebootRequired);
    bool zmodemRan() const;
    size_t accepted() const;
    bool waitForAccepted(size_t count, int timeoutMs) const;
    // Connections the driver closed, as this side saw them.
    bool waitForPeerCloses(size_t count, int timeoutMs) const;

private:
    void run();
    void consume(int fd, const Bytes& input);
    void answer(int fd, int command, T2151Device::Tlvs tlvs);
    bool nextFault(int command, Fault& fault);
    void runZmodem(int fd);
    void drop(int fd);
    void write(int fd, const Bytes& bytes);

    std::string m_host = "127.0.0.1";
    int m_port = 0;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    T2151Device m_device;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Fault> m_faults;
    bool m_mute = false;
    int m_conn = -1;
    std::string m_zmodemDirectory;
    int m_reportResult = 0;
    bool m_reportReboot = false;
    bool m_zmodemRan = false;
    size_t m_accepted = 0;
    size_t m_peerCloses = 0;

    // Emulator thread only.
    Bytes m_partial;
    std::deque<std::pair<double, Bytes>> m_late;  // answers held back, with the time they are due
    std::thread m_thread;
};

}  // namespace emulators
