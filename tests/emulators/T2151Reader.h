// An emulated T2151 reader at the far end of a pseudo-terminal: the serial front end of T2151Peer.
// Like the hardware it only understands the line at its own speed (read from the tty settings the
// driver made), and after answering a setConfig it moves to the new speed. The speed a request
// came at is the line's when the driver began to send it: the driver clears its output before each
// request, and the pseudo-terminal tells that at once (packet mode), while the bytes themselves
// may reach this side much later on a busy machine, after the driver has moved the line on. A ZMODEM start ("rz")
// from the host goes to lrzsz's rz when one was asked for. Every request is recorded by the device.
// Runs on a thread of its own; every public call is thread-safe.
#pragma once

#include <cstdint>
#include <deque>
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
    // When the driver began to send, and at what speed.
    struct Transmit
    {
        int baud = 0;
        double atMs = 0;
    };

    void run();
    // Reads one packet off the line: data, or the news that the driver cleared its output. False
    // when there was nothing.
    bool readPacket();
    void transmitStarts();
    // The oldest transmit whose bytes have not come yet, or the line as it is now.
    Transmit nextTransmit();
    void setPacketMode(bool on);
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
    std::deque<Transmit> m_transmits;  // begun, none of their bytes here yet
    Transmit m_current;                // the one the bytes being read came with
    Transmit m_frame;                  // the one the frame being collected came with

    std::thread m_thread;
};

}  // namespace emulators
