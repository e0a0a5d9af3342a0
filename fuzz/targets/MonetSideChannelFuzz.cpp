// Monet side-channel payloads as the reader sends them: the message decoding, and the data of a
// card event (0x38) and of a tap result (0x53) read by the card search. Decoding keeps every byte
// it was given, the card description never yields more than it holds, and nothing is read past
// the end of the data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drivers/Monet/SideChannelReader.h"
#include "support/Check.h"

using namespace MonetReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    const std::vector<uint8_t> payload(data, data + size);
    SideChannelMsg::Ptr msg = SideChannelMsg::make(payload);
    if (msg->valid()) {
        const std::vector<uint8_t> again = msg->serialize();
        FUZZ_CHECK(again.size() == size);
        FUZZ_CHECK(std::vector<uint8_t>(again.begin() + 1, again.end()) ==
                   std::vector<uint8_t>(payload.begin() + 1, payload.end()));
        FUZZ_CHECK(msg->command() == (payload[0] & 0x7F));
        FUZZ_CHECK(SideChannelReader::checkMsgResponse(msg) == 0 ||
                   SideChannelReader::checkMsgResponse(msg) == 200);
    } else {
        FUZZ_CHECK(SideChannelReader::checkMsgResponse(msg) == 201);
    }
    const std::vector<uint8_t> body = msg->data();

    int type = -1;
    std::vector<uint8_t> uid = {0xEE}, ats;
    const int described = SideChannelReader::readCardDescription(body, type, uid, ats);
    FUZZ_CHECK(described == 900 || described == 201);
    if (described == 201)
        FUZZ_CHECK(type == -1 && uid.size() == 1 && ats.empty());
    else
        FUZZ_CHECK(uid.size() + ats.size() + 8 <= body.size() + 1);

    int tap = -1;
    std::string token;
    FUZZ_CHECK(SideChannelReader::readTapResult(body, tap, token) == 901);
    FUZZ_CHECK(tap >= 0 && tap <= 256);
    FUZZ_CHECK(token.size() % 2 == 0 && token.size() <= 2 * body.size());
    return 0;
}
