// The serial line to an Elatec TWN reader: detects which of the reader's four host-protocol
// variants it speaks and carries one command frame out and one answer frame back per call. It
// owns its port (the reader's serial port unless it is given another); one object per Elatec
// command object, used only by the thread that owns the reader driver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/ElatecTWN/Framer.h"

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

    // How long a read waits for the reader's next byte outside detection.
    static constexpr int DefaultReadTimeoutMs = 1000;

    // What the line runs over: the reader's serial port, or a stand-in that keeps a clock of its
    // own, so that a test or a fuzzer can play a reader's timing out without waiting through it.
    class Port
    {
    public:
        virtual ~Port() = default;
        // Writes all of bytes; the count written (fewer when the line failed).
        virtual size_t write(const std::vector<uint8_t>& bytes) = 0;
        // Waits at most waitMs for input, then replaces out with up to want bytes of what is
        // there; false when none came.
        virtual bool read(size_t want, int waitMs, std::vector<uint8_t>& out) = 0;
        // Drops input that has come and not been read.
        virtual void flush() = 0;
        // Milliseconds on the monotonic clock that every wait on the port follows.
        virtual double now() const = 0;
    };
    // The reader's own serial line (readTimeoutMs as for the line below), for a caller that puts
    // something of its own between the line and it.
    static std::unique_ptr<Port> serialLine(const std::string& device,
                                            int readTimeoutMs = DefaultReadTimeoutMs);

    // clock judges whether an answer completed within its bound (the port's clock unless a test
    // moves its own); the waits on the line always follow the port's clock. readTimeoutMs
    // (DefaultReadTimeoutMs when not positive) is for a reader behind a slower link than its own
    // USB or serial line; every bound of a receive and a proof follows it.
    PRS(const std::string& device, Mode mode, TimeSource clock = nullptr,
        int readTimeoutMs = DefaultReadTimeoutMs);
    PRS(std::unique_ptr<Port> port, Mode mode, TimeSource clock = nullptr,
        int readTimeoutMs = DefaultReadTimeoutMs);
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
    // Where the line stands between two commands.
    enum class Line
    {
        InStep,     // nothing is owed: anything waiting is noise
        OutOfStep,  // an answer was lost: it may still come, ahead of any later one
        Stray,      // out of step, and the reader may hold bytes for part of a frame: another
                    // variant's, or a frame that went out in part (see transfer())
        Detecting,  // probes are out; what they hear decides at the end
        ProbesOut,  // no probe was answered: each command listens for a late answer to one
    };

    // What the line hears or does that bears on whether it is in step. receive() ends with one of
    // the first seven; the last five are detection's.
    enum class Event
    {
        Frame,      // a whole answer, within the bound
        Bad,        // a whole line or frame that is no answer (not hex, empty)
        Overlong,   // a line cut at the framer's size limit
        Silent,     // nothing within the wait
        Cut,        // part of an answer, then nothing within the wait
        Overdue,    // part of an answer when the bound passed: the rest may still be coming
        LateFrame,  // a whole answer, but completed past the bound
        BadCrc,     // a whole answer whose CRC does not match
        PartSent,   // a frame went out only in part
        Detected,   // a late probe answer told the variant after a command went out another way
        Settled,    // the line was quiet long enough for the reader to drop stray bytes
        Proved,     // a proof's own answers came: the reader has answered everything before it
        Probing,    // probes are going out
        Answered,   // the probe last sent was answered
        Belated,    // a probe was answered only while a later one was out
        Unheard,    // probes went out and none was answered in time
        Unprobed,   // no probe went out
    };
    static Line next(Line line, Event event);
    void note(Event event) { m_line = next(m_line, event); }

    // How much of a frame went out.
    enum class Sent
    {
        Whole,
        None,  // refused before anything was written
        Part,
    };

    // When a receive began, on the judging clock and on the monotonic one.
    struct Since
    {
        double judged;
        double real;
    };
    Since now() const;

    int transfer(ElatecTWN::Framer& framer, const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer);
    // Sends frame, and then second when given, in one write.
    Sent send(ElatecTWN::Framer::Transport transport, const std::vector<uint8_t>& frame,
              const std::vector<uint8_t>* second = nullptr);
    // One answer frame: each wait for input at most gapMs, and the frame complete within the read
    // time-out and ReceiveGraceMs from start, however the reader trickles its bytes.
    Event receive(ElatecTWN::Framer& framer, Since start, int gapMs);
    // Up to want bytes of what is waiting, after a wait of at most gapMs that ends at the deadline;
    // false when none came.
    bool readSome(size_t want, int gapMs, double deadline, std::vector<uint8_t>& out);
    // Brings a line that is out of step back in step before a command goes out: lets what is on
    // its way drain, sends a proof (two version queries, see PRS.cpp) and reads and drops every
    // frame until the proof's own answers, all within the bound of one receive. False when they
    // did not come (in time): the command is not sent.
    bool prove(ElatecTWN::Framer& framer);
    // A proof that did not prove the line (heard: what ended it, start: when it began): says, once
    // per line, what the line saw. The reader answers, but not as the proof needs; its answers fit
    // a version text no longer than limit; or, on a line whose probe was answered and that was
    // never proved, no answer came at all.
    bool unproved(uint8_t limit, Event heard, Since start);
    // Counts and keeps the last of bytes a wait heard that made nothing it waited for.
    void heardNoise(const std::vector<uint8_t>& bytes);
    // Says once per line that it never went quiet for quietMs (when it waited, and how long).
    void noisy(int quietMs, const char* waitingFor, double waitedMs);
    // The length limit of the proof sent now.
    uint8_t proofLimit() const;
    // Which read time-out of the monotonic clock it is now.
    unsigned long long slot() const;
    // The version text in frame (status, count, text, CRC where the variant has one), its bytes as
    // they came, when frame has the shape of a version query's answer; false otherwise.
    bool versionText(const std::vector<uint8_t>& frame, std::string& text) const;
    // Whether the bound of a receive that began at start has passed.
    bool pastBound(Since start) const;
    void logAnswer(const ElatecTWN::Framer& framer) const;
    // Reads until the line stays quiet for one read time-out; the index of the probe (probes: a
    // bit per probe that went out) whose answer came, or -1.
    int listen(unsigned probes);
    // Sends a command after a detection that heard nothing, in plain ASCII, and listens for a late
    // answer to one of the probes; the probe it identifies, or -1.
    int lateProbeAnswer(const std::vector<uint8_t>& frame);
    // Reads and drops input until the line has been quiet both ways for quietMs, within one
    // receive's bound; false when it never was. Both framers then start afresh.
    bool drain(int quietMs);
    // Drops what has come and not been read.
    void dropInput();
    // The port's read, noting when input last came.
    bool readPort(size_t want, int waitMs, std::vector<uint8_t>& out);
    // The probe that went out (a bit each in sent) in the framer's transport with or without
    // CRC, or -1.
    static int probeFor(const ElatecTWN::Framer& framer, unsigned sent, bool withCrc);

    std::unique_ptr<Port> m_port;
    TimeSource m_clock;
    Mode m_mode = AUTO;
    const int m_normalTimeoutMs;
    int m_readTimeoutMs;
    // Answers carry no tag: once one was lost (a time-out, a cut, over-long or bad-CRC frame, a
    // partial write, a doubt after detection) the reader may still send it, ahead of any later
    // answer, however late; a new line may meet answers the reader owes to the line before it.
    // Until a proof shows otherwise, no frame is taken for a command's own.
    Line m_line = Line::OutOfStep;
    // The length of the reader's version text when a proof showed it to be no longer than the
    // number of limits (it bounds them); 0 while none did.
    size_t m_textLength = 0;
    // The probes that went out unanswered (a bit each); it means something only while the line
    // is ProbesOut.
    unsigned m_unansweredProbes = 0;
    // When the line last carried bytes either way (or input was dropped unread), on the port's
    // clock.
    double m_lastTrafficAt = 0;
    // What this line said about what it saw (a bit each), so that each is said once per line, which
    // is once per open: the manager opens a reader that fails again every few seconds.
    enum Said : unsigned
    {
        SaidUnproved = 1,  // the reader answers the proofs otherwise than they need
        SaidShortText = 2,
        SaidNoVersion = 4,  // the probe was answered, a version query not
        SaidNoisy = 8,      // the line never went quiet
    };
    unsigned m_said = 0;
    // Whether a probe's answer told the variant (not so when none was answered yet, or the
    // variant was given).
    bool m_probeAnswered = false;
    // Whether a proof ever showed this line in step.
    bool m_proved = false;
    // What the last wait that had to be quiet heard instead: how many bytes, and the last of them.
    size_t m_noiseBytes = 0;
    std::string m_noise;
    ElatecTWN::Framer m_binary{ElatecTWN::Framer::Transport::Binary};
    ElatecTWN::Framer m_ascii{ElatecTWN::Framer::Transport::Ascii};
    std::vector<uint8_t> m_frame;
    std::vector<uint8_t> m_proofQuery;
    std::vector<uint8_t> m_textQuery;
    // The texts of the last two frames a proof heard, the last one first: what the reader answered,
    // and whether each had the shape of a version query's answer (the text after the count) or not
    // (the whole frame).
    std::string m_text;
    std::string m_previous;
    bool m_textIsVersion = false;
    bool m_previousIsVersion = false;
    size_t m_heard = 0;
    std::vector<uint8_t> m_wire;
    std::vector<uint8_t> m_received;
    std::vector<uint8_t> m_chunk;
};
