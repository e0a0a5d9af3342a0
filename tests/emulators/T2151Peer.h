// What an emulated T2151 reader does whatever its line: it assembles request frames, has its
// T2151Device answer them, shapes the answer as the next injected fault says and frames it back,
// and sends the firmware report once lrzsz's rz has taken a file. The serial (T2151Reader) and the
// networked (VUrurReader) front ends derive from it and add their line: how bytes go out, how the
// emulator pauses, and the faults only their line has. The front end's thread assembles and
// answers; inject, handZmodemTo and the getters are safe from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "emulators/T2151Device.h"

namespace emulators {

class T2151Peer
{
public:
    struct Fault
    {
        enum Kind
        {
            Silent,         // no answer
            Late,           // answer value ms late
            Noise,          // value stray bytes (no 0x1A, no 'r'), or data, before the answer
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
            Close,          // networked: close the connection instead of answering
            CloseMidFrame,  // networked: the first half of the answer, then close
            Trickle,        // data (stray bytes, if any), then the answer, one byte at a time, value ms apart
            Held,           // the answer kept until release(): as late as the test wants, not later
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

    T2151Peer(const T2151Peer&) = delete;
    T2151Peer& operator=(const T2151Peer&) = delete;

    T2151Device& device() { return m_device; }
    void inject(const Fault& fault);
    // Lets the next held answer go (at once if it comes later); waitForReleased waits until
    // count held answers have gone out, false on time-out.
    void release();
    bool waitForReleased(size_t count, int timeoutMs) const;
    // The longest time between two bytes of the last trickle, so far, the gap still open since its
    // last byte included: a busy machine may make it longer than the trickle asked for.
    double longestTrickleGapMs() const;
    // Sends bytes, or a frame, nobody asked for (a late answer, a report), from any thread.
    virtual void sendRaw(const Bytes& bytes) = 0;
    void sendFrame(const Bytes& payload) { sendRaw(frame(payload)); }
    // The next ZMODEM exchange goes to rz (run in directory); when rz ends, the reader sends the
    // report: tag 2 = result, tag 17 = reboot flag.
    void handZmodemTo(const std::string& directory, int result, bool rebootRequired);
    bool zmodemRan() const;

protected:
    static constexpr uint8_t Start = 0x1A;
    static double nowMs();
    // The command code of a request payload (tag 1), -1 when it has none.
    static int commandOf(const Bytes& payload);

    T2151Peer() = default;
    ~T2151Peer() = default;

    // Takes one byte of a frame: the start byte, or any byte once a frame has begun. True when the
    // frame is whole, with its payload and whether its CRC held.
    bool collect(uint8_t byte, Bytes& payload, bool& good);
    bool collecting() const { return !m_partial.empty(); }
    void abandonFrame() { m_partial.clear(); }
    // The answer to a request, as the next fault for its command shapes it.
    void answer(int command, T2151Device::Tlvs tlvs);
    // Where rz runs; empty when no exchange was asked for.
    std::string zmodemDirectory() const;
    // rz has ended: the report goes out.
    void zmodemFinished();

    // Emulator thread: bytes on the line the request came in on.
    virtual void send(const Bytes& bytes) = 0;
    // False when the emulator is going away and nothing more should be sent.
    virtual bool pause(int ms) = 0;
    // The faults the line carries out itself (Late, Close, CloseMidFrame); by default the answer
    // goes out untouched.
    virtual void lineFault(const Fault& fault, const Bytes& wire);

    T2151Device m_device;
    mutable std::mutex m_mutex;  // guards what other threads set and read, here and in front ends

private:
    bool nextFault(int command, Fault& fault);

    std::deque<Fault> m_faults;
    std::string m_zmodemDirectory;
    int m_reportResult = 0;
    bool m_reportReboot = false;
    bool m_zmodemRan = false;
    size_t m_releases = 0;
    size_t m_releasedAnswers = 0;
    double m_longestTrickleGapMs = 0;
    double m_trickleGapFromMs = -1;  // before the last byte's write while a trickle goes on, else -1
    mutable std::condition_variable m_released;

    // Emulator thread only.
    Bytes m_partial;
    Bytes m_previousAnswer;
};

}  // namespace emulators
