#include "Velmora/UltralightPageIO.h"

#include <utility>

#include "NFC/Driver.h"
#include "NFC/ISO14443.h"
#include "NFC/Protocols/Ultralight.h"
#include "NFC/Tag.h"
#include "Velmora/CardReader.h"
#include "core/String.h"

namespace RFID {

namespace {

constexpr int PageSize = UltralightPageCache::PageSize;
constexpr int PagesPerRead = 4;
constexpr int ReselectTimeoutMs = 200;

}  // namespace

UltralightPageIO::UltralightPageIO(CardReader& owner, const std::shared_ptr<NFC::Ultralight>& ultralight,
                                   Style style, std::function<void()> afterReselect)
    : m_owner(owner), m_ultralight(ultralight), m_style(style), m_afterReselect(std::move(afterReselect))
{
}

int UltralightPageIO::cacheRead(int first, int end, Pages& pages)
{
    for (int page = first; page < end; ++page) {
        const uint8_t* bytes = m_cache.get(page);
        if (!bytes)
            return page;
        m_owner.log(Log::LevelInfo, "[%04d] : %s [Cached]", page, String::toHex(bytes, PageSize).c_str());
        pages[page] = Bytes(bytes, bytes + PageSize);
    }
    return end;
}

bool UltralightPageIO::fastRead(int first, int end, Pages& pages)
{
    if (end - first < 1)
        return true;
    m_owner.log(Log::LevelDebug, "Fast reading pages %d to %d", first, shown(end));
    Bytes data;
    const NFC::Ultralight::Error e = m_ultralight->fastRead(first, end - first, data);
    if (e != NFC::Ultralight::None) {
        m_owner.setError("fastRead", String::format("Error fast reading pages: %d", static_cast<int>(e)));
        return false;
    }
    if (data.size() != static_cast<size_t>(end - first) * PageSize) {
        m_owner.setError("fastRead", String::format("Incorrect buffer length : %zu bytes", data.size()));
        return false;
    }
    for (int page = first; page < end; ++page) {
        const uint8_t* bytes = data.data() + (page - first) * PageSize;
        m_cache.put(page, bytes);
        pages[page] = Bytes(bytes, bytes + PageSize);
        m_owner.log(Log::LevelInfo, "[%04d] : %s", page, String::toHex(bytes, PageSize).c_str());
    }
    return true;
}

bool UltralightPageIO::normalRead(int first, int end, Pages& pages)
{
    if (end - first < 1)
        return true;
    m_owner.log(Log::LevelDebug, "Normal reading pages %d to %d", first, shown(end));
    for (int page = first; page < end; page += PagesPerRead) {
        Bytes data;
        const NFC::Ultralight::Error e = m_ultralight->read(page, data);
        if (e != NFC::Ultralight::None) {
            m_owner.setError("normalRead",
                             String::format("Error reading page (%d): %d", page, static_cast<int>(e)));
            return false;
        }
        if (data.size() < PagesPerRead * PageSize) {
            m_owner.setError("normalRead",
                             String::format("Incorrect buffer length (%d) : %zu bytes", page, data.size()));
            return false;
        }
        for (int i = 0; i < PagesPerRead && (page + i < end || m_style.keepWholeRead); ++i) {
            const uint8_t* bytes = data.data() + i * PageSize;
            m_cache.put(page + i, bytes);
            if (page + i < end)
                pages[page + i] = Bytes(bytes, bytes + PageSize);
            if (m_style.keepWholeRead)
                m_owner.log(Log::LevelInfo, "[%04d] : %s", page + i, String::toHex(bytes, PageSize).c_str());
        }
    }
    return true;
}

void UltralightPageIO::reselect()
{
    const auto& tag = m_owner.tag();
    const auto link = m_ultralight->iso14443();
    const auto driver = link ? link->driver() : nullptr;
    int type = 0;
    Bytes uid, ats;
    if (!driver || !driver->searchTag(type, uid, ats, ReselectTimeoutMs) || uid != tag->uid()) {
        m_owner.log(Log::LevelWarning, "WARN: card %s not selected again",
                    NFC::Tag::shownUid(tag->uid()).c_str());
        return;
    }
    if (m_afterReselect)
        m_afterReselect();
}

bool UltralightPageIO::readPages(int first, int end, Bytes& out)
{
    m_owner.log(Log::LevelInfo, "Reading pages %d to %d", first, shown(end));
    Pages pages;
    const int next = cacheRead(first, end, pages);
    if (!fastRead(next, end, pages)) {
        reselect();
        if (!normalRead(next, end, pages))
            return false;
        // The pages came after all: the refused FAST_READ is not what this operation ends with.
        m_owner.clearError();
    }
    out.clear();
    for (int page = first; page < end; ++page) {
        const auto it = pages.find(page);
        if (it == pages.end()) {
            m_owner.setError("readPages", String::format("Page %d not read", page));
            return false;
        }
        out.insert(out.end(), it->second.begin(), it->second.end());
    }
    return true;
}

bool UltralightPageIO::writePages(int first, int end, const Bytes& image)
{
    if (end > first && image.size() < static_cast<size_t>(end - first) * PageSize) {
        m_owner.setError("writePages",
                         String::format("%zu bytes for pages %d to %d", image.size(), first, end - 1));
        return false;
    }
    for (int page = first; page < end; ++page) {
        const uint8_t* bytes = image.data() + (page - first) * PageSize;
        if (m_cache.same(page, bytes)) {
            m_owner.log(Log::LevelInfo, "Skipping page (no changes) : %d", page);
            continue;
        }
        const NFC::Ultralight::Error e = m_ultralight->write(page, Bytes(bytes, bytes + PageSize));
        if (e != NFC::Ultralight::None) {
            // A torn write may have left either content: the next write sends the page again.
            m_cache.drop(page);
            m_owner.setError("writePages",
                             String::format("Error writing page (%d): %d", page, static_cast<int>(e)));
            return false;
        }
        m_cache.put(page, bytes);
        m_owner.log(Log::LevelInfo, "[%04d] : %s", page, String::toHex(bytes, PageSize).c_str());
    }
    return true;
}

}  // namespace RFID
