#include "Velmora/Config.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

#include "Velmora/CardReaderFactory.h"
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

// The items of one list that share a fault (skipped, or naming nothing known), for one warning.
class ListItems
{
public:
    void add(const nlohmann::json& item)
    {
        // A name may be long and hold any bytes, a line break included.
        m_items.add(item.is_string() ? String::excerpt(item.get_ref<const std::string&>())
                                     : item.type_name());
    }

    // "<list>: <what> <count> items (<reason>: <a few examples>, ...)".
    void report(const char* list, const char* what, const char* reason) const
    {
        const size_t count = m_items.count();
        if (count == 0)
            return;
        Log::warning("[Config] WARN: %s: %s %zu %s (%s: %s)", list, what, count,
                     count == 1 ? "item" : "items", reason, m_items.list().c_str());
    }

private:
    ConfigFile::Examples m_items;
};

bool isUltralightLayout(const std::string& name)
{
    const std::vector<std::string>& known = CardReaderFactory::ultralightTemplateNames();
    return std::find(known.begin(), known.end(), name) != known.end();
}

}  // namespace

bool Config::load(const std::string& path)
{
    std::string text;
    std::string reason;
    // The path may be anything the command line was given.
    const std::string shown = String::excerpt(path, String::MaxPathExcerptBytes);
    if (!ConfigFile::read(path, text, reason)) {
        Log::warning("[Config] WARN: Cannot read %s (%s), using defaults", shown.c_str(), reason.c_str());
        return false;
    }
    if (!parse(text, &reason)) {
        Log::warning("[Config] WARN: Cannot parse %s (%s), using defaults", shown.c_str(), reason.c_str());
        return false;
    }
    Log::info("[Config] Configuration loaded from %s", shown.c_str());
    return true;
}

bool Config::parse(const std::string& text, std::string* reason)
{
    nlohmann::json document;
    std::string why;
    std::string repeated;
    if (!ConfigFile::parse(text, document, why, repeated)) {
        if (reason)
            *reason = why;
        return false;
    }
    if (!document.is_object()) {
        if (reason)
            *reason = "not a JSON object";
        return false;
    }
    // An operator who appended a section rather than edit the one there would otherwise see only
    // the effects of losing the first.
    if (!repeated.empty())
        Log::warning("[Config] WARN: %s", repeated.c_str());
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
        // An unknown name stays in the list (a list of nothing else allows no layout), but is
        // named: a misspelt layout would otherwise show only as every card failing.
        ListItems skipped;
        ListItems unknown;
        for (const nlohmann::json& name : *list) {
            if (!name.is_string()) {
                skipped.add(name);
                continue;
            }
            m_ultralightTemplates.push_back(name.get<std::string>());
            if (!isUltralightLayout(m_ultralightTemplates.back()))
                unknown.add(name);
        }
        skipped.report("rfid/cardTypes/ultralight", "skipped", "not a template name");
        unknown.report("rfid/cardTypes/ultralight", "kept", "no Ultralight layout has the name");
    }
}

}  // namespace RFID
