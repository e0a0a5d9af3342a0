// One detected contactless card: the type code, UID and ATS the driver reported and the link its
// command set talks through. Lives in a std::shared_ptr; used on the reader's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NFC/ISO14443.h"

namespace NFC {

class Tag
{
public:
    enum Type : uint32_t
    {
        ISO14443A = 0x0001,
        ISO14443B = 0x0002,
        MifareClassic1K = 0x0004,
        MifareClassic4K = 0x0008,
        MifarePlus2K = 0x0010,
        MifarePlus4K = 0x0020,
        MifareUltralight = 0x0040,
        MifareMini = 0x0080,
        MifareDESFire = 0x0100,
        EMV = 0x0200,
        Other = 0x8000,
    };

    Tag(std::shared_ptr<ISO14443> link, Type type, const std::vector<uint8_t>& uid,
        const std::vector<uint8_t>& ats);
    virtual ~Tag() = default;

    static std::shared_ptr<Tag> make(std::shared_ptr<ISO14443> link, Type type,
                                     const std::vector<uint8_t>& uid, const std::vector<uint8_t>& ats);

    Type type() const { return m_type; }
    const std::vector<uint8_t>& uid() const { return m_uid; }
    const std::vector<uint8_t>& ats() const { return m_ats; }
    std::shared_ptr<ISO14443> iso14443() const { return m_iso14443; }

    // A UID as a log line shows it: whatever length the reader announced, a few dozen bytes of hex
    // and the length when cut. The UIDs of real cards are shown whole.
    static constexpr size_t ShownUidBytes = 32;
    static std::string shownUid(const std::vector<uint8_t>& uid);

protected:
    std::shared_ptr<ISO14443> m_iso14443;
    Type m_type;
    std::vector<uint8_t> m_uid;
    std::vector<uint8_t> m_ats;
};

}  // namespace NFC
