// The serial line to an Elatec TWN reader: detects which of the reader's four host-protocol
// variants it speaks and carries one command frame out and one answer frame back per call. It
// owns its SerialPort; one object per Elatec command object, used only by the thread that owns
// the reader driver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/ElatecTWN/Framer.h"

class SerialPort;

class PRS
{
public:
    enum Mode
    {
        AUTO = 0,
        ASCII = 1,
        BINARY = 2,
        ASCII_CRC = 0x11,
        BINARY_CRC = 0x12,
        UNDETECTED = 0xFF,
    };

    // Results of xfer besides the reader's status byte.
    static constexpr int TransferFailed = -1;
    static constexpr int CrcFailed = -2;

    // Milliseconds on a monotonic clock; only differences mean anything.
    using TimeSource = std::function<double()>;

    // clock judges whether an answer completed within its bound (the system's monotonic clock
    // unless a test moves its own); the waits on the line always follow the monotonic clock.
    PRS(const std::string& device, Mode mode, TimeSource clock = nullptr);
    ~PRS();
    PRS(const PRS&) = delete;
    PRS& operator=(const PRS&) = delete;

    // One command and its answer: -1 transfer failed, -2 bad CRC, else the reader's status byte,
    // with the answer data (after the status byte, without CRC) in *answer when given.
    int xfer(uint16_t command, const std::vector<uint8_t>* params, std::vector<uint8_t>* answer);
    // The two transports: 0 with the received frame in answer, -1 on failure.
    int xferBinary(const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    int xferAscii(const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    Mode detectMode();

    Mode mode() const { return m_mode; }

private:
    // How one receive ended.
    enum class Heard
    {
        Frame,      // a whole answer, within the bound
        Silent,     // nothing within the wait
        Cut,        // part of an answer, then nothing within the wait
        Overdue,    // part of an answer when the bound passed: the rest may still be coming
        LateFrame,  // a whole answer, but completed past the bound
        Bad,        // a whole line or frame that is no answer (not hex, too long, empty)
    };

    // When a receive began, on the judging clock and on the monotonic one.
    struct Since
    {
        double judged;
        double real;
    };
    Since now() const;

    int transfer(ElatecTWN::Framer& framer, const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    bool send(ElatecTWN::Framer::Transport transport, const std::vector<uint8_t>& frame);
    // One answer frame: each wait for input at most gapMs, and the frame complete within the read
    // time-out and ReceiveGraceMs from start, however the reader trickles its bytes.
    Heard receive(ElatecTWN::Framer& framer, Since start, int gapMs);
    // Up to want bytes of what is waiting, after a wait of at most gapMs that ends at the deadline;
    // false when none came.
    bool readSome(size_t want, int gapMs, double deadline, std::vector<uint8_t>& out);
    // Before a command goes out: drops stale input, and when answers are owed or in doubt, first
    // reads the line until it falls quiet, counting the answers heard. False when the line never
    // fell quiet within the bound: nothing should be sent into it then.
    bool catchUp(ElatecTWN::Framer& framer);
    void logAnswer(const ElatecTWN::Framer& framer) const;
    // Reads until the line stays quiet for one read time-out; the index of the probe (probes: a
    // bit per probe that went out) whose answer came, or -1.
    int listen(unsigned probes);
    // Sends the first command after a detection that heard nothing, in plain ASCII, and listens
    // for a late answer to one of the probes; the probe it identifies, or -1.
    int lateProbeAnswer(const std::vector<uint8_t>& frame);
    // The probe that went out (a bit each in sent) in the framer's transport with or without
    // CRC, or -1.
    static int probeFor(const ElatecTWN::Framer& framer, unsigned sent, bool withCrc);

    std::unique_ptr<SerialPort> m_port;
    TimeSource m_clock;
    Mode m_mode = AUTO;
    int m_readTimeoutMs = 1000;
    bool m_detecting = false;
    // Answers to commands that went out and did not come (in full) in time: the reader may still
    // send them, ahead of the answer to the next command, and nothing in an answer tells which
    // command it belongs to. The next command counts them off as they come, before or after it
    // goes out, and takes a frame as its own only when every owed one has come first.
    int m_owed = 0;
    // A command could not tell its own answer from a late one (fewer frames than owed came, or
    // one came cut off): the next command takes the line as in step once it has fallen quiet.
    bool m_doubt = false;
    // The probes that went out unanswered, until the first command after detection.
    unsigned m_unansweredProbes = 0;
    ElatecTWN::Framer m_binary{ElatecTWN::Framer::Transport::Binary};
    ElatecTWN::Framer m_ascii{ElatecTWN::Framer::Transport::Ascii};
    std::vector<uint8_t> m_frame;
    std::vector<uint8_t> m_wire;
    std::vector<uint8_t> m_received;
    std::vector<uint8_t> m_chunk;
};
