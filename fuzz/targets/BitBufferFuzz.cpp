// BitBuffer as card layouts use it on pages read from a card: a buffer made from the input's
// bytes, then a run of reads and writes that the input chooses. A plain list of bits kept beside
// it says what every read must give and what data() must hold after each step.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "NFC/BitBuffer.h"
#include "support/Check.h"
#include "support/FuzzInput.h"

namespace {

using Bits = std::deque<bool>;

// Enough for any card file; keeps self-appends from doubling without end.
const size_t MaxBits = 1 << 15;

void append(Bits& bits, uint32_t value, unsigned width)
{
    for (unsigned i = width; i-- > 0;) bits.push_back(i < 32 && ((value >> i) & 1));
}

uint32_t take(Bits& bits, unsigned width)
{
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        bool bit = false;
        if (!bits.empty()) {
            bit = bits.front();
            bits.pop_front();
        }
        value = (value << 1) | (bit ? 1u : 0u);
    }
    return value;
}

std::vector<uint8_t> pack(const Bits& bits)
{
    std::vector<uint8_t> out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i])
            out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::FuzzInput in(data, size);
    const std::vector<uint8_t> initial = in.bytes(in.u8Or(0));
    BitBuffer buffer(initial);
    Bits model;
    for (uint8_t byte : initial) append(model, byte, 8);

    uint8_t op = 0;
    while (in.u8(op)) {
        switch (op % 6) {
            case 0: {
                const uint32_t value = static_cast<uint32_t>(in.u16be()) << 16 | in.u16be();
                const unsigned width = in.u8Or(0) % 40;
                if (model.size() + width > MaxBits)
                    break;
                buffer.pushInt(value, width);
                append(model, value, width);
                break;
            }
            case 1: {
                const unsigned width = in.u8Or(0) % 40;
                // Past the written bits zeros come in without being consumed, as take() does.
                FUZZ_CHECK(buffer.popInt(width) == take(model, width));
                break;
            }
            case 2: {
                const std::string text = in.text(in.u8Or(0) % 16);
                const int count = static_cast<int8_t>(in.u8Or(0)) % 20;
                const size_t codes = count < 0 ? 0 : (count == 0 ? text.size() : static_cast<size_t>(count));
                if (model.size() + 6 * codes > MaxBits)
                    break;
                buffer.pushChar6(text, count);
                for (size_t k = 0; k < codes; ++k) {
                    uint32_t code = 0;
                    if (k < text.size()) {
                        const unsigned char c =
                            std::max<unsigned char>(static_cast<unsigned char>(text[k]), 0x20);
                        code = c <= 0x5F ? c - 0x20 : 0;
                    }
                    append(model, code, 6);
                }
                break;
            }
            case 3: {
                const int count = static_cast<int8_t>(in.u8Or(0)) % 20;
                std::string expected;
                for (int k = 0; k < count; ++k) expected.push_back(static_cast<char>(0x20 + take(model, 6)));
                FUZZ_CHECK(buffer.popChar6(count) == expected);
                break;
            }
            case 4: {
                if (2 * model.size() > MaxBits)
                    break;
                buffer.pushBuffer(buffer);
                const Bits copy = model;
                model.insert(model.end(), copy.begin(), copy.end());
                break;
            }
            default: {
                const unsigned width = in.u16be() % (MaxBits + 8);
                BitBuffer taken = buffer.popBuffer(width);
                Bits expected;
                for (unsigned i = 0; i < width && !model.empty(); ++i) {
                    expected.push_back(model.front());
                    model.pop_front();
                }
                FUZZ_CHECK(taken.unreadBits() == expected.size());
                FUZZ_CHECK(taken.data() == pack(expected));
                // Written back at the end, so that the bits stay in play.
                buffer.pushBuffer(taken);
                model.insert(model.end(), expected.begin(), expected.end());
                break;
            }
        }
        FUZZ_CHECK(buffer.unreadBits() == model.size());
        FUZZ_CHECK(buffer.data() == pack(model));
    }
    return 0;
}
