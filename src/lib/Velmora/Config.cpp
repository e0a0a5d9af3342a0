#include "Velmora/Config.h"

#include <cstddef>
#include <string>
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

// Counts the items of one list that are skipped, so that the list gets one warning however many
// there are: each log line may cost a write to a slow console, and a list of half a million
// wrong items would otherwise hold up the start for minutes.
class SkippedItems
{
public:
    void add(const char* what)
    {
        if (m_count < MaxExamples)
            m_examples[m_count] = what;
        ++m_count;
    }

    void report(const char* list, const char* reason) const
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
        Log::warning("[Config] WARN: %s: skipped %zu %s (%s: %s)", list, m_count,
                     m_count == 1 ? "item" : "items", reason, examples.c_str());
    }

private:
    static constexpr size_t MaxExamples = 3;
    const char* m_examples[MaxExamples] = {};
    size_t m_count = 0;
};

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
        SkippedItems skipped;
        for (const nlohmann::json& name : *list) {
            if (name.is_string())
                m_ultralightTemplates.push_back(name.get<std::string>());
            else
                skipped.add(name.type_name());
        }
        skipped.report("rfid/cardTypes/ultralight", "not a template name");
    }
}

}  // namespace RFID
