// Thin wrapper over the Paho asynchronous client: keeps the connection settings, connects on a
// thread of its own and turns every library callback and action result into one call on the
// owner's MQTTClientListener (on a library thread). It keeps no queue, no subscription list and
// no reconnect logic: that is the owner's business. Callers may use it from any thread.
#pragma once

#include <mqtt/async_client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/MQTTClientListener.h"

// The library's persistent state (in-flight QoS 1/2 messages), held in memory only.
class MQTTMemoryPersistence : virtual public mqtt::iclient_persistence
{
public:
    void open(const std::string& clientId, const std::string& serverURI) override;
    void close() override;
    void clear() override;
    bool contains_key(const std::string& key) override;
    mqtt::string_collection keys() const override;
    void put(const std::string& key, const std::vector<mqtt::string_view>& bufs) override;
    std::string get(const std::string& key) const override;
    void remove(const std::string& key) override;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_values;
};

class MQTTActionListener;
class MQTTConnectListener;
class MQTTDisconnectListener;
class MQTTSubscribeListener;
class MQTTUnSubscribeListener;
class MQTTPublishListener;

class MQTTClient
{
public:
    explicit MQTTClient(MQTTClientListener* listener);
    // Closes the client (see close) first.
    ~MQTTClient();

    MQTTClient(const MQTTClient&) = delete;
    MQTTClient& operator=(const MQTTClient&) = delete;

    // Settings take effect at the next connect; a connection being made keeps its copy.
    void setLogEnabled(bool enabled);
    void setClientId(const std::string& clientId);
    void setUrl(const std::string& url);
    void setKeepAlive(int seconds);
    void setUsername(const std::string& username);
    void setPassword(const std::string& password);
    // Both attach the TLS options to the connection settings.
    void setEnableServerCertAuth(bool enabled);
    // PEM file of the certificate authorities that the broker's certificate must chain to;
    // without one the system's default authorities are used.
    void setTrustStore(const std::string& caFile);
    void setWill(const std::string& topic, const std::string& payload, int qos, bool retained);

    // Our own word for it: connected, and no loss or disconnect reported since.
    bool isConnected() const;
    // Returns at once; the outcome arrives as onConnected or onConnectFailed. Each broker URL and
    // client id has one library client for the wrapper's life: a connect reconnects it once the
    // disconnect it may still be making has ended, and moves every request to it.
    bool connect();
    // Returns at once; the disconnect is made on the wrapper's thread, and from now on requests
    // fail. An attempt under way is ended as soon as it connects.
    bool disconnect(int timeoutMs);
    // These fail at once, handing nothing to the library, unless the connection is up.
    bool subscribe(const std::string& topicFilter, int qos);
    bool unsubscribe(const std::string& topicFilter);
    // True when the library accepted the message for sending.
    bool publish(const std::string& topic, const std::string& payload, int qos, bool retained);

    // Ends all activity: the wrapper's thread is gone, every library client is disconnected and
    // destroyed once the library is done with it, and no listener call is running or will
    // follow. The owner calls it before it goes away; it must not be called from a listener call.
    // Later requests fail.
    void close();

    // QoS 1 and 2 messages sent and not yet acknowledged at most. A broker takes no more than its
    // quota (mosquitto's default is 20) and under MQTT 3.1.1 drops the ones over it without a word;
    // the library holds later publishes back in its queue until one of these is acknowledged.
    static constexpr int BrokerInflightQuota = 20;
    // Messages the library keeps queued at most (its default is 100); past it a publish is refused
    // at once. Far more than the calls a program has waiting at one time.
    static constexpr int MaxQueuedRequests = 10000;

    // Text of a connect failure code: the CONNACK refusals and the library's generic failure.
    static std::string connectFailureText(int returnCode);

private:
    friend class MQTTActionListener;
    struct Session;

    // Brackets every entry from the library, so that close() can wait until none runs any more.
    class CallbackScope
    {
    public:
        // pass: the entry is about the library client requests go to (see isCurrent).
        CallbackScope(MQTTClient& client, bool pass);
        ~CallbackScope();
        CallbackScope(const CallbackScope&) = delete;
        CallbackScope& operator=(const CallbackScope&) = delete;
        MQTTClientListener* listener() const { return m_listener; }
        // Makes one call on the listener, if there is one; what it throws is logged under what.
        template <typename Call>
        void notify(const char* what, Call call) const;

    private:
        MQTTClient& m_client;
        MQTTClientListener* m_listener;
    };

    void log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void workThread();
    void connectOnce();
    // Hands the disconnects asked for to the library once no request is inside it with that client.
    void issueDisconnects(std::unique_lock<std::mutex>& lock);
    // Waits, on the wrapper's thread, until the session has no connection or attempt left.
    bool waitIdle(std::unique_lock<std::mutex>& lock, Session& session, std::chrono::milliseconds bound);
    // What the library reports of one session; see Session.
    void sessionConnected(Session& session, const std::string& cause);
    // lostCause: the library's, when the connection was lost rather than ended by a disconnect.
    void sessionEnded(Session& session, const std::string* lostCause);
    void connectFailed(Session& session, const std::string& reason);
    void messageArrived(const Session& session, const mqtt::const_message_ptr& msg);
    bool isCurrent(const Session* session) const;
    void waitForCallbacks();
    // Runs one request on the connected session's library client; false when there is none or
    // the library refuses.
    template <typename Request>
    bool request(Request request);

    std::atomic<bool> m_logEnabled{false};
    MQTTClientListener* const m_listener;

    // Guards the settings, the sessions and their states. Never held while the library or the
    // listener is called: the library calls some listeners with its own lock held.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // a session's state or use count, or work for the thread
    std::string m_clientId = "kivo_mqtt_client";
    std::string m_url;
    mqtt::token_ptr m_lastToken;
    mqtt::connect_options m_connectOptions;
    mqtt::ssl_options m_sslOptions;
    mqtt::will_options m_willOptions;
    std::vector<std::unique_ptr<Session>> m_sessions;
    Session* m_current = nullptr;  // where requests go and whose words are passed on
    bool m_connectRequested = false;
    bool m_threadStop = false;
    std::thread m_thread;

    std::unique_ptr<MQTTConnectListener> m_connectListener;
    std::unique_ptr<MQTTDisconnectListener> m_disconnectListener;
    std::unique_ptr<MQTTSubscribeListener> m_subscribeListener;
    std::unique_ptr<MQTTUnSubscribeListener> m_unsubscribeListener;
    std::unique_ptr<MQTTPublishListener> m_publishListener;

    std::atomic<bool> m_closed{false};

    // Library callbacks running: close() returns at zero only.
    mutable std::mutex m_callbackMutex;
    mutable std::condition_variable m_callbacksDone;
    mutable int m_activeCallbacks = 0;
};
