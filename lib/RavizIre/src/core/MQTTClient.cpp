#include "core/MQTTClient.h"

#include <cstdarg>
#include <mutex>
#include <string>
#include <utility>

#include "core/String.h"
#include "core/Log.h"

// ---------------------------------------------------------------------------------------------
// In-memory persistence

void MQTTMemoryPersistence::open(const std::string&, const std::string&) {}

void MQTTMemoryPersistence::close() {}

void MQTTMemoryPersistence::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.clear();
}

bool MQTTMemoryPersistence::contains_key(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.count(key) != 0;
}

mqtt::string_collection MQTTMemoryPersistence::keys() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    mqtt::string_collection result;
    for (const auto& entry : m_values) result.push_back(entry.first);
    return result;
}

void MQTTMemoryPersistence::put(const std::string& key, const std::vector<mqtt::string_view>& bufs)
{
    std::string value;
    size_t size = 0;
    for (const auto& buf : bufs) size += buf.size();
    value.reserve(size);
    for (const auto& buf : bufs) value.append(buf.data(), buf.size());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values[key] = std::move(value);
}

std::string MQTTMemoryPersistence::get(const std::string& key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    if (it == m_values.end())
        throw mqtt::persistence_exception(-2, "MQTTMemoryPersistance::get(): Key not found.");
    return it->second;
}

void MQTTMemoryPersistence::remove(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_values.erase(key) == 0)
        throw mqtt::persistence_exception(-2);
}

// ---------------------------------------------------------------------------------------------
// Action listeners: each passes one request's outcome to the owner's listener.

template <typename Call>
void MQTTClient::CallbackScope::notify(const char* what, Call call) const
{
    if (!m_listener)
        return;
    try {
        call(*m_listener);
    } catch (const std::exception& e) {
        Log::error("[MQTTClient] %s failed: %s", what,
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[MQTTClient] %s failed.", what);
    }
}

class MQTTActionListener : public virtual mqtt::iaction_listener
{
public:
    explicit MQTTActionListener(MQTTClient& owner) : m_owner(owner) {}

protected:
    template <typename Call>
    void notify(const mqtt::token& token, const char* what, Call call)
    {
        MQTTClient::CallbackScope scope(m_owner, &token);
        scope.notify(what, call);
    }

private:
    MQTTClient& m_owner;
};

class MQTTConnectListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;

    void on_failure(const mqtt::token& token) override
    {
        notify(token, "Connect failure handling", [&](MQTTClientListener& listener) {
            listener.onConnectFailed(MQTTClient::connectFailureText(token.get_return_code()));
        });
    }

    // The connected callback reports the connection.
    void on_success(const mqtt::token&) override {}
};

class MQTTDisconnectListener : public MQTTActionListener
{
public:
    using MQTTActionListener::MQTTActionListener;

    void on_failure(const mqtt::token& token) override
    {
        notify(token, "Disconnect",
               [](MQTTClientListener&) { Log::error("[MQTTClient] Disconnect failed."); });
    }

    void on_success(const mqtt::token& token) override
    {
        notify(token, "Disconnect handling", [](MQTTClientListener& listener) { listener.onDisconnected(); });
    }
};

namespace {

std::string firstTopic(const mqtt::token& token)
{
    auto topics = token.get_topics();
    if (!topics || topics->empty())
        return std::string();
    return (*topics)[0];
}

}  // namespace

// Subscribe, unsubscribe and publish results differ only in the listener calls they make.
class MQTTOutcomeListener : public MQTTActionListener
{
public:
    MQTTOutcomeListener(MQTTClient& owner, const char* what) : MQTTActionListener(owner), m_what(what) {}

    void on_failure(const mqtt::token& token) override { report(token, false); }
    void on_success(const mqtt::token& token) override { report(token, true); }

protected:
    virtual void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) = 0;

private:
    void report(const mqtt::token& token, bool success)
    {
        notify(token, m_what, [&](MQTTClientListener& listener) { pass(listener, token, success); });
    }

    const char* const m_what;
};

class MQTTSubscribeListener : public MQTTOutcomeListener
{
public:
    explicit MQTTSubscribeListener(MQTTClient& owner)
        : MQTTOutcomeListener(owner, "Subscription result handling")
    {
    }

private:
    void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) override
    {
        if (success)
            listener.onSubscribed(firstTopic(token));
        else
            listener.onSubscribeFailed(firstTopic(token));
    }
};

class MQTTUnSubscribeListener : public MQTTOutcomeListener
{
public:
    explicit MQTTUnSubscribeListener(MQTTClient& owner)
        : MQTTOutcomeListener(owner, "Unsubscription result handling")
    {
    }

private:
    void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) override
    {
        if (success)
            listener.onUnsubscribed(firstTopic(token));
        else
            listener.onUnsubscribeFailed(firstTopic(token));
    }
};

class MQTTPublishListener : public MQTTOutcomeListener
{
public:
    explicit MQTTPublishListener(MQTTClient& owner) : MQTTOutcomeListener(owner, "Publish result handling") {}

private:
    void pass(MQTTClientListener& listener, const mqtt::token& token, bool success) override
    {
        if (success)
            listener.onMessageSent(token.get_message_id());
        else
            listener.onMessageSendFailed(token.get_message_id());
    }
};

// ---------------------------------------------------------------------------------------------
// MQTTClient

MQTTClient::CallbackScope::CallbackScope(MQTTClient& client, const mqtt::token* token)
    : m_client(client), m_listener(nullptr)
{
    std::lock_guard<std::mutex> lock(m_client.m_callbackMutex);
    ++m_client.m_activeCallbacks;
    if (m_client.m_closed)
        return;
    if (token && token->get_client() != m_client.m_current.load())
        return;
    m_listener = m_client.m_listener;
}

MQTTClient::CallbackScope::~CallbackScope()
{
    std::lock_guard<std::mutex> lock(m_client.m_callbackMutex);
    if (--m_client.m_activeCallbacks == 0)
        m_client.m_callbacksDone.notify_all();
}

MQTTClient::MQTTClient(MQTTClientListener* listener)
    : m_listener(listener),
      m_connectListener(std::make_unique<MQTTConnectListener>(*this)),
      m_disconnectListener(std::make_unique<MQTTDisconnectListener>(*this)),
      m_subscribeListener(std::make_unique<MQTTSubscribeListener>(*this)),
      m_unsubscribeListener(std::make_unique<MQTTUnSubscribeListener>(*this)),
      m_publishListener(std::make_unique<MQTTPublishListener>(*this))
{
    m_connectOptions.set_keep_alive_interval(20);
    m_connectOptions.set_clean_session(true);
    m_connectOptions.set_connect_timeout(5);
    m_connectOptions.set_max_inflight(BrokerInflightQuota);
}

MQTTClient::~MQTTClient()
{
    close();
}

void MQTTClient::log(int level, const char* format, ...) const
{
    if (!m_logEnabled)
        return;
    std::string prefixed = std::string("[MQTTClient] ") + format;
    va_list args;
    va_start(args, format);
    Log::vprint(level, prefixed.c_str(), args);
    va_end(args);
}

std::string MQTTClient::connectFailureText(int returnCode)
{
    static const std::map<int, std::string> texts = {
        {0, "Connection accepted"}, {1, "Unacceptable protocol version"}, {2, "Identifier rejected"},
        {3, "Service unavailable"}, {4, "Bad user name or password"},     {5, "Not authorized"},
        {-1, "Connection timeout"},
    };
    auto it = texts.find(returnCode);
    return it == texts.end() ? std::string("Unknown reason") : it->second;
}

void MQTTClient::setLogEnabled(bool enabled)
{
    m_logEnabled = enabled;
}

void MQTTClient::setClientId(const std::string& clientId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clientId = clientId;
}

void MQTTClient::setUrl(const std::string& url)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_url = url;
}

void MQTTClient::setKeepAlive(int seconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectOptions.set_keep_alive_interval(seconds);
}

void MQTTClient::setUsername(const std::string& username)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectOptions.set_user_name(username);
}

void MQTTClient::setPassword(const std::string& password)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connectOptions.set_password(password);
}

void MQTTClient::setEnableServerCertAuth(bool enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sslOptions.set_enable_server_cert_auth(enabled);
    m_connectOptions.set_ssl(m_sslOptions);
}

void MQTTClient::setTrustStore(const std::string& caFile)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sslOptions.set_trust_store(caFile);
    m_connectOptions.set_ssl(m_sslOptions);
}

void MQTTClient::setWill(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_willOptions.set_topic(topic);
    m_willOptions.set_payload(payload);
    m_willOptions.set_retained(retained);
    m_willOptions.set_qos(qos);
    m_connectOptions.set_will(m_willOptions);
}

std::shared_ptr<mqtt::async_client> MQTTClient::acquire() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_client)
        return nullptr;
    std::lock_guard<std::mutex> activity(m_callbackMutex);
    ++m_activeCallbacks;
    return m_client;
}

void MQTTClient::endUse() const
{
    std::lock_guard<std::mutex> lock(m_callbackMutex);
    if (--m_activeCallbacks == 0)
        m_callbacksDone.notify_all();
}

template <typename Request>
bool MQTTClient::request(Request request)
{
    std::shared_ptr<mqtt::async_client> client = acquire();
    if (!client) {
        log(Log::LevelError, "Client not connected.");
        return false;
    }
    bool ok = false;
    try {
        mqtt::token_ptr token = request(*client);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastToken = std::move(token);
        ok = true;
    } catch (const std::exception& e) {
        log(Log::LevelError, "[ERROR] %s",
            String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    // Our copy goes before the count does, so that the last owner is never a caller's thread.
    client.reset();
    endUse();
    return ok;
}

bool MQTTClient::isConnected() const
{
    std::shared_ptr<mqtt::async_client> client = acquire();
    if (!client)
        return false;
    bool connected = client->is_connected();
    client.reset();
    endUse();
    return connected;
}

bool MQTTClient::connect()
{
    if (m_closed)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        log(Log::LevelDebug, "Connecting to '%s'",
            String::escaped(m_url, String::MaxPathExcerptBytes).c_str());
    }
    std::lock_guard<std::mutex> lock(m_threadMutex);
    if (m_threadStop)
        return false;
    // One thread serves every request: a request made while one is pending is the same request.
    m_connectRequested = true;
    if (!m_thread.joinable())
        m_thread = std::thread(&MQTTClient::connectThread, this);
    else
        m_threadWake.notify_one();
    return true;
}

void MQTTClient::connectThread()
{
    std::unique_lock<std::mutex> lock(m_threadMutex);
    for (;;) {
        m_threadWake.wait(lock, [this] { return m_connectRequested || m_threadStop; });
        if (m_threadStop)
            return;
        m_connectRequested = false;
        lock.unlock();
        connectOnce();
        lock.lock();
    }
}

namespace {

// The library stops its two threads when its last client is destroyed, and in this version the
// destroy's frees race the exiting threads' own: glibc aborts with "corrupted double-linked list"
// (about one process in two thousand that connects and closes one client). One client that never
// connects, made before the first real one and never destroyed, keeps the threads for the life of
// the process. It holds no socket; idle threads only wake for their own time-outs. The pointer is
// never read: it keeps the client reachable, so that it counts as no leak.
mqtt::async_client* volatile s_libraryAnchor = nullptr;
std::once_flag s_libraryAnchorOnce;

void keepLibraryThreads()
{
    std::call_once(s_libraryAnchorOnce, [] {
        try {
            s_libraryAnchor = new mqtt::async_client("tcp://127.0.0.1:1", "tapgate-anchor", nullptr);
        } catch (const std::exception& e) {
            Log::error("[MQTTClient] %s",
                       String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
        }
    });
}

}  // namespace

void MQTTClient::connectOnce()
{
    std::string failure;
    try {
        std::shared_ptr<mqtt::async_client> client;
        std::string url, clientId;
        mqtt::connect_options options;
        bool sameTarget = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            url = m_url;
            clientId = m_clientId;
            options = m_connectOptions;
            client = m_client;
            sameTarget = client && m_clientUrl == url && m_clientIdent == clientId;
        }
        // Only this thread and close() (which first ends this thread) replace the client, so
        // our copy stays valid without the lock. A client that is connected, or was made for
        // another broker or identity, is replaced; keeping the other one spares the library a
        // destroy while its threads may be on their way out of one of our callbacks.
        if (client && !(sameTarget && !client->is_connected())) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_client.reset();
                m_current = nullptr;
                m_lastToken.reset();
            }
            discard(std::move(client));
        }
        if (m_closed)
            return;
        if (!client) {
            keepLibraryThreads();
            mqtt::create_options create;
            create.set_max_buffered_messages(MaxQueuedRequests);
            client = std::make_shared<mqtt::async_client>(url, clientId, create, &m_persistence);
            client->set_callback(*this);
            m_current = client.get();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_client = client;
            m_clientUrl = url;
            m_clientIdent = clientId;
        }
        mqtt::token_ptr token = client->connect(options, nullptr, *m_connectListener);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastToken = std::move(token);
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "Unknown reason";
    }
    log(Log::LevelError, "[ERROR] %s",
        String::escapedSized(failure, String::MaxPayloadExcerptBytes).c_str());
    CallbackScope scope(*this, nullptr);
    scope.notify("Connect failure handling",
                 [&](MQTTClientListener& listener) { listener.onConnectFailed(failure); });
}

void MQTTClient::discard(std::shared_ptr<mqtt::async_client> client)
{
    if (!client)
        return;
    try {
        client->disable_callbacks();
    } catch (const std::exception& e) {
        log(Log::LevelError, "[ERROR] %s",
            String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    }
    // The library may be inside one of our callbacks right now, and a caller may be inside the
    // library with this client; both leave before the client goes away.
    waitForCallbacks();
    client.reset();
}

void MQTTClient::waitForCallbacks()
{
    std::unique_lock<std::mutex> lock(m_callbackMutex);
    m_callbacksDone.wait(lock, [this] { return m_activeCallbacks == 0; });
}

void MQTTClient::close()
{
    m_closed = true;
    {
        std::lock_guard<std::mutex> lock(m_threadMutex);
        m_threadStop = true;
        m_threadWake.notify_all();
    }
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
    std::shared_ptr<mqtt::async_client> client;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        client = std::move(m_client);
        m_current = nullptr;
        m_lastToken.reset();
    }
    discard(std::move(client));
    waitForCallbacks();
}

bool MQTTClient::disconnect(int timeoutMs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        log(Log::LevelDebug, "Disconnecting from '%s'",
            String::escaped(m_url, String::MaxPathExcerptBytes).c_str());
    }
    return request([&](mqtt::async_client& client) {
        return client.disconnect(timeoutMs, nullptr, *m_disconnectListener);
    });
}

bool MQTTClient::subscribe(const std::string& topicFilter, int qos)
{
    log(Log::LevelDebug, "Subscribing to %s (qos=%d)", String::excerpt(topicFilter).c_str(), qos);
    return request([&](mqtt::async_client& client) {
        return client.subscribe(topicFilter, qos, nullptr, *m_subscribeListener);
    });
}

bool MQTTClient::unsubscribe(const std::string& topicFilter)
{
    log(Log::LevelDebug, "Unsubscribing from %s", String::excerpt(topicFilter).c_str());
    return request([&](mqtt::async_client& client) {
        return client.unsubscribe(topicFilter, nullptr, *m_unsubscribeListener);
    });
}

bool MQTTClient::publish(const std::string& topic, const std::string& payload, int qos, bool retained)
{
    log(Log::LevelDebug, "Publishing message.");
    log(Log::LevelDebug, "Topic     = %s", String::excerpt(topic).c_str());
    log(Log::LevelDebug, "QoS       = %d", qos);
    log(Log::LevelDebug, "Retained  = %s", retained ? "yes" : "no");
    log(Log::LevelDebug, "Data      = '%s'",
        String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
    return request([&](mqtt::async_client& client) {
        mqtt::token_ptr token =
            client.publish(mqtt::make_message(topic, payload, qos, retained), nullptr, *m_publishListener);
        log(Log::LevelDebug, "ID        = '%d'", token ? token->get_message_id() : 0);
        return token;
    });
}

void MQTTClient::connected(const std::string& cause)
{
    CallbackScope scope(*this, nullptr);
    log(Log::LevelDebug, "Connected (cause=%s).", cause.c_str());
    scope.notify("Connection handling", [](MQTTClientListener& listener) { listener.onConnected(); });
}

void MQTTClient::connection_lost(const std::string& cause)
{
    CallbackScope scope(*this, nullptr);
    log(Log::LevelDebug, "Disconnected (cause=%s)!", cause.c_str());
    scope.notify("Disconnection handling", [](MQTTClientListener& listener) { listener.onDisconnected(); });
}

void MQTTClient::message_arrived(mqtt::const_message_ptr msg)
{
    CallbackScope scope(*this, nullptr);
    if (!msg)
        return;
    try {
        const std::string& topic = msg->get_topic();
        const std::string& payload = msg->get_payload_str();
        log(Log::LevelDebug, "New message received.");
        log(Log::LevelDebug, "Topic     = %s", String::excerpt(topic).c_str());
        log(Log::LevelDebug, "QoS       = %d", msg->get_qos());
        log(Log::LevelDebug, "Retained  = %s", msg->is_retained() ? "yes" : "no");
        log(Log::LevelDebug, "Duplicate = %s", msg->is_duplicate() ? "yes" : "no");
        log(Log::LevelDebug, "Data      = '%s'",
            String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
        if (scope.listener())
            scope.listener()->onMessageReceived(topic, payload, msg->get_qos(), msg->is_retained());
    } catch (const std::exception& e) {
        Log::error("[MQTTClient] Message handling failed: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[MQTTClient] Message handling failed.");
    }
}

void MQTTClient::delivery_complete(mqtt::delivery_token_ptr tok)
{
    CallbackScope scope(*this, nullptr);
    int id = tok ? tok->get_message_id() : 0;
    log(Log::LevelDebug, "Message delivered (id=%d)", id);
    scope.notify("Delivery handling",
                 [id](MQTTClientListener& listener) { listener.onMessageDelivered(id); });
}
