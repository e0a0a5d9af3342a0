// One Elatec command through PRS, in each of the reader's four protocol variants, with the input's
// bytes as everything the reader sends back once it has answered the proof a new line opens with:
// the framer, the CRC check and the cut of the status byte and data all run as in service. The
// reader is the line model's (support/ElatecModel.h), on a clock of its own, so that no wait costs
// real time. The first input byte picks the variant (bit 0 ASCII, bit 1 with CRC) and, above
// that (bits 2-7), the line: modulo 12 the byte time in 115200 baud's (115200 to 9600 baud),
// divided by 12 a pause in ms halfway through the answer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "drivers/ElatecTWN/PRS.h"
#include "support/Check.h"
#include "support/ElatecModel.h"
#include "support/FuzzInput.h"

namespace {

using namespace fuzzing::elatec;

// More never comes from one answer anyway.
const size_t MaxAnswer = 2048;
// How long after the command its answer must be complete: the line's read time-out and the grace
// of a receive.
const double BoundMs = PRS::DefaultReadTimeoutMs + 1000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    if (size < 1)
        return 0;
    static const PRS::Mode modes[] = {PRS::BINARY, PRS::ASCII, PRS::BINARY_CRC, PRS::ASCII_CRC};
    const PRS::Mode mode = modes[data[0] & 3];
    const Bytes answer(data + 1, data + std::min(size, MaxAnswer + 1));
    const unsigned line = data[0] >> 2;
    const double pauseMs = line / 12;

    fuzzing::FuzzInput none(nullptr, 0);
    Reader reader(none, (mode & 0x0F) == PRS::BINARY, (mode & 0x10) != 0, "TWN4/B1.65/X4.06/PRS1.04");
    reader.calm();
    reader.setLine(ByteMs * (1 + line % 12), 0);
    bool asked = false;
    reader.setScript([&](uint16_t command, const Bytes&, double at) {
        if (command == 0x0004)
            return false;  // the proof's: the reader's own answer
        const auto half = answer.begin() + static_cast<long>(answer.size() / 2);
        reader.put(at, answer.begin(), half);
        reader.pause(pauseMs);
        reader.put(at, half, answer.end());
        asked = true;
        return true;
    });
    ModelPort port(reader, none);
    PRS prs(std::make_unique<SharedPort>(port), mode);
    FUZZ_CHECK(prs.mode() == mode);
    const std::vector<uint8_t> params = {0x01, 0x02};
    std::vector<uint8_t> out;
    const int rc = prs.xfer(0x0D01, &params, &out);
    FUZZ_CHECK(rc == PRS::TransferFailed || rc == PRS::CrcFailed || (rc >= 0 && rc <= 0xFF));
    if (mode == PRS::BINARY && asked) {
        // A whole binary frame on the line is the answer, status byte then data, when its last
        // byte came within the bound; one that did not, or that never came whole, is no answer.
        const size_t length = answer.size() >= 2 ? (answer[0] | answer[1] << 8) : 0;
        if (length >= 1 && length + 2 <= answer.size()) {
            const double late = (length + 1) * ByteMs * (1 + line % 12) +
                                (length + 2 > answer.size() / 2 ? pauseMs : 0) - BoundMs;
            if (late < -1) {
                FUZZ_CHECK(rc == answer[2]);
                FUZZ_CHECK(out == Bytes(answer.begin() + 3, answer.begin() + 2 + static_cast<long>(length)));
            } else if (late > 1) {
                FUZZ_CHECK(rc == PRS::TransferFailed);
            }
        } else {
            FUZZ_CHECK(rc == PRS::TransferFailed);
        }
    }
    return 0;
}
