// An emulated T2151 reader at the far end of a pseudo-terminal: frames requests off the line, has
// a T2151Device answer them and frames the answers back. Like the hardware it only understands the
// line at its own speed (read from the tty settings the driver made), and after answering a
// setConfig it moves to the new speed. Faults make its next answers misbehave; a ZMODEM start from
// the host can be handed to lrzsz's rz, after which the reader sends its firmware report. Every
// request is recorded by the device. Runs on a thread of its own; every public call is thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulators/PseudoTerminal.h"
#include "emulators/T2151Device.h"

namespace emulators {

class T2151Reader
{
public:
    struct Fault
    {
        enum Kind
        {
            Silent,         // no answer
            Late,           // answer value ms late
            Noise,          // value stray bytes (no 0x1A, no 'r') before the answer
            Flood,          // value stray bytes instead of the answer
            Rz,             // the bytes "rz" instead of the answer
            BadCrc,         // corrupt the answer's CRC
            Truncate,       // leave the last value bytes of the answer off
            Split,          // the answer in three writes, value ms apart
            PreviousFirst,  // the previous answer's frame again before this one
            Result,         // tag 2 = value
            NoResult,       // no tag 2
            BrokenTlv,      // tag 2 = 0, then a TLV cut inside its header, nothing else
            Replace,        // payload = data, as it is
        };
        Kind kind;
        int value = 0;
        int command = AnyCommand;
        Bytes data = {};
    };
    static constexpr int AnyCommand = -1;

    // The CRC of the frame, computed bit by bit.
    static uint16_t crc(const uint8_t* data, size_t size);
    static Bytes frame(const Bytes& payload);

    explicit T2151Reader(int baud = 115200);
    ~T2151Reader();
    T2151Reader(const T2151Reader&) = delete;
    T2151Reader& operator=(const T2151Reader&) = delete;

    const std::string& devicePath() const { return m_pty.path(); }
    T2151Device& device() { return m_device; }

    int baud() const;
    void setBaud(int baud);
    void inject(const Fault& fault);
    // Sends a frame on its own (a firmware report nobody asked for, say), or raw bytes.
    void sendFrame(const Bytes& payload);
    void sendRaw(const Bytes& bytes);
    // The speed the driver's side of the line is set to now.
    int lineBaud() const { return m_pty.baud(); }
    // A ZMODEM start from the host goes to rz (run in directory); when rz ends, the reader sends
    // the report: tag 2 = result, tag 17 = reboot flag.
    void handZmodemTo(const std::string& directory, int result, bool rebootRequired);
    bool zmodemRan() const;
    size_t bytesReceived() const;

private:
    void run();
    void consume(const Bytes& input);
    void frameReceived(const Bytes& payload);
    void answer(int command, T2151Device::Tlvs tlvs);
    void write(const Bytes& bytes);
    bool nextFault(int command, Fault& fault);
    void runZmodem(const Bytes& start);

    PseudoTerminal m_pty;
    T2151Device m_device;
    mutable std::mutex m_mutex;
    int m_baud;
    std::deque<Fault> m_faults;
    std::string m_zmodemDirectory;
    int m_reportResult = 0;
    bool m_reportReboot = false;
    bool m_zmodemRan = false;
    size_t m_bytes = 0;

    // Emulator thread only.
    Bytes m_partial;
    double m_lastByteMs = 0;
    Bytes m_previousAnswer;
    Bytes m_hunted;  // the last bytes seen while hunting, for the "rz" of a ZMODEM start

    std::thread m_thread;
};

}  // namespace emulators
