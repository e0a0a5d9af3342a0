// The last known content of each Ultralight page (4 bytes) that a layout reader has read or
// written, for the life of the reader: it lets a write skip pages the card already holds. Fixed
// storage for the 256 page numbers a command can name, so filling it never allocates. Owned by
// one reader on the worker thread.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>

namespace RFID {

class UltralightPageCache
{
public:
    static constexpr int PageSize = 4;
    static constexpr int Pages = 256;

    bool has(int page) const { return valid(page) && m_held[static_cast<size_t>(page)]; }
    // The 4 bytes of a held page, or nullptr.
    const uint8_t* get(int page) const
    {
        return has(page) ? m_pages[static_cast<size_t>(page)].data() : nullptr;
    }
    bool same(int page, const uint8_t* bytes) const
    {
        const uint8_t* held = get(page);
        return held && held[0] == bytes[0] && held[1] == bytes[1] && held[2] == bytes[2] &&
               held[3] == bytes[3];
    }
    void put(int page, const uint8_t* bytes)
    {
        if (!valid(page))
            return;
        auto& slot = m_pages[static_cast<size_t>(page)];
        for (int i = 0; i < PageSize; ++i) slot[static_cast<size_t>(i)] = bytes[i];
        m_held.set(static_cast<size_t>(page));
    }
    void drop(int page)
    {
        if (valid(page))
            m_held.reset(static_cast<size_t>(page));
    }
    void clear() { m_held.reset(); }

private:
    static bool valid(int page) { return page >= 0 && page < Pages; }

    std::array<std::array<uint8_t, PageSize>, Pages> m_pages{};
    std::bitset<Pages> m_held;
};

}  // namespace RFID
