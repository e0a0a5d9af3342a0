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
// time at 115200 down to 9600 baud, and an answer's bytes with pauses of a few ms at most, short of
// the quiet the line's drain before a proof waits for; the long commands' answers carry a card's
// bytes holding a proof's answers for every limit, behind up to 15 kB of zeros, so that a cut can
// fall anywhere before them.
//
// Input: one byte for the variant (bits 0-1), the read time-out (bits 2-3), whether the line may
// be replaced (bit 4), whether answers carry a card's bytes (bit 5), whether the input chooses the
// line's speed and pauses for them (bit 6) and whether the line's writes after detection may be
// taken in part (bit 7, which PRS_FUZZ_PART_WRITES=0 or 1 in the environment overrides),
// one for the length of the version text (3 to 30 characters), with bits 5 and 6 one for the line
// (modulo 12, the byte time in 115200 baud's: 115200 to 9600 baud; divided by 12, modulo 8, the
// longest pause in ms), then one byte per command (with
// bit 4, one more before it: 0 modulo 8 replaces the line first) and, as the reader answers, one
// byte per answer for how it comes (with one or two more for where and when), and with bit 7 one
// byte per write for how much of it goes out; once the input is used up (or the commands run out),
// every answer comes whole and at once and every write goes out whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drivers/ElatecTWN/Framer.h"
#include "drivers/ElatecTWN/PRS.h"
#include "support/Check.h"
#include "support/ElatecModel.h"
#include "support/FuzzInput.h"

namespace {

using namespace fuzzing::elatec;

const int ReadTimeouts[] = {50, 200, 1000, 5000};
const std::string VersionText = "TWN4/B1.65/X4.06/PRS1.04-ABCDE";
const size_t MaxCommands = 40;
// How long the program waits before it opens a reader that failed again.
const double ReopenPauseMs = 2000;
// Commands that must get their own answers once the line is back in step.
const size_t InStepCommands = 4;

// The read time-outs an answer may be late by, for a reader whose version text has length
// characters.
double reachInTimeouts(size_t length)
{
    return length >= 17 ? 15 : static_cast<double>(length) - 2;
}

struct Command
{
    uint16_t code;
    Bytes params;
};

// A card's bytes (proofShaped), when given, stand in for the filler of the long commands.
Command pick(uint8_t choice, uint16_t tag, Reader* card)
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
                if (card)
                    card->proofShaped(1024u * (choice >> 4), params);
                else
                    params.resize(params.size() + 16u * (choice >> 4), 0xA5);
                return {0x0008, std::move(params)};
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
    if (cards) {
        const uint8_t line = setup & 0x40 ? in.u8Or(0) : 0;
        reader.setLine(ByteMs * (1 + line % 12), line / 12 % 8);
    }
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
        Bytes answer = {0xEE};
        const int rc = prs->xfer(command.code, &command.params, &answer);
        FUZZ_CHECK(rc == PRS::TransferFailed || rc == PRS::CrcFailed || (rc >= 0 && rc <= 0xFF));
        if (rc < 0)
            return false;
        const Answer own = reader.answerTo(command.code, command.params);
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
