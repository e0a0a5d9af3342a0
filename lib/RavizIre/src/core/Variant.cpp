#include "core/Variant.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

#include "core/String.h"
#include "core/VariantMap.h"

namespace {

const char* checked(const char* text)
{
    if (text == nullptr)
        throw std::logic_error("basic_string::_M_construct null not valid");
    return text;
}

std::string mapText(const VariantMap& map)
{
    return map.toJson().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

Variant::Variant(const std::string& text) : m_text(text), m_type(TypeString) {}

Variant::Variant(std::string&& text) noexcept : m_text(std::move(text)), m_type(TypeString) {}

Variant::Variant(const char* text) : m_text(checked(text)), m_type(TypeString) {}

Variant::Variant(int value)
{
    setSigned(value);
}

Variant::Variant(bool value) : m_text(String::fromBool(value)), m_type(TypeBool) {}

Variant::Variant(const VariantMap& map) : m_text(mapText(map)), m_type(TypeMap) {}

Variant::Variant(long value)
{
    setSigned(value);
}

Variant::Variant(unsigned int value)
{
    setUnsigned(value);
}

Variant::Variant(unsigned long value)
{
    setUnsigned(value);
}

Variant::Variant(double value) : m_text(String::fromDouble(value)), m_type(TypeDouble) {}

Variant& Variant::operator=(const std::string& text)
{
    m_text = text;
    m_type = TypeString;
    return *this;
}

Variant& Variant::operator=(std::string&& text) noexcept
{
    m_text = std::move(text);
    m_type = TypeString;
    return *this;
}

Variant& Variant::operator=(const char* text)
{
    m_text = checked(text);
    m_type = TypeString;
    return *this;
}

Variant& Variant::operator=(unsigned char value)
{
    setSigned(value);
    return *this;
}

Variant& Variant::operator=(unsigned short value)
{
    setSigned(value);
    return *this;
}

Variant& Variant::operator=(int value)
{
    setSigned(value);
    return *this;
}

Variant& Variant::operator=(long value)
{
    setSigned(value);
    return *this;
}

Variant& Variant::operator=(unsigned int value)
{
    setUnsigned(value);
    return *this;
}

Variant& Variant::operator=(unsigned long value)
{
    setUnsigned(value);
    return *this;
}

Variant& Variant::operator=(double value)
{
    m_text = String::fromDouble(value);
    m_type = TypeDouble;
    return *this;
}

Variant& Variant::operator=(bool value)
{
    m_text = String::fromBool(value);
    m_type = TypeBool;
    return *this;
}

Variant& Variant::operator=(const VariantMap& map)
{
    // Build the text first so that a throwing conversion leaves this value as it was.
    std::string text = mapText(map);
    m_text = std::move(text);
    m_type = TypeMap;
    return *this;
}

void Variant::setSigned(long long value)
{
    m_text = std::to_string(value);
    m_type = TypeInt;
}

void Variant::setUnsigned(unsigned long long value)
{
    m_text = std::to_string(value);
    m_type = TypeUInt;
}

// The integer readers keep the low 32 bits, so 4294967295 reads as -1 through toInt.
int Variant::toInt() const
{
    return static_cast<int32_t>(static_cast<uint32_t>(String::toInteger(m_text, 0)));
}

unsigned int Variant::toUInt() const
{
    return static_cast<uint32_t>(String::toInteger(m_text, 0));
}

double Variant::toDouble() const
{
    return String::toDouble(m_text);
}

bool Variant::toBool() const
{
    return String::toBool(m_text);
}

VariantMap Variant::toMap() const
{
    VariantMap map;
    if (m_type == TypeMap)
        map.fromJson(nlohmann::json::parse(m_text));
    return map;
}

bool operator==(const Variant& a, const Variant& b)
{
    return a.type() == b.type() && a.toString() == b.toString();
}
