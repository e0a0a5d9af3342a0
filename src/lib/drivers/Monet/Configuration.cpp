#include "drivers/Monet/Configuration.h"

#include "core/ConfigFile.h"
#include "core/Log.h"

namespace Monet {

ConfigurationProvider fileConfiguration(std::string path)
{
    return [path = std::move(path)]() -> nlohmann::json {
        std::string text;
        std::string reason;
        std::string repeated;
        nlohmann::json value;
        if (!ConfigFile::read(path, text, reason) || !ConfigFile::parse(text, value, reason, repeated)) {
            Log::warning("[Monet] WARN: Cannot read configuration %s (%s)",
                         String::excerpt(path, String::MaxPathExcerptBytes).c_str(), reason.c_str());
            return nullptr;
        }
        if (!repeated.empty())
            Log::warning("[Monet] WARN: Configuration %s: %s",
                         String::excerpt(path, String::MaxPathExcerptBytes).c_str(),
                         repeated.c_str());
        return value;
    };
}

nlohmann::json configurationValue(const ConfigurationProvider& provider, const std::string& path)
{
    if (!provider)
        return nullptr;
    nlohmann::json value;
    try
    {
        value = provider();
    }
    catch (const std::exception& e)
    {
        Log::warning("[Monet] WARN: Configuration unavailable: %s",
                     String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        return nullptr;
    }
    const nlohmann::json* node = &value;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (!node->is_object())
            return nullptr;
        auto it = node->find(path.substr(start, end - start));
        if (it == node->end())
            return nullptr;
        node = &*it;
        start = end + 1;
    }
    return *node;
}

}  // namespace Monet
