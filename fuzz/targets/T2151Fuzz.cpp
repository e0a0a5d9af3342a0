// T2151 messages and the receiver: the input's first byte chooses how the line delivers the rest
// (all at once or in pieces of a few bytes), the rest is what the reader sent. Whatever arrives,
// a parsed payload re-serialises to its own prefix (all of it when valid), and a received frame
// is at most one frame's worth of the line, with the receive never reading past the bytes given.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "drivers/T2151/ByteStream.h"
#include "drivers/T2151/Framer.h"
#include "drivers/T2151/Link.h"
#include "drivers/T2151/Message.h"
#include "support/Check.h"

namespace {

// The line as a finite byte supply; reads past its end time out at once.
class Line : public T2151::ByteStream
{
public:
    Line(const uint8_t* data, size_t size, size_t piece) : m_data(data), m_size(size), m_piece(piece) {}
    int readByte(double) override { return m_pos < m_size ? m_data[m_pos++] : -1; }
    size_t readBytes(size_t n, std::vector<uint8_t>& out, double) override
    {
        size_t take = n < m_piece ? n : m_piece;
        if (take > m_size - m_pos)
            take = m_size - m_pos;
        out.insert(out.end(), m_data + m_pos, m_data + m_pos + take);
        m_pos += take;
        return take;
    }
    bool writeAll(const std::vector<uint8_t>&) override { return true; }
    void discard() override {}
    bool setReadTimeout(int) override { return true; }
    size_t position() const { return m_pos; }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_piece;
    size_t m_pos = 0;
};

void checkMessage(const std::vector<uint8_t>& payload)
{
    const T2151::Message::Ptr message = T2151::Message::make(payload);
    const std::vector<uint8_t> again = message->serialize();
    FUZZ_CHECK(again.size() <= payload.size());
    FUZZ_CHECK(std::equal(again.begin(), again.end(), payload.begin()));
    FUZZ_CHECK(!message->valid() || again.size() == payload.size());
    while (!message->tlvs().empty()) {
        const int tag = message->tlvs().front().tag;
        message->popVec(tag);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    fuzzing::logOnce();
    const size_t piece = (data[0] & 0x0F) == 0 ? size : (data[0] & 0x0F);
    ++data;
    --size;

    checkMessage(std::vector<uint8_t>(data, data + size));

    Line line(data, size, piece);
    T2151::Link link(line, "[fuzz] ");
    while (line.position() < size) {
        const size_t before = line.position();
        const T2151::Message::Ptr message = link.receive(0);
        FUZZ_CHECK(line.position() <= size);
        FUZZ_CHECK(line.position() > before || !message);
        if (message && !message->isZmodemStart()) {
            std::vector<uint8_t> frame;
            FUZZ_CHECK(T2151::Framer::encode(message->serialize(), frame) || !message->valid());
        }
        if (line.position() == before)
            break;
    }
    return 0;
}
