#include "core/SettingStore.h"

#include <algorithm>

#include "core/Utils.h"
#include "core/VariantMap.h"

SettingStore::~SettingStore() = default;

void SettingStore::set(const std::string& key, const Variant& value)
{
    if (value.type() != Variant::TypeMap) {
        VariantMap::checkDepth(key);
        m_settings[key] = value;
        return;
    }
    VariantMap map = value.toMap();
    // All or nothing: every key is checked before the first is stored.
    for (const std::string& member : map.keys()) VariantMap::checkDepth(key + "/" + member);
    for (const std::string& member : map.keys()) m_settings[key + "/" + member] = map[member];
}

Variant SettingStore::get(const std::string& key) const
{
    auto it = m_settings.find(key);
    if (it != m_settings.end())
        return it->second;
    const std::string pattern = key + "/*";
    VariantMap group;
    for (const auto& entry : m_settings) {
        // A key holding wildcards may match entries shorter than itself.
        if (Utils::match(entry.first, pattern))
            group.set(entry.first.substr(std::min(entry.first.size(), key.size() + 1)), entry.second);
    }
    if (group.empty())
        return Variant();
    return Variant(group);
}

nlohmann::json SettingStore::toJson() const
{
    nlohmann::json result;
    size_t arrayElements = 0;
    for (const auto& entry : m_settings)
        VariantMap::placeJsonValue(result, entry.first, entry.second, arrayElements);
    return result;
}
