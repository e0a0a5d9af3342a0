// A card record of the card-reader framework: the UID as upper-case hex text, the card type, the
// name of the layout that read it and its data as a flat map of path keys. Layout readers keep
// one as their current card and hand out clones, so a caller's copy never changes under it.
// Lives in a std::shared_ptr; not shared between threads without a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/VariantMap.h"

namespace NFC {
class Tag;
}

namespace RFID {

class Card
{
public:
    // The card-type codes. Values outside the named ones are legal: a driver may store a reader's
    // raw tag-type byte (0 to 255) here, and a card keeps the tag's own type code.
    enum Type : uint32_t
    {
    };

    Card() = default;
    Card(std::string uid, Type type, std::string name);
    virtual ~Card() = default;

    // The tag's type and UID, the name, an empty data map.
    static std::shared_ptr<Card> make(const std::shared_ptr<NFC::Tag>& tag, const std::string& name);

    const std::string& uid() const { return m_uid; }
    Type type() const { return m_type; }
    const std::string& name() const { return m_name; }
    VariantMap& data() { return m_data; }
    const VariantMap& data() const { return m_data; }

    void setData(const VariantMap& data) { m_data = data; }
    void setUID(const std::string& uid) { m_uid = uid; }

    virtual std::shared_ptr<Card> clone() const;

private:
    std::string m_uid;
    Type m_type = Type();
    std::string m_name;
    VariantMap m_data;
};

}  // namespace RFID
