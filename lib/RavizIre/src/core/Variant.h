// One value of a data map (card field, setting, JSON member) held as text plus a type tag; the tag
// decides the JSON form, the numeric and boolean readers always parse the text. A plain value that
// owns its text; no locking, copies are independent.
#pragma once

#include <string>

class VariantMap;

class Variant
{
public:
    // The tag values are visible in stored data and compared by callers: keep the numbers.
    enum Type
    {
        TypeNull = 0,
        TypeString = 1,
        TypeInt = 2,
        TypeUInt = 3,
        TypeDouble = 4,
        TypeBool = 5,
        TypeMap = 6,
    };

    Variant() = default;
    Variant(const Variant&) = default;
    Variant(Variant&&) noexcept = default;
    Variant(const std::string& text);
    Variant(std::string&& text) noexcept;
    // A null pointer throws std::logic_error, as a std::string would.
    Variant(const char* text);
    Variant(int value);
    Variant(bool value);
    // Compact JSON of the map; text that is not valid UTF-8 comes out as U+FFFD, never an exception.
    Variant(const VariantMap& map);

    // The same tags as the matching assignments, so that Variant(x) and v = x agree.
    Variant(unsigned char value) : Variant(static_cast<int>(value)) {}
    Variant(unsigned short value) : Variant(static_cast<int>(value)) {}
    Variant(long value);
    Variant(unsigned int value);
    Variant(unsigned long value);
    Variant(double value);

    Variant& operator=(const Variant&) = default;
    Variant& operator=(Variant&&) noexcept = default;
    Variant& operator=(const std::string& text);
    Variant& operator=(std::string&& text) noexcept;
    Variant& operator=(const char* text);
    Variant& operator=(unsigned char value);
    Variant& operator=(unsigned short value);
    Variant& operator=(int value);
    Variant& operator=(long value);
    Variant& operator=(unsigned int value);
    Variant& operator=(unsigned long value);
    Variant& operator=(double value);
    Variant& operator=(bool value);
    Variant& operator=(const VariantMap& map);

    int type() const { return m_type; }
    bool isNull() const { return m_type == TypeNull; }

    const std::string& toString() const { return m_text; }
    int toInt() const;
    unsigned int toUInt() const;
    double toDouble() const;
    bool toBool() const;
    // Only a map Variant parses; any other tag gives an empty map.
    VariantMap toMap() const;

    operator std::string() const { return m_text; }
    operator int() const { return toInt(); }
    operator unsigned int() const { return toUInt(); }
    operator unsigned char() const { return static_cast<unsigned char>(toUInt()); }
    operator unsigned short() const { return static_cast<unsigned short>(toUInt()); }
    operator bool() const { return toBool(); }

private:
    void setSigned(long long value);
    void setUnsigned(unsigned long long value);

    std::string m_text;
    int m_type = TypeNull;
};

// Equal when both the text bytes and the tags are equal.
bool operator==(const Variant& a, const Variant& b);
inline bool operator!=(const Variant& a, const Variant& b)
{
    return !(a == b);
}
