#include "Velmora/Card.h"

#include "NFC/Tag.h"
#include "core/String.h"

namespace RFID {

Card::Card(std::string uid, Type type, std::string name)
    : m_uid(std::move(uid)), m_type(type), m_name(std::move(name))
{
}

std::shared_ptr<Card> Card::make(const std::shared_ptr<NFC::Tag>& tag, const std::string& name)
{
    if (!tag)
        return std::make_shared<Card>(std::string(), Type(), name);
    return std::make_shared<Card>(String::toHex(tag->uid()), static_cast<Type>(tag->type()), name);
}

std::shared_ptr<Card> Card::clone() const
{
    return std::make_shared<Card>(*this);
}

}  // namespace RFID
