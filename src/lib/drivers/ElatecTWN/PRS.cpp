#include "drivers/ElatecTWN/PRS.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Crc16.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/SerialPort.h"
#include "core/String.h"

using ElatecTWN::Framer;

namespace {

const int ProbeTimeoutMs = 100;
// The longest answer to a probe: status, USB type and CRC. While the variant is unknown only probes
// go out in binary, so a longer binary frame is other bytes (ASCII text, broken ones) taken for one.
const size_t MaxProbeAnswer = 4;
// A line that keeps sending without ever giving an answer ends a probe's wait after this long.
const double MaxProbeListenMs = 1000;
// One receive, however the reader trickles its bytes, ends this long after its read time-out.
const double ReceiveGraceMs = 1000;
// Answers carry no tag, so after a loss, and on a new line (the reader may still owe answers to the
// line before it, however late), the line proves it is in step with an exchange whose answers it
// can recognise: two version queries in one write, the first for at most k characters, the second
// for the whole text. Their answers come one right after the other: k bytes, then the whole text,
// which goes on from them (compared as the bytes they are: a text may hold, or end in, any byte).
// A frame of either shape could be any late answer; two adjacent frames that agree so could only
// come from an earlier proof with the same k, and the whole text, the last answer the reader owes,
// is the proof's own. k goes round 1 to ProofLimits, one value per read time-out of the monotonic
// clock, the same for every line to the reader, an earlier open's included; a proof that fails
// after going out whole waits at least one read time-out, so the answers of an earlier proof with
// the same k would have to be ProofLimits - 1 time-outs late (15 s at the reader's own second) to
// be taken for the current one's. The largest k stays below the length of a TWN version text (some
// 25 characters); a reader whose text a proof showed to be shorter gets only the limits below its
// length (a shorter reach, but a proof it can answer), and one whose text is shorter but not yet
// shown to be, only the proofs whose k falls below its length.
const uint16_t VersionQuery = 0x0004;
const uint8_t WholeText = 0xFF;
// A reader that took bytes of another variant for the start of a frame drops them once its line
// has been quiet a while; a proof sent before that would only be taken into the broken frame.
const int SettleMs = 500;
// A reader sends a frame's bytes without a pause. Once the line has been quiet this long (some 115
// byte times at 115200 baud), no frame is on its way and the next byte starts one; a proof that
// went out while one was would frame its rest anew, where a card's bytes can look like anything,
// a proof's answers included.
const int QuietMs = 10;
// How much of an answer, or of what a line that never went quiet sent, a warning shows.
const size_t ShownAnswerBytes = 40;
const unsigned ProofLimits = 16;
const uint16_t CrcStart = 0xFFFF;

bool hasCrc(PRS::Mode mode)
{
    return mode == PRS::ASCII_CRC || mode == PRS::BINARY_CRC;
}

bool isBinary(PRS::Mode mode)
{
    return (mode & ~0x10) == PRS::BINARY;
}

// Whether the frame ends in the CRC of the bytes before it (low byte first).
bool crcMatches(const std::vector<uint8_t>& frame)
{
    if (frame.size() < 3)
        return false;
    const size_t size = frame.size() - 2;
    NFC::ByteReader tail(frame.data() + size, 2);
    return tail.u16le() == NFC::crc16(frame.data(), size, CrcStart);
}

struct Probe
{
    Framer::Transport transport;
    std::vector<uint8_t> frame;
    PRS::Mode mode;
    const char* found;
};

// The reader's USB-type query, with the CRC already in place where the variant has one.
const Probe Probes[] = {
    {Framer::Transport::Binary, {0x00, 0x05}, PRS::BINARY, "[PRS] Detected : Binary (w/out CRC)"},
    {Framer::Transport::Binary,
     {0x00, 0x05, 0x15, 0xA7},
     PRS::BINARY_CRC,
     "[PRS] Detected : Binary (w/ CRC)"},
    {Framer::Transport::Ascii, {0x00, 0x05}, PRS::ASCII, "[PRS] Detected : ASCII (w/out CRC)"},
    {Framer::Transport::Ascii, {0x00, 0x05, 0x15, 0xA7}, PRS::ASCII_CRC, "[PRS] Detected : ASCII (w/ CRC)"},
};
const int ProbeCount = static_cast<int>(sizeof Probes / sizeof Probes[0]);

const char* variantName(PRS::Mode mode)
{
    switch (mode) {
        case PRS::BINARY:
            return "binary without CRC";
        case PRS::BINARY_CRC:
            return "binary with CRC";
        case PRS::ASCII:
            return "ASCII without CRC";
        case PRS::ASCII_CRC:
            return "ASCII with CRC";
        default:
            return "unknown";
    }
}

int readTimeoutOrDefault(int readTimeoutMs)
{
    return readTimeoutMs > 0 ? readTimeoutMs : PRS::DefaultReadTimeoutMs;
}

// The reader's own serial line. Every wait is a poll(2) of its own, so the tty's read time-out
// never decides one.
class SerialLine : public PRS::Port
{
public:
    SerialLine(const std::string& device, int readTimeoutMs)
    {
        // A failed open shows up as failing transfers.
        m_port.open(device, 115200, -1, 8, 1, 0);
        m_port.setReadTimeout(readTimeoutOrDefault(readTimeoutMs));
        m_port.setLowLatency(true);
    }

    size_t write(const std::vector<uint8_t>& bytes) override
    {
        return static_cast<size_t>(std::max(0, m_port.writeBytes(bytes)));
    }

    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        // Each read takes only what is already there, so that no wait outlasts waitMs.
        if (!m_port.isOpen())
            return false;  // poll(2) would sit out the whole wait on no descriptor
        pollfd p{m_port.getUnderlying(), POLLIN, 0};
        int ready;
        do ready = ::poll(&p, 1, waitMs);
        while (ready < 0 && errno == EINTR);
        if (ready <= 0)
            return false;
        int pending = 0;
        if (::ioctl(p.fd, FIONREAD, &pending) != 0 || pending <= 0)
            pending = 1;  // a hang-up: the read reports it
        out = m_port.readBytes(static_cast<unsigned>(std::min(want, static_cast<size_t>(pending))));
        return !out.empty();
    }

    void flush() override { m_port.flush(); }

    double now() const override { return Clock::monotonicMillis(); }

private:
    SerialPort m_port;
};

std::string lineText(const std::vector<uint8_t>& wire)
{
    // The CR is counted but not printed: it would break the log line.
    std::string text(wire.begin(), wire.end());
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

}  // namespace

std::unique_ptr<PRS::Port> PRS::serialLine(const std::string& device, int readTimeoutMs)
{
    return std::make_unique<SerialLine>(device, readTimeoutMs);
}

PRS::PRS(const std::string& device, Mode mode, TimeSource clock, int readTimeoutMs)
    : PRS(serialLine(device, readTimeoutMs), mode, std::move(clock), readTimeoutMs)
{
}

PRS::PRS(std::unique_ptr<Port> port, Mode mode, TimeSource clock, int readTimeoutMs)
    : m_port(std::move(port)),
      m_clock(clock ? std::move(clock) : [line = m_port.get()] { return line->now(); }),
      m_normalTimeoutMs(readTimeoutOrDefault(readTimeoutMs)),
      m_readTimeoutMs(m_normalTimeoutMs)
{
    // The line may be carrying the rest of a frame owed to the line before this one.
    m_lastTrafficAt = m_port->now();
    m_mode = mode == AUTO ? detectMode() : mode;
}

PRS::~PRS() = default;

int PRS::xfer(uint16_t command, const std::vector<uint8_t>* params, std::vector<uint8_t>* answer)
{
    const bool crc = hasCrc(m_mode);
    m_frame.clear();
    NFC::ByteWriter writer(m_frame);
    writer.u16be(command);
    if (params)
        writer.bytes(*params);
    if (crc)
        writer.u16le(NFC::crc16(m_frame.data(), m_frame.size(), CrcStart));

    if (m_line == Line::ProbesOut) {
        // The reader was perhaps only slow: this command goes out the way an undetected reader
        // is spoken to, and a late answer to a probe still tells the variant. The reader may then
        // be halfway through taking the command for a frame of its own, or answer it late: the
        // command goes again, the way the reader reads it, once a proof shows the line in step.
        // Without such an answer the command has failed, as it would have with a reader that is
        // not there.
        const int late = lateProbeAnswer(m_frame);
        if (late < 0)
            return TransferFailed;
        m_mode = Probes[late].mode;
        m_probeAnswered = true;
        Log::debug("%s", Probes[late].found);
        note(Event::Detected);
        return xfer(command, params, answer);
    }

    const int rc = isBinary(m_mode) ? xferBinary(m_frame, m_received) : xferAscii(m_frame, m_received);
    if (rc != 0)
        return TransferFailed;

    size_t size = m_received.size();
    if (crc) {
        // Status byte and both CRC bytes must be there before either is taken.
        if (!crcMatches(m_received)) {
            note(Event::BadCrc);
            return CrcFailed;
        }
        size -= 2;
    }
    if (answer)
        answer->assign(m_received.begin() + 1, m_received.begin() + size);
    return m_received[0];
}

int PRS::xferBinary(const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer)
{
    return transfer(m_binary, frame, answer);
}

int PRS::xferAscii(const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer)
{
    return transfer(m_ascii, frame, answer);
}

int PRS::transfer(Framer& framer, const std::vector<uint8_t>& frame, std::vector<uint8_t>& answer)
{
    // The reader drops the part of a frame it holds once its line has been quiet a while; the
    // next bytes would otherwise complete it into a frame it answers.
    if (m_line == Line::Stray) {
        if (!drain(SettleMs))
            return TransferFailed;
        note(Event::Settled);
    }
    if (m_line == Line::OutOfStep) {
        if (!prove(framer))
            return TransferFailed;
    } else {
        dropInput();  // nothing is owed: anything waiting is noise
    }
    // The bound of the receive counts from before the command goes out, so no answer to it can
    // come before the receive's start.
    const Since start = now();
    if (send(framer.transport(), frame) != Sent::Whole)
        return TransferFailed;
    const Event heard = receive(framer, start, m_readTimeoutMs);
    note(heard);
    if (heard != Event::Frame)
        return TransferFailed;
    answer.assign(framer.frame().begin(), framer.frame().end());
    return 0;
}

PRS::Line PRS::next(Line line, Event event)
{
    // While probing, what the probes hear decides at the end.
    const auto unlessProbing = [line](Line after) { return line == Line::Detecting ? line : after; };
    // No default: an event added later must be given its place here.
    switch (event) {
        case Event::Probing:
            return Line::Detecting;
        case Event::Answered:  // the answer may be one the reader owed to an earlier line
        case Event::Unprobed:
            return Line::OutOfStep;
        case Event::Belated:  // the reader may still answer the probes that followed, or be
                              // halfway through taking one for a frame of its own
            return Line::Stray;
        case Event::Unheard:  // perhaps only a slow reader, whose answer may still tell it
            return Line::ProbesOut;
        case Event::Frame:   // the command's own answer
        case Event::Bad:     // no answer, but the command's own all the same: nothing is owed
        case Event::Proved:  // the reader answers in order
            return unlessProbing(Line::InStep);
        case Event::Silent:  // the answer may still come; while no probe was answered, it or a
                             // probe's may yet tell the variant, so the next command listens again
            return line == Line::ProbesOut ? line : unlessProbing(Line::OutOfStep);
        case Event::Overlong:  // cut at the framer's size limit: the rest of the line may still come
        case Event::Cut:       // the rest of the answer may still come
        case Event::Overdue:
        case Event::LateFrame:  // as late as it was, the next one may be later still
        case Event::BadCrc:     // a damaged length prefix may have cut the frame or run it on
        case Event::Settled:
            return unlessProbing(Line::OutOfStep);
        case Event::Detected:  // the reader may be taking the command's bytes for a frame
        case Event::PartSent:  // the reader holds the part as the start of a frame, which the next
                               // bytes would complete into one it answers
            return unlessProbing(Line::Stray);
    }
    return Line::OutOfStep;  // not reached: the switch names every event
}

bool PRS::prove(Framer& framer)
{
    // What comes before the proof's answers answers earlier commands, since the reader answers in
    // order; but only what the line frames from its first byte is an answer at all.
    if (!drain(QuietMs)) {
        Log::debug("[PRS] the line was not quiet within its bound: no proof sent");
        return false;
    }
    const Since start = now();
    const uint8_t limit = proofLimit();
    // The command's own frame is still to go out: the proof is built apart.
    const bool crc = hasCrc(m_mode);
    for (auto [query, asked] : {std::pair{&m_proofQuery, limit}, std::pair{&m_textQuery, WholeText}}) {
        query->clear();
        NFC::ByteWriter writer(*query);
        writer.u16be(VersionQuery).u8(asked);
        if (crc)
            writer.u16le(NFC::crc16(query->data(), query->size(), CrcStart));
    }
    // A proof that goes out in part is never answered as one: at most its first answer comes,
    // which no proof takes without the whole text right behind it.
    if (send(framer.transport(), m_proofQuery, &m_textQuery) != Sent::Whole)
        return false;
    m_heard = 0;
    // Whether the last frame had the shape of the proof's first answer: limit bytes (in m_previous).
    bool first = false;
    for (;;) {
        const Event heard = receive(framer, start, m_readTimeoutMs);
        // A line or frame that is no answer, or an over-long line (skipped to its end), is framed
        // all the same: the proof's answers may still follow.
        const bool framed = heard == Event::Frame || heard == Event::LateFrame;
        if (!framed && heard != Event::Bad && heard != Event::Overlong)
            return unproved(limit, heard, start);
        ++m_heard;
        m_previous.swap(m_text);
        m_previousIsVersion = m_textIsVersion;
        m_text = framer.text();
        const bool version = framed && versionText(framer.frame(), m_text);
        m_textIsVersion = version;
        if (first && version && m_text.size() > limit && m_text.compare(0, limit, m_previous) == 0) {
            // In step either way; past the bound the command itself is not sent.
            Log::debug("[PRS] line in step again");
            m_textLength = m_text.size() <= ProofLimits ? m_text.size() : 0;
            m_proved = true;
            note(Event::Proved);
            return heard == Event::Frame;
        }
        if (first)
            Log::debug("[PRS] late answer to an earlier command dropped");
        first = version && m_text.size() == limit;
        if (!first)
            Log::debug("[PRS] late answer to an earlier command dropped");
        // A reader that keeps sending what is no answer must not hold the wait past its bound.
        if (heard == Event::LateFrame || (!framed && pastBound(start)))
            return unproved(limit, heard, start);
    }
}

bool PRS::unproved(uint8_t limit, Event heard, Since start)
{
    const double waitedMs = m_port->now() - start.real;
    if (m_heard == 0) {
        // A reader that answered a probe and never a version query would otherwise look dead. Once a
        // proof held, silence is a reader that stopped answering, and the failing commands say so.
        if (m_proved || !m_probeAnswered || (m_said & SaidNoVersion))
            return false;
        m_said |= SaidNoVersion;
        Log::warning(
            "[PRS] WARN: the reader answered the probe (%s) but no version query since: %s in the %.0f ms "
            "after a proof of the line asked for the version text twice; no command goes out until one is "
            "answered",
            variantName(m_mode), heard == Event::Silent ? "nothing came" : "only part of an answer came",
            waitedMs);
        return false;
    }
    // Both queries answered last with the same text, no longer than the limit, and nothing after:
    // the reader gave a whole text of that length to both, as it should. Such answers could as well
    // be an earlier proof's, so the line waits for a proof whose limit falls below the text's length.
    const bool shortText = (heard == Event::Silent || heard == Event::LateFrame) && m_heard >= 2 &&
                           m_textIsVersion && m_previousIsVersion && m_text == m_previous &&
                           m_text.size() <= limit;
    if (shortText) {
        if (m_said & SaidShortText)
            return false;
        m_said |= SaidShortText;
        // A proof needs a limit of at least one character below the text's length.
        const int level = m_text.size() < 2 ? Log::LevelWarning : Log::LevelInfo;
        Log::print(level,
                   "[PRS] the reader's answers to a proof of the line fit a version text of %zu characters, "
                   "no longer than the %u asked for first (%s): %s",
                   m_text.size(), static_cast<unsigned>(limit),
                   String::excerpt(m_text, ShownAnswerBytes).c_str(),
                   m_text.size() < 2 ? "no proof can tell its answers from an earlier one's"
                                     : "commands fail until a proof asks for fewer");
        return false;
    }
    // A reader that answers, but never so that a proof holds, would otherwise look dead.
    if (m_said & SaidUnproved)
        return false;
    m_said |= SaidUnproved;
    const auto shown = [](const std::string& text, bool version) {
        return (version ? "" : "no version text: ") + String::excerpt(text, ShownAnswerBytes);
    };
    const std::string last = shown(m_text, m_textIsVersion);
    const std::string before = m_heard > 1 ? shown(m_previous, m_previousIsVersion) : "nothing";
    Log::warning(
        "[PRS] WARN: the reader answers, but not as a proof of the line needs (the first %u bytes of its "
        "version text, then the whole text): its last answers were %s and %s",
        static_cast<unsigned>(limit), before.c_str(), last.c_str());
    return false;
}

void PRS::heardNoise(const std::vector<uint8_t>& bytes)
{
    m_noiseBytes += bytes.size();
    m_noise.append(bytes.begin(), bytes.end());
    // Cut back now and then, so that a flood costs no more than a copy of what is kept.
    if (m_noise.size() > 2 * ShownAnswerBytes)
        m_noise.erase(0, m_noise.size() - ShownAnswerBytes);
}

void PRS::noisy(int quietMs, const char* waitingFor, double waitedMs)
{
    if (m_noiseBytes == 0 || (m_said & SaidNoisy))
        return;
    m_said |= SaidNoisy;
    const size_t shown = std::min(m_noise.size(), ShownAnswerBytes);
    Log::warning(
        "[PRS] WARN: the line never went quiet for %d ms %s: %zu bytes came in %.0f ms, the last of them %s",
        quietMs, waitingFor, m_noiseBytes, waitedMs,
        String::excerpt(m_noise.substr(m_noise.size() - shown), ShownAnswerBytes).c_str());
}

unsigned long long PRS::slot() const
{
    return static_cast<unsigned long long>(std::max(0.0, m_port->now()) / m_normalTimeoutMs);
}

uint8_t PRS::proofLimit() const
{
    // A limit at or past the text's end would be answered with the whole text, which no longer
    // tells the proof's first answer from its second. A text of one character tells nothing.
    const unsigned limits = m_textLength > 1 ? static_cast<unsigned>(m_textLength) - 1 : ProofLimits;
    return static_cast<uint8_t>(1 + slot() % limits);
}

bool PRS::versionText(const std::vector<uint8_t>& frame, std::string& text) const
{
    const bool crc = hasCrc(m_mode);
    NFC::ByteReader reader(frame.data(), frame.size() - (crc ? std::min<size_t>(2, frame.size()) : 0));
    const uint8_t status = reader.u8();
    // A frame of another shape is kept whole, for the warning about unproved lines.
    text.assign(frame.begin(), frame.end());
    // The count is the reader's own; the text is the bytes that came.
    reader.skip(1);
    if (!reader.ok() || status != 0 || (crc && !crcMatches(frame)))
        return false;
    text.assign(frame.begin() + static_cast<long>(reader.position()),
                frame.begin() + static_cast<long>(reader.position() + reader.remaining()));
    return true;
}

bool PRS::pastBound(Since start) const
{
    const double bound = m_readTimeoutMs + ReceiveGraceMs;
    return m_clock() > start.judged + bound || m_port->now() > start.real + bound;
}

PRS::Sent PRS::send(Framer::Transport transport, const std::vector<uint8_t>& frame,
                    const std::vector<uint8_t>* second)
{
    m_wire.clear();
    for (const std::vector<uint8_t>* next : {&frame, second}) {
        if (!next)
            continue;
        const size_t from = m_wire.size();
        if (!Framer::encode(transport, *next, m_wire)) {
            Log::error("[PRS] ERROR: frame of %zu bytes is too long", next->size());
            return Sent::None;
        }
        if (Log::enabled(Log::LevelDebug)) {
            const std::vector<uint8_t> wire(m_wire.begin() + static_cast<long>(from), m_wire.end());
            const std::string text =
                transport == Framer::Transport::Binary ? String::toHex(wire) : lineText(wire);
            Log::debug("[PRS] > (%02d) %s", static_cast<int>(wire.size()), text.c_str());
        }
    }

    // The port completes short writes itself; anything less than all of it is a failure, and the
    // reader is left holding the part as the start of a frame.
    const size_t written = m_port->write(m_wire);
    m_lastTrafficAt = m_port->now();
    if (written != m_wire.size()) {
        note(Event::PartSent);
        return Sent::Part;
    }
    return Sent::Whole;
}

PRS::Since PRS::now() const
{
    return {m_clock(), m_port->now()};
}

PRS::Event PRS::receive(Framer& framer, Since start, int gapMs)
{
    // The rest of an over-long line is no frame: only its end is where the next one starts.
    if (!framer.skipping())
        framer.reset();
    const double bound = m_readTimeoutMs + ReceiveGraceMs;
    const double deadline = start.judged + bound;
    const double realDeadline = start.real + bound;
    for (;;) {
        m_chunk.clear();
        if (!readSome(framer.wanted(), gapMs, realDeadline, m_chunk))
            break;
        size_t used = 0;
        switch (framer.feed(m_chunk.data(), m_chunk.size(), used)) {
            case Framer::Result::NeedMore:
                // A reader that sends without pause would otherwise keep the read going.
                if (pastBound(start))
                    break;
                continue;
            case Framer::Result::Frame:
                if (framer.frame().empty())
                    return Event::Bad;
                logAnswer(framer);
                if (pastBound(start)) {
                    Log::debug("[PRS] < answer completed past its bound");
                    return Event::LateFrame;
                }
                return Event::Frame;
            case Framer::Result::BadText:
                // A command's own answer is in error; a proof (the line out of step) may hear every
                // line of a chattering one, which its warning shows once.
                Log::print(m_line == Line::InStep ? Log::LevelError : Log::LevelDebug,
                           "[PRS] ERROR: xferAscii() Exception : %s", framer.error().c_str());
                return Event::Bad;
            default:
                Log::error("[PRS] ERROR: answer line too long");
                return Event::Overlong;
        }
        break;
    }
    if (framer.finish() != Framer::Result::Truncated)
        return Event::Silent;
    Log::debug("[PRS] < truncated answer (%d of %d bytes)", static_cast<int>(framer.frame().size()),
               static_cast<int>(framer.frame().size() + framer.wanted()));
    return m_clock() >= deadline || m_port->now() >= realDeadline ? Event::Overdue : Event::Cut;
}

bool PRS::readSome(size_t want, int gapMs, double deadline, std::vector<uint8_t>& out)
{
    // The line's own time-out is per read: a reader that trickles its bytes would keep each wait
    // short and the whole receive long.
    const double left = deadline - m_port->now();
    const int waitMs = left <= 0 ? 0 : std::min(gapMs, static_cast<int>(std::ceil(left)));
    return readPort(want, waitMs, out);
}

void PRS::logAnswer(const Framer& framer) const
{
    if (!Log::enabled(Log::LevelDebug))
        return;
    if (framer.transport() == Framer::Transport::Binary)
        Log::debug("[PRS] < (%02d) %s", static_cast<int>(framer.frame().size()),
                   String::toHexExcerpt(framer.frame()).c_str());
    else
        Log::debug("[PRS] < (%02d) %s", static_cast<int>(framer.text().size()),
                   String::escaped(framer.text(), String::MaxPayloadExcerptBytes).c_str());
}

PRS::Mode PRS::detectMode()
{
    Log::debug("[PRS] Detecting Elatec communication mode...");
    note(Event::Probing);
    m_readTimeoutMs = ProbeTimeoutMs;

    // Only input from before the first probe is stale. A reader that is slow to answer (a loaded
    // host, a busy USB link) answers a probe while the next one is out; that answer still tells
    // its variant, so nothing is flushed between probes, nor is a probe the reader has not read
    // yet thrown away.
    dropInput();
    m_binary.reset();
    m_ascii.reset();

    int answered = -1;
    int last = -1;
    unsigned sent = 0;
    for (int i = 0; i < ProbeCount && answered < 0; ++i) {
        if (send(Probes[i].transport, Probes[i].frame) != Sent::Whole)
            continue;
        sent |= 1u << i;
        last = i;
        answered = listen(sent);
    }

    Mode detected = UNDETECTED;
    m_probeAnswered = answered >= 0;
    if (answered >= 0) {
        detected = Probes[answered].mode;
        Log::debug("%s", Probes[answered].found);
    } else {
        Log::debug("[PRS] ERROR: Could not detect Elatec communication mode");
    }

    m_readTimeoutMs = m_normalTimeoutMs;
    // Silence may only mean a slow reader: its answer can still identify it during the next read.
    // Answered late, the first command lets the reader drop what it holds and proves the line first.
    m_unansweredProbes = answered < 0 ? sent : 0;
    note(answered < 0       ? (sent != 0 ? Event::Unheard : Event::Unprobed)
         : answered == last ? Event::Answered
                            : Event::Belated);
    return detected;
}

int PRS::lateProbeAnswer(const std::vector<uint8_t>& frame)
{
    // The answer may already be waiting, or half received: nothing is flushed, and the probes'
    // framers go on from where detection left them. A command refused before anything went out
    // leaves the probes' answers to the next one.
    if (send(Framer::Transport::Ascii, frame) != Sent::Whole)
        return -1;
    const int late = listen(m_unansweredProbes);
    // Unanswered, the line stays undetected: a slow reader's answer, to a probe or to a command
    // that went out this way, can still tell the variant to the next command's wait. (Spoken to
    // in plain ASCII from here on, a reader of another variant would never answer again.)
    if (late < 0)
        note(Event::Silent);
    return late;
}

bool PRS::drain(int quietMs)
{
    const double start = m_port->now();
    const double deadline = start + m_readTimeoutMs + ReceiveGraceMs;
    m_noiseBytes = 0;
    m_noise.clear();
    for (;;) {
        const double from = m_port->now();
        const double quiet = from - m_lastTrafficAt;
        const int waitMs = quiet >= quietMs ? 0 : static_cast<int>(std::ceil(quietMs - quiet));
        const bool came = readSome(256, waitMs, deadline, m_chunk);
        if (came)
            heardNoise(m_chunk);
        m_chunk.clear();
        if (!came && m_port->now() - m_lastTrafficAt >= quietMs)
            break;
        // A line that keeps sending, or that cannot wait (hung up), is none to judge.
        if (m_port->now() >= deadline) {
            noisy(quietMs, "before a command", m_port->now() - start);
            return false;
        }
        if (!came && m_port->now() < from + waitMs)
            return false;
    }
    m_binary.reset();
    m_ascii.reset();
    return true;
}

void PRS::dropInput()
{
    m_port->flush();
    // What was dropped may have come a moment ago.
    m_lastTrafficAt = m_port->now();
}

bool PRS::readPort(size_t want, int waitMs, std::vector<uint8_t>& out)
{
    if (!m_port->read(want, waitMs, out))
        return false;
    m_lastTrafficAt = m_port->now();
    return true;
}

int PRS::listen(unsigned probes)
{
    const double start = m_port->now();
    m_noiseBytes = 0;
    m_noise.clear();
    while (m_port->now() - start < MaxProbeListenMs) {
        if (!readPort(1, m_readTimeoutMs, m_chunk))
            return -1;
        heardNoise(m_chunk);
        const uint8_t byte = m_chunk.front();
        for (Framer* framer : {&m_binary, &m_ascii}) {
            const int withoutCrc = probeFor(*framer, probes, false);
            const int withCrc = probeFor(*framer, probes, true);
            if (withoutCrc < 0 && withCrc < 0)
                continue;  // nothing went out in this transport, so nothing can answer in it
            size_t used = 0;
            const Framer::Result result = framer->feed(&byte, 1, used);
            // Another variant's bytes, or a chattering line's, which the warning about it shows once.
            if (result == Framer::Result::BadText)
                Log::debug("[PRS] xferAscii() Exception while probing : %s", framer->error().c_str());
            if (result != Framer::Result::Frame || framer->frame().empty() ||
                (framer->transport() == Framer::Transport::Binary && framer->frame().size() > MaxProbeAnswer))
                continue;
            logAnswer(*framer);
            // Both variants of a transport may have been probed, the one without CRC first. An
            // answer that carries a good CRC belongs to the variant with CRC; any other is the
            // (late) answer to the one without, which the reader gives before it reads the next
            // probe.
            const bool goodCrc = crcMatches(framer->frame());
            if (goodCrc && withCrc < 0)
                continue;  // a reader that speaks with CRC, answering what it owed to an earlier
                           // line: its answer to the probe with CRC will tell it
            return withCrc >= 0 && (goodCrc || withoutCrc < 0) ? withCrc : withoutCrc;
        }
    }
    noisy(m_readTimeoutMs, "while a probe was out, and none was answered", m_port->now() - start);
    return -1;
}

int PRS::probeFor(const Framer& framer, unsigned sent, bool withCrc)
{
    for (int i = 0; i < ProbeCount; ++i)
        if ((sent & 1u << i) && Probes[i].transport == framer.transport() &&
            hasCrc(Probes[i].mode) == withCrc)
            return i;
    return -1;
}
