// The application MQTT client: a start/stop life cycle with endless reconnection, tables of topic
// handlers ("commands") relative to a base topic or absolute, re-subscription of every table on
// each connection, and an error answer on base/error for messages nobody handles. Callers use it
// from any thread; handlers and the MQTTClientListener calls run on the MQTT library's threads,
// the `connected` signal on the client's own subscriptions thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/LambdaTree.h"
#include "core/Log.h"
#include "core/MQTT/CallIds.h"
#include "core/MQTT/Config.h"
#include "core/MQTT/Link.h"
#include "core/MQTT/Message.h"
#include "core/MQTTClient.h"
#include "core/MQTTClientListener.h"
#include "core/Signal.h"

namespace MQTT {

class Client : public MQTTClientListener
{
public:
    using Handler = std::function<void(const MQTT::Message&)>;
    // (name, payload, id) -> answer payload
    using RpcHandler = std::function<std::string(const std::string&, const std::string&, const std::string&)>;

    // base: the default base topic; name: the client name in every log line.
    Client(const std::string& base, const std::string& name);
    // Stops, then waits until no handler and no subscriptions pass runs any more. Never destroy
    // a client from one of its own handlers.
    ~Client() override;

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Connects, and keeps reconnecting every 2 s after a lost connection or a failed attempt until
    // stop(); a second start does nothing.
    void start();
    // Disconnects; no reconnection follows, not even from an attempt already under way.
    void stop();
    bool isRunning() const { return m_running; }
    bool isConnected() const;

    // Settings whose base cannot be in front of a topic (see topicFault) are refused with an error
    // line, and false; those in force stay. A running client restarts when the settings differ from
    // the current ones, and connects once: what the session before it still reports costs no second
    // connection. Served names and relative commands are judged again under the new base: one whose
    // topics the broker would no longer take is dropped, with an error line naming it, and so is the
    // other half of a value tree node of which one half went; the tree forgets the node, so that
    // the next updateLambdaTreeSubscriptions that finds it registers it again if it fits then.
    bool setConfig(const MQTT::Config& config);
    MQTT::Config getConfig() const;

    // The key is the topic as given; a second handler for a key already present is dropped.
    // relative: the topic lies under the base topic and the handler sees it without the base. A
    // filter the broker would drop the connection for (topicFault, the base counted) is refused at
    // once, running or not (false, an error line).
    bool subscribeCommand(const std::string& topic, Handler handler, bool relative);
    // False when no handler was registered under that topic.
    bool unsubscribeCommand(const std::string& topic, bool relative);
    // relative: the base topic is put in front. False when the message could not be handed to
    // the library (not connected); a topic the broker would drop the connection for (topicFault,
    // the base counted) is refused at once with an error line, unsent.
    bool publish(const MQTT::Message& message, bool relative);

    void log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    // MQTT filter match: '+' one level, '#' as the last level that level's parent and everything
    // below it; wildcards never match a first level starting with '$'.
    static bool topicMatch(const std::string& topic, std::string filter);
    // The topic with `part` cut off its front when it is a whole leading run of levels; any other
    // topic comes back unchanged.
    static std::string removeTopicPart(const std::string& topic, const std::string& part);

    // What a text is to the broker: a topic published, a filter subscribed, a base put in front of
    // both, or a remote call's name (see rpc and subscribeRpc).
    enum class TopicUse
    {
        Published,
        Filter,
        Base,
        CalledName,
        ServedName,
    };
    // The one rule every topic, filter, base and name is judged by before the client sends it: why
    // mosquitto would drop the connection for it, or null when it would not. Never: empty (a base
    // may be), NUL, not UTF-8, a control character or non-character, more than 65535 bytes or 200
    // '/'; '+' or '#' in a topic or base; in a filter '+' other than as a whole level, '#' other than
    // as its whole last level, or "$share" alone. Names as rpc and subscribeRpc say. base: a served
    // name's.
    static const char* topicFault(const std::string& text, TopicUse use, const std::string& base = "");

    // Publishes payload on name/request/<tag>/<id> (name is absolute, tag is callerTag()) and waits
    // up to timeoutMs for the answer on name/response/<tag>/<id>. first: answered; second: the
    // answer's payload. Blocks: never call it from a handler, whose thread is the one that has to
    // deliver the answer. A name that cannot go into a topic (empty, with '+', '#' or NUL, not
    // UTF-8, with a control character or non-character, or making a topic longer than 65535 bytes
    // or with more than 200 '/', which mosquitto drops the connection for)
    // or would not come back whole out of its topics (a level "request" or "response", a '/' at its
    // front or end, a '$' at its front) fails at once with an error line, unsent.
    std::pair<bool, std::string> rpc(const std::string& name, const std::string& payload,
                                     unsigned int timeoutMs);
    // The topic level that names this client as the caller in its requests, so that only this
    // client receives their answers while others call the same name with the same ids: 16 hex
    // digits drawn at random when the client is made.
    const std::string& callerTag() const { return m_callerTag; }
    // The same seed makes the next calls draw the same ids again, those in use and those of calls
    // that timed out lately passed over. The ids are seeded from the clock at construction.
    void seedCallIds(uint32_t seed);
    // Serves requests on base/name/request/<id> and base/name/request/<issuer>/<id>; the handler's
    // result goes back on .../response/<id> or .../response/<issuer>/<id>. A second handler for a
    // name already served is dropped. Names are refused as by rpc, except that '+' may stand as a
    // whole level ("dev/+" serves dev/1 and dev/2) and a '$' at the front is refused only under an
    // empty base. A request whose answer topic the broker would refuse (too long or deep) is dropped
    // with a warning. Names are judged under the base of the moment, and again by setConfig.
    bool subscribeRpc(const std::string& name, RpcHandler handler);
    // True when a handler was removed, false when the name was not served.
    bool unsubscribeRpc(const std::string& name);
    // Keeps name/response/<tag>/+ subscribed, across reconnections, until unsubscribeExpectedRpc.
    // Names are refused as by rpc.
    bool subscribeExpectedRpc(const std::string& name);
    bool unsubscribeExpectedRpc(const std::string& name);

    // The parts of a request or answer topic; all empty when the topic is not one. Both take the
    // level before the id as the issuer when more than one level follows "request" or "response".
    struct RpcData
    {
        std::string issuer;
        std::string name;
        std::string id;
    };
    RpcData parseRpcTopicRequest(const std::string& topic) const;
    RpcData parseRpcTopicResponse(const std::string& topic) const;

    // {"completed":true[,"data":data]}; data is left out when null, {} or [].
    static std::string makeRpcCompleted(const nlohmann::json& data);
    // {"completed":false[,"data":data][,"error":error]}.
    static std::string makeRpcFailed(const nlohmann::json& error, const nlohmann::json& data);

    // Runs edit on the client's value tree under the lock that every reader of the tree takes.
    // The tree is registered as topics at the first connection; after later changes call
    // updateLambdaTreeSubscriptions for the part that changed.
    void editLambdaTree(const std::function<void(LambdaTree&)>& edit);
    // Refreshes the tree under topic ("" for all of it) and registers {node}/get, /set and
    // /monitor for each node that offers them; with compare, registered nodes that are gone are
    // taken back. False when there was nothing to do, an update failed or a registration failed.
    bool updateLambdaTreeSubscriptions(const std::string& topic, bool compare);
    // Refreshes and publishes the node's value on its own topic; false when there is no such node.
    bool publishLambdaTreeNode(const std::string& topic, MQTT::Retained retained, MQTT::QoS qos);

    Signal<> connected;  // after the subscriptions pass that follows each connection
    Signal<> connectFailed;
    Signal<> disconnected;
    Signal<> starting;
    Signal<> stopping;
    Signal<std::string> subscribed;
    // With a slot connected, a failed subscription is left to that slot; without one the client
    // tries again every 2 s.
    Signal<std::string> subscribeFailed;

    // MQTTClientListener: called by the wrapper on the library's threads only.
    void onConnected() override;
    void onDisconnected() override;
    void onSubscribed(const std::string& topic) override;
    void onUnsubscribed(const std::string& topic) override;
    void onMessageSent(int messageId) override;
    void onMessageDelivered(int messageId) override;
    void onMessageReceived(const std::string& topic, const std::string& payload, int qos,
                           bool retained) override;
    void onConnectFailed(const std::string& reason) override;
    void onSubscribeFailed(const std::string& topic) override;
    void onUnsubscribeFailed(const std::string& topic) override;
    void onMessageSendFailed(int messageId) override;

protected:
    // {"command": topic, "error": error} for the relative topic "error".
    MQTT::Message makeErrorMessage(const nlohmann::json& error, const std::string& topic) const;
    // Served and awaited calls; true when the message was taken.
    bool handleReceivedRpcRequest(const MQTT::Message& message);
    bool handleReceivedRpcResponse(const MQTT::Message& message);

    // Commands and served calls of one tree node.
    void handleLambdaTreeGet(const std::string& topic, const MQTT::Message& message);
    void handleLambdaTreeSet(const std::string& topic, const MQTT::Message& message);
    void handleLambdaTreeMonitor(const std::string& topic, const MQTT::Message& message);
    std::string handleLambdaTreeRpcGet(const std::string& topic, const std::string& name,
                                       const std::string& payload, const std::string& id);
    std::string handleLambdaTreeRpcSet(const std::string& topic, const std::string& name,
                                       const std::string& payload, const std::string& id);
    std::string handleLambdaTreeRpcMonitor(const std::string& topic, const std::string& name,
                                           const std::string& payload, const std::string& id);

private:
    std::shared_ptr<const MQTT::Config> config() const;
    bool dispatch(const MQTT::Config& config, const MQTT::Message& message);
    void answerError(const MQTT::Config& config, const nlohmann::json& error, const std::string& topic);
    void logReceived(const MQTT::Config& config, const MQTT::Message& message) const;
    void logPublished(const MQTT::Config& config, const MQTT::Message& message) const;
    void logLine(const MQTT::Config& config, int level, const char* format, ...) const
        __attribute__((format(printf, 4, 5)));
    void logLineV(const MQTT::Config& config, int level, const char* format, va_list args) const
        __attribute__((format(printf, 4, 0)));
    // A name in a log line's '%s', ours or a peer's: bounded and escaped.
    static std::string shown(const std::string& text);

    // Work that must not run on a library thread (the library holds its own lock while it calls
    // some listeners): the subscription pass after each connection, and the 2 s pauses before a
    // reconnection or a retried (un)subscription. All of it runs on the subscriptions thread.
    void scheduleRetry(const std::string& filter, bool subscribe);
    void subscriptionsThreadMain();
    void subscriptionFunction();
    // Every filter the tables ask for, with the kind of entry that asks; under m_subscriptionsMutex.
    std::vector<std::pair<const char*, std::string>> wantedFilters(const std::string& base) const;
    bool filterWanted(const std::string& filter) const;

    template <typename... Args>
    void emitSafely(Signal<Args...>& signal, Args... args);

    std::atomic<bool> m_running{false};
    const std::string m_name;
    const std::string m_callerTag;
    MQTTClient m_client;

    mutable std::mutex m_configMutex;
    std::shared_ptr<const MQTT::Config> m_config;

    // Guards the tables below; never held while a handler runs or the wrapper is called.
    mutable std::mutex m_subscriptionsMutex;
    std::map<std::string, Handler> m_internalCommands;
    std::map<std::string, Handler> m_externalCommands;
    std::map<std::string, RpcHandler> m_rpcHandlers;
    std::set<std::string> m_expectedRpcs;
    std::map<std::string, Handler> m_commandResponses;

    // start, stop and setConfig one at a time.
    std::mutex m_lifeMutex;

    // Takes the event through the one table (Link::step) and does what it says, all under
    // m_workMutex: the wrapper's connect and disconnect only note the request and return, so a
    // restart cannot come between a decision and the request it makes.
    void advance(Link::Event event);
    void advanceNow(Link::Event event);
    // Starts or wakes the subscriptions thread; under m_workMutex.
    void wakeWork();

    // The subscriptions thread and its work; it lives as long as the client. `m_running` mirrors
    // m_link, and both are written under this mutex so that no work is scheduled after stop().
    using TimePoint = std::chrono::steady_clock::time_point;
    std::mutex m_workMutex;
    std::condition_variable m_workWake;
    std::thread m_subscriptionsThread;
    Link::State m_link = Link::State::Stopped;
    bool m_passRequested = false;
    TimePoint m_reconnectAt;
    std::map<std::string, TimePoint> m_subscribeRetries;
    std::map<std::string, TimePoint> m_unsubscribeRetries;
    bool m_quit = false;

    // Topics and filters the broker takes.
    // False, with an error line naming it as `what`, for a topic or filter that the broker would
    // drop the connection for.
    bool fitsBroker(const std::string& topic, TopicUse use, const char* what) const;
    // True without a fault; with one, that error line and false.
    bool accepted(const char* what, const std::string& text, const char* fault) const;
    struct Dropped
    {
        const char* kind;
        std::string name;
        const char* fault;
    };
    // Takes the served names and relative commands that no longer fit under base out of the tables;
    // under m_subscriptionsMutex. The caller logs them once the lock is let go.
    std::vector<Dropped> dropWhatNoLongerFits(const std::string& base);
    // Takes the value tree's nodes among them out of the tree's record, and out of the tables
    // whatever else of them is left; takes m_treeMutex, then m_subscriptionsMutex.
    void forgetTreeNodes(const std::vector<Dropped>& dropped);

    // Remote calls.
    // True without a fault; with one (the name cannot go into its topics or come back whole out of
    // them), an error line and false.
    bool acceptedName(const std::string& name, const char* fault) const;
    static const char* servedNameFault(const std::string& name, const std::string& base);
    bool acceptsCalledName(const std::string& name) const;
    void acquireRpcResponses(const std::string& name);
    void releaseRpcResponses(const std::string& name);
    bool subscribeResponses(const std::string& name);
    std::string responseFilter(const std::string& name) const;
    static std::string drawCallerTag();

    // Guards m_pendingCalls and m_idGenerator; never held together with m_subscriptionsMutex.
    std::mutex m_pendingMutex;
    std::map<std::string, Handler> m_pendingCalls;
    // Generous: at one time-out every few ms an id stays out for minutes, and still two thirds
    // of the ids remain to be drawn.
    static constexpr size_t HeldCallIds = 30000;
    MQTT::CallIds m_idGenerator;
    // Orders the subscribe and unsubscribe requests of answer filters, so that the last call to
    // a name letting its filter go never overtakes the next call taking it again. Taken before
    // m_subscriptionsMutex.
    std::mutex m_expectedRpcMutex;
    // Guarded by m_subscriptionsMutex: names asked for by subscribeExpectedRpc, and the number of
    // calls in flight by name; m_expectedRpcs holds the union of both.
    std::set<std::string> m_explicitExpectedRpcs;
    std::map<std::string, unsigned> m_rpcCallsByName;

    // Value tree.
    struct TreeVerb
    {
        LambdaTree::Ability ability;
        const char* name;
        void (Client::*command)(const std::string&, const MQTT::Message&);
        std::string (Client::*call)(const std::string&, const std::string&, const std::string&,
                                    const std::string&);
    };
    static const TreeVerb TreeVerbs[3];

    // Shared with the tree's listeners, which may still run while the client goes away.
    struct MonitorHub
    {
        struct Monitor
        {
            int connection = 0;
            double skipMs = 0;
            double lastMs = 0;  // monotonic time of the last publication
            bool pending = false;
        };
        std::mutex mutex;
        std::condition_variable wake;
        std::map<std::string, std::shared_ptr<Monitor>> monitors;
        bool quit = false;
    };

    void registerLambdaTreeOnce();
    void publishNodeValue(const std::string& node, const nlohmann::json& value);
    // Enables or disables the monitor of node; true when it is enabled afterwards.
    bool setMonitor(const std::string& node, bool active, uint64_t skipMs);
    void monitorThreadMain();
    void notifyMonitor(const std::string& node);
    void stopMonitorThread();

    // Taken before MonitorHub::mutex; recursive because a setter may report its change at once.
    mutable std::recursive_mutex m_treeMutex;
    LambdaTree m_lambdaTree;
    std::set<std::string> m_treeTopics[3];  // registered nodes by verb
    std::atomic<bool> m_treeRegistered{false};
    std::shared_ptr<MonitorHub> m_monitorHub = std::make_shared<MonitorHub>();
    std::thread m_monitorThread;
};

}  // namespace MQTT
