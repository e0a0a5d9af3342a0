// One MQTT message as the application client hands it around: topic (relative to the base topic
// or absolute, as the operation says), payload, retained flag and delivery level. A plain value.
#pragma once

#include <string>
#include <utility>

namespace MQTT {

enum class Retained
{
    Retained,  // kept by the broker for later subscribers
    New,
};

// MQTT levels 0, 1 and 2.
enum class QoS
{
    AtMostOnce,
    AtLeastOnce,
    ExactlyOnce,
};

inline int qosLevel(QoS qos)
{
    return qos == QoS::ExactlyOnce ? 2 : qos == QoS::AtLeastOnce ? 1 : 0;
}

// Any level other than 1 or 2 is taken as 0.
inline QoS qosFromLevel(int level)
{
    return level == 2 ? QoS::ExactlyOnce : level == 1 ? QoS::AtLeastOnce : QoS::AtMostOnce;
}

struct Message
{
    Message(std::string topic, std::string payload, Retained retained, QoS qos)
        : topic(std::move(topic)), payload(std::move(payload)), retained(retained), qos(qos)
    {
    }

    std::string topic;
    std::string payload;
    Retained retained;
    QoS qos;
};

}  // namespace MQTT
