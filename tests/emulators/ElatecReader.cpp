#include "emulators/ElatecReader.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>

#include "emulators/Promptly.h"

namespace emulators {

namespace {

const size_t MaxRecorded = 10000;
// A frame left half-received this long is abandoned, as the reader's own input time-out does.
const double ResyncGapMs = 200;
// The longest a held answer waits for its release.
const double HeldLimitMs = 30000;
const size_t MaxLine = 2 * 0x10000 + 8;

const uint8_t StatusOK = 0x00;
const uint8_t StatusUnknownCommand = 0x01;
const uint8_t StatusBadParameters = 0x03;

double nowMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// Reads command parameters; short input makes ok() false.
struct Params
{
    const Bytes& bytes;
    size_t pos = 0;
    bool ok = true;

    uint8_t u8()
    {
        if (pos + 1 > bytes.size()) {
            ok = false;
            return 0;
        }
        return bytes[pos++];
    }
    uint16_t u16le()
    {
        const uint8_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }
    uint32_t u32le()
    {
        const uint16_t lo = u16le();
        return lo | static_cast<uint32_t>(u16le()) << 16;
    }
    Bytes take(size_t n)
    {
        if (n > bytes.size() - pos) {
            ok = false;
            return {};
        }
        Bytes out(bytes.begin() + static_cast<long>(pos), bytes.begin() + static_cast<long>(pos + n));
        pos += n;
        return out;
    }
    bool complete() const { return ok && pos == bytes.size(); }
};

void appendLength(Bytes& out, size_t n)
{
    out.push_back(static_cast<uint8_t>(n));
    out.push_back(static_cast<uint8_t>(n >> 8));
}

int hexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string ElatecReader::modeName(Mode mode)
{
    switch (mode) {
        case Mode::Silent:
            return "Silent";
        case Mode::Ascii:
            return "Ascii";
        case Mode::Binary:
            return "Binary";
        case Mode::AsciiCrc:
            return "AsciiCrc";
        case Mode::BinaryCrc:
            return "BinaryCrc";
    }
    return "Mode" + std::to_string(static_cast<int>(mode));
}

ElatecReader::ElatecReader(Mode mode) : m_mode(mode)
{
    m_line = std::thread([this] { takeIn(); });
    m_thread = std::thread([this] { run(); });
}

ElatecReader::~ElatecReader()
{
    m_pty.stop();
    m_line.join();
    m_thread.join();
}

uint16_t ElatecReader::crc(const Bytes& data)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

void ElatecReader::setMode(Mode mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mode = mode;
}

void ElatecReader::setVersion(const std::string& version)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = version;
}

void ElatecReader::setDeviceUID(const Bytes& uid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceUID = uid;
}

void ElatecReader::setUSBType(uint8_t type)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_usbType = type;
}

void ElatecReader::setEcho(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = on;
}

void ElatecReader::setCard(std::shared_ptr<FieldCard> card)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_card = std::move(card);
}

void ElatecReader::setSam(int slot, std::shared_ptr<SlotCard> sam)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sams[slot & 1] = std::move(sam);
    m_powered[slot & 1] = false;
}

void ElatecReader::inject(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

std::vector<ElatecReader::Received> ElatecReader::received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<Received>(m_received.begin(), m_received.end());
}

void ElatecReader::clearReceived()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
    m_bytes = 0;
}

bool ElatecReader::waitForCommands(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_received.size() >= count; });
}

bool ElatecReader::waitForBytes(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_bytes >= count; });
}

void ElatecReader::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_releases;
}

bool ElatecReader::waitForReleased(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_releasedAnswers >= count; });
}

bool ElatecReader::waitForHeld(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_heldAnswers >= count; });
}

bool ElatecReader::waitForIdle(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_recorded.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        // The line before the hand: bytes leave the one only once they are in the other.
        return !m_busy && m_faults.empty() && m_input.empty() && m_pty.pending() == 0 && !m_inHand;
    });
}

size_t ElatecReader::bytesReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

uint8_t ElatecReader::leds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_leds;
}

bool ElatecReader::rfOn() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rf;
}

void ElatecReader::setRecording(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recording = on;
}

void ElatecReader::takeIn()
{
    // The reader's UART times its input whatever the firmware is busy with: bytes are stamped
    // when they are there, so a late answering thread cannot stretch the reader's input time-out.
    answerPromptly();
    for (;;) {
        if (m_pty.wait(-1) == PseudoTerminal::Wait::Stopped)
            break;
        // Stamped and taken off the line at once, before the lock, which the answering thread may
        // hold while a model works: bytes that come meanwhile wake this thread again and get a
        // stamp of their own, so a quiet gap before them is never lost. Marked as in hand first,
        // so that waitForIdle never sees them in neither place.
        m_inHand = true;
        Input input{{}, nowMs()};
        const size_t taken = m_pty.readAvailable(input.bytes);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (taken > 0) {
                m_bytes += taken;
                m_input.push_back(std::move(input));
            }
            m_inHand = false;
        }
        m_recorded.notify_all();
        if (taken == 0) {
            if (!m_pty.pause(10))
                break;
            continue;
        }
        m_inputCame.notify_all();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_inputCame.notify_all();
}

void ElatecReader::run()
{
    answerPromptly();
    for (;;) {
        Input input;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_stopped && m_input.empty()) {
                if (m_partialWire.empty()) {
                    m_inputCame.wait(lock);
                    continue;
                }
                // A command cut off by a quiet line is dropped, as the reader's UART does.
                const double left = m_lastInputMs + ResyncGapMs - nowMs();
                if (left > 0) {
                    m_inputCame.wait_for(lock, std::chrono::duration<double, std::milli>(left));
                    continue;
                }
                m_partial.clear();
                m_partialWire.clear();
                m_busy = false;
                m_recorded.notify_all();
            }
            if (m_stopped)
                return;
            // Busy from before the input is taken until its answers are out, so that waitForIdle
            // never sees the input gone and the answers not yet begun; and while part of a
            // command is held, which takes in whatever comes next until the line has been quiet.
            input = std::move(m_input.front());
            m_input.pop_front();
            m_busy = true;
        }
        // The quiet that ends a cut-off command is judged by when the bytes were on the line, not
        // by when this thread got to them.
        if (!m_partialWire.empty() && input.atMs - m_lastInputMs >= ResyncGapMs) {
            m_partial.clear();
            m_partialWire.clear();
        }
        m_lastInputMs = input.atMs;
        // Nothing may leave the emulator's thread: a broken model only costs its answer.
        try {
            consume(input.bytes);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[ElatecReader] model failed: %s\n", e.what());
        }
        setBusy(!m_partialWire.empty());
    }
}

void ElatecReader::setBusy(bool busy)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_busy = busy;
    }
    m_recorded.notify_all();
}

void ElatecReader::consume(const Bytes& input)
{
    Mode mode;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_mode;
    }
    if (mode == Mode::Silent)
        return;

    const bool withCrc = (static_cast<int>(mode) & 0x10) != 0;
    const bool binary = (static_cast<int>(mode) & ~0x10) == 2;
    for (uint8_t byte : input) {
        if (binary)
            consumeBinary(byte, withCrc);
        else
            consumeAscii(byte, withCrc);
    }
}

void ElatecReader::consumeBinary(uint8_t byte, bool withCrc)
{
    m_partialWire.push_back(byte);
    if (m_partialWire.size() <= 2) {
        if (m_partialWire.size() == 2) {
            m_expected = m_partialWire[0] | m_partialWire[1] << 8;
            m_partial.clear();
            if (m_expected == 0)
                m_partialWire.clear();
        }
        return;
    }
    m_partial.push_back(byte);
    if (m_partial.size() < m_expected)
        return;
    const Bytes frame = std::move(m_partial);
    const Bytes wire = std::move(m_partialWire);
    m_partial.clear();
    m_partialWire.clear();
    frameReceived(frame, wire, withCrc);
}

void ElatecReader::consumeAscii(uint8_t byte, bool withCrc)
{
    if (byte == '\r' || byte == '\n') {
        if (m_partialWire.empty())
            return;
        Bytes wire = std::move(m_partialWire);
        m_partialWire.clear();
        if (wire.size() % 2 != 0)
            return;
        Bytes frame;
        for (size_t i = 0; i < wire.size(); i += 2)
            frame.push_back(static_cast<uint8_t>(hexValue(wire[i]) << 4 | hexValue(wire[i + 1])));
        wire.push_back(byte);
        frameReceived(frame, wire, withCrc);
        return;
    }
    // Anything that is not hex text (another variant's probe, noise) is no command.
    if (hexValue(byte) < 0 || m_partialWire.size() >= MaxLine) {
        m_partialWire.clear();
        return;
    }
    m_partialWire.push_back(byte);
}

void ElatecReader::frameReceived(const Bytes& frame, const Bytes& wire, bool withCrc)
{
    size_t size = frame.size();
    if (withCrc) {
        if (size < 4)
            return;
        size -= 2;
        const uint16_t sent = static_cast<uint16_t>(frame[size] | frame[size + 1] << 8);
        // A frame that fails its CRC gets no answer at all, as from the real reader.
        if (sent != crc(Bytes(frame.begin(), frame.begin() + static_cast<long>(size))))
            return;
    }
    if (size < 2)
        return;
    const uint16_t command = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
    const Bytes params(frame.begin() + 2, frame.begin() + static_cast<long>(size));

    Answer answer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_recording) {
            m_received.push_back({command, params, wire});
            if (m_received.size() > MaxRecorded)
                m_received.pop_front();
        }
        answer = handle(command, params);
    }
    m_recorded.notify_all();
    respond(command, std::move(answer));
}

ElatecReader::Answer ElatecReader::handle(uint16_t command, const Bytes& params)
{
    if ((command & 0xFF00) == 0x1000)
        return handleSam(command, params);
    if ((command & 0xFF00) == 0x1200)
        return handleField(command, params);

    Params p{params};
    Answer answer;
    switch (command) {
        case 0x0001:  // reset
            p.complete();
            m_leds = 0;
            m_rf = false;
            for (int slot = 0; slot < 2; ++slot) {
                if (m_sams[slot] && m_powered[slot])
                    m_sams[slot]->powerOff();
                m_powered[slot] = false;
            }
            break;
        case 0x0004: {  // version text, at most the asked length
            const size_t max = p.u8();
            const std::string text = m_version.substr(0, std::min<size_t>(max, 0xFF));
            answer.data.push_back(static_cast<uint8_t>(text.size()));
            answer.data.insert(answer.data.end(), text.begin(), text.end());
            break;
        }
        case 0x0005:
            answer.data = {m_usbType};
            break;
        case 0x0008:
            answer.data = m_deviceUID;
            if (m_echo) {
                p.take(params.size());
                answer.data.insert(answer.data.end(), params.begin(), params.end());
            }
            break;
        case 0x0407:  // beep: volume, frequency, on time, off time
            p.u8();
            p.u16le();
            p.u16le();
            p.u16le();
            break;
        case 0x0410:
            p.u8();
            break;
        case 0x0412:
            m_leds = static_cast<uint8_t>(m_leds & ~p.u8());
            break;
        case 0x0413:
            m_leds = static_cast<uint8_t>(m_leds ^ p.u8());
            break;
        case 0x0500: {  // search
            p.u8();
            if (!m_card) {
                answer.data = {0x00};
                break;
            }
            m_rf = true;
            const FieldCard::Identity id = m_card->identity();
            m_card->selected();
            answer.data = {0x01, id.readerTagType, static_cast<uint8_t>(id.uid.size() * 8),
                           static_cast<uint8_t>(id.uid.size())};
            answer.data.insert(answer.data.end(), id.uid.begin(), id.uid.end());
            break;
        }
        case 0x0501:
            m_rf = false;
            break;
        case 0x0502:
            m_lfTypes = p.u32le();
            m_hfTypes = p.u32le();
            break;
        default:
            answer.status = StatusUnknownCommand;
            return answer;
    }
    if (!p.complete()) {
        answer.status = StatusBadParameters;
        answer.data.clear();
    }
    return answer;
}

ElatecReader::Answer ElatecReader::handleSam(uint16_t command, const Bytes& params)
{
    Params p{params};
    const int slot = p.u8() - 0x20;
    const std::shared_ptr<SlotCard> sam = (slot == 0 || slot == 1) ? m_sams[slot] : nullptr;
    const bool powered = sam && m_powered[slot];
    const Answer refused{StatusOK, {0x00}, false};
    Answer answer;

    switch (command) {
        case 0x1001: {  // power on: slot, maximum ATR length, 00
            p.u8();
            p.u8();
            if (!p.complete())
                break;
            if (!sam)
                return refused;
            const std::optional<Bytes> atr = sam->powerOn();
            if (!atr)
                return {StatusOK, {0x01, 0x00, 0xFE, 0x00}, false};
            m_powered[slot] = true;
            answer.data = {0x01, static_cast<uint8_t>(atr->size())};
            answer.data.insert(answer.data.end(), atr->begin(), atr->end());
            answer.data.push_back(0x00);
            answer.data.push_back(0x00);
            return answer;
        }
        case 0x1002:
            if (!p.complete())
                break;
            if (!sam)
                return refused;
            if (m_powered[slot])
                sam->powerOff();
            m_powered[slot] = false;
            return {StatusOK, {0x01, 0x00, 0x00, 0x00}, false};
        case 0x1003: {
            const Bytes settings = p.take(params.size() - 1);
            if (!powered)
                return refused;
            sam->setCommSettings(settings);
            return {StatusOK, {0x01}, false};
        }
        case 0x1004: {  // raw: length, bytes, maximum answer
            const Bytes tx = p.take(p.u16le());
            p.u8();
            if (!p.complete())
                break;
            if (!powered)
                return refused;
            const std::optional<Bytes> rx = sam->transceive(tx);
            if (!rx)
                return refused;
            answer.data = {0x01};
            appendLength(answer.data, rx->size());
            answer.data.insert(answer.data.end(), rx->begin(), rx->end());
            return answer;
        }
        case 0x1005:
        case 0x1006: {
            const Bytes header = p.take(command == 0x1005 ? 9 : 5);
            const Bytes data = p.take(p.u16le());
            p.u16le();
            if (!p.complete())
                break;
            if (!powered)
                return refused;
            std::optional<SlotCard::Response> response;
            if (command == 0x1005) {
                SlotCard::Apdu apdu;
                apdu.cla = header[0];
                apdu.ins = header[1];
                apdu.p1 = header[2];
                apdu.p2 = header[3];
                apdu.le = static_cast<uint16_t>(header[6] | header[7] << 8);
                apdu.hasLe = (header[8] & 0x01) != 0;
                apdu.option = (header[8] & 0x02) != 0;
                apdu.data = data;
                response = sam->apdu(apdu);
            } else {
                response = sam->tpdu(header, data);
            }
            if (!response)
                return refused;
            answer.data = {0x01};
            appendLength(answer.data, response->data.size());
            answer.data.insert(answer.data.end(), response->data.begin(), response->data.end());
            // The status word goes low byte first.
            answer.data.push_back(static_cast<uint8_t>(response->sw));
            answer.data.push_back(static_cast<uint8_t>(response->sw >> 8));
            return answer;
        }
        default:
            return {StatusUnknownCommand, {}, false};
    }
    return {StatusBadParameters, {}, false};
}

ElatecReader::Answer ElatecReader::handleField(uint16_t command, const Bytes& params)
{
    Params p{params};
    const bool active = m_card && m_rf;
    const Answer refused{StatusOK, {0x00}, false};
    Answer answer;
    FieldCard::Identity id;
    if (active)
        id = m_card->identity();

    switch (command) {
        case 0x1200:  // ATS
        case 0x1201:  // ATQB
        {
            p.u8();
            if (!p.complete())
                break;
            const Bytes& value = command == 0x1200 ? id.ats : id.atqb;
            if (!active || value.empty())
                return refused;
            answer.data = {0x01};
            answer.data.insert(answer.data.end(), value.begin(), value.end());
            return answer;
        }
        case 0x1202:
            return {StatusOK, {static_cast<uint8_t>(active ? 1 : 0)}, false};
        case 0x1203:
        case 0x1207: {
            const Bytes tx = p.take(p.u8());
            p.u8();
            if (command == 0x1207) {
                p.u8();
                p.u8();
            }
            if (!p.complete())
                break;
            if (!active)
                return refused;
            const std::optional<Bytes> rx = command == 0x1203 ? m_card->exchange4(tx) : m_card->exchange3(tx);
            if (!rx)
                return refused;
            answer.data = {0x01, static_cast<uint8_t>(rx->size())};
            answer.data.insert(answer.data.end(), rx->begin(), rx->end());
            return answer;
        }
        case 0x1204:
            if (!p.complete())
                break;
            if (!active || id.readerTagType != 0x80)
                return refused;
            return {
                StatusOK, {0x01, static_cast<uint8_t>(id.atqa), static_cast<uint8_t>(id.atqa >> 8)}, false};
        case 0x1205:
            if (!p.complete())
                break;
            if (!active || id.readerTagType != 0x80)
                return refused;
            return {StatusOK, {0x01, id.sak}, false};
        default:
            return {StatusUnknownCommand, {}, false};
    }
    return {StatusBadParameters, {}, false};
}

void ElatecReader::respond(uint16_t command, Answer answer)
{
    if (answer.silent)
        return;
    std::optional<Fault> fault;
    Mode mode;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mode = m_mode;
        auto it = std::find_if(m_faults.begin(), m_faults.end(), [&](const Fault& f) {
            return f.command == AnyCommand || f.command == command;
        });
        if (it != m_faults.end()) {
            fault = *it;
            m_faults.erase(it);
        }
    }
    if (mode == Mode::Silent || (fault && fault->kind == Fault::Drop))
        return;

    const bool withCrc = (static_cast<int>(mode) & 0x10) != 0;
    const bool binary = (static_cast<int>(mode) & ~0x10) == 2;
    if (fault && (fault->kind == Fault::Replace ||
                  ((fault->kind == Fault::Trickle || fault->kind == Fault::Delay) && !fault->data.empty())))
        answer = {StatusOK, fault->data, false};

    Bytes frame;
    frame.push_back(fault && fault->kind == Fault::Status ? static_cast<uint8_t>(fault->value)
                                                          : answer.status);
    frame.insert(frame.end(), answer.data.begin(), answer.data.end());
    if (fault && fault->kind == Fault::ShortAnswer) {
        frame.resize(static_cast<size_t>(std::max(0, fault->value)));
    } else if (withCrc) {
        uint16_t c = crc(frame);
        if (fault && fault->kind == Fault::BadCrc)
            c ^= 0x5A5A;
        frame.push_back(static_cast<uint8_t>(c));
        frame.push_back(static_cast<uint8_t>(c >> 8));
    }

    Bytes wire;
    if (binary) {
        appendLength(wire, frame.size());
        wire.insert(wire.end(), frame.begin(), frame.end());
    } else {
        static const char digits[] = "0123456789ABCDEF";
        for (uint8_t b : frame) {
            wire.push_back(static_cast<uint8_t>(digits[b >> 4]));
            wire.push_back(static_cast<uint8_t>(digits[b & 0x0F]));
        }
        wire.push_back('\r');
        wire.push_back('\n');
    }
    if (fault && fault->kind == Fault::Truncate)
        wire.resize(wire.size() - std::min(wire.size(), static_cast<size_t>(std::max(0, fault->value))));

    if (fault && fault->kind == Fault::Delay && !m_pty.pause(fault->value))
        return;
    if (fault && (fault->kind == Fault::Held || fault->kind == Fault::Overtaken)) {
        if (fault->value > 0) {
            const size_t head = wire.size() - std::min(wire.size(), static_cast<size_t>(fault->value));
            m_pty.write(wire.data(), head);
            wire.erase(wire.begin(), wire.begin() + static_cast<long>(head));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_heldAnswers;
        }
        m_recorded.notify_all();
        // A test that fails before its release still ends: the answer is dropped in the end.
        for (const double until = nowMs() + HeldLimitMs;;) {
            if (fault->kind == Fault::Overtaken) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!m_input.empty() || m_pty.pending() > 0)
                    break;
            } else {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_releases > 0) {
                    --m_releases;
                    break;
                }
            }
            if (nowMs() > until || !m_pty.pause(5))
                return;
        }
        send(wire.data(), wire.size());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_releasedAnswers;
        }
        m_recorded.notify_all();
        return;
    }
    if (fault && fault->kind == Fault::Chatter)
        send(wire.data(), wire.size());
    if (fault && (fault->kind == Fault::Flood || fault->kind == Fault::Chatter)) {
        // Written a piece at a time without waiting for room, so that a release is seen at once
        // also when the host has stopped reading.
        size_t at = 0;
        for (const double until = nowMs() + HeldLimitMs; nowMs() < until && !fault->data.empty();) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_releases > 0) {
                    --m_releases;
                    break;
                }
            }
            const ssize_t n = ::write(m_pty.masterFd(), fault->data.data() + at, fault->data.size() - at);
            if (n > 0)
                at = (at + static_cast<size_t>(n)) % fault->data.size();
            else if (!m_pty.pause(1))
                break;
        }
        return;
    }
    if (fault && fault->kind == Fault::Trickle) {
        for (size_t i = 0; i < wire.size(); ++i)
            if ((i > 0 && !m_pty.pause(fault->value)) || !m_pty.write(&wire[i], 1))
                return;
        return;
    }
    if (fault && fault->kind == Fault::Split && wire.size() >= 3) {
        const size_t cuts[] = {0, 1, wire.size() / 2, wire.size()};
        for (int i = 0; i < 3; ++i) {
            if (i > 0 && !m_pty.pause(fault->value))
                return;
            m_pty.write(wire.data() + cuts[i], cuts[i + 1] - cuts[i]);
        }
        return;
    }
    send(wire.data(), wire.size());
}

bool ElatecReader::send(const uint8_t* data, size_t size)
{
    // A whole answer at a time, then as long as the line takes to carry it: a host that drops
    // what is waiting rarely cuts one.
    const size_t speed = m_lineSpeed;
    return m_pty.write(data, size) &&
           (speed == 0 || m_pty.pause(static_cast<int>(std::max<size_t>(1, size / speed))));
}

void ElatecReader::setLineSpeed(size_t bytesPerMs)
{
    m_lineSpeed = bytesPerMs;
}

}  // namespace emulators
