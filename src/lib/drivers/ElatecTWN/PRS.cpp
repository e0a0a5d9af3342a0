#include "drivers/ElatecTWN/PRS.h"

#include "NFC/ByteReader.h"
#include "NFC/ByteWriter.h"
#include "NFC/Crc16.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/SerialPort.h"
#include "core/String.h"

using ElatecTWN::Framer;

namespace {

const int NormalTimeoutMs = 1000;
const int ProbeTimeoutMs = 100;
// A line that keeps sending without ever giving an answer ends a probe's wait after this long.
const double MaxProbeListenMs = 1000;
// A late answer normally follows the time-out closely; the next command waits this long for the
// line to fall quiet. A line that never falls quiet is given up on after MaxDrainMs.
const int QuietMs = 500;
const double MaxDrainMs = 3000;
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

std::string lineText(const std::vector<uint8_t>& wire)
{
    // The CR is counted but not printed: it would break the log line.
    std::string text(wire.begin(), wire.end());
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

}  // namespace

PRS::PRS(const std::string& device, Mode mode) : m_port(new SerialPort)
{
    // A failed open shows up as failing transfers.
    m_port->open(device, 115200, -1, 8, 1, 0);
    m_port->setReadTimeout(NormalTimeoutMs);
    m_port->setLowLatency(true);
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

    if (m_unansweredProbes != 0) {
        // The reader was perhaps only slow: this command goes out the way an undetected reader
        // is spoken to, and a late answer to a probe still tells the variant. The reader may then
        // be halfway through taking the command for a frame of its own; once the line is quiet
        // the command goes again, the way the reader reads it. Without such an answer the
        // command has failed, as it would have with a reader that is not there.
        const int late = lateProbeAnswer(m_frame);
        if (late < 0)
            return TransferFailed;
        m_mode = Probes[late].mode;
        Log::debug("%s", Probes[late].found);
        m_resync = true;
        return xfer(command, params, answer);
    }

    const int rc = isBinary(m_mode) ? xferBinary(m_frame, m_received) : xferAscii(m_frame, m_received);
    if (rc != 0)
        return TransferFailed;

    size_t size = m_received.size();
    if (crc) {
        // Status byte and both CRC bytes must be there before either is taken.
        if (!crcMatches(m_received))
            return CrcFailed;
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
    // An answer still owed may come later than the quiet wait allows, after this command went out.
    const bool owed = m_resync && !m_detecting;
    discardStaleInput();
    if (!send(framer.transport(), frame))
        return TransferFailed;
    if (!receive(framer))
        return TransferFailed;
    answer.assign(framer.frame().begin(), framer.frame().end());
    if (owed && !takeLastAnswer(framer, answer))
        return TransferFailed;
    return 0;
}

bool PRS::takeLastAnswer(Framer& framer, std::vector<uint8_t>& answer)
{
    // The reader answers in order: a late answer to an earlier command comes ahead of this
    // command's own, which is then the last frame before the line falls quiet.
    m_port->setReadTimeout(QuietMs);
    const double start = Clock::monotonicMillis();
    bool quiet = false;
    while (Clock::elapsedMonotonicMillis(start) < MaxDrainMs) {
        if (!receive(framer)) {
            // Nothing more came; anything else heard (cut off, not a frame) leaves no answer to trust.
            quiet = !framer.started();
            break;
        }
        Log::debug("[PRS] late answer to an earlier command dropped");
        answer.assign(framer.frame().begin(), framer.frame().end());
    }
    m_port->setReadTimeout(m_readTimeoutMs);
    // A line that fell quiet owes nothing more; one that did not may still.
    m_resync = !quiet;
    return quiet;
}

void PRS::discardStaleInput()
{
    if (m_resync && !m_detecting) {
        m_port->setReadTimeout(QuietMs);
        const double start = Clock::monotonicMillis();
        while (!m_port->readBytes(256).empty() && Clock::elapsedMonotonicMillis(start) < MaxDrainMs) {
        }
        m_port->setReadTimeout(m_readTimeoutMs);
    }
    m_resync = false;
    m_port->flush();
}

bool PRS::send(Framer::Transport transport, const std::vector<uint8_t>& frame)
{
    m_wire.clear();
    if (!Framer::encode(transport, frame, m_wire)) {
        Log::error("[PRS] ERROR: frame of %zu bytes is too long", frame.size());
        return false;
    }
    if (Log::enabled(Log::LevelDebug)) {
        const std::string text =
            transport == Framer::Transport::Binary ? String::toHex(m_wire) : lineText(m_wire);
        Log::debug("[PRS] > (%02d) %s", static_cast<int>(m_wire.size()), text.c_str());
    }

    // The port completes short writes itself; anything less than all of it is a failure, since a
    // reader cannot act on part of a frame.
    const int written = m_port->writeBytes(m_wire);
    if (written != static_cast<int>(m_wire.size())) {
        m_resync = !m_detecting;
        return false;
    }
    return true;
}

bool PRS::receive(Framer& framer)
{
    framer.reset();
    const bool binary = framer.transport() == Framer::Transport::Binary;
    Framer::Result result = Framer::Result::NeedMore;
    while (result == Framer::Result::NeedMore) {
        size_t used = 0;
        if (binary) {
            const std::vector<uint8_t> chunk = m_port->readBytes(static_cast<unsigned>(framer.wanted()));
            if (chunk.empty())
                break;
            result = framer.feed(chunk.data(), chunk.size(), used);
        } else {
            const int c = m_port->read();
            if (c < 0)
                break;
            const uint8_t byte = static_cast<uint8_t>(c);
            result = framer.feed(&byte, 1, used);
        }
    }

    switch (result) {
        case Framer::Result::Frame:
            break;
        case Framer::Result::BadText:
            Log::error("[PRS] ERROR: xferAscii() Exception : %s", framer.error().c_str());
            return false;
        case Framer::Result::TooLarge:
            Log::error("[PRS] ERROR: answer line too long");
            return false;
        default:
            if (framer.finish() == Framer::Result::Truncated)
                Log::debug("[PRS] < truncated answer (%d of %d bytes)",
                           static_cast<int>(framer.frame().size()),
                           static_cast<int>(framer.frame().size() + framer.wanted()));
            m_resync = !m_detecting;
            return false;
    }

    logAnswer(framer);
    return !framer.frame().empty();
}

void PRS::logAnswer(const Framer& framer) const
{
    if (!Log::enabled(Log::LevelDebug))
        return;
    if (framer.transport() == Framer::Transport::Binary)
        Log::debug("[PRS] < (%02d) %s", static_cast<int>(framer.frame().size()),
                   String::toHex(framer.frame()).c_str());
    else
        Log::debug("[PRS] < (%02d) %s", static_cast<int>(framer.text().size()), framer.text().c_str());
}

PRS::Mode PRS::detectMode()
{
    Log::debug("[PRS] Detecting Elatec communication mode...");
    m_detecting = true;
    m_readTimeoutMs = ProbeTimeoutMs;
    m_port->setReadTimeout(ProbeTimeoutMs);

    // Only input from before the first probe is stale. A reader that is slow to answer (a loaded
    // host, a busy USB link) answers a probe while the next one is out; that answer still tells
    // its variant, so nothing is flushed between probes, nor is a probe the reader has not read
    // yet thrown away.
    m_port->flush();
    m_binary.reset();
    m_ascii.reset();

    int answered = -1;
    int last = -1;
    unsigned sent = 0;
    for (int i = 0; i < ProbeCount && answered < 0; ++i) {
        if (!send(Probes[i].transport, Probes[i].frame))
            continue;
        sent |= 1u << i;
        last = i;
        answered = listen(sent);
    }

    Mode detected = UNDETECTED;
    if (answered >= 0) {
        detected = Probes[answered].mode;
        Log::debug("%s", Probes[answered].found);
    } else {
        Log::debug("[PRS] ERROR: Could not detect Elatec communication mode");
    }

    m_readTimeoutMs = NormalTimeoutMs;
    m_port->setReadTimeout(NormalTimeoutMs);
    m_detecting = false;
    // Answered late, the reader may still answer the probes that followed, or be halfway through
    // taking one for a frame of its own variant: the first command waits for the line to fall
    // quiet.
    m_resync = answered >= 0 && answered != last;
    // Silence may only mean a slow reader: its answer can still identify it during the next read.
    m_unansweredProbes = answered < 0 ? sent : 0;
    return detected;
}

int PRS::lateProbeAnswer(const std::vector<uint8_t>& frame)
{
    // The answer may already be waiting, or half received: nothing is flushed, and the probes'
    // framers go on from where detection left them.
    const unsigned probes = m_unansweredProbes;
    m_unansweredProbes = 0;
    if (!send(Framer::Transport::Ascii, frame))
        return -1;
    const int late = listen(probes);
    m_resync = late < 0;
    return late;
}

int PRS::listen(unsigned probes)
{
    const double start = Clock::monotonicMillis();
    while (Clock::elapsedMonotonicMillis(start) < MaxProbeListenMs) {
        const int c = m_port->read();
        if (c < 0)
            return -1;
        const uint8_t byte = static_cast<uint8_t>(c);
        for (Framer* framer : {&m_binary, &m_ascii}) {
            const int withoutCrc = probeFor(*framer, probes, false);
            const int withCrc = probeFor(*framer, probes, true);
            if (withoutCrc < 0 && withCrc < 0)
                continue;  // nothing went out in this transport, so nothing can answer in it
            size_t used = 0;
            const Framer::Result result = framer->feed(&byte, 1, used);
            if (result == Framer::Result::BadText)
                Log::error("[PRS] ERROR: xferAscii() Exception : %s", framer->error().c_str());
            if (result != Framer::Result::Frame || framer->frame().empty())
                continue;
            logAnswer(*framer);
            // Both variants of a transport may have been probed, the one without CRC first. An
            // answer that carries a good CRC belongs to the variant with CRC; any other is the
            // (late) answer to the one without, which the reader gives before it reads the next
            // probe.
            const bool goodCrc = crcMatches(framer->frame());
            return withCrc >= 0 && (goodCrc || withoutCrc < 0) ? withCrc : withoutCrc;
        }
    }
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
