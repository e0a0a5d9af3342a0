#include "core/MQTT/Client.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <utility>

#include "core/String.h"
#include "core/Utils.h"

namespace MQTT {

namespace {

constexpr int RetryPauseMs = 2000;
constexpr int StopPauseMs = 200;
const char* const ErrorTopic = "error";

bool isTlsUrl(const std::string& url)
{
    for (const char* scheme : {"ssl://", "mqtts://", "wss://"})
        if (url.rfind(scheme, 0) == 0)
            return true;
    return false;
}

// Levels of a topic or filter; empty levels are levels too ("a//b" has three).
std::vector<std::string> levels(const std::string& text)
{
    std::vector<std::string> result;
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        if (slash == std::string::npos) {
            result.push_back(text.substr(start));
            return result;
        }
        result.push_back(text.substr(start, slash - start));
        start = slash + 1;
    }
}

// The rest of the topic after `base` when the topic lies under it (or is it).
bool underBase(const std::string& topic, const std::string& base, std::string& rest)
{
    if (base.empty()) {
        rest = topic;
        return true;
    }
    if (topic.compare(0, base.size(), base) != 0)
        return false;
    if (topic.size() == base.size() || base.back() == '/') {
        rest = topic.substr(base.size());
        return true;
    }
    if (topic[base.size()] != '/')
        return false;
    rest = topic.substr(base.size() + 1);
    return true;
}

// Relative keys are subscribed through combinePath, which drops one leading '/'; they are
// matched the same way.
std::string relativeFilter(const std::string& key)
{
    return !key.empty() && key.front() == '/' ? key.substr(1) : key;
}

}  // namespace

Client::Client(const std::string& base, const std::string& name)
    : m_name(name),
      m_callerTag(drawCallerTag()),
      m_client(this),
      m_config(std::make_shared<MQTT::Config>(base, name)),
      m_idGenerator(static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()),
                    HeldCallIds)
{
}

Client::~Client()
{
    stop();
    stopMonitorThread();
    {
        std::lock_guard<std::mutex> lock(m_workMutex);
        m_quit = true;
        m_workWake.notify_all();
    }
    if (m_subscriptionsThread.joinable())
        m_subscriptionsThread.join();
    // From here on no listener call reaches this object.
    m_client.close();
}

std::shared_ptr<const MQTT::Config> Client::config() const
{
    std::lock_guard<std::mutex> lock(m_configMutex);
    return m_config;
}

MQTT::Config Client::getConfig() const
{
    return *config();
}

bool Client::isConnected() const
{
    return m_client.isConnected();
}

template <typename... Args>
void Client::emitSafely(Signal<Args...>& signal, Args... args)
{
    try {
        signal.emit(args...);
    } catch (const std::exception& e) {
        log(Log::LevelError, "A signal slot failed: %s",
            String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        log(Log::LevelError, "A signal slot failed.");
    }
}

// ---------------------------------------------------------------------------------------------
// Logging

void Client::logLineV(const MQTT::Config& config, int level, const char* format, va_list args) const
{
    const std::string line =
        config.getLogfmt()
            ? String::format("lib=ravizire module=mqtt class=Client client=\"%s\" message=\"%s\"",
                             escapePercent(m_name).c_str(), format)
            : String::format("[%s::Client] %s", escapePercent(m_name).c_str(), format);
    Log::vprint(level, line.c_str(), args);
}

void Client::logLine(const MQTT::Config& config, int level, const char* format, ...) const
{
    va_list args;
    va_start(args, format);
    logLineV(config, level, format, args);
    va_end(args);
}

std::string Client::shown(const std::string& text)
{
    return String::escaped(text);
}

void Client::log(int level, const char* format, ...) const
{
    auto cfg = config();
    va_list args;
    va_start(args, format);
    logLineV(*cfg, level, format, args);
    va_end(args);
}

namespace {

std::string payloadPart(const MQTT::Config& config, const MQTT::Message& message)
{
    if (!config.getLogPayload())
        return std::string();
    const std::string shown = String::escaped(message.payload, String::MaxPayloadExcerptBytes);
    return config.getLogfmt() ? " payload=\"" + shown + "\"" : " : " + shown;
}

}  // namespace

void Client::logReceived(const MQTT::Config& config, const MQTT::Message& message) const
{
    if (!config.getLogReceived())
        return;
    const std::string payload = payloadPart(config, message);
    const bool retained = message.retained == Retained::Retained;
    if (config.getLogfmt())
        Log::print(Log::LevelInfo,
                   "lib=ravizire module=mqtt class=Client client=\"%s\" method=received topic=%s qos=%d "
                   "retained=%s%s",
                   m_name.c_str(), shown(message.topic).c_str(), qosLevel(message.qos),
                   retained ? "true" : "false", payload.c_str());
    else
        logLine(config, Log::LevelInfo, "%s message received (qos=%d): %s%s", retained ? "Retained" : "New",
                qosLevel(message.qos), shown(message.topic).c_str(), payload.c_str());
}

void Client::logPublished(const MQTT::Config& config, const MQTT::Message& message) const
{
    if (!config.getLogPublished())
        return;
    const std::string payload = payloadPart(config, message);
    const bool retained = message.retained == Retained::Retained;
    if (config.getLogfmt())
        Log::print(Log::LevelInfo,
                   "lib=ravizire module=mqtt class=Client client=\"%s\" method=publish topic=%s qos=%d "
                   "retained=%s%s",
                   m_name.c_str(), shown(message.topic).c_str(), qosLevel(message.qos),
                   retained ? "true" : "false", payload.c_str());
    else
        logLine(config, Log::LevelInfo, "Publishing%s message (qos=%d): %s%s", retained ? " retained" : "",
                qosLevel(message.qos), shown(message.topic).c_str(), payload.c_str());
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void Client::start()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_running)
        return;
    auto cfg = config();
    logLine(*cfg, Log::LevelInfo, "Starting...");
    emitSafely(starting);

    std::string clientId = cfg->getClientId();
    if (clientId.empty())
        clientId = Utils::getProcessId();
    const std::string url = cfg->getUrl();
    logLine(*cfg, Log::LevelInfo, "Connecting to broker:%s with clientId: %s).",
            String::escaped(url, String::MaxPathExcerptBytes).c_str(), shown(clientId).c_str());
    m_client.setClientId(clientId);
    m_client.setUrl(url);
    m_client.setUsername(cfg->getUsername());
    m_client.setPassword(cfg->getPassword());
    m_client.setKeepAlive(cfg->getKeepAlive());
    m_client.setLogEnabled(cfg->getLogLowLevel());
    if (!cfg->getCaFile().empty())
        m_client.setTrustStore(cfg->getCaFile());
    if (isTlsUrl(url))
        m_client.setEnableServerCertAuth(true);
    advanceNow(Link::Event::Start);
    logLine(*cfg, Log::LevelInfo, "Started!");
}

void Client::stop()
{
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (!m_running)
        return;
    auto cfg = config();
    logLine(*cfg, Log::LevelInfo, "Stopping...");
    emitSafely(stopping);
    // Lets messages published just before stopping leave first.
    std::this_thread::sleep_for(std::chrono::milliseconds(StopPauseMs));
    advanceNow(Link::Event::Stop);
    logLine(*cfg, Log::LevelInfo, "Stopped!");
}

bool Client::setConfig(const MQTT::Config& newConfig)
{
    const std::string base = newConfig.getBase();
    if (const char* fault = topicFault(base, TopicUse::Base)) {
        log(Log::LevelError, "Settings refused, those in force kept: base '%s' (%zu bytes) %s.",
            shown(base).c_str(), base.size(), fault);
        return false;
    }
    std::unique_lock<std::mutex> life(m_lifeMutex);
    auto current = config();
    bool same = false;
    try {
        same = current->toJson() == newConfig.toJson();
    } catch (const std::exception& e) {
        // A store that cannot be shown as JSON is taken as different.
        log(Log::LevelWarning, "Settings cannot be compared: %s",
            String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    if (same)
        return true;
    std::vector<Dropped> dropped;
    {
        // Under the tables' lock, so that every name is judged with the base it is served under.
        std::lock_guard<std::mutex> tables(m_subscriptionsMutex);
        {
            std::lock_guard<std::mutex> lock(m_configMutex);
            m_config = std::make_shared<MQTT::Config>(newConfig);
        }
        dropped = dropWhatNoLongerFits(base);
    }
    // Written with the tables free: many names may go at once, and every call waits for that lock.
    for (const Dropped& entry : dropped)
        log(Log::LevelError, "%s %s (%zu bytes) dropped under base %s: %s.", entry.kind,
            String::excerpt(entry.name).c_str(), entry.name.size(), String::excerpt(base).c_str(),
            entry.fault);
    const bool restart = m_running;
    life.unlock();
    // Past the life lock: a tree setter may hold the tree's lock and change the settings.
    forgetTreeNodes(dropped);
    if (restart) {
        stop();
        start();
    }
    return true;
}

void Client::onConnected()
{
    auto cfg = config();
    logLine(*cfg, Log::LevelInfo, "Connected to broker: '%s'",
            String::escaped(cfg->getUrl(), String::MaxPathExcerptBytes).c_str());
    advanceNow(Link::Event::Connected);
}

void Client::onDisconnected()
{
    log(Log::LevelInfo, "Disconnected from broker.");
    emitSafely(disconnected);
    advanceNow(Link::Event::Lost);
}

void Client::onConnectFailed(const std::string& reason)
{
    log(Log::LevelError, "Connection failed (reason=%s).", reason.c_str());
    emitSafely(connectFailed);
    advanceNow(Link::Event::ConnectFailed);
}

void Client::advanceNow(Link::Event event)
{
    std::lock_guard<std::mutex> lock(m_workMutex);
    advance(event);
}

void Client::advance(Link::Event event)
{
    const Link::Step step = Link::step(m_link, event);
    if (step.next == Link::State::Stopped && m_link != Link::State::Stopped) {
        // Pending retries belong to the run that ends here.
        m_subscribeRetries.clear();
        m_unsubscribeRetries.clear();
    }
    m_link = step.next;
    m_running = m_link != Link::State::Stopped;
    switch (step.action) {
        case Link::Action::None:
            break;
        case Link::Action::Connect:
            m_client.connect();
            break;
        case Link::Action::Disconnect:
            m_client.disconnect(0);
            break;
        case Link::Action::Subscribe:
            m_passRequested = true;
            wakeWork();
            break;
        case Link::Action::PauseThenConnect:
            m_reconnectAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(RetryPauseMs);
            wakeWork();
            break;
    }
}

// ---------------------------------------------------------------------------------------------
// Subscriptions

void Client::wakeWork()
{
    if (m_quit)
        return;
    if (!m_subscriptionsThread.joinable())
        m_subscriptionsThread = std::thread(&Client::subscriptionsThreadMain, this);
    m_workWake.notify_one();
}

void Client::scheduleRetry(const std::string& filter, bool subscribe)
{
    std::lock_guard<std::mutex> lock(m_workMutex);
    if (m_quit || !m_running)
        return;
    auto& retries = subscribe ? m_subscribeRetries : m_unsubscribeRetries;
    retries[filter] = std::chrono::steady_clock::now() + std::chrono::milliseconds(RetryPauseMs);
    wakeWork();
}

void Client::subscriptionsThreadMain()
{
    // Takes the filters whose time has come out of a retry table.
    auto due = [](std::map<std::string, TimePoint>& retries, TimePoint now) {
        std::vector<std::string> filters;
        for (auto it = retries.begin(); it != retries.end();) {
            if (it->second <= now) {
                filters.push_back(it->first);
                it = retries.erase(it);
            } else {
                ++it;
            }
        }
        return filters;
    };

    std::unique_lock<std::mutex> lock(m_workMutex);
    while (!m_quit) {
        const TimePoint now = std::chrono::steady_clock::now();
        if (m_passRequested) {
            m_passRequested = false;
            lock.unlock();
            try {
                log(Log::LevelInfo, "Subscriptions thread started!");
                subscriptionFunction();
                registerLambdaTreeOnce();
                log(Log::LevelInfo, "Subscriptions thread ended!");
                emitSafely(connected);
            } catch (const std::exception& e) {
                log(Log::LevelError, "Subscription pass failed: %s",
                    String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
            } catch (...) {
                log(Log::LevelError, "Subscription pass failed.");
            }
            lock.lock();
            continue;
        }
        if (m_link == Link::State::Waiting && m_reconnectAt <= now) {
            advance(Link::Event::ReconnectDue);
            continue;
        }
        std::vector<std::string> subscribes = due(m_subscribeRetries, now);
        std::vector<std::string> unsubscribes = due(m_unsubscribeRetries, now);
        if (!subscribes.empty() || !unsubscribes.empty()) {
            lock.unlock();
            // A filter the broker refused is asked for again only while something still needs it:
            // a refusal that cost the connection would otherwise cost it again every time.
            for (const auto& filter : subscribes)
                if (filterWanted(filter))
                    m_client.subscribe(filter, 0);
            // And one let go is let go again only while nothing asks for it: a call made since
            // would lose its answers.
            for (const auto& filter : unsubscribes)
                if (!filterWanted(filter))
                    m_client.unsubscribe(filter);
            lock.lock();
            continue;
        }
        TimePoint next = TimePoint::max();
        if (m_link == Link::State::Waiting)
            next = m_reconnectAt;
        for (const auto& retry : m_subscribeRetries) next = std::min(next, retry.second);
        for (const auto& retry : m_unsubscribeRetries) next = std::min(next, retry.second);
        if (next == TimePoint::max())
            m_workWake.wait(lock);
        else
            m_workWake.wait_until(lock, next);
    }
}

std::vector<std::pair<const char*, std::string>> Client::wantedFilters(const std::string& base) const
{
    std::vector<std::pair<const char*, std::string>> filters;
    for (const auto& entry : m_externalCommands) filters.emplace_back("external command", entry.first);
    for (const auto& entry : m_internalCommands)
        filters.emplace_back("command", Utils::combinePath(base, entry.first));
    for (const auto& entry : m_rpcHandlers) {
        const std::string name = Utils::combinePath(base, entry.first);
        for (const char* tail : {"request/+", "request/+/+"})
            filters.emplace_back("rpc", Utils::combinePath(name, tail));
    }
    for (const auto& name : m_expectedRpcs) filters.emplace_back("expected rpc", responseFilter(name));
    return filters;
}

bool Client::filterWanted(const std::string& filter) const
{
    const std::string base = config()->getBase();
    std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
    for (const auto& wanted : wantedFilters(base))
        if (wanted.second == filter)
            return true;
    return false;
}

void Client::subscriptionFunction()
{
    auto cfg = config();
    std::vector<std::pair<const char*, std::string>> filters;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        if (!m_running)
            return;
        filters = wantedFilters(cfg->getBase());
    }
    for (const auto& filter : filters) {
        if (cfg->getLogSubscriptions())
            logLine(*cfg, Log::LevelDebug, "Subscribing to %s '%s'...", filter.first,
                    shown(filter.second).c_str());
        m_client.subscribe(filter.second, 0);
    }
}

void Client::onSubscribed(const std::string& topic)
{
    if (config()->getLogSubscriptions())
        log(Log::LevelInfo, "Subscribed to topic '%s'.", shown(topic).c_str());
    emitSafely(subscribed, std::string(topic));
}

void Client::onSubscribeFailed(const std::string& topic)
{
    if (subscribeFailed.size() != 0) {
        emitSafely(subscribeFailed, std::string(topic));
        return;
    }
    log(Log::LevelError, "Failed to subscribe to topic '%s'", shown(topic).c_str());
    scheduleRetry(topic, true);
}

void Client::onUnsubscribed(const std::string& topic)
{
    if (config()->getLogSubscriptions())
        log(Log::LevelInfo, "Unsubscribed from topic '%s'.", shown(topic).c_str());
}

void Client::onUnsubscribeFailed(const std::string& topic)
{
    log(Log::LevelError, "Failed to unsubscribe from topic '%s'", shown(topic).c_str());
    scheduleRetry(topic, false);
}

void Client::onMessageSent(int) {}

void Client::onMessageDelivered(int) {}

void Client::onMessageSendFailed(int messageId)
{
    log(Log::LevelError, "Message send failed (id=%d).", messageId);
}

bool Client::subscribeCommand(const std::string& topic, Handler handler, bool relative)
{
    std::shared_ptr<const MQTT::Config> cfg;
    std::string filter;
    const char* fault;
    {
        // Judged under the lock that setConfig changes the base under.
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        cfg = config();
        filter = relative ? Utils::combinePath(cfg->getBase(), topic) : topic;
        fault = topicFault(filter, TopicUse::Filter);
        if (!fault)
            (relative ? m_internalCommands : m_externalCommands).emplace(topic, std::move(handler));
    }
    if (!accepted("Command filter", filter, fault))
        return false;
    if (!m_running)
        return true;  // the next connection subscribes it
    if (cfg->getLogSubscriptions())
        logLine(*cfg, Log::LevelDebug, "Subscribing to command '%s'...", shown(filter).c_str());
    return m_client.subscribe(filter, 0);
}

bool Client::unsubscribeCommand(const std::string& topic, bool relative)
{
    std::string filter;
    {
        // Read with the table, so that a base changed meanwhile cannot make it one the broker drops us for.
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        auto& table = relative ? m_internalCommands : m_externalCommands;
        if (table.erase(topic) == 0)
            return false;
        filter = relative ? Utils::combinePath(config()->getBase(), topic) : topic;
    }
    if (!m_running)
        return true;
    return m_client.unsubscribe(filter);
}

// ---------------------------------------------------------------------------------------------
// Publishing and dispatch

bool Client::publish(const MQTT::Message& message, bool relative)
{
    auto cfg = config();
    const std::string topic = relative ? Utils::combinePath(cfg->getBase(), message.topic) : message.topic;
    if (!fitsBroker(topic, TopicUse::Published, "Message topic"))
        return false;
    const bool sent = m_client.publish(topic, message.payload, qosLevel(message.qos),
                                       message.retained == Retained::Retained);
    logPublished(*cfg, message);
    return sent;
}

MQTT::Message Client::makeErrorMessage(const nlohmann::json& error, const std::string& topic) const
{
    // Text from peers need not be UTF-8; it must not make the error answer itself fail.
    const auto replace = nlohmann::json::error_handler_t::replace;
    // The failure text may quote the payload whole (a parse error, a refused value).
    const std::string text =
        error.is_string() ? error.get<std::string>() : error.dump(-1, ' ', false, replace);
    log(Log::LevelWarning, "Handling of topic '%s' failed: %s", shown(topic).c_str(),
        String::escapedSized(text, String::MaxPayloadExcerptBytes).c_str());
    nlohmann::json payload = nlohmann::json::object();
    payload["command"] = topic;
    payload["error"] = error;
    return MQTT::Message(ErrorTopic, payload.dump(-1, ' ', false, replace), Retained::New, QoS::AtMostOnce);
}

void Client::answerError(const MQTT::Config& config, const nlohmann::json& error, const std::string& topic)
{
    MQTT::Message answer = makeErrorMessage(error, topic);
    // Never answer our own error answers: a subscription that takes them in would loop forever.
    if (topic == Utils::combinePath(config.getBase(), ErrorTopic))
        return;
    publish(answer, true);
}

bool Client::dispatch(const MQTT::Config& config, const MQTT::Message& message)
{
    Handler handler;
    std::string key;
    auto find = [&](const std::map<std::string, Handler>& table, const std::string& topic, bool relative) {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        for (const auto& entry : table) {
            if (topicMatch(topic, relative ? relativeFilter(entry.first) : entry.first)) {
                key = entry.first;
                handler = entry.second;
                return true;
            }
        }
        return false;
    };

    if (find(m_commandResponses, message.topic, false)) {
        logLine(config, Log::LevelDebug, "Detected command response '%s'", shown(key).c_str());
        handler(message);
        return true;
    }
    std::string rest;
    if (underBase(message.topic, config.getBase(), rest)) {
        const std::string relativeTopic = removeTopicPart(message.topic, config.getBase());
        if (find(m_internalCommands, relativeTopic, true)) {
            logLine(config, Log::LevelDebug, "Detected internal command '%s'", shown(key).c_str());
            handler(MQTT::Message(relativeTopic, message.payload, message.retained, message.qos));
            return true;
        }
    }
    if (find(m_externalCommands, message.topic, false)) {
        logLine(config, Log::LevelDebug, "Detected command '%s'", shown(key).c_str());
        handler(message);
        return true;
    }
    return handleReceivedRpcRequest(message) || handleReceivedRpcResponse(message);
}

void Client::onMessageReceived(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    auto cfg = config();
    const MQTT::Message message(topic, payload, retained ? Retained::Retained : Retained::New,
                                qosFromLevel(qos));
    logReceived(*cfg, message);
    try {
        if (!dispatch(*cfg, message))
            answerError(*cfg, "Unknown topic", topic);
    } catch (const std::exception& e) {
        answerError(*cfg, e.what(), topic);
    } catch (...) {
        answerError(*cfg, "Unknown error", topic);
    }
}

// ---------------------------------------------------------------------------------------------
// Topics

bool Client::topicMatch(const std::string& topic, std::string filter)
{
    if (topic == filter)
        return true;
    const std::vector<std::string> topicLevels = levels(topic);
    const std::vector<std::string> filterLevels = levels(filter);
    if (!topic.empty() && topic.front() == '$' && (filterLevels[0] == "+" || filterLevels[0] == "#"))
        return false;
    for (size_t i = 0; i < filterLevels.size(); ++i) {
        const std::string& level = filterLevels[i];
        if (level == "#")
            return i + 1 == filterLevels.size();
        if (i >= topicLevels.size())
            return false;
        if (level != "+" && level != topicLevels[i])
            return false;
    }
    return filterLevels.size() == topicLevels.size();
}

std::string Client::removeTopicPart(const std::string& topic, const std::string& part)
{
    std::string rest;
    if (part.empty() || topic.empty() || !underBase(topic, part, rest))
        return topic;
    for (size_t pos; (pos = rest.find("//")) != std::string::npos;) rest.erase(pos, 1);
    if (!rest.empty() && rest.front() == '/')
        rest.erase(0, 1);
    return rest;
}

}  // namespace MQTT
