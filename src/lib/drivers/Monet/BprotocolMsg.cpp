#include "drivers/Monet/BprotocolMsg.h"

#include "NFC/ByteReader.h"
#include "core/Log.h"

namespace MonetReader {

namespace {

std::string popFrom(const std::vector<BprotocolMsg::FIDandValue>& list, uint8_t id)
{
    for (const auto& element : list)
        if (element.id == id)
            return element.value;
    return {};
}

// The value runs to the next separator or the end; the separator stays for the next element.
std::string valueUntil(NFC::ByteReader& reader, bool subField)
{
    std::string value;
    uint8_t next = 0;
    while (reader.peek(next) && next != BprotocolMsg::FieldSeparator &&
           !(subField && next == BprotocolMsg::SubFieldSeparator))
        value.push_back(static_cast<char>(reader.u8()));
    return value;
}

}  // namespace

BprotocolMsg::Ptr BprotocolMsg::make()
{
    return std::make_shared<BprotocolMsg>();
}

BprotocolMsg::Ptr BprotocolMsg::make(const uint8_t* body, size_t size)
{
    auto msg = std::make_shared<BprotocolMsg>();
    msg->m_valid = false;
    msg->deserialize(body, size);
    return msg;
}

BprotocolMsg::Ptr BprotocolMsg::makeMalformed()
{
    auto msg = std::make_shared<BprotocolMsg>();
    msg->m_valid = false;
    return msg;
}

void BprotocolMsg::pushFID(FID id, const std::string& value)
{
    if (value.find(static_cast<char>(FieldSeparator)) != std::string::npos)
        m_valid = false;
    m_fields.push_back({id, value});
}

void BprotocolMsg::pushsFID(sFID id, const std::string& value)
{
    if (value.find_first_of("\x1C\x1D") != std::string::npos)
        m_valid = false;
    m_subFields.push_back({id, value});
}

std::string BprotocolMsg::popFID(FID id) const
{
    return popFrom(m_fields, id);
}

std::string BprotocolMsg::popsFID(sFID id) const
{
    return popFrom(m_subFields, id);
}

bool BprotocolMsg::hasFID(FID id) const
{
    for (const auto& element : m_fields)
        if (element.id == id)
            return true;
    return false;
}

size_t BprotocolMsg::serializedSize() const
{
    size_t size = 0;
    for (const auto& element : m_fields) size += 2 + element.value.size();
    if (!m_subFields.empty())
        size += 2;
    for (const auto& element : m_subFields) size += 2 + element.value.size();
    return size;
}

void BprotocolMsg::serialize(std::vector<uint8_t>& out) const
{
    out.reserve(out.size() + serializedSize());
    for (const auto& element : m_fields) {
        out.push_back(FieldSeparator);
        out.push_back(element.id);
        out.insert(out.end(), element.value.begin(), element.value.end());
    }
    if (m_subFields.empty())
        return;
    out.push_back(FieldSeparator);
    out.push_back(FidSubFields);
    for (const auto& element : m_subFields) {
        out.push_back(SubFieldSeparator);
        out.push_back(element.id);
        out.insert(out.end(), element.value.begin(), element.value.end());
    }
}

std::vector<uint8_t> BprotocolMsg::serialize() const
{
    std::vector<uint8_t> out;
    serialize(out);
    return out;
}

bool BprotocolMsg::deserialize(const uint8_t* body, size_t size)
{
    // A body that does not parse leaves no half-read fields behind.
    if (!parse(body, size)) {
        m_fields.clear();
        m_subFields.clear();
    }
    return m_valid;
}

bool BprotocolMsg::parse(const uint8_t* body, size_t size)
{
    m_fields.clear();
    m_subFields.clear();
    m_valid = false;
    NFC::ByteReader reader(body, size);
    if (reader.remaining() == 0)
        return m_valid = true;

    // The separator byte of each element is taken whatever its value, as the reader sends it.
    while (true) {
        if (reader.remaining() < 3) {
            Log::error("[Monet] Invalid FID list detected");
            return false;
        }
        reader.skip(1);
        const uint8_t id = reader.u8();
        if (id == FidSubFields)
            break;
        m_fields.push_back({id, valueUntil(reader, false)});
        if (reader.remaining() == 0)
            return m_valid = true;
    }

    // Once the sub-field section opened, every later element is a sub-field.
    if (reader.remaining() < 3) {
        Log::error("[Monet] Invalid sFID list detected");
        return false;
    }
    while (true) {
        reader.skip(1);
        const uint8_t id = reader.u8();
        m_subFields.push_back({id, valueUntil(reader, true)});
        if (reader.remaining() == 0)
            return m_valid = true;
        if (reader.remaining() < 3) {
            Log::error("[Monet] Invalid sFID list detected");
            return false;
        }
    }
}

}  // namespace MonetReader
