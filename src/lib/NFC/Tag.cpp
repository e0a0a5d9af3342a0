#include "NFC/Tag.h"

#include <utility>

#include "core/String.h"

namespace NFC {

Tag::Tag(std::shared_ptr<ISO14443> link, Type type, const std::vector<uint8_t>& uid,
         const std::vector<uint8_t>& ats)
    : m_iso14443(std::move(link)), m_type(type), m_uid(uid), m_ats(ats)
{
}

std::shared_ptr<Tag> Tag::make(std::shared_ptr<ISO14443> link, Type type, const std::vector<uint8_t>& uid,
                               const std::vector<uint8_t>& ats)
{
    return std::make_shared<Tag>(std::move(link), type, uid, ats);
}

std::string Tag::shownUid(const std::vector<uint8_t>& uid)
{
    return String::toHexExcerptSized(uid, ShownUidBytes);
}

}  // namespace NFC
