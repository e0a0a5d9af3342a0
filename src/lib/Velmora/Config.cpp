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

// Counts the items of one list that share a fault (skipped, or naming nothing known), so that the
// list gets one warning for them however many there are: each log line may cost a write to a slow
// console, and a list of half a million wrong items would otherwise hold up the start for minutes.
class ListItems
{
public:
    void add(const nlohmann::json& item)
    {
        if (m_count < MaxExamples)
            m_examples[m_count] = exampleOf(item);
        ++m_count;
    }

    // "<list>: <what> <count> items (<reason>: <a few examples>, ...)".
    void report(const char* list, const char* what, const char* reason) const
    {
        if (m_count == 0)
            return;
        std::string examples;
        for (size_t i = 0; i < m_count && i < MaxExamples; ++i) {
            examples += i ? ", " : "";
            examples += m_examples[i];
        }
        if (m_count > MaxExamples)
            examples += ", ...";
        Log::warning("[Config] WARN: %s: %s %zu %s (%s: %s)", list, what, m_count,
                     m_count == 1 ? "item" : "items", reason, examples.c_str());
    }

private:
    static constexpr size_t MaxExamples = 3;

    // A name may be long and hold any bytes, a line break included.
    static std::string exampleOf(const nlohmann::json& item)
    {
        return item.is_string() ? ConfigFile::excerpt(item.get_ref<const std::string&>()) : item.type_name();
    }

    std::string m_examples[MaxExamples];
    size_t m_count = 0;
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
