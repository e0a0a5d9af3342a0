// The Elatec host protocol below the driver: CRC, the byte-fed framer, PRS exchanges against the
// emulated reader (faults included) and the command set's answer checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "NFC/Crc16.h"
#include "PartWritePort.h"
#include "PeerProcess.h"
#include "StderrCapture.h"
#include "TestSupport.h"
#include "core/Log.h"
#include "drivers/ElatecTWN/Elatec.h"
#include "drivers/ElatecTWN/Framer.h"
#include "drivers/ElatecTWN/PRS.h"
#include "emulators/ElatecReader.h"
#include "emulators/Hex.h"
#include "emulators/ScriptedCard.h"
#include "emulators/ScriptedSam.h"
#include "support/ElatecModel.h"
#include "support/FuzzInput.h"

using ElatecTWN::Framer;
using emulators::Bytes;
using emulators::ElatecReader;
using emulators::fromHex;
using Fault = ElatecReader::Fault;

namespace {

uint16_t crcOf(const std::string& text, uint16_t start)
{
    return NFC::crc16(reinterpret_cast<const uint8_t*>(text.data()), text.size(), start);
}

TEST(ElatecCrc, MatchesPublishedCheckValuesAndTheReaderFrames)
{
    EXPECT_EQ(crcOf("123456789", 0xFFFF), 0x6F91);  // CRC-16/MCRF4XX
    const Bytes probe = {0x00, 0x05};
    EXPECT_EQ(NFC::crc16(probe.data(), probe.size(), 0xFFFF), 0xA715);
    const Bytes beep = fromHex("04 07 32 28 0A 46 00 00 00");
    EXPECT_EQ(NFC::crc16(beep.data(), beep.size(), 0xFFFF), 0xB9BF);
    EXPECT_EQ(ElatecReader::crc(beep), 0xB9BF);  // the emulator computes it its own way

    // ISO 14443-3 CRC_A is the same register with another start value (0xC6C6 reflected).
    const auto vectors = testsupport::loadVectors("reveng_crc_catalogue_check_values.json");
    bool found = false;
    for (const auto& c : vectors["cases"]) {
        if (c["name"] != "CRC-16/ISO-IEC-14443-3-A")
            continue;
        found = true;
        const uint16_t check = static_cast<uint16_t>(std::stoul(c["check"].get<std::string>(), nullptr, 16));
        EXPECT_EQ(crcOf(vectors["check_input_ascii"].get<std::string>(), 0x6363), check);
    }
    EXPECT_TRUE(found);
}

Framer::Result feedAll(Framer& framer, const Bytes& bytes, size_t& consumed)
{
    return framer.feed(bytes.data(), bytes.size(), consumed);
}

TEST(ElatecFramer, BinaryFramesAtLengthBoundaries)
{
    for (size_t length : {size_t(1), size_t(255), size_t(256), size_t(0xFFFF)}) {
        Bytes frame(length);
        for (size_t i = 0; i < length; ++i) frame[i] = static_cast<uint8_t>(i * 7);
        Bytes wire;
        ASSERT_TRUE(Framer::encode(Framer::Transport::Binary, frame, wire));
        ASSERT_EQ(wire.size(), length + 2);
        EXPECT_EQ(wire[0] | wire[1] << 8, static_cast<int>(length));

        Framer framer(Framer::Transport::Binary);
        size_t consumed = 0;
        // One byte short is still waiting, and a time-out then is a truncation.
        const Bytes shortWire(wire.begin(), wire.end() - 1);
        EXPECT_EQ(feedAll(framer, shortWire, consumed), Framer::Result::NeedMore);
        EXPECT_EQ(framer.wanted(), 1u);
        EXPECT_EQ(framer.finish(), Framer::Result::Truncated);
        const Bytes last(wire.end() - 1, wire.end());
        ASSERT_EQ(feedAll(framer, last, consumed), Framer::Result::Frame);
        EXPECT_EQ(framer.frame(), frame);
    }
    Bytes wire;
    EXPECT_FALSE(Framer::encode(Framer::Transport::Binary, Bytes(0x10000), wire));
    EXPECT_TRUE(wire.empty());
}

TEST(ElatecFramer, StopsAtFrameEndAndStartsAfresh)
{
    Framer framer(Framer::Transport::Binary);
    const Bytes two = fromHex("02 00 00 AA 01 00 00");
    size_t consumed = 0;
    ASSERT_EQ(feedAll(framer, two, consumed), Framer::Result::Frame);
    EXPECT_EQ(consumed, 4u);
    EXPECT_EQ(framer.frame(), fromHex("00 AA"));
    ASSERT_EQ(framer.feed(two.data() + consumed, two.size() - consumed, consumed), Framer::Result::Frame);
    EXPECT_EQ(framer.frame(), fromHex("00"));

    Framer idle(Framer::Transport::Binary);
    EXPECT_EQ(idle.finish(), Framer::Result::NeedMore);  // nothing came: no answer, not a truncation
    EXPECT_EQ(idle.wanted(), 2u);
}

TEST(ElatecFramer, AsciiLinesEndAtCrOrLfAndRejectNonHex)
{
    Framer framer(Framer::Transport::Ascii);
    size_t consumed = 0;
    const std::string input = "00A1\r\n0B\n";
    const Bytes bytes(input.begin(), input.end());
    ASSERT_EQ(feedAll(framer, bytes, consumed), Framer::Result::Frame);
    EXPECT_EQ(framer.frame(), fromHex("00 A1"));
    EXPECT_EQ(framer.text(), "00A1");
    // The LF of the CR LF pair is no line of its own.
    ASSERT_EQ(framer.feed(bytes.data() + consumed, bytes.size() - consumed, consumed), Framer::Result::Frame);
    EXPECT_EQ(framer.frame(), fromHex("0B"));

    const std::string odd = "ABC\r";
    ASSERT_EQ(feedAll(framer, Bytes(odd.begin(), odd.end()), consumed), Framer::Result::BadText);
    EXPECT_EQ(framer.error(), "Odd length!");
    const std::string junk = "0G\r";
    ASSERT_EQ(feedAll(framer, Bytes(junk.begin(), junk.end()), consumed), Framer::Result::BadText);
    EXPECT_EQ(framer.error(), "Not a hex digit!");
    // And it recovers on the next line.
    const std::string good = "00\r";
    ASSERT_EQ(feedAll(framer, Bytes(good.begin(), good.end()), consumed), Framer::Result::Frame);
    EXPECT_EQ(framer.frame(), Bytes{0x00});

    Framer partial(Framer::Transport::Ascii);
    const std::string cut = "0012";
    EXPECT_EQ(feedAll(partial, Bytes(cut.begin(), cut.end()), consumed), Framer::Result::NeedMore);
    EXPECT_EQ(partial.finish(), Framer::Result::Truncated);
}

TEST(ElatecFramer, OverlongAsciiLineIsSkippedWhole)
{
    // The longest line a frame can make is taken; one digit more is not.
    for (const size_t digits : {2 * Framer::MaxFrame, 2 * Framer::MaxFrame + 1}) {
        Framer framer(Framer::Transport::Ascii);
        Bytes line(digits, '0');
        line.push_back('\r');
        size_t consumed = 0;
        EXPECT_EQ(feedAll(framer, line, consumed),
                  digits == 2 * Framer::MaxFrame ? Framer::Result::Frame : Framer::Result::TooLarge)
            << digits;
    }

    Framer framer(Framer::Transport::Ascii);
    Bytes line(2 * Framer::MaxFrame + 10, 'A');
    line.push_back('\r');
    const std::string next = "0102\r";
    line.insert(line.end(), next.begin(), next.end());
    size_t consumed = 0;
    ASSERT_EQ(feedAll(framer, line, consumed), Framer::Result::TooLarge);
    ASSERT_EQ(framer.feed(line.data() + consumed, line.size() - consumed, consumed), Framer::Result::Frame);
    EXPECT_EQ(framer.frame(), fromHex("01 02"));
}

class PRSTest : public ::testing::TestWithParam<ElatecReader::Mode>
{
protected:
    ElatecReader reader{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Modes, PRSTest,
                         ::testing::Values(ElatecReader::Mode::BinaryCrc, ElatecReader::Mode::AsciiCrc),
                         [](const auto& info) { return ElatecReader::modeName(info.param); });

TEST_P(PRSTest, CrcModeFaultsAreTellableApart)
{
    PRS prs(reader.devicePath(), static_cast<PRS::Mode>(GetParam()));
    Bytes answer = {0xEE};
    const Bytes untouched = answer;

    // Answers too short to hold a status byte and a CRC: a CRC failure, nothing read past them.
    reader.inject({Fault::ShortAnswer, 2, 0x0005});
    EXPECT_EQ(prs.xfer(0x0005, nullptr, &answer), PRS::CrcFailed);
    reader.inject({Fault::ShortAnswer, 1, 0x0005});
    EXPECT_EQ(prs.xfer(0x0005, nullptr, &answer), PRS::CrcFailed);
    reader.inject({Fault::BadCrc, 0, 0x0005});
    EXPECT_EQ(prs.xfer(0x0005, nullptr, &answer), PRS::CrcFailed);
    EXPECT_EQ(answer, untouched);

    // The reader's own refusal is its status, with its data still handed over.
    reader.inject({Fault::Status, 0x0B, 0x0005});
    EXPECT_EQ(prs.xfer(0x0005, nullptr, &answer), 0x0B);
    EXPECT_EQ(answer, Bytes{0x01});

    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
    EXPECT_EQ(answer, fromHex("7E 11 02 03 44 55 66 77"));
    EXPECT_EQ(prs.xfer(0x0008, nullptr, nullptr), 0);
}

TEST_P(PRSTest, ShortBodyFailsAndTheLineRecovers)
{
    PRS prs(reader.devicePath(), static_cast<PRS::Mode>(GetParam()));
    Bytes answer = {0xEE};
    reader.inject({Fault::Truncate, 3});
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), PRS::TransferFailed);
    EXPECT_EQ(answer, Bytes{0xEE});
    // A busy machine may let the cut answer come only after the command gave up: the next one
    // would then meet it, and be in step only at the command after.
    ASSERT_TRUE(reader.waitForIdle(testsupport::PeerDeadlineMs));
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
    EXPECT_EQ(answer, fromHex("7E 11 02 03 44 55 66 77"));

    // An empty binary frame is the command's own all the same: it fails, and the next goes out
    // unproved. (An empty line is no frame: the ASCII variants wait on, and a time-out follows.)
    if (GetParam() != ElatecReader::Mode::BinaryCrc)
        return;
    reader.inject({Fault::ShortAnswer, 0, 0x0008});
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), PRS::TransferFailed);
    reader.clearReceived();
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
    EXPECT_EQ(reader.received().size(), 1u);
}

// Every exchange the reader answers, a proof or a command, meets its fate in turn: on time, late,
// never, trickled or cut. The reader echoes each command's sequence number, so a command that
// returns a status must hold its own; the others fail. What went wrong, or nothing.
// With a version text, the line first learns its length from a proof. The first write goes out
// only partWrite bytes far when that is not 0.
std::string runSchedule(ElatecReader::Mode mode, const std::vector<Fault>& fates, const std::string& version,
                        size_t partWrite)
{
    ElatecReader reader(mode);
    reader.setDeviceUID({});
    reader.setEcho(true);
    if (!version.empty())
        reader.setVersion(version);
    PRS prs(std::make_unique<testsupport::PartWritePort>(reader.devicePath(), partWrite),
            static_cast<PRS::Mode>(mode));
    // A text shorter than some proofs' limits is first shown by one whose limit is below it.
    const Bytes whole = {0xFF};
    int tries = 0;
    while (!version.empty() && prs.xfer(0x0004, &whole, nullptr) != 0)
        if (++tries == 16)
            return "version query failed";
    for (const Fault& fate : fates) reader.inject(fate);
    std::string failures;
    uint8_t sequence = 0;
    const auto command = [&] {
        const Bytes own = {++sequence};
        Bytes answer;
        const int rc = prs.xfer(0x0008, &own, &answer);
        if (rc >= 0 && answer != own)
            failures += std::to_string(sequence) + " took " + emulators::toHex(answer) + "; ";
        return rc;
    };
    // The part reaches the reader before the next command's flush could drop it from the line.
    // The reader takes it for the start of a frame, which the next bytes would complete into one
    // of no use: the next command waits until the reader has dropped it, and gets its answer.
    if (partWrite > 0 && (command() >= 0 || !reader.waitForBytes(partWrite, testsupport::PeerDeadlineMs)))
        return "the part never reached the reader";
    if (partWrite > 0 && command() != 0)
        failures += "the command after the part failed; ";
    do command();
    while (!reader.waitForIdle(0) && sequence < 60);
    // Once the reader has answered all it was sent, the line is in step at the next command (no
    // rest of a cut answer can meet its proof any more, in the binary variants either) and stays so.
    if (!reader.waitForIdle(testsupport::PeerDeadlineMs))
        return failures + "the reader never caught up";
    for (const uint8_t caughtUp = sequence; sequence - caughtUp < 4;)
        if (command() != 0)
            failures += "failed at " + std::to_string(sequence) + "; ";
    return failures;
}

// 12 exchanges, half on time; no answer comes more than 10 s late, the delays ahead of it
// included (a trickled answer is at most 46 bytes on the line).
std::vector<Fault> randomFates(unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<Fault> fates;
    for (int i = 0, budgetMs = 10000; i < 12; ++i) {
        const int pick = static_cast<int>(random() % 8), value = static_cast<int>(random() % 1000);
        const Fault fate = pick == 0   ? Fault{Fault::Delay, std::min(budgetMs, 1500 + value * 8)}
                           : pick == 1 ? Fault{Fault::Drop}
                           : pick == 2 ? Fault{Fault::Trickle, std::min(budgetMs / 46, 20 + value / 10)}
                           : pick == 3 ? Fault{Fault::Truncate, 1 + value % 4}
                                       : Fault{Fault::Delay, 0};
        budgetMs -= fate.kind == Fault::Trickle ? 46 * fate.value
                    : fate.kind == Fault::Delay ? fate.value
                                                : 0;
        fates.push_back(fate);
    }
    return fates;
}

// The reader's line, on a clock of the program's own that moves only while the line waits in vain:
// however long a busy machine takes to carry the reader's bytes, no bound passes meanwhile. It tells
// whether the line waits for input with all that came taken off it (what it drops is read off, so
// that it counts too).
class WatchedLine : public PRS::Port
{
public:
    explicit WatchedLine(const std::string& device) : m_line(PRS::serialLine(device)) {}
    size_t write(const std::vector<uint8_t>& bytes) override { return m_line->write(bytes); }
    bool read(size_t want, int waitMs, std::vector<uint8_t>& out) override
    {
        took(0, true);
        const bool came = m_line->read(want, waitMs, out);
        took(came ? out.size() : 0, false);
        m_now += came ? 0 : waitMs;
        return came;
    }
    void flush() override
    {
        for (std::vector<uint8_t> out; m_line->read(4096, 0, out);) took(out.size(), false);
    }
    double now() const override { return m_now + m_passed; }
    // Moves the clock on, as though the line had waited that long.
    void pass(double ms) { m_passed = m_passed + ms; }
    bool waitsHaving(size_t taken) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_waiting && m_taken == taken;
    }

private:
    void took(size_t bytes, bool waiting)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_taken += bytes;
        m_waiting = waiting;
    }

    std::unique_ptr<PRS::Port> m_line;
    mutable std::mutex m_mutex;
    size_t m_taken = 0;
    bool m_waiting = false;
    double m_now = 0;
    std::atomic<double> m_passed{0};
};

// A line longer than any answer is cut at the framer's limit, and its rest may come only after the
// next command went out: that command never takes it for its own answer, nor gives up its wait
// for one.
TEST(PRSLine, RestOfAnOverlongLineIsNeverTakenForTheNextAnswer)
{
    ElatecReader reader(ElatecReader::Mode::Ascii);
    PRS prs(std::make_unique<WatchedLine>(reader.devicePath()), PRS::ASCII);
    // The last 14 characters, six zero bytes and CR LF, wait for the next command.
    reader.setDeviceUID(Bytes(Framer::MaxFrame + 10, 0x00));
    reader.inject({Fault::Overtaken, 14, 0x0008});
    Bytes answer;
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), PRS::TransferFailed);
    ASSERT_TRUE(reader.waitForHeld(1, testsupport::PeerDeadlineMs));
    const Bytes uid = fromHex("7E 11 02 03 44 55 66 77");
    reader.setDeviceUID(uid);
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
    EXPECT_EQ(answer, uid);

    // Held whole until the next command's proof went out, such a line does not cut the proof's wait
    // short: the proof's own answers follow it, and the command gets its answer.
    reader.setDeviceUID(Bytes(Framer::MaxFrame + 10, 0x00));
    reader.inject({Fault::Overtaken, 0, 0x0008});
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), PRS::TransferFailed);
    ASSERT_TRUE(reader.waitForHeld(2, testsupport::PeerDeadlineMs));
    reader.setDeviceUID(uid);
    EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
    EXPECT_EQ(answer, uid);
}

TEST(PRSLine, LateAnswerIsNeverTakenForTheNextCommand)
{
    const Fault ok{Fault::Delay, 0};
    std::vector<std::vector<Fault>> schedules = {
        // Three or more lost answers, then the reader answers all it was sent, in order.
        {ok, ok, ok, {Fault::Delay, 5000}},
        {ok, ok, ok, {Fault::Delay, 7000}},
        {ok, {Fault::Delay, 10000}},
        // Lost only until the next command goes out, whose own answer is then 2 s late; cut, its
        // rest coming just after the next command's proof went out.
        {{Fault::Overtaken, 0, 0x0008}, {Fault::Delay, 2000, 0x0008}},
        {ok, {Fault::Overtaken, 3, 0x0008}},
        // A part frame and a long silence are no quiet line.
        {ok, ok, {Fault::Trickle, 900}},
        std::vector<Fault>(5, Fault{Fault::Drop}),
        std::vector<Fault>(6, Fault{Fault::Delay, 1500}),
    };
    for (unsigned seed = 1; seed <= 4; ++seed) schedules.push_back(randomFates(seed));
    // The first command goes out only that far: the reader takes what comes next for the rest.
    std::vector<size_t> partWrites(schedules.size(), 0);
    for (const size_t keep : {1, 4}) {
        schedules.emplace_back();
        partWrites.push_back(keep);
    }
    // From here on the reader's whole version text is shorter than the longest proof, and the line
    // has heard it. Eight losses in a row take the proofs round their shorter cycle, then an answer
    // 5 s late.
    const size_t shortText = schedules.size();
    schedules.push_back(std::vector<Fault>(8, Fault{Fault::Drop}));
    schedules.back().push_back({Fault::Delay, 5000});
    // A late answer shaped like the first proof's, with other text than the reader's.
    schedules.push_back({{Fault::Delay, 1500, ElatecReader::AnyCommand, {3, 'x', 'y', 'z'}}});
    partWrites.resize(schedules.size(), 0);
    // Each on a reader of its own and all at once, since the waits are real ones.
    const ElatecReader::Mode modes[] = {ElatecReader::Mode::Binary, ElatecReader::Mode::BinaryCrc,
                                        ElatecReader::Mode::Ascii, ElatecReader::Mode::AsciiCrc};
    std::vector<std::future<std::string>> runs;
    for (const auto& fates : schedules)
        for (auto mode : modes)
            runs.push_back(std::async(std::launch::async, runSchedule, mode, fates,
                                      runs.size() / 4 >= shortText ? "TWN4/B1.65" : "",
                                      partWrites[runs.size() / 4]));
    for (size_t i = 0; i < runs.size(); ++i)
        EXPECT_EQ(runs[i].get(), "") << "schedule " << i / 4 << ", " << ElatecReader::modeName(modes[i % 4]);
}

// One receive ends within the read time-out and a second from the moment its command went out,
// however the reader trickles its bytes: an answer whose last bytes come just inside that is
// taken (at the bound itself too), one completed just past it is not. The wait for a proof's answer
// ends the same way, whatever follows it or floods it, and its command then stays unsent.
TEST_P(PRSTest, AnswerCountsOnlyWhenCompleteWithinTheBound)
{
    std::atomic<double> now{0}, step{0};
    std::atomic<size_t> held{0};
    const PRS::TimeSource clock = [&] {
        // One step on at each reading, in one exchange: a plain store could undo a time the
        // test set between this reading and it.
        double value = now.load();
        while (!now.compare_exchange_weak(value, value + step.load())) {
        }
        return value;
    };
    auto line = std::make_unique<WatchedLine>(reader.devicePath());
    WatchedLine& watched = *line;
    PRS prs(std::move(line), static_cast<PRS::Mode>(GetParam()), clock);
    const auto judge = [&](PRS& line, std::initializer_list<std::pair<double, bool>> rows) {
        for (const auto& [completedAt, taken] : rows) {
            SCOPED_TRACE(completedAt);
            now = 0;
            reader.inject({Fault::Held, 3, 0x0008});
            auto exchange = std::async(std::launch::async, [&line] {
                Bytes answer;
                const int rc = line.xfer(0x0008, nullptr, &answer);
                return std::make_pair(rc, answer);
            });
            ASSERT_TRUE(reader.waitForHeld(++held, testsupport::PeerDeadlineMs));
            now = completedAt;
            reader.release();
            const auto [rc, answer] = exchange.get();
            if (taken) {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(answer, fromHex("7E 11 02 03 44 55 66 77"));
            } else {
                EXPECT_EQ(rc, PRS::TransferFailed);
            }
        }
    };
    judge(prs, {{1999, true}, {2000, true}, {2001, false}});

    // The wait for a proof's answers counts from the proof's start: held past the bound, first the
    // answer the last command gave up on (whole: its rest, left on the line once its bound passed,
    // is there before the next command goes out), then the proof's last (its last two bytes): the
    // command stays unsent, and the next command gets its answer, after a proof of its own where
    // the proof's answers had not all come.
    ASSERT_TRUE(reader.waitForIdle(testsupport::PeerDeadlineMs));
    for (const uint16_t late : {0x0008, 0x0004}) {
        SCOPED_TRACE(late == 0x0008 ? "the last command's answer" : "the proof's own answer");
        now = 0;
        reader.inject({late == 0x0008 ? Fault::Held : Fault::BadCrc, 0, 0x0008});
        if (late == 0x0004) {
            reader.inject({Fault::Delay, 0, late});
            reader.inject({Fault::Held, 2, late});
        }
        ++held;
        EXPECT_LT(prs.xfer(0x0008, nullptr, nullptr), 0);
        const size_t heard = reader.bytesReceived();
        auto next = std::async(std::launch::async, [&prs] { return prs.xfer(0x0005, nullptr, nullptr); });
        // The proof out, the answer held and all before its held part read: the line waits for the rest.
        ASSERT_TRUE(testsupport::eventually([&] {
            return reader.bytesReceived() > heard && reader.waitForHeld(held, 0) &&
                   watched.waitsHaving(reader.bytesSent());
        }));
        now = 2001;
        watched.pass(2001);
        reader.release();
        EXPECT_EQ(next.get(), PRS::TransferFailed);
        ASSERT_TRUE(reader.waitForIdle(testsupport::PeerDeadlineMs));
        reader.clearReceived();
        Bytes answer;
        EXPECT_EQ(prs.xfer(0x0005, nullptr, &answer), 0);
        EXPECT_EQ(answer, Bytes{0x01});
        EXPECT_EQ(reader.received().size(), late == 0x0008 ? 3u : 1u);
    }

    // A line given a longer read time-out moves its bound with it.
    {
        PRS slower(reader.devicePath(), PRS::AUTO, clock, 2500);
        judge(slower, {{3500, true}, {3501, false}});
        ASSERT_TRUE(reader.waitForIdle(testsupport::PeerDeadlineMs));
    }

    // Frames that are no answer, as fast as the line takes them, in place of the proof's answer,
    // then a long answer that keeps coming a byte at a time; each reading of the clock moves it on
    // 50 ms, so each wait ends long before the line's own clock would end it.
    const Bytes bad =
        GetParam() == ElatecReader::Mode::BinaryCrc ? fromHex("00 00") : Bytes{'Z', 'Z', '\r', '\n'};
    Bytes flood;
    for (int i = 0; i < 64; ++i) flood.insert(flood.end(), bad.begin(), bad.end());
    reader.inject({Fault::BadCrc, 0, 0x0005});
    EXPECT_EQ(prs.xfer(0x0005, nullptr, nullptr), PRS::CrcFailed);
    reader.inject({Fault::Flood, 0, 0x0004, flood});
    reader.inject({Fault::Trickle, 1, 0x0005, Bytes(5000)});
    step = 50;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "flooded" : "trickled");
        auto exchange = std::async(std::launch::async, [&prs] { return prs.xfer(0x0005, nullptr, nullptr); });
        // Within the read time-out (a busy machine may take most of it): the line's own clock
        // ends the wait only after a second more.
        const bool ended = exchange.wait_for(std::chrono::milliseconds(2000)) == std::future_status::ready;
        if (i == 0)
            reader.release();  // the flood stops either way
        EXPECT_TRUE(ended);
        EXPECT_EQ(exchange.get(), PRS::TransferFailed);
    }
}

TEST(PRSDetection, UndetectedReaderIsSpokenToInPlainAscii)
{
    // The reader wakes after the probes. Its answer to the first command, when it comes only
    // after that command gave up, is late like any other: the next command must not take it.
    for (const bool firstLate : {false, true}) {
        SCOPED_TRACE(firstLate ? "first answer with the next command" : "first answer on time");
        ElatecReader reader(ElatecReader::Mode::Silent);
        reader.setDeviceUID({});
        reader.setEcho(true);
        PRS prs(reader.devicePath(), PRS::AUTO);
        EXPECT_EQ(prs.mode(), PRS::UNDETECTED);
        ASSERT_TRUE(reader.waitForIdle(testsupport::PeerDeadlineMs));  // every probe unheard
        reader.setMode(ElatecReader::Mode::Ascii);
        if (firstLate)
            reader.inject({Fault::Overtaken, 0, 0x0008});
        for (const uint8_t own : {1, 2}) {
            const Bytes params = {own};
            const bool lost = firstLate && own == 1;
            Bytes answer;
            EXPECT_EQ(prs.xfer(0x0008, &params, &answer), lost ? PRS::TransferFailed : 0);
            EXPECT_EQ(answer, lost ? Bytes{} : params);
        }
        const auto received = reader.received();
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received.front().wire, Bytes({'0', '0', '0', '8', '0', '1', '\r'}));
    }
}

TEST(PRSDetection, EachProbeFindsItsVariant)
{
    for (auto mode : {ElatecReader::Mode::Binary, ElatecReader::Mode::BinaryCrc, ElatecReader::Mode::Ascii,
                      ElatecReader::Mode::AsciiCrc}) {
        SCOPED_TRACE(ElatecReader::modeName(mode));
        ElatecReader reader(mode);
        PRS prs(reader.devicePath(), PRS::AUTO);
        // Never another variant; undetected only when the reader answered too late for the probes'
        // waits (a loaded host), which the first command still tells.
        EXPECT_TRUE(prs.mode() == static_cast<PRS::Mode>(mode) || prs.mode() == PRS::UNDETECTED)
            << prs.mode();
        Bytes answer;
        EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
        EXPECT_EQ(prs.mode(), static_cast<PRS::Mode>(mode));
        // The first probe that reached the reader as a command is the USB-type query.
        const auto received = reader.received();
        ASSERT_FALSE(received.empty());
        EXPECT_EQ(received[0].command, 0x0005);
        EXPECT_TRUE(received[0].params.empty());
    }
}

TEST(PRSDetection, ALateProbeAnswerStillIdentifiesTheVariant)
{
    // The reader answers its probe only while a later probe, or a command, is out, as a loaded
    // host or a busy USB link makes it; the binary reader without CRC also answers the binary
    // probe with CRC that follows, and the readers of one transport choke on the other's probes.
    // The command that hears it still gets its own answer.
    const Fault untilNextBytes{Fault::Overtaken, 0, 0x0005};
    // What goes before the command that gets its answer.
    enum Before
    {
        Nothing,
        Refused,    // a command longer than any frame: refused unsent, it changes nothing
        Unanswered  // a command that listens for the probe's answer in vain
    };
    const struct
    {
        ElatecReader::Mode mode;
        std::vector<Fault> probeAnswers;
        const char* what;
        Before before;
    } cases[] = {
        {ElatecReader::Mode::Binary, {{Fault::Delay, 150, 0x0005}}, "150 ms late", Nothing},
        {ElatecReader::Mode::Ascii, {{Fault::Delay, 150, 0x0005}}, "150 ms late", Nothing},
        {ElatecReader::Mode::BinaryCrc, {{Fault::Delay, 250, 0x0005}}, "250 ms late", Nothing},
        {ElatecReader::Mode::BinaryCrc, {{Fault::Delay, 700, 0x0005}}, "700 ms late", Nothing},
        // The reader's answer to the probe with CRC meets the first command after the settle,
        // which must not take it for the proof.
        {ElatecReader::Mode::Binary, {untilNextBytes, untilNextBytes}, "both answers late", Nothing},
        // The one probe the reader takes is the last: its answer comes only with the next bytes.
        {ElatecReader::Mode::AsciiCrc, {untilNextBytes}, "answer with the first command sent", Refused},
        // Held until the first command has listened for it in vain: the next one listens again.
        {ElatecReader::Mode::Binary, {{Fault::Held, 0, 0x0005}}, "answer after a command", Unanswered},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ElatecReader::modeName(c.mode) + ", " + c.what);
        ElatecReader reader(c.mode);
        for (const Fault& fault : c.probeAnswers) reader.inject(fault);
        PRS prs(reader.devicePath(), PRS::AUTO);
        Bytes answer;
        if (c.before == Refused) {
            const Bytes tooLong(Framer::MaxFrame);
            EXPECT_EQ(prs.xfer(0x0008, &tooLong, &answer), PRS::TransferFailed);
        }
        if (c.before == Unanswered) {
            EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), PRS::TransferFailed);
            reader.release();
            ASSERT_TRUE(reader.waitForReleased(1, testsupport::PeerDeadlineMs));
        }
        EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
        EXPECT_EQ(answer, fromHex("7E 11 02 03 44 55 66 77"));
        EXPECT_EQ(prs.mode(), static_cast<PRS::Mode>(c.mode));
        if (c.mode != ElatecReader::Mode::BinaryCrc)
            continue;

        // That first command waited for a quiet line before its proof; later proofs, after a CRC
        // failure (its length prefix may have been hit too), do not.
        double fastestMs = 1e9;
        for (int i = 0; i < 3; ++i) {
            reader.inject({Fault::BadCrc, 0, 0x0008});
            EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), PRS::CrcFailed);
            reader.clearReceived();
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(prs.xfer(0x0008, nullptr, &answer), 0);
            fastestMs = std::min(fastestMs, testsupport::msSince(start));
            const auto received = reader.received();
            ASSERT_EQ(received.size(), 3u);
            EXPECT_EQ(received[0].command, 0x0004);
        }
        EXPECT_LT(fastestMs, 500);
    }
}

class ElatecCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        elatec = std::make_unique<Elatec>(reader.devicePath());
        // A probe answered late (a loaded host) has the first exchange prove the line: it is done
        // here, so that no proof takes an answer a test replaces.
        Elatec::USBType_t usb{};
        ASSERT_TRUE(elatec->getUSBType(usb));
        ASSERT_EQ(elatec->mode(), PRS::BINARY_CRC);
    }

    void answerNext(uint16_t command, const std::string& data)
    {
        reader.inject({Fault::Replace, 0, command, fromHex(data)});
    }

    ElatecReader reader{ElatecReader::Mode::BinaryCrc};
    std::unique_ptr<Elatec> elatec;
};

TEST_F(ElatecCommandTest, SearchNeedsAllTheUidBitsItAnnounces)
{
    Bytes uid = {0xAA};
    auto type = static_cast<RFID::Card::Type>(0);
    answerNext(0x0500, "01 80 38 07 01 02 03 04 05 06 07");
    ASSERT_TRUE(elatec->searchTag(uid, type));
    EXPECT_EQ(static_cast<int>(type), 0x80);
    EXPECT_EQ(uid, fromHex("01 02 03 04 05 06 07"));

    uid = {0xAA};
    type = static_cast<RFID::Card::Type>(0);
    answerNext(0x0500, "01 80 38 07 01 02 03 04 05 06");
    EXPECT_FALSE(elatec->searchTag(uid, type));
    EXPECT_EQ(static_cast<int>(type), 0x80);
    EXPECT_EQ(uid, Bytes{0xAA});

    answerNext(0x0500, "01 80");
    EXPECT_FALSE(elatec->searchTag(uid, type));
    answerNext(0x0500, "00 80 38 07 01 02 03 04 05 06 07");
    EXPECT_FALSE(elatec->searchTag(uid, type));
}

TEST_F(ElatecCommandTest, IsoAAnswersMustHaveTheirExactSize)
{
    Bytes out = {0xAA};
    answerNext(0x1205, "01 20 00");
    EXPECT_FALSE(elatec->ISO14443A_getSAK(&out));
    answerNext(0x1205, "01");
    EXPECT_FALSE(elatec->ISO14443A_getSAK(&out));
    answerNext(0x1204, "01 44");
    EXPECT_FALSE(elatec->ISO14443A_getATQA(&out));
    answerNext(0x1204, "01 44 03 00");
    EXPECT_FALSE(elatec->ISO14443A_getATQA(&out));
    EXPECT_EQ(out, Bytes{0xAA});
    answerNext(0x1204, "01 44 03");
    ASSERT_TRUE(elatec->ISO14443A_getATQA(&out));
    EXPECT_EQ(out, fromHex("44 03"));
    answerNext(0x1200, "01");
    EXPECT_FALSE(elatec->ISO14443A_getATS(&out));
    answerNext(0x1203, "01");
    EXPECT_FALSE(elatec->ISO14443_4_TDX(&out, &out));
    const Bytes read = {0x30, 0x04};
    answerNext(0x1207, "01");
    EXPECT_FALSE(elatec->ISO14443_3_TDX(&read, &out));
    answerNext(0x1201, "01");
    EXPECT_FALSE(elatec->ISO14443B_getATQB(&out));
    answerNext(0x1201, "01 50");
    ASSERT_TRUE(elatec->ISO14443B_getATQB(&out));
    EXPECT_EQ(out, Bytes{0x50});
}

TEST_F(ElatecCommandTest, SlotAnswersAreTakenApartWithinTheirLength)
{
    Bytes atr = {0xAA};
    int a = -1, b = -1;
    answerNext(0x1001, "01 00 00 00");
    ASSERT_TRUE(elatec->ISO7816_IccPowerOn(0, &atr, a, b));
    EXPECT_TRUE(atr.empty());
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    answerNext(0x1001, "01 00 00");
    EXPECT_FALSE(elatec->ISO7816_IccPowerOn(0, &atr, a, b));

    Bytes resp = {0xAA};
    int sw = 0;
    const Bytes header = fromHex("80 60 00 00 00 00 00 00 01");
    answerNext(0x1005, "01 00 00 00 90");
    ASSERT_TRUE(elatec->ISO7816_exchangeAPDU(0, &header, nullptr, &resp, sw));
    EXPECT_TRUE(resp.empty());
    EXPECT_EQ(sw, 0x9000);
    answerNext(0x1005, "01 00 00 90");
    EXPECT_FALSE(elatec->ISO7816_exchangeAPDU(0, &header, nullptr, &resp, sw));

    // A length that claims more than came is refused, never read past.
    Bytes tx = fromHex("FF 11 18 F6"), rx = {0xAA};
    answerNext(0x1004, "01 05 00 FF 11 18 F6");
    EXPECT_FALSE(elatec->ISO7816_transceive(0, &tx, &rx));
    EXPECT_TRUE(rx.empty());
    answerNext(0x1004, "01 04 00 FF 11 18 F6");
    ASSERT_TRUE(elatec->ISO7816_transceive(0, &tx, &rx));
    EXPECT_EQ(rx, tx);
    answerNext(0x1004, "01 04");
    EXPECT_FALSE(elatec->ISO7816_transceive(0, &tx, &rx));

    Bytes out;
    answerNext(0x1002, "01 00 00");
    EXPECT_FALSE(elatec->ISO7816_IccPowerOff(0, &out));
    answerNext(0x1003, "");
    EXPECT_FALSE(elatec->ISO7816_setCommSettings(0, &out));
    answerNext(0x1003, "00");
    EXPECT_FALSE(elatec->ISO7816_setCommSettings(0, &out));
}

TEST_F(ElatecCommandTest, SystemAnswersMayNotBeEmpty)
{
    std::string version = "old";
    answerNext(0x0004, "");
    EXPECT_FALSE(elatec->getVersionString(version));
    EXPECT_EQ(version, "old");
    answerNext(0x0004, "03 41 42");  // the count byte is not trusted: the text is what came
    ASSERT_TRUE(elatec->getVersionString(version));
    EXPECT_EQ(version, "AB");
    Elatec::USBType_t usb{};
    answerNext(0x0005, "");
    EXPECT_FALSE(elatec->getUSBType(usb));
    EXPECT_FALSE(elatec->ISO14443_4_checkPresence());  // empty field
    answerNext(0x1202, "");
    EXPECT_FALSE(elatec->ISO14443_4_checkPresence());
}

// One open of the line to the reader model (fuzz/support/ElatecModel.h), on the model's clock: no
// wait costs real time, so a row is the same on a loaded machine, and its log is its own.
struct ModelLine
{
    ModelLine(PRS::Mode variant, const std::string& version)
        : binary((variant & ~0x10) == PRS::BINARY),
          reader(none, binary, (variant & 0x10) != 0, version),
          port(reader, none)
    {
        reader.calm();
    }
    // The reader's own answer, as it frames it.
    Bytes answer(uint16_t command, const Bytes& params) const
    {
        return reader.framed(reader.answerTo(command, params), binary);
    }
    void put(double at, const Bytes& wire) { reader.put(at, wire.begin(), wire.end()); }
    // An empty line every gapMs from at on, for spanMs, after anything sent before it.
    void chatter(double at, double gapMs, double spanMs)
    {
        for (double t = at; t < at + spanMs; t += gapMs) put(t, {'\r'});
    }

    fuzzing::FuzzInput none{nullptr, 0};
    const bool binary;
    fuzzing::elatec::Reader reader;
    fuzzing::elatec::ModelPort port;
};

// Each of the line's warnings over the ways in: the bytes that bring it, once per open (a second
// open says it again, a second command in one open does not), after a proof held, a late probe
// answer, and the bound it is about, on both sides. Each row holds its own capture of the log and
// counts every warning in it: its own as many times as it says, the others never, unless the row's
// way in makes them the line's due (judged: false).
TEST(PRSLine, SaysOncePerOpenWhatItSaw)
{
    Log::open("tapgate-test", true, false);
    enum Warning
    {
        Noisy,      // the line never went quiet before a command
        Probing,    // nor while a probe was out
        NoVersion,  // the probe was answered, no version query
        Unproved,   // the reader answers, not as a proof needs
        ShortText,  // the answers fit a text no longer than the proof's limit
        Warnings
    };
    const char* const words[Warnings] = {"before a command: ", "while a probe was out, and none was answered",
                                         "but no version query", "not as a proof of the line needs",
                                         "fit a version text of"};
    using Behaviour = std::function<void(ModelLine&)>;
    const Behaviour answersAll = [](ModelLine&) {};
    const auto script = [](std::function<bool(ModelLine&, uint16_t, const Bytes&, double)> take) {
        return Behaviour([take](ModelLine& line) {
            line.reader.setScript([&line, take](uint16_t command, const Bytes& params, double at) {
                return take(line, command, params, at);
            });
        });
    };
    const Behaviour noVersion =
        script([](ModelLine&, uint16_t command, const Bytes&, double) { return command == 0x0004; });
    // The probe's answer delayMs late, and no version query answered.
    const auto lateProbe = [&script](double delayMs) {
        return script([delayMs](ModelLine& line, uint16_t command, const Bytes& params, double at) {
            if (command == 0x0005)
                line.put(at + delayMs, line.answer(command, params));
            return command == 0x0005 || command == 0x0004;
        });
    };
    // One proof held, then neither commands nor version queries answered.
    const Behaviour afterProof =
        script([answered = 0](ModelLine&, uint16_t command, const Bytes&, double) mutable {
            return command == 0x0008 || (command == 0x0004 && ++answered > 2);
        });
    // Every version query answered with the whole text, whatever it asked for.
    const Behaviour wholeText = script([](ModelLine& line, uint16_t command, const Bytes&, double at) {
        if (command == 0x0004)
            line.put(at, line.answer(command, {0xFF}));
        return command == 0x0004;
    });
    // Empty lines gapMs apart from the probe's answer on.
    const auto chatter = [&script](double gapMs) {
        return script([gapMs](ModelLine& line, uint16_t command, const Bytes& params, double at) {
            if (command != 0x0005)
                return false;
            line.put(at, line.answer(command, params));
            line.chatter(at + gapMs, gapMs, 5000);
            return true;
        });
    };
    // Empty lines gapMs apart from the open on, the reader's answers behind them.
    const auto flood = [](double gapMs) {
        return Behaviour([gapMs](ModelLine& line) { line.chatter(line.port.now() + gapMs, gapMs, 4500); });
    };
    // The whole text to the query for the proof's limit, nothing to the one for the whole text.
    const Behaviour firstOnly = script([](ModelLine& line, uint16_t command, const Bytes& params, double at) {
        if (command == 0x0004 && params == Bytes{0xFF})
            return true;
        if (command == 0x0004)
            line.put(at, line.answer(command, {0xFF}));
        return command == 0x0004;
    });
    const auto nothingSince = [](const std::string& variant) {
        return "probe (" + variant + ") but no version query since: nothing came";
    };
    const std::string twn = "TWN4/B1.65/X4.06/PRS1.04";
    const std::string text39 = twn.substr(0, 17) + std::string(22, 'a');
    const std::string long41 = twn + "/0123456789ABCDEF";
    struct Row
    {
        const char* way;
        Warning warning;
        bool says;  // once per open, or never
        Behaviour reader;
        PRS::Mode variant = PRS::BINARY_CRC;
        std::string version = "TWN4/B1.65/X4.06/PRS1.04";
        std::string shown = "";  // what the warning must show
        unsigned limit = 9;      // the first proof's
        int level = Log::LevelWarning;
        int commands = 2;    // in each open
        bool judged = true;  // whether the other warnings are judged
    };
    std::vector<Row> rows = {
        {"chatter 9.9 ms apart", Noisy, true, chatter(9.9), PRS::BINARY_CRC, twn,
         R"(the last of them "\r\r\r\r)"},
        {"chatter 10.1 ms apart", Noisy, false, chatter(10.1), PRS::BINARY_CRC, twn, "", 9, Log::LevelWarning,
         2, false},
        {"a flood 99.9 ms apart", Probing, true, flood(99.9), PRS::BINARY_CRC, twn, "", 9, Log::LevelWarning,
         0},
        {"a flood 100.1 ms apart", Probing, false, flood(100.1), PRS::BINARY_CRC, twn, "", 9,
         Log::LevelWarning, 0},
        {"probe answered while the next was out", NoVersion, true, lateProbe(150)},
        {"no version query after a proof held", NoVersion, false, afterProof},
        {"whole text for any limit", Unproved, true, wholeText, PRS::BINARY_CRC, text39,
         "were \"" + text39 + "\" and \"" + text39 + "\""},
        {"a whole text at the shown bound", Unproved, true, wholeText, PRS::BINARY_CRC, long41.substr(0, 40),
         "\"" + long41.substr(0, 40) + "\""},
        {"a whole text over the shown bound", Unproved, true, wholeText, PRS::BINARY_CRC, long41,
         "\"" + long41.substr(0, 40) + "\""},
        {"the whole text for the limit only", Unproved, true, firstOnly, PRS::BINARY_CRC, twn,
         "were nothing and \"" + twn + "\""},
        {"a text under the limit", ShortText, true, answersAll, PRS::BINARY_CRC, twn.substr(0, 8),
         "of 8 characters, no longer than the 9", 9, Log::LevelInfo},
        {"a text at the limit", ShortText, true, answersAll, PRS::BINARY_CRC, twn.substr(0, 9),
         "of 9 characters, no longer than the 9", 9, Log::LevelInfo},
        {"a text over the limit", ShortText, false, answersAll, PRS::BINARY_CRC, twn.substr(0, 10), "", 9,
         Log::LevelInfo},
        {"a text of one character", ShortText, true, answersAll, PRS::BINARY_CRC, "T",
         "of 1 characters, no longer than the 1 asked for first (\"T\"): no proof can tell", 1},
        {"a text of two characters", ShortText, false, answersAll, PRS::BINARY_CRC, "TW", "", 2},
        {"a text of two characters", ShortText, true, answersAll, PRS::BINARY_CRC, "TW",
         "of 2 characters, no longer than the 2 asked for first (\"TW\"): commands fail until", 2,
         Log::LevelInfo},
    };
    // The probe's answer names its variant, in time and after detection alike.
    const std::pair<PRS::Mode, const char*> variants[] = {{PRS::BINARY, "binary without CRC"},
                                                          {PRS::BINARY_CRC, "binary with CRC"},
                                                          {PRS::ASCII, "ASCII without CRC"},
                                                          {PRS::ASCII_CRC, "ASCII with CRC"}};
    for (const auto& [variant, name] : variants) {
        rows.push_back({"no version query", NoVersion, true, noVersion, variant, twn, nothingSince(name)});
        rows.push_back({"probe answered after detection", NoVersion, true, lateProbe(450), variant, twn,
                        nothingSince(name)});
    }
    const int opens = 2;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.way) + ", " +
                     ElatecReader::modeName(static_cast<ElatecReader::Mode>(row.variant)) + ", text of " +
                     std::to_string(row.version.size()));
        Log::setLevel(row.level);
        testsupport::StderrCapture log;
        for (int open = 0; open < opens; ++open) {
            ModelLine line(row.variant, row.version);
            // A proof's limit is 1 + the read time-out the line's clock is in, modulo 16.
            line.port.idle((row.limit + 15) * 1000.0 - line.port.now());
            row.reader(line);
            PRS prs(std::make_unique<fuzzing::elatec::SharedPort>(line.port), PRS::AUTO);
            const Bytes own = {0x01};
            // A line that says it cannot prove itself sends no command.
            for (int i = 0; i < row.commands; ++i) {
                const int rc = prs.xfer(0x0008, &own, nullptr);
                EXPECT_TRUE(rc < 0 || !row.says) << "open " << open << ", command " << i;
            }
        }
        const std::string said = log.text();
        Log::setLevel(Log::LevelWarning);
        for (int warning = 0; warning < Warnings; ++warning) {
            if (warning != row.warning && !row.judged)
                continue;
            const int times = warning == row.warning && row.says ? opens : 0;
            EXPECT_EQ(static_cast<int>(testsupport::occurrences(said, words[warning])), times)
                << words[warning] << "\n"
                << said;
        }
        if (!row.shown.empty()) {
            EXPECT_NE(said.find(row.shown), std::string::npos) << row.shown << "\n" << said;
        }
    }
}

}  // namespace
