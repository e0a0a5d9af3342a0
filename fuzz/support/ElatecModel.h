// A model of an Elatec TWN reader for the line's fuzz targets, and the host's end of the wire to
// it on a clock of its own, so that no wait on the line (a read's, the drain's, a reader's
// lateness) costs real time. The reader takes the host's bytes as the reader of its variant would
// (another variant's included), answers every frame it takes, in order, once, and the input decides
// how each answer comes; a target may answer some commands itself (see setScript). Header only;
// one model per input, used by the thread that runs it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "NFC/Crc16.h"
#include "drivers/ElatecTWN/Framer.h"
#include "drivers/ElatecTWN/PRS.h"
#include "support/Check.h"
#include "support/FuzzInput.h"

namespace fuzzing::elatec {

using Bytes = std::vector<uint8_t>;

const double StartMs = 1000;
// The reader drops a frame left half received this long, as its UART does.
const double ReaderDropGapMs = 200;
const uint8_t EchoTag = 0xE5;  // sets an echo apart from a version answer
// A byte's time on the reader's serial line at 115200 baud (start, eight data bits, stop).
const double ByteMs = 10 / 115.2;
// The limits a proof may ask for.
const unsigned ProofLimits = 16;
// What a read of a line that hung up takes.
const double HungUpReadMs = 0.01;

struct Answer
{
    uint8_t status = 0;
    Bytes data;
};

// The reader: takes the host's bytes as they come and schedules its answers on the line.
class Reader
{
public:
    Reader(fuzzing::FuzzInput& in, bool binary, bool crc, std::string version)
        : m_in(in), m_binary(binary), m_crc(crc), m_version(std::move(version))
    {
    }

    // How late, at most, an answer may end after the reader took its command.
    void setReachMs(double ms) { m_reachMs = ms; }
    // A short while the reader may take with an answer that is not late.
    void setSlowMs(double ms) { m_slowMs = ms; }
    // From now on every answer comes whole and at once, whatever the input holds.
    void calm() { m_calm = true; }
    bool calmed() const { return m_calm; }
    // From now on the reader sends as one on a serial line does: a byte every byteMs, and an
    // answer's bytes one right after the other but for pauses of at most pauseMs (short of the
    // quiet after which the line takes the next byte for a new frame's first).
    void setLine(double byteMs, double pauseMs)
    {
        m_byteMs = byteMs;
        m_pauseMs = pauseMs;
    }
    // A target's own answers: called with every command the reader takes (its code, parameters
    // and when it was taken); true when the target answered it (through put()) or left it
    // unanswered, false for the reader's own answer.
    using Script = std::function<bool(uint16_t command, const Bytes& params, double at)>;
    void setScript(Script script) { m_script = std::move(script); }
    // Puts bytes on the line from `at` on, after everything sent before them.
    void put(double at, Bytes::const_iterator from, Bytes::const_iterator to) { send(at, from, to); }
    // Makes the next bytes put on the line wait ms after the last ones.
    void pause(double ms) { m_busyUntil += ms; }

    // Adds to out what a card may put in an answer: `padding` zero bytes, then for every limit the
    // two answers of a proof with it, framed as the reader frames them. The rest of such an answer,
    // framed anew from where a cut fell, holds a proof's answers whatever the limit.
    void proofShaped(size_t padding, Bytes& out)
    {
        if (m_proofs.empty())
            for (unsigned limit = 1; limit <= ProofLimits; ++limit)
                for (const unsigned asked : {limit, 0xFFu}) {
                    const Bytes wire = framed(answerTo(0x0004, {static_cast<uint8_t>(asked)}), true);
                    m_proofs.insert(m_proofs.end(), wire.begin(), wire.end());
                }
        out.reserve(out.size() + padding + m_proofs.size());
        out.resize(out.size() + padding, 0x00);
        out.insert(out.end(), m_proofs.begin(), m_proofs.end());
    }

    // What the reader says to a command (before framing).
    Answer answerTo(uint16_t command, const Bytes& params) const
    {
        Answer answer;
        switch (command) {
            case 0x0004:  // version text, at most the asked length
                if (params.size() != 1)
                    return {0x03, {}};
                answer.data.push_back(static_cast<uint8_t>(std::min<size_t>(params[0], m_version.size())));
                answer.data.insert(answer.data.end(), m_version.begin(), m_version.begin() + answer.data[0]);
                return answer;
            case 0x0005:  // USB type
                if (!params.empty())
                    return {0x03, {}};
                return {0x00, {0x01}};
            case 0x0008:  // echo
                answer.data.push_back(EchoTag);
                answer.data.insert(answer.data.end(), params.begin(), params.end());
                return answer;
            default:
                return {0x01, {}};
        }
    }

    // The answer as it goes on the line, in the reader's variant or, binary, in its binary form.
    Bytes framed(const Answer& answer, bool binary) const
    {
        const size_t size = 1 + answer.data.size() + (m_crc ? 2 : 0);
        Bytes wire;
        wire.reserve(binary ? 2 + size : 2 * size + 2);
        if (binary)
            wire = {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8)};
        const auto add = [&](uint8_t b) {
            static const char digits[] = "0123456789ABCDEF";
            if (binary) {
                wire.push_back(b);
            } else {
                wire.push_back(static_cast<uint8_t>(digits[b >> 4]));
                wire.push_back(static_cast<uint8_t>(digits[b & 0x0F]));
            }
        };
        add(answer.status);
        for (const uint8_t b : answer.data) add(b);
        if (m_crc) {
            const uint16_t c =
                NFC::crc16(answer.data.data(), answer.data.size(), NFC::crc16(&answer.status, 1, 0xFFFF));
            add(static_cast<uint8_t>(c));
            add(static_cast<uint8_t>(c >> 8));
        }
        if (!binary)
            wire.insert(wire.end(), {'\r', '\n'});
        return wire;
    }

    void take(const uint8_t* bytes, size_t size, double at)
    {
        if (!m_partial.empty() && at - m_lastByteAt > ReaderDropGapMs)
            m_partial.clear();
        m_lastByteAt = at;
        if (m_binary)
            takeBinary(bytes, size, at);
        else
            takeAscii(bytes, size, at);
    }

    // When the next byte the reader sent reaches the host; negative when none is on its way.
    double nextAt() const { return m_out.empty() ? -1 : m_out.front().byteAt(m_out.front().sent); }
    // When the last byte the reader has sent so far reaches the host; negative when none is on
    // its way.
    double lastAt() const { return m_out.empty() ? -1 : m_out.back().byteAt(m_out.back().bytes.size() - 1); }

    // When `count` more bytes will have reached the host (the first one's time, unless the reader
    // sends at line speed); negative when none is on its way.
    double whenSent(size_t count) const
    {
        if (m_out.empty())
            return -1;
        const Chunk& chunk = m_out.front();
        return chunk.byteAt(std::min(chunk.sent + std::max<size_t>(count, 1), chunk.bytes.size()) - 1);
    }

    // Moves up to want of the bytes that reached the host by `at` to the end of out (or drops
    // them, without out).
    void pull(double at, size_t want, Bytes* out)
    {
        while (want > 0 && !m_out.empty() && m_out.front().byteAt(m_out.front().sent) <= at) {
            Chunk& chunk = m_out.front();
            if (want == 1 && out) {  // the most usual read: a byte, while an ASCII line comes
                out->push_back(chunk.bytes[chunk.sent++]);
                if (chunk.sent == chunk.bytes.size())
                    m_out.pop_front();
                return;
            }
            size_t end = chunk.sent + 1;
            while (end < chunk.bytes.size() && end - chunk.sent < want && chunk.byteAt(end) <= at) ++end;
            if (out)
                out->insert(out->end(), chunk.bytes.begin() + static_cast<long>(chunk.sent),
                            chunk.bytes.begin() + static_cast<long>(end));
            want -= end - chunk.sent;
            chunk.sent = end;
            if (chunk.sent == chunk.bytes.size())
                m_out.pop_front();
        }
    }

private:
    // Bytes on their way, the first at `at` and each next one byteMs after it.
    struct Chunk
    {
        double at;
        Bytes bytes;
        double byteMs;
        size_t sent = 0;
        double byteAt(size_t index) const { return at + static_cast<double>(index) * byteMs; }
    };

    void takeBinary(const uint8_t* bytes, size_t size, double at)
    {
        const auto length = [this] { return 2u + (m_partial[0] | m_partial[1] << 8); };
        while (size > 0) {
            const size_t n = std::min(m_partial.size() < 2 ? 1 : length() - m_partial.size(), size);
            m_partial.insert(m_partial.end(), bytes, bytes + n);
            bytes += n;
            size -= n;
            if (m_partial.size() < 2 || m_partial.size() < length())
                continue;
            m_frame.assign(m_partial.begin() + 2, m_partial.end());
            m_partial.clear();
            frameTaken(m_frame, at);
        }
    }

    void takeAscii(const uint8_t* bytes, size_t size, double at)
    {
        for (const uint8_t* end = bytes + size; bytes != end; ++bytes) {
            if (*bytes == '\r' || *bytes == '\n') {
                const bool even = m_partial.size() % 2 == 0;
                m_frame.resize(even ? m_partial.size() / 2 : 0);
                for (size_t i = 0; i < m_frame.size(); ++i)
                    m_frame[i] = static_cast<uint8_t>(hex(m_partial[2 * i]) << 4 | hex(m_partial[2 * i + 1]));
                const bool any = !m_partial.empty();
                m_partial.clear();
                if (even && any)
                    frameTaken(m_frame, at);
                continue;
            }
            // Anything that is not hex text (another variant's probe, noise) is no command.
            const uint8_t* digits = bytes;
            while (digits != end && hex(*digits) >= 0) ++digits;
            if (digits == bytes) {
                m_partial.clear();
                continue;
            }
            m_partial.insert(m_partial.end(), bytes, digits);
            bytes = digits - 1;
        }
    }

    static int hex(uint8_t c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    void frameTaken(Bytes& frame, double at)
    {
        if (m_crc) {
            // A frame that fails its CRC gets no answer at all.
            if (frame.size() < 4)
                return;
            const size_t size = frame.size() - 2;
            if ((frame[size] | frame[size + 1] << 8) != NFC::crc16(frame.data(), size, 0xFFFF))
                return;
            frame.resize(size);
        }
        if (frame.size() < 2)
            return;
        const uint16_t command = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
        m_params.assign(frame.begin() + 2, frame.end());
        if (!m_script || !m_script(command, m_params, at))
            respond(framed(answerTo(command, m_params), m_binary), at);
    }

    // Sends wire as the input says, in order after every earlier answer, ending no later than
    // the reach after `taken`.
    void respond(Bytes wire, double taken)
    {
        const double base = std::max(taken, m_busyUntil);
        const double room = std::max(0.0, taken + m_reachMs - base);
        const auto end = wire.end();
        uint8_t how = 0;
        if (m_calm || !m_in.u8(how)) {
            send(base, std::move(wire));
            return;
        }
        const auto share = [&](double of) { return of * m_in.u8Or(0) / 255.0; };
        // On a serial line an answer's bytes follow each other but for short pauses, counted from
        // the last byte sent; elsewhere an answer may stall as long as its reach allows.
        const bool line = m_byteMs > 0;
        const auto stall = [&](double of) { return std::min(share(of), line ? m_pauseMs : of); };
        const auto cutAt = [&] { return wire.begin() + 1 + m_in.u8Or(0) % (wire.size() - 1); };
        switch (how % 8) {
            case 0:  // whole, at once
                send(base, std::move(wire));
                break;
            case 1:  // late
                send(base + share(room), std::move(wire));
                break;
            case 2: {  // split at any byte, each part a while after the last
                const auto at = cutAt();
                const double first = base + share(room / 2);
                send(first, wire.begin(), at);
                const double gap = stall(base + room - first);
                send((line ? m_busyUntil : first) + gap, at, end);
                break;
            }
            case 3: {  // trickled, a byte at a time
                const double gap = stall(room / static_cast<double>(wire.size()));
                for (auto at = wire.begin(); at != end; ++at)
                    send(line && at != wire.begin() ? m_busyUntil + gap
                                                    : base + gap * static_cast<double>(at - wire.begin()),
                         at, at + 1);
                break;
            }
            case 4: {  // cut: the rest never comes
                const auto at = cutAt();
                send(base + share(room), wire.begin(), at);
                break;
            }
            case 5:  // lost
                m_busyUntil = base;
                break;
            case 6: {  // after broken bytes that never make a whole frame
                Bytes broken =
                    m_binary ? Bytes{0xFF, 0xFF} : Bytes{static_cast<uint8_t>('G' + m_in.u8Or(0) % 20)};
                for (uint8_t n = m_in.u8Or(0) % 6; n > 0; --n) {
                    const uint8_t b = m_in.u8Or(0);
                    broken.push_back(b == '\r' || b == '\n' ? 'Q' : b);
                }
                broken.insert(broken.end(), wire.begin(), end);
                send(base + share(room), broken.begin(), broken.end());
                break;
            }
            default:  // within one read time-out or the reach, whichever is sooner
                send(base + share(std::min(room, m_slowMs)), std::move(wire));
                break;
        }
    }

    void send(double at, Bytes::const_iterator from, Bytes::const_iterator to)
    {
        if (from == to)
            return;
        at = std::max(at, m_busyUntil);
        m_busyUntil = at + static_cast<double>(to - from) * m_byteMs;
        m_out.push_back({at, Bytes(from, to), m_byteMs});
    }

    // The same for a whole answer, without a copy.
    void send(double at, Bytes&& bytes)
    {
        if (bytes.empty())
            return;
        at = std::max(at, m_busyUntil);
        m_busyUntil = at + static_cast<double>(bytes.size()) * m_byteMs;
        m_out.push_back({at, std::move(bytes), m_byteMs});
    }

    fuzzing::FuzzInput& m_in;
    const bool m_binary;
    const bool m_crc;
    const std::string m_version;
    double m_reachMs = 0;
    double m_slowMs = 0;
    bool m_calm = false;
    double m_byteMs = 0;
    double m_pauseMs = 0;
    Script m_script;
    Bytes m_partial;
    Bytes m_frame;
    Bytes m_params;
    Bytes m_proofs;
    double m_lastByteAt = 0;
    double m_busyUntil = 0;
    std::deque<Chunk> m_out;
};

// The host's end of the wire, on the target's clock: a wait moves the clock on to the reader's
// next byte or to the wait's end. The lines that use it in turn get a SharedPort each.
class ModelPort
{
public:
    ModelPort(Reader& reader, fuzzing::FuzzInput& in) : m_reader(reader), m_in(in) {}

    // From now on, while the reader is not calm, the input may have a write taken only in part, as
    // a serial driver whose output buffer stays full does (or not, when off).
    void cutWrites(bool on) { m_cuts = on; }

    // From now on the reader has hung up: every read fails at once, as one on a closed line does.
    // A line must see that and give up: it writes nothing more, and reads at most maxReads times
    // in all.
    void hangUp(size_t maxReads)
    {
        m_hungUp = true;
        m_readsLeft = maxReads;
    }

    size_t write(const std::vector<uint8_t>& bytes)
    {
        FUZZ_CHECK(!m_hungUp);
        size_t taken = bytes.size();
        uint8_t how = 0;
        if (m_cuts && !m_reader.calmed() && taken > 1 && m_in.u8(how) && how % 4 == 0)
            taken = 1 + (how >> 2) % (taken - 1);
        m_reader.take(bytes.data(), taken, m_now);
        return taken;
    }

    bool read(size_t want, int waitMs, std::vector<uint8_t>& out)
    {
        out.clear();
        if (m_hungUp) {
            FUZZ_CHECK(m_readsLeft-- > 0);
            m_now += HungUpReadMs;
            return false;
        }
        const double next = m_reader.nextAt();
        if (next < 0 || next > m_now + waitMs) {
            m_now += waitMs;
            return false;
        }
        // A host woken by the first byte of a frame on a serial line reads what has come by the
        // time it runs; here, as much as it wants, if that comes within its wait.
        if (next > m_now)
            m_now = std::min(m_reader.whenSent(want), m_now + waitMs);
        m_reader.pull(m_now, want, &out);
        return true;
    }

    void flush() { m_reader.pull(m_now, SIZE_MAX, nullptr); }

    double now() const { return m_now; }

    // Lets time pass with nobody reading, as the program's pause before it opens a reader again.
    void idle(double ms) { m_now += ms; }

private:
    Reader& m_reader;
    fuzzing::FuzzInput& m_in;
    bool m_cuts = false;
    bool m_hungUp = false;
    size_t m_readsLeft = 0;
    double m_now = StartMs;
};

// A line's port: the wire's host end, which every line on it uses in turn.
class SharedPort : public PRS::Port
{
public:
    explicit SharedPort(ModelPort& port) : m_port(port) {}
    size_t write(const std::vector<uint8_t>& bytes) override { return m_port.write(bytes); }
    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        return m_port.read(want, waitMs, out);
    }
    void flush() override { m_port.flush(); }
    double now() const override { return m_port.now(); }

private:
    ModelPort& m_port;
};

}  // namespace fuzzing::elatec
