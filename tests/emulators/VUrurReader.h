// An emulated networked VUrur reader: the TCP front end of T2151Peer, listening on 127.0.0.1 at a
// port the system chose, its T2151Device in the networked dialect. Besides the shared faults it can
// close the connection (before or in the middle of an answer), accept and never answer, and after
// command 7 hand the connection to lrzsz's rz, then send the firmware report. One connection at a
// time; a new one replaces the old. Runs on a thread of its own; every public call is thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "emulators/T2151Peer.h"

namespace emulators {

class VUrurReader final : public T2151Peer
{
public:
    // A loopback port on which nothing listens: connecting to it is refused.
    static int refusedPort();

    VUrurReader();
    ~VUrurReader();
    VUrurReader(const VUrurReader&) = delete;
    VUrurReader& operator=(const VUrurReader&) = delete;

    const std::string& host() const { return m_host; }
    int port() const { return m_port; }

    // Accept connections but never read or answer a byte.
    void setMute(bool mute);
    // To the connection being served, if any.
    void sendRaw(const Bytes& bytes) override;
    size_t accepted() const;
    bool waitForAccepted(size_t count, int timeoutMs) const;
    // Connections the driver closed, as this side saw them.
    bool waitForPeerCloses(size_t count, int timeoutMs) const;

private:
    void run();
    void consume(int fd, const Bytes& input);
    void runZmodem(int fd);
    void drop(int fd);
    static void write(int fd, const Bytes& bytes);
    void send(const Bytes& bytes) override { write(m_serving, bytes); }
    bool pause(int ms) override;
    void lineFault(const Fault& fault, const Bytes& wire) override;

    std::string m_host = "127.0.0.1";
    int m_port = 0;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};

    mutable std::condition_variable m_changed;
    bool m_mute = false;
    int m_conn = -1;
    size_t m_accepted = 0;
    size_t m_peerCloses = 0;

    // Emulator thread only.
    int m_serving = -1;                           // the connection whose request is being answered
    std::deque<std::pair<double, Bytes>> m_late;  // answers held back, with the time they are due
    std::thread m_thread;
};

}  // namespace emulators
