// Elatec framing of reader answers, both transports: arbitrary line bytes fed in the ways the
// serial reader feeds them (all at once, byte by byte, in chunks of what the framer wants). Every
// frame it yields must fit the binary length field and come out the same after encoding it again.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "drivers/ElatecTWN/Framer.h"
#include "support/Check.h"

using ElatecTWN::Framer;

namespace {

void checkFrame(const Framer& framer)
{
    const std::vector<uint8_t>& frame = framer.frame();
    FUZZ_CHECK(frame.size() <= Framer::MaxFrame);
    if (framer.transport() == Framer::Transport::Ascii)
        FUZZ_CHECK(framer.text().size() == 2 * frame.size());

    std::vector<uint8_t> wire;
    FUZZ_CHECK(Framer::encode(framer.transport(), frame, wire));
    Framer again(framer.transport());
    size_t used = 0;
    FUZZ_CHECK(again.feed(wire.data(), wire.size(), used) == Framer::Result::Frame);
    FUZZ_CHECK(used == wire.size());
    FUZZ_CHECK(again.frame() == frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t how = data[0];
    const Framer::Transport transport = (how & 1) ? Framer::Transport::Ascii : Framer::Transport::Binary;
    const int style = (how >> 1) % 3;
    const uint8_t* line = data + 1;
    const size_t length = size - 1;

    Framer framer(transport);
    size_t pos = 0;
    while (pos < length) {
        size_t offer = length - pos;
        if (style == 1)
            offer = 1;
        else if (style == 2 && framer.wanted() < offer)
            offer = framer.wanted();
        FUZZ_CHECK(framer.wanted() >= 1);
        size_t used = 0;
        const Framer::Result result = framer.feed(line + pos, offer, used);
        FUZZ_CHECK(used <= offer);
        // Every call either consumes something or is waiting for more with all bytes taken.
        FUZZ_CHECK(used > 0);
        pos += used;
        if (result == Framer::Result::Frame)
            checkFrame(framer);
        else if (result == Framer::Result::NeedMore)
            FUZZ_CHECK(used == offer);
        if (result != Framer::Result::NeedMore)
            framer.reset();
    }
    const Framer::Result end = framer.finish();
    FUZZ_CHECK(end == Framer::Result::NeedMore || end == Framer::Result::Truncated);
    FUZZ_CHECK((end == Framer::Result::Truncated) == framer.started());
    return 0;
}
