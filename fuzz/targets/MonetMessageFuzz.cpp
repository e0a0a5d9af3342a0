// Monet B- and N-protocol message bodies as the reader sends them: parsing never reads past the
// body, a parsed message keeps separators out of its values and the '9' marker out of its fields,
// and what the program writes from it parses back to the same lists.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "drivers/Monet/BprotocolMsg.h"
#include "support/Check.h"

using MonetReader::BprotocolMsg;

namespace {

bool sameLists(const std::vector<BprotocolMsg::FIDandValue>& a,
               const std::vector<BprotocolMsg::FIDandValue>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || a[i].value != b[i].value)
            return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    // A copy of exactly the input's size, so that any read past the body is caught by ASan.
    const std::vector<uint8_t> body(data, data + size);
    const BprotocolMsg::Ptr msg = BprotocolMsg::make(body.data(), body.size());
    if (!msg->valid())
        return 0;
    for (const auto& field : msg->fields()) {
        FUZZ_CHECK(field.id != MonetReader::FidSubFields);
        FUZZ_CHECK(field.value.find('\x1C') == std::string::npos);
    }
    for (const auto& sub : msg->subFields())
        FUZZ_CHECK(sub.value.find_first_of("\x1C\x1D") == std::string::npos);
    // Every byte of a valid body belongs to a separator, an identifier or a value.
    FUZZ_CHECK(msg->serializedSize() == size);

    const std::vector<uint8_t> written = msg->serialize();
    FUZZ_CHECK(written.size() == msg->serializedSize());
    const BprotocolMsg::Ptr again = BprotocolMsg::make(written.data(), written.size());
    FUZZ_CHECK(again->valid());
    FUZZ_CHECK(sameLists(again->fields(), msg->fields()));
    FUZZ_CHECK(sameLists(again->subFields(), msg->subFields()));
    return 0;
}
