// Card data, settings and JSON message bodies as one flat map from '/'-joined path keys to Variant
// values (a/b, list/0, list/_size), with the conversions from and to nested JSON. A plain value
// that owns its entries; no locking, a map shared between threads is guarded by its owner.
#pragma once

#include <cstddef>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "core/Variant.h"

class VariantMap
{
public:
    // Indices above this are refused when building JSON: a key such as x/4000000000 from a peer
    // must not make us allocate billions of nulls.
    static constexpr size_t MaxArrayIndex = 65535;
    // Deeper keys and documents are refused on every way in: building JSON from them recurses once
    // per level, and a peer's 60,000 levels would overflow the stack.
    static constexpr size_t MaxDepth = 256;
    // The nulls one conversion to JSON may pad its arrays with, in all: indices along one key add
    // up, so a short key such as 65535/65535/... cannot make gigabytes of them.
    static constexpr size_t MaxArrayElements = 1048576;

    VariantMap() = default;
    VariantMap(const VariantMap&) = default;
    VariantMap(VariantMap&&) = default;
    VariantMap& operator=(const VariantMap&) = default;
    VariantMap& operator=(VariantMap&&) = default;
    virtual ~VariantMap();

    bool exists(const std::string& key) const { return m_entries.count(key) != 0; }
    size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }
    std::vector<std::string> keys() const;

    // Throws std::out_of_range "Key not found: <key>" when absent.
    const Variant& operator[](const std::string& key) const;
    // Inserts a null Variant when absent (checkDepth first).
    Variant& operator[](const std::string& key);

    // A map value is spread into key/<its keys>; nothing is stored under the key itself. Throws
    // std::out_of_range for a key deeper than MaxDepth.
    void set(const std::string& key, const Variant& value);
    // The exact entry, or the sub-tree under key/ as a map Variant with the prefix cut off, or
    // null. '*' and '?' in the key act as wildcards.
    Variant get(const std::string& key) const;

    bool operator!=(const VariantMap& other) const { return m_entries != other.m_entries; }
    bool operator==(const VariantMap& other) const { return m_entries == other.m_entries; }

    // Replaces every entry by the flattened form of the value; throws std::out_of_range, leaving
    // the map empty, for a value nested deeper than MaxDepth.
    VariantMap& fromJson(const nlohmann::json& value);
    // Lets the JSON library's type_error 305 (a path used both as value and as parent, or as
    // array and as object) and parse_error (a string starting with '{' that is not JSON) through;
    // throws std::out_of_range for a negative array index or one above MaxArrayIndex, for arrays
    // that would hold more than MaxArrayElements in all, and for nesting deeper than MaxDepth.
    // Strings that are not valid UTF-8 come out with U+FFFD in place of the bad bytes.
    nlohmann::json toJson() const;

    // Throws std::out_of_range when the key names more than MaxDepth levels.
    static void checkDepth(const std::string& key);
    // The JSON form of one value, by its tag; shared with the other stores that build JSON.
    static nlohmann::json toJsonValue(const Variant& value);
    // Places one value at the '/'-separated path under root, with the rules of toJson;
    // arrayElements counts the array elements of the whole conversion against MaxArrayElements.
    static void placeJsonValue(nlohmann::json& root, const std::string& key, const Variant& value,
                               size_t& arrayElements);

private:
    std::map<std::string, Variant> m_entries;
};
