// The Monet reader's bytes as they reach the driver, before any payload is decoded. The side
// channel's TCP stream goes through the transport's framer in chunks the input chooses (a TCP read
// may end anywhere), and every frame it yields is decoded and read as the search reads it. B- and
// N-protocol datagrams, of any size up to past the largest the transport takes, go through the
// transport's datagram parsing and the reader's result evaluation.
//
// Input: the first byte's low bit chooses. Stream: then chunks, each a length byte and up to that
// many stream bytes. Datagrams: then datagrams, each a big-endian 16-bit size and a block (16-bit
// length, bytes) repeated or cut to that size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/Monet/BprotocolReader.h"
#include "drivers/Monet/BprotocolTransport.h"
#include "drivers/Monet/SideChannelFramer.h"
#include "drivers/Monet/SideChannelReader.h"
#include "support/Check.h"
#include "support/FuzzInput.h"

using namespace MonetReader;
using Bytes = std::vector<uint8_t>;

namespace {

// What the driver does with a payload the framer cut out: decode it, and read a card event's
// description as the search would.
void readPayload(const Bytes& payload)
{
    const SideChannelMsg::Ptr msg = SideChannelMsg::make(payload);
    const int result = SideChannelReader::checkMsgResponse(msg);
    FUZZ_CHECK(result == 0 || result == 200 || result == 201);
    if (result == 201 || msg->command() != NON_EMV_CARD_PRESENT)
        return;
    int type = 0;
    Bytes uid, ats;
    if (SideChannelReader::readCardDescription(msg->data(), type, uid, ats) == 900)
        FUZZ_CHECK(uid.size() + ats.size() < payload.size());
}

void stream(fuzzing::FuzzInput& in)
{
    SideChannelFramer framer;
    Bytes all;  // the whole stream, for the frames it holds when cut in one go
    std::vector<Bytes> frames;
    for (uint8_t size = 0; in.u8(size);) {
        const Bytes chunk = in.bytes(size);
        all.insert(all.end(), chunk.begin(), chunk.end());
        for (size_t at = 0; at < chunk.size();) {
            FUZZ_CHECK(framer.wanted() > 0);
            const size_t taken = framer.feed(chunk.data() + at, chunk.size() - at);
            at += taken;
            // All the frame in hand lacks, never a byte of the next.
            FUZZ_CHECK(taken > 0 && (at == chunk.size() || framer.whole()));
            if (framer.whole()) {
                FUZZ_CHECK(framer.wanted() == 0);
                frames.push_back(framer.take());
                FUZZ_CHECK(!framer.begun() && framer.wanted() == SideChannelFramer::LengthBytes);
                readPayload(frames.back());
            }
        }
    }
    std::vector<Bytes> expected;
    size_t at = 0;
    while (all.size() - at >= 2) {
        const size_t length = static_cast<size_t>(all[at] << 8 | all[at + 1]);
        if (all.size() - at - 2 < length)
            break;
        expected.emplace_back(all.begin() + static_cast<long>(at + 2),
                              all.begin() + static_cast<long>(at + 2 + length));
        at += 2 + length;
    }
    FUZZ_CHECK(frames == expected);
    // The rest is the frame in hand, begun exactly when a byte of it came.
    const size_t rest = all.size() - at;
    FUZZ_CHECK(framer.begun() == (rest > 0));
    FUZZ_CHECK(framer.expected() == (rest >= 2 ? static_cast<size_t>(all[at] << 8 | all[at + 1]) : 2));
    FUZZ_CHECK(framer.take().empty() && !framer.begun());
}

void datagrams(fuzzing::FuzzInput& in)
{
    UDPClient client;
    UDPServer server;
    BprotocolTransport transport(client, server);
    BprotocolReader reader(transport, Monet::Timing{}, Monet::Clock::system(),
                           [] { return nlohmann::json(); });
    while (!in.empty()) {
        const size_t size = in.u16be();
        Bytes datagram = in.block();
        for (size_t i = 0; !datagram.empty() && datagram.size() < size; ++i) {
            const uint8_t repeated = datagram[i];
            datagram.push_back(repeated);
        }
        if (datagram.size() > size)
            datagram.resize(size);
        std::string before;
        transport.getTerminalId(before);
        const BprotocolMsg::Ptr msg = transport.parseDatagram(datagram);
        std::string after;
        transport.getTerminalId(after);
        const int result = reader.checkMsgResponse(msg);
        if (datagram.size() < BprotocolTransport::FrameOverhead) {
            FUZZ_CHECK(!msg && after == before && result == ErrorNoAnswer);
            continue;
        }
        FUZZ_CHECK(msg);
        if (datagram.size() > BprotocolTransport::MaxDatagram) {
            FUZZ_CHECK(!msg->valid() && after == before && result == ErrorMalformed);
            continue;
        }
        FUZZ_CHECK(after == std::string(datagram.begin() + 5, datagram.begin() + 13));
        FUZZ_CHECK(msg->type() == datagram[2] - '0');
        if (!msg->valid()) {
            FUZZ_CHECK(result == ErrorMalformed);
            continue;
        }
        // The body, between the header and the last byte, parsed whole.
        FUZZ_CHECK(msg->serializedSize() == datagram.size() - BprotocolTransport::FrameOverhead);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    fuzzing::FuzzInput in(data, size);
    uint8_t mode = 0;
    if (!in.u8(mode))
        return 0;
    if (mode & 1)
        datagrams(in);
    else
        stream(in);
    return 0;
}
