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

    const int rc = isBinary(m_mode) ? xferBinary(m_frame, m_received) : xferAscii(m_frame, m_received);
    if (rc != 0)
        return TransferFailed;

    size_t size = m_received.size();
    if (crc) {
        // Status byte and both CRC bytes must be there before either is taken.
        if (size < 3)
            return CrcFailed;
        size -= 2;
        NFC::ByteReader tail(m_received.data() + size, 2);
        if (tail.u16le() != NFC::crc16(m_received.data(), size, CrcStart))
            return CrcFailed;
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
    discardStaleInput();
    if (!send(framer.transport(), frame))
        return TransferFailed;
    if (!receive(framer))
        return TransferFailed;
    answer.assign(framer.frame().begin(), framer.frame().end());
    return 0;
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

    if (Log::enabled(Log::LevelDebug)) {
        if (binary)
            Log::debug("[PRS] < (%02d) %s", static_cast<int>(framer.frame().size()),
                       String::toHex(framer.frame()).c_str());
        else
            Log::debug("[PRS] < (%02d) %s", static_cast<int>(framer.text().size()), framer.text().c_str());
    }
    return !framer.frame().empty();
}

PRS::Mode PRS::detectMode()
{
    struct Probe
    {
        bool binary;
        std::vector<uint8_t> frame;
        Mode mode;
        const char* found;
    };
    // The reader's USB-type query, with the CRC already in place where the variant has one.
    static const Probe probes[] = {
        {true, {0x00, 0x05}, BINARY, "[PRS] Detected : Binary (w/out CRC)"},
        {true, {0x00, 0x05, 0x15, 0xA7}, BINARY_CRC, "[PRS] Detected : Binary (w/ CRC)"},
        {false, {0x00, 0x05}, ASCII, "[PRS] Detected : ASCII (w/out CRC)"},
        {false, {0x00, 0x05, 0x15, 0xA7}, ASCII_CRC, "[PRS] Detected : ASCII (w/ CRC)"},
    };

    Log::debug("[PRS] Detecting Elatec communication mode...");
    m_detecting = true;
    m_readTimeoutMs = ProbeTimeoutMs;
    m_port->setReadTimeout(ProbeTimeoutMs);

    Mode detected = UNDETECTED;
    std::vector<uint8_t> answer;
    for (const Probe& probe : probes) {
        const int rc = probe.binary ? xferBinary(probe.frame, answer) : xferAscii(probe.frame, answer);
        if (rc == 0) {
            detected = probe.mode;
            Log::debug("%s", probe.found);
            break;
        }
    }
    if (detected == UNDETECTED)
        Log::debug("[PRS] ERROR: Could not detect Elatec communication mode");

    m_readTimeoutMs = NormalTimeoutMs;
    m_port->setReadTimeout(NormalTimeoutMs);
    m_detecting = false;
    m_resync = false;
    return detected;
}
