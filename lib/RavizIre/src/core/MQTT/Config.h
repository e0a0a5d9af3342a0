// Settings of one MQTT::Client: broker URL, credentials, client id, base topic, keep-alive and the
// switches that choose what the client logs, each a '/'-keyed setting of the store so that two
// configurations compare and show as JSON. A plain value; its owner serialises access.
#pragma once

#include <string>

#include "core/Log.h"
#include "core/SettingStore.h"

namespace MQTT {

// Text that goes into a format string (a client name) with every '%' doubled, so that it stays
// plain text.
std::string escapePercent(const std::string& text);

class Config : public SettingStore
{
public:
    // base: the default base topic; name: the client name shown in log lines.
    Config(const std::string& base, const std::string& name);

    void loadDefaults();

    std::string getUrl() const;
    std::string getUsername() const;
    std::string getPassword() const;
    std::string getClientId() const;
    std::string getBase() const;
    int getKeepAlive() const;
    // PEM file of the authorities a TLS broker's certificate must chain to; empty (the
    // default, and not stored until set) means the system's authorities.
    std::string getCaFile() const;
    bool getLogPayload() const;
    bool getLogPublished() const;
    bool getLogSubscriptions() const;
    bool getLogReceived() const;
    bool getLogfmt() const;
    // Whether the connection wrapper writes its own lines; not a setting.
    bool getLogLowLevel() const { return m_logLowLevel; }

    void setUrl(const std::string& url);
    void setUsername(const std::string& username);
    void setPassword(const std::string& password);
    void setBase(const std::string& base);
    void setCaFile(const std::string& caFile);
    void setLogPayload(bool enabled);
    void setLogSubscriptions(bool enabled);
    void setLogLowLevel(bool enabled) { m_logLowLevel = enabled; }

    void log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

private:
    std::string m_defaultBase;
    std::string m_name;
    bool m_logLowLevel = false;
};

}  // namespace MQTT
