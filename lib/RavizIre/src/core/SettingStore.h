// Settings of one component as '/'-keyed Variant values ("log/payload"): a group is written with
// one map value, read back by its path, and the whole store turns into nested JSON. A plain value
// without a lock; its owner serialises access.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "core/Variant.h"

class SettingStore
{
public:
    SettingStore() = default;
    SettingStore(const SettingStore&) = default;
    SettingStore& operator=(const SettingStore&) = default;
    virtual ~SettingStore();

    // A map value is spread into key/<member> entries; the key itself gets none, and entries
    // under key that the map does not name stay. Keys deeper than VariantMap::MaxDepth throw
    // std::out_of_range.
    void set(const std::string& key, const Variant& value);
    // The value under key; else every entry under key/ as a map Variant with that prefix cut
    // off; else a null Variant.
    Variant get(const std::string& key) const;
    // Lets the JSON library's errors through: a path used both as a value and as a parent, and a
    // string starting with '{' that is not JSON. Array elements are placed by their index, within
    // the limits of VariantMap::toJson (std::out_of_range beyond them).
    nlohmann::json toJson() const;

private:
    std::map<std::string, Variant> m_settings;
};
