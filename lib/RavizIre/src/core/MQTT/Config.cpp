#include "core/MQTT/Config.h"

#include <cstdarg>

#include "core/String.h"

namespace MQTT {

std::string escapePercent(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '%')
            out += '%';
    }
    return out;
}

Config::Config(const std::string& base, const std::string& name) : m_defaultBase(base), m_name(name)
{
    loadDefaults();
}

void Config::loadDefaults()
{
    set("log/logfmt", true);
    log(Log::LevelInfo, "Loading default configuration.");
    set("url", "127.0.0.1:1883");
    set("username", "");
    set("password", "");
    set("clientId", "");
    set("base", m_defaultBase);
    set("keepAliveSec", 20);
    set("log/payload", false);
    set("log/subscriptions", false);
    set("log/published", false);
    set("log/received", false);
    set("log/logfmt", false);
}

std::string Config::getUrl() const
{
    return get("url").toString();
}
std::string Config::getUsername() const
{
    return get("username").toString();
}
std::string Config::getPassword() const
{
    return get("password").toString();
}
std::string Config::getClientId() const
{
    return get("clientId").toString();
}
std::string Config::getBase() const
{
    return get("base").toString();
}
int Config::getKeepAlive() const
{
    return static_cast<int>(get("keepAliveSec").toUInt());
}
std::string Config::getCaFile() const
{
    return get("caFile").toString();
}
bool Config::getLogPayload() const
{
    return get("log/payload").toBool();
}
bool Config::getLogPublished() const
{
    return get("log/published").toBool();
}
bool Config::getLogSubscriptions() const
{
    return get("log/subscriptions").toBool();
}
bool Config::getLogReceived() const
{
    return get("log/received").toBool();
}
bool Config::getLogfmt() const
{
    return get("log/logfmt").toBool();
}

void Config::setUrl(const std::string& url)
{
    set("url", url);
}
void Config::setUsername(const std::string& username)
{
    set("username", username);
}
void Config::setPassword(const std::string& password)
{
    set("password", password);
}
void Config::setBase(const std::string& base)
{
    set("base", base);
}
void Config::setCaFile(const std::string& caFile)
{
    set("caFile", caFile);
}
void Config::setLogPayload(bool enabled)
{
    set("log/payload", enabled);
}
void Config::setLogSubscriptions(bool enabled)
{
    set("log/subscriptions", enabled);
}

void Config::log(int level, const char* format, ...) const
{
    const std::string line =
        getLogfmt() ? String::format("lib=ravizire module=mqtt class=Config client=\"%s\" message=\"%s\"",
                                     escapePercent(m_name).c_str(), format)
                    : String::format("[%s::Config] %s", escapePercent(m_name).c_str(), format);
    va_list args;
    va_start(args, format);
    Log::vprint(level, line.c_str(), args);
    va_end(args);
}

}  // namespace MQTT
