// The VozeLUCv1 ticket image as read from a card: the input's first 128 bytes (zero-filled when
// shorter) decoded into card data, that data encoded again and decoded once more. Every field
// that a ticket may carry must survive the second round unchanged (dates aside: a card may hold
// a day or month that no calendar has), and nothing may read or write outside the image.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Velmora/Cards/VozeLUCv1/TicketImage.h"
#include "support/Check.h"

namespace Image = VozeLUCv1::TicketImage;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzing::logOnce();
    std::vector<uint8_t> image(data, data + std::min(size, Image::Size));
    image.resize(Image::Size, 0x00);
    const VariantMap first = Image::decode(image);

    const std::vector<uint8_t> again = Image::encode(first);
    FUZZ_CHECK(again.size() == Image::Size);
    const VariantMap second = Image::decode(again);
    for (const std::string& key : first.keys()) {
        const std::string text = first[key].toString();
        // Dates, and the read-only records that encoding does not carry.
        if (text.find('-') != std::string::npos || key.rfind("usageLog/", 0) == 0 ||
            key == "issueData/issueCert" || key == "issueData/groupCDcodeBackup" ||
            key == "issueData/typeAccumCntBackup" || key == "transOD/bccODresult")
            continue;
        FUZZ_CHECK(second.exists(key) && second[key].toString() == text);
    }
    return 0;
}
