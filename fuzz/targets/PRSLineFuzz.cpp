// The Elatec line (PRS) from automatic detection through a run of commands, against a model of the
// reader on a clock of the target's own, so that seconds of lateness cost nothing. The model reads
// what the line sends as the reader of its variant would (another variant's bytes included) and
// answers every frame it takes, in order, once; the input decides how each answer, the probes'
// and the proofs' included, comes: whole, split at any byte, trickled, late, cut, lost, or after
// broken bytes that never make a whole frame. The properties: no command returns a status with an
// answer that is not its own; and once the input is used up (the reader answers every frame whole
// and at once from then on) and the last byte of its earlier answers has come, the line is in step
// at the first command, and every command after that gets its own answer. The line may be replaced
// by a new one on the same wire at any point, as the driver's open does, while the reader still
// owes answers to the old one: the properties hold across it. A reader that answers twice or speaks
// unasked is left out: the line does not guard against one.
//
// How late an answer may come is what the line is made to stand, in read time-outs counted from
// the command it answers: 15 for a reader whose version text has 17 characters or more, the
// length less 2 below that. A reader whose text is 16 characters or shorter answers at once until
// the line has proved itself in step once (which tells it the text's length): before that, the
// limits of its proofs may be any of the 16, whatever the text's length; its line is never
// replaced (a new line does not know the length).
//
// With a card's bytes in its answers, the reader sends as one on a serial line does, a byte at a
// time and an answer's bytes without a pause (what the line's drain before a proof relies on), and
// the long commands' answers carry a card's bytes holding a proof's answers for every limit, behind
// up to 15 kB of zeros, so that a cut can fall anywhere before them.
//
// Input: one byte for the variant (bits 0-1), the read time-out (bits 2-3), whether the line may
// be replaced (bit 4), whether answers carry a card's bytes (bit 5) and whether the line's writes
// after detection may be taken in part (bit 7, which PRS_FUZZ_PART_WRITES=0 or 1 in the
// environment overrides),
// one for the length of the version text (3 to 30 characters), then one byte per command (with
// bit 4, one more before it: 0 modulo 8 replaces the line first) and, as the reader answers, one
// byte per answer for how it comes (with one or two more for where and when), and with bit 7 one
// byte per write for how much of it goes out; once the input is used up (or the commands run out),
// every answer comes whole and at once and every write goes out whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "NFC/Crc16.h"
#include "drivers/ElatecTWN/Framer.h"
#include "drivers/ElatecTWN/PRS.h"
#include "support/Check.h"
#include "support/FuzzInput.h"

namespace {

using Bytes = std::vector<uint8_t>;

const double StartMs = 1000;
// The reader drops a frame left half received this long, as its UART does.
const double ReaderDropGapMs = 200;
const int ReadTimeouts[] = {50, 200, 1000, 5000};
const std::string VersionText = "TWN4/B1.65/X4.06/PRS1.04-ABCDE";
const uint8_t EchoTag = 0xE5;  // sets an echo apart from a version answer
const size_t MaxCommands = 40;
// How long the program waits before it opens a reader that failed again.
const double ReopenPauseMs = 2000;
// Commands that must get their own answers once the line is back in step.
const size_t InStepCommands = 4;
// A byte's time on the reader's serial line at 115200 baud (start, eight data bits, stop).
const double ByteMs = 10 / 115.2;
// The limits a proof may ask for.
const unsigned ProofLimits = 16;

// The read time-outs an answer may be late by, for a reader whose version text has length
// characters.
double reachInTimeouts(size_t length)
{
    return length >= 17 ? 15 : static_cast<double>(length) - 2;
}

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
    // From now on the reader sends as one on a serial line does: a byte every ByteMs, and an
    // answer's bytes without a pause between them.
    void setLineSpeed() { m_byteMs = ByteMs; }

    // What a card may put in an answer: `padding` zero bytes, then for every limit the two answers
    // of a proof with it, framed as the reader frames them. The rest of such an answer, framed anew
    // from where a cut fell, holds a proof's answers whatever the limit.
    Bytes proofShaped(size_t padding) const
    {
        Bytes bytes(padding, 0x00);
        for (unsigned limit = 1; limit <= ProofLimits; ++limit)
            for (const unsigned asked : {limit, 0xFFu}) {
                const Bytes wire = framed(answerTo(0x0004, {static_cast<uint8_t>(asked)}), true);
                bytes.insert(bytes.end(), wire.begin(), wire.end());
            }
        return bytes;
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

    void take(const Bytes& bytes, double at)
    {
        for (const uint8_t byte : bytes) {
            if (!m_partial.empty() && at - m_lastByteAt > ReaderDropGapMs)
                m_partial.clear();
            m_lastByteAt = at;
            if (m_binary)
                takeBinary(byte, at);
            else
                takeAscii(byte, at);
        }
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

    // Moves what reached the host by `at` into inbox.
    void deliver(double at, std::deque<uint8_t>& inbox)
    {
        while (!m_out.empty() && m_out.front().byteAt(m_out.front().sent) <= at) {
            Chunk& chunk = m_out.front();
            do inbox.push_back(chunk.bytes[chunk.sent++]);
            while (chunk.sent < chunk.bytes.size() && chunk.byteAt(chunk.sent) <= at);
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

    void takeBinary(uint8_t byte, double at)
    {
        m_partial.push_back(byte);
        if (m_partial.size() < 2 || m_partial.size() < 2u + (m_partial[0] | m_partial[1] << 8))
            return;
        const Bytes frame(m_partial.begin() + 2, m_partial.end());
        m_partial.clear();
        frameTaken(frame, at);
    }

    void takeAscii(uint8_t byte, double at)
    {
        if (byte == '\r' || byte == '\n') {
            Bytes frame;
            const bool even = m_partial.size() % 2 == 0;
            for (size_t i = 0; even && i < m_partial.size(); i += 2)
                frame.push_back(static_cast<uint8_t>(hex(m_partial[i]) << 4 | hex(m_partial[i + 1])));
            const bool any = !m_partial.empty();
            m_partial.clear();
            if (even && any)
                frameTaken(frame, at);
            return;
        }
        // Anything that is not hex text (another variant's probe, noise) is no command.
        if (hex(byte) < 0)
            m_partial.clear();
        else
            m_partial.push_back(byte);
    }

    static int hex(uint8_t c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    void frameTaken(Bytes frame, double at)
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
        respond(framed(answerTo(static_cast<uint16_t>(frame[0] << 8 | frame[1]),
                                Bytes(frame.begin() + 2, frame.end())),
                       m_binary),
                at);
    }

    // The answer as it goes on the line, in the reader's variant or, binary, in its binary form.
    Bytes framed(const Answer& answer, bool binary) const
    {
        Bytes reply = {answer.status};
        reply.insert(reply.end(), answer.data.begin(), answer.data.end());
        if (m_crc) {
            const uint16_t c = NFC::crc16(reply.data(), reply.size(), 0xFFFF);
            reply.push_back(static_cast<uint8_t>(c));
            reply.push_back(static_cast<uint8_t>(c >> 8));
        }
        Bytes wire;
        if (binary) {
            wire = {static_cast<uint8_t>(reply.size()), static_cast<uint8_t>(reply.size() >> 8)};
            wire.insert(wire.end(), reply.begin(), reply.end());
        } else {
            static const char digits[] = "0123456789ABCDEF";
            for (const uint8_t b : reply) {
                wire.push_back(static_cast<uint8_t>(digits[b >> 4]));
                wire.push_back(static_cast<uint8_t>(digits[b & 0x0F]));
            }
            wire.push_back('\r');
            wire.push_back('\n');
        }
        return wire;
    }

    // Sends wire as the input says, in order after every earlier answer, ending no later than
    // the reach after `taken`.
    void respond(const Bytes& wire, double taken)
    {
        const double base = std::max(taken, m_busyUntil);
        const double room = std::max(0.0, taken + m_reachMs - base);
        const auto end = wire.end();
        uint8_t how = 0;
        if (m_calm || !m_in.u8(how)) {
            send(base, wire.begin(), end);
            return;
        }
        const auto share = [&](double of) { return of * m_in.u8Or(0) / 255.0; };
        // On a serial line an answer's bytes follow each other without a pause.
        const double pause = m_byteMs > 0 ? 0 : 1;
        const auto cutAt = [&] { return wire.begin() + 1 + m_in.u8Or(0) % (wire.size() - 1); };
        switch (how % 8) {
            case 0:  // whole, at once
                send(base, wire.begin(), end);
                break;
            case 1:  // late
                send(base + share(room), wire.begin(), end);
                break;
            case 2: {  // split at any byte, each part a while after the last
                const auto at = cutAt();
                const double first = base + share(room / 2);
                send(first, wire.begin(), at);
                send(first + pause * share(base + room - first), at, end);
                break;
            }
            case 3: {  // trickled, a byte at a time
                const double gap = pause * share(room / static_cast<double>(wire.size()));
                for (auto at = wire.begin(); at != end; ++at)
                    send(base + gap * static_cast<double>(at - wire.begin()), at, at + 1);
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
                send(base + share(std::min(room, m_slowMs)), wire.begin(), end);
                break;
        }
    }

    void send(double at, Bytes::const_iterator from, Bytes::const_iterator to)
    {
        if (from == to)
            return;
        at = std::max(at, m_busyUntil);
        m_out.push_back({at, Bytes(from, to), m_byteMs});
        m_busyUntil = at + static_cast<double>(to - from) * m_byteMs;
    }

    fuzzing::FuzzInput& m_in;
    const bool m_binary;
    const bool m_crc;
    const std::string m_version;
    double m_reachMs = 0;
    double m_slowMs = 0;
    bool m_calm = false;
    double m_byteMs = 0;
    Bytes m_partial;
    double m_lastByteAt = 0;
    double m_busyUntil = 0;
    std::deque<Chunk> m_out;
};

// The line's end of the wire, on the target's clock: a wait moves the clock on to the reader's
// next byte or to the wait's end.
class ModelPort : public PRS::Port
{
public:
    ModelPort(Reader& reader, fuzzing::FuzzInput& in) : m_reader(reader), m_in(in) {}

    // From now on, while the reader is not calm, the input may have a write taken only in part, as
    // a serial driver whose output buffer stays full does (or not, when off).
    void cutWrites(bool on) { m_cuts = on; }

    size_t write(const std::vector<uint8_t>& bytes) override
    {
        size_t taken = bytes.size();
        uint8_t how = 0;
        if (m_cuts && !m_reader.calmed() && taken > 1 && m_in.u8(how) && how % 4 == 0)
            taken = 1 + (how >> 2) % (taken - 1);
        m_reader.take(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(taken)), m_now);
        return taken;
    }

    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        out.clear();
        m_reader.deliver(m_now, m_inbox);
        if (m_inbox.empty()) {
            const double next = m_reader.nextAt();
            if (next < 0 || next > m_now + waitMs) {
                m_now += waitMs;
                return false;
            }
            // A host woken by the first byte of a frame on a serial line reads what has come by
            // the time it runs; here, as much as it wants, if that comes within its wait.
            m_now = std::max(m_now, std::min(m_reader.whenSent(want), m_now + waitMs));
            m_reader.deliver(m_now, m_inbox);
        }
        while (out.size() < want && !m_inbox.empty()) {
            out.push_back(m_inbox.front());
            m_inbox.pop_front();
        }
        return true;
    }

    void flush() override
    {
        m_reader.deliver(m_now, m_inbox);
        m_inbox.clear();
    }

    double now() const override { return m_now; }

    // Lets time pass with nobody reading, as the program's pause before it opens a reader again.
    void idle(double ms) { m_now += ms; }

private:
    Reader& m_reader;
    fuzzing::FuzzInput& m_in;
    bool m_cuts = false;
    double m_now = StartMs;
    std::deque<uint8_t> m_inbox;
};

// What a new line is given of the wire: the same port, which the old line owned.
class SharedPort : public PRS::Port
{
public:
    explicit SharedPort(PRS::Port& port) : m_port(port) {}
    size_t write(const std::vector<uint8_t>& bytes) override { return m_port.write(bytes); }
    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        return m_port.read(want, waitMs, out);
    }
    void flush() override { m_port.flush(); }
    double now() const override { return m_port.now(); }

private:
    PRS::Port& m_port;
};

struct Command
{
    uint16_t code;
    Bytes params;
};

// A card's bytes (proofShaped), when given, stand in for the filler of the long commands.
Command pick(uint8_t choice, uint16_t tag, const Reader* card)
{
    const Bytes tagged = {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)};
    switch (choice % 4) {
        case 2:
            return {0x0004, {0xFF}};
        case 3:
            if ((choice >> 2) % 4 == 0)  // longer than any frame: refused unsent
                return {0x0008, Bytes(ElatecTWN::Framer::MaxFrame, 0x5A)};
            {
                Bytes params = tagged;
                if (card) {
                    const Bytes bytes = card->proofShaped(1024u * (choice >> 4));
                    params.insert(params.end(), bytes.begin(), bytes.end());
                } else {
                    params.resize(params.size() + 16u * (choice >> 4), 0xA5);
                }
                return {0x0008, params};
            }
        default: {
            Bytes params = tagged;
            params.resize(params.size() + (choice >> 2) % 8, static_cast<uint8_t>(choice));
            return {0x0008, params};
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    fuzzing::FuzzInput in(data, size);
    uint8_t setup = in.u8Or(0);
    // Long runs can hold writes whole, or let the input cut them, whatever it says.
    if (const char* cut = getenv("PRS_FUZZ_PART_WRITES"))
        setup = static_cast<uint8_t>((setup & 0x7F) | (cut[0] == '1' ? 0x80 : 0));
    static const PRS::Mode variants[] = {PRS::BINARY, PRS::BINARY_CRC, PRS::ASCII, PRS::ASCII_CRC};
    const PRS::Mode variant = variants[setup & 3];
    const int timeoutMs = ReadTimeouts[(setup >> 2) & 3];
    const std::string version = VersionText.substr(0, 3 + in.u8Or(0) % 28);
    const double reachMs = reachInTimeouts(version.size()) * timeoutMs;

    Reader reader(in, (variant & ~0x10) == PRS::BINARY, (variant & 0x10) != 0, version);
    reader.setSlowMs(timeoutMs / 2.0);
    const bool cards = setup & 0x20;
    if (cards)
        reader.setLineSpeed();
    // Until the line has heard the text whole, a short one must not come late.
    bool heardWhole = version.size() >= 17;
    reader.setReachMs(heardWhole ? reachMs : 0);
    ModelPort line(reader, in);
    auto prs = std::make_unique<PRS>(std::make_unique<SharedPort>(line), PRS::AUTO, nullptr, timeoutMs);
    line.cutWrites(setup & 0x80);
    const bool replaceable = (setup & 0x10) && heardWhole;
    // The program opens a reader again only after a pause, by which time the reader has dropped
    // whatever part of a frame it held. Detection's probes go out whole, as on the first line.
    const auto reopen = [&] {
        prs.reset();
        line.idle(ReopenPauseMs);
        line.cutWrites(false);
        prs = std::make_unique<PRS>(std::make_unique<SharedPort>(line), PRS::AUTO, nullptr, timeoutMs);
        line.cutWrites(setup & 0x80);
    };

    uint16_t tag = 0;
    // Whether the command went out and got its own answer.
    const auto run = [&](const Command& command) {
        const Answer own = reader.answerTo(command.code, command.params);
        Bytes answer = {0xEE};
        const int rc = prs->xfer(command.code, &command.params, &answer);
        FUZZ_CHECK(rc == PRS::TransferFailed || rc == PRS::CrcFailed || (rc >= 0 && rc <= 0xFF));
        if (rc < 0)
            return false;
        FUZZ_CHECK(rc == own.status);
        FUZZ_CHECK(answer == own.data);
        if (!heardWhole) {
            heardWhole = true;
            reader.setReachMs(reachMs);
        }
        return true;
    };
    for (size_t i = 0; i < MaxCommands && !in.empty(); ++i) {
        if (replaceable && in.u8Or(0) % 8 == 0)
            reopen();
        run(pick(in.u8Or(0), ++tag, cards ? &reader : nullptr));
    }

    // Recovery. Every answer the reader still owes comes within the reach, ahead of any later one:
    // until the last of it has come the commands may fail (each waits a while, so they come to an
    // end).
    reader.calm();
    const auto echo = [&tag] {
        ++tag;
        return Command{0x0008, {static_cast<uint8_t>(tag >> 8), static_cast<uint8_t>(tag)}};
    };
    for (const double owed = reader.lastAt(); line.now() < owed;) run(echo());
    // A line that could read none of the probes' answers speaks plain ASCII, which only a reader
    // of that variant answers; one that took noise, or an answer owed to the line before it, for a
    // probe's answer in another variant speaks that. Either finds no answer to its commands: the
    // program opens the reader again, and then finds its variant.
    if (prs->mode() != variant && !(prs->mode() == PRS::UNDETECTED && variant == PRS::ASCII)) {
        reopen();
        FUZZ_CHECK(prs->mode() == variant);
    }
    // In step at the first command: everything the reader sent has come, and the proof drains it
    // first. Until a proof has shown a short text's length, within the 16 proofs' cycle (only those
    // whose limit is below the text's length can be answered); a line that heard no probe answer
    // yet gives one command more to finding the variant.
    const size_t within = (heardWhole ? 1 : 16) + (prs->mode() == PRS::UNDETECTED ? 1 : 0);
    size_t tries = 1;
    while (!run(echo())) FUZZ_CHECK(++tries <= within);
    for (size_t i = 1; i < InStepCommands; ++i) FUZZ_CHECK(run(echo()));
    return 0;
}
