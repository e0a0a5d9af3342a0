// An emulated T2151 reader at the far end of a pseudo-terminal: the serial front end of T2151Peer.
// Like the hardware it only understands the line at its own speed (read from the tty settings the
// driver made), and after answering a setConfig it moves to the new speed. A ZMODEM start ("rz")
// from the host goes to lrzsz's rz when one was asked for. Every request is recorded by the device.
// Runs on a thread of its own; every public call is thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulators/PseudoTerminal.h"
#include "emulators/T2151Peer.h"

namespace emulators {

class T2151Reader final : public T2151Peer
{
public:
    explicit T2151Reader(int baud = 115200);
    ~T2151Reader();
    T2151Reader(const T2151Reader&) = delete;
    T2151Reader& operator=(const T2151Reader&) = delete;

    const std::string& devicePath() const { return m_pty.path(); }

    int baud() const;
    void setBaud(int baud);
    void sendRaw(const Bytes& bytes) override { send(bytes); }
    // The speed the driver's side of the line is set to now.
    int lineBaud() const { return m_pty.baud(); }
    size_t bytesReceived() const;

private:
    void run();
    void consume(const Bytes& input);
    void frameReceived(const Bytes& payload);
    void runZmodem(const Bytes& start);
    void send(const Bytes& bytes) override;
    bool pause(int ms) override { return m_pty.pause(ms); }
    void lineFault(const Fault& fault, const Bytes& wire) override;

    PseudoTerminal m_pty;
    int m_baud;
    size_t m_bytes = 0;

    // Emulator thread only.
    Bytes m_hunted;  // the last bytes seen while hunting, for the "rz" of a ZMODEM start

    std::thread m_thread;
};

}  // namespace emulators
