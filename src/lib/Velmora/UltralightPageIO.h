// The page input and output of a limited-use ticket reader on an Ultralight: a read takes what
// the page cache holds, then one FAST_READ for the rest, and when the card refuses it selects the
// card again and READs four pages at a time; a write sends only the pages the cache does not hold
// unchanged. Page ranges are half-open: first up to, not including, end. Failures are recorded on
// the owning reader under the step's name. Owned by one reader on the worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "Velmora/UltralightPageCache.h"

namespace NFC {
class Ultralight;
}

namespace RFID {

class CardReader;

class UltralightPageIO
{
public:
    using Bytes = std::vector<uint8_t>;
    using Pages = std::map<int, Bytes>;

    // What sets the ticket layouts' logs apart.
    struct Style
    {
        // Whether the read logs end a range at its last page rather than at the page after it.
        bool showLastPage;
        // Whether all four pages of a READ are kept and logged, or only those in range, silently.
        bool keepWholeRead;
    };

    // ultralight is the owner's member, read at each call (the owner makes it after this).
    // afterReselect runs once the card has been selected again (the password, when one was sent).
    UltralightPageIO(CardReader& owner, const std::shared_ptr<NFC::Ultralight>& ultralight, Style style,
                     std::function<void()> afterReselect = nullptr);

    bool readPages(int first, int end, Bytes& out);
    // An image shorter than the range is refused with nothing written.
    bool writePages(int first, int end, const Bytes& image);

private:
    // The first page from first that the cache does not hold (end when it holds them all).
    int cacheRead(int first, int end, Pages& pages);
    bool fastRead(int first, int end, Pages& pages);
    bool normalRead(int first, int end, Pages& pages);
    // A card that refused a command ignores everything until it is selected again.
    void reselect();
    int shown(int end) const { return m_style.showLastPage ? end - 1 : end; }

    CardReader& m_owner;
    const std::shared_ptr<NFC::Ultralight>& m_ultralight;
    Style m_style;
    std::function<void()> m_afterReselect;
    UltralightPageCache m_cache;
};

}  // namespace RFID
