// Thin wrapper over the Paho asynchronous client: keeps the connection settings, connects on a
// thread of its own and turns every library callback and action result into one call on the
// owner's MQTTClientListener (on a library thread). It keeps no queue, no subscription list and
// no reconnect logic: that is the owner's business. Callers may use it from any thread.
#pragma once

#include <mqtt/async_client.h>

#include <atomic>
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

class MQTTClient : public mqtt::callback
{
public:
    explicit MQTTClient(MQTTClientListener* listener);
    // Closes the client (see close) first.
    ~MQTTClient() override;

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

    bool isConnected() const;
    // Returns at once; the outcome arrives as onConnected or onConnectFailed. The library client
    // is kept for the next attempt while URL and client id are unchanged and it is not connected.
    bool connect();
    bool disconnect(int timeoutMs);
    bool subscribe(const std::string& topicFilter, int qos);
    bool unsubscribe(const std::string& topicFilter);
    // True when the library accepted the message for sending.
    bool publish(const std::string& topic, const std::string& payload, int qos, bool retained);

    // Ends all activity: the connect thread is gone, the library client is destroyed and no
    // listener call is running or will follow. The owner calls it before it goes away; it must
    // not be called from a listener call. Later requests fail.
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

    // Brackets every entry from the library and every call into it, so that close() and the
    // replacement of the library client can wait until nothing uses the old one any more.
    class CallbackScope
    {
    public:
        CallbackScope(MQTTClient& client, const mqtt::token* token);
        ~CallbackScope();
        CallbackScope(const CallbackScope&) = delete;
        CallbackScope& operator=(const CallbackScope&) = delete;
        // Null when the client is closed or the result belongs to a replaced library client.
        MQTTClientListener* listener() const { return m_listener; }
        // Makes one call on the listener, if there is one; what it throws is logged under what.
        template <typename Call>
        void notify(const char* what, Call call) const;

    private:
        MQTTClient& m_client;
        MQTTClientListener* m_listener;
    };

    void connected(const std::string& cause) override;
    void connection_lost(const std::string& cause) override;
    void message_arrived(mqtt::const_message_ptr msg) override;
    void delivery_complete(mqtt::delivery_token_ptr tok) override;

    void log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
    void connectThread();
    void connectOnce();
    void discard(std::shared_ptr<mqtt::async_client> client);
    void waitForCallbacks();
    // The library client with the activity count raised, or null; see ClientUse.
    std::shared_ptr<mqtt::async_client> acquire() const;
    void endUse() const;
    // Runs one request on the library client; false when there is none or the library refuses.
    template <typename Request>
    bool request(Request request);

    std::atomic<bool> m_logEnabled{false};
    MQTTClientListener* const m_listener;

    // Guards the settings, the library client pointer and the last token. Never held while the
    // library is called: the library calls some listeners with its own lock held.
    mutable std::mutex m_mutex;
    std::string m_clientId = "kivo_mqtt_client";
    std::string m_url;
    mqtt::token_ptr m_lastToken;
    mqtt::connect_options m_connectOptions;
    mqtt::ssl_options m_sslOptions;
    mqtt::will_options m_willOptions;
    MQTTMemoryPersistence m_persistence;
    std::shared_ptr<mqtt::async_client> m_client;
    std::string m_clientUrl;    // what m_client was created with
    std::string m_clientIdent;  // likewise

    std::unique_ptr<MQTTConnectListener> m_connectListener;
    std::unique_ptr<MQTTDisconnectListener> m_disconnectListener;
    std::unique_ptr<MQTTSubscribeListener> m_subscribeListener;
    std::unique_ptr<MQTTUnSubscribeListener> m_unsubscribeListener;
    std::unique_ptr<MQTTPublishListener> m_publishListener;

    // The library client whose action results are passed on; results of a replaced one are not.
    std::atomic<const mqtt::iasync_client*> m_current{nullptr};
    std::atomic<bool> m_closed{false};

    // Library callbacks running and requests in the library: a client is destroyed at zero only.
    mutable std::mutex m_callbackMutex;
    mutable std::condition_variable m_callbacksDone;
    mutable int m_activeCallbacks = 0;

    std::mutex m_threadMutex;
    std::condition_variable m_threadWake;
    std::thread m_thread;
    bool m_connectRequested = false;
    bool m_threadStop = false;
};
