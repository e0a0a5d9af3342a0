#include "Velmora/Config.h"

#include <utility>

#include "core/ConfigFile.h"
#include "core/Log.h"

namespace RFID {

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* name)
{
    if (!object.is_object())
        return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace

bool Config::load(const std::string& path)
{
    std::string text;
    std::string reason;
    if (!ConfigFile::read(path, text, reason)) {
        Log::warning("[Config] WARN: Cannot read '%s' (%s), using defaults", path.c_str(), reason.c_str());
        return false;
    }
    if (!parse(text, &reason)) {
        Log::warning("[Config] WARN: Cannot parse '%s' (%s), using defaults", path.c_str(), reason.c_str());
        return false;
    }
    Log::info("[Config] Configuration loaded from '%s'", path.c_str());
    return true;
}

bool Config::parse(const std::string& text, std::string* reason)
{
    nlohmann::json document;
    std::string why;
    if (!ConfigFile::parse(text, document, why)) {
        if (reason)
            *reason = why;
        return false;
    }
    if (!document.is_object()) {
        if (reason)
            *reason = "not a JSON object";
        return false;
    }
    apply(std::move(document));
    return true;
}

nlohmann::json Config::section(const std::string& name) const
{
    const nlohmann::json* found = member(*m_document, name.c_str());
    return found && found->is_object() ? *found : nlohmann::json::object();
}

void Config::apply(nlohmann::json document)
{
    m_document = std::make_shared<const nlohmann::json>(std::move(document));
    m_firmwarePath = DefaultFirmwarePath;
    m_ultralightTemplates.clear();
    const nlohmann::json* rfid = member(*m_document, "rfid");

    if (const nlohmann::json* path = rfid ? member(*rfid, "firmwarePath") : nullptr) {
        if (path->is_string() && !path->get_ref<const std::string&>().empty())
            m_firmwarePath = path->get<std::string>();
        else
            Log::warning("[Config] WARN: rfid/firmwarePath is not a directory name, using '%s'",
                         m_firmwarePath.c_str());
    }

    const nlohmann::json* cardTypes = rfid ? member(*rfid, "cardTypes") : nullptr;
    if (const nlohmann::json* list = cardTypes ? member(*cardTypes, "ultralight") : nullptr) {
        if (!list->is_array()) {
            Log::warning("[Config] WARN: rfid/cardTypes/ultralight is not a list, all templates allowed");
            return;
        }
        for (const nlohmann::json& name : *list) {
            if (name.is_string())
                m_ultralightTemplates.push_back(name.get<std::string>());
            else
                Log::warning("[Config] WARN: rfid/cardTypes/ultralight: skipping a %s", name.type_name());
        }
    }
}

}  // namespace RFID
