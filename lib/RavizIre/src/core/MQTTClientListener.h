// What an owner of an MQTTClient is told about its connection. Every call arrives on one of the
// MQTT library's threads, never on the thread that made the request, so implementations must be
// ready to run concurrently with their own callers and must not block for long.
#pragma once

#include <string>

class MQTTClientListener
{
public:
    virtual ~MQTTClientListener() = default;

    virtual void onConnected() = 0;
    // The connection was lost, or a requested disconnect completed.
    virtual void onDisconnected() = 0;
    virtual void onSubscribed(const std::string& topic) = 0;
    virtual void onUnsubscribed(const std::string& topic) = 0;
    virtual void onMessageSent(int messageId) = 0;
    virtual void onMessageDelivered(int messageId) = 0;
    virtual void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                                   bool retained) = 0;
    virtual void onConnectFailed(const std::string& reason) = 0;
    virtual void onSubscribeFailed(const std::string& topic) = 0;
    virtual void onUnsubscribeFailed(const std::string& topic) = 0;
    virtual void onMessageSendFailed(int messageId) = 0;
};
