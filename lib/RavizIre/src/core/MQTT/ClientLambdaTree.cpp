// The client's LambdaTree on MQTT: each node that can be read, written or watched gets the
// commands and served calls {node}/get, {node}/set and {node}/monitor, and node values go out
// on {node} under the base topic.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/Clock.h"
#include "core/String.h"
#include "core/MQTT/Client.h"
#include "core/Utils.h"

namespace MQTT {

namespace {

std::string compact(const nlohmann::json& value)
{
    // Getters may hand out text that is not UTF-8; the node must still go out.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json errorsAsJson(const LambdaTree::Failures& errors)
{
    nlohmann::json out = nlohmann::json::object();
    for (const auto& entry : errors) out[entry.first] = entry.second;
    return out;
}

const char* const MalformedJson = "Malformed json";
const char* const ActiveNotBoolean = "'active' must be boolean";

// Far beyond any sensible interval, and small enough that adding it to a clock reading stays exact.
constexpr uint64_t LongestSkipMs = uint64_t(1) << 40;

struct MonitorRequest
{
    const char* error = nullptr;  // set when the request is refused
    bool active = true;
    uint64_t skipMs = 0;
};

MonitorRequest parseMonitorRequest(const std::string& payload)
{
    MonitorRequest request;
    if (payload.empty())
        return request;
    const nlohmann::json value = nlohmann::json::parse(payload, nullptr, false);
    if (value.is_discarded()) {
        request.error = MalformedJson;
        return request;
    }
    if (!value.is_object() || !value.contains("active") || !value["active"].is_boolean()) {
        request.error = ActiveNotBoolean;
        return request;
    }
    request.active = value["active"].get<bool>();
    if (value.contains("skipChangesForMs") && value["skipChangesForMs"].is_number_unsigned())
        request.skipMs = value["skipChangesForMs"].get<uint64_t>();
    return request;
}

bool underTopic(const std::string& node, const std::string& root)
{
    return root.empty() || node == root ||
           (node.size() > root.size() && node.compare(0, root.size(), root) == 0 && node[root.size()] == '/');
}

}  // namespace

// The three kinds of node topic, in the order of the registration tables.
const Client::TreeVerb Client::TreeVerbs[3] = {
    {LambdaTree::Readable, "get", &Client::handleLambdaTreeGet, &Client::handleLambdaTreeRpcGet},
    {LambdaTree::Writable, "set", &Client::handleLambdaTreeSet, &Client::handleLambdaTreeRpcSet},
    {LambdaTree::Notifying, "monitor", &Client::handleLambdaTreeMonitor, &Client::handleLambdaTreeRpcMonitor},
};

void Client::editLambdaTree(const std::function<void(LambdaTree&)>& edit)
{
    std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
    edit(m_lambdaTree);
}

// ---------------------------------------------------------------------------------------------
// Registration

void Client::registerLambdaTreeOnce()
{
    if (m_treeRegistered.exchange(true))
        return;
    updateLambdaTreeSubscriptions("", false);
}

bool Client::updateLambdaTreeSubscriptions(const std::string& topic, bool compare)
{
    const std::string root = trimSlashes(topic);
    std::vector<std::string> added[3], removed[3];
    LambdaTree::Failures errors;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        if (m_lambdaTree.size() == 0 || (!topic.empty() && !m_lambdaTree.topicExists(topic)))
            return false;

        // What is registered is what counts as "before": nodes removed from the tree since then
        // are taken back as well as members that vanished from a lambda's value.
        std::set<std::string> before[3];
        size_t beforeCount = 0;
        if (compare) {
            for (int k = 0; k < 3; ++k) {
                for (const auto& node : m_treeTopics[k])
                    if (underTopic(node, root))
                        before[k].insert(node);
                beforeCount += before[k].size();
            }
        }
        log(Log::LevelDebug, "Collected %d topics of '%s' before the update", static_cast<int>(beforeCount),
            shown(topic).c_str());

        log(Log::LevelDebug, "Calling update on '%s'...", shown(topic).c_str());
        errors = m_lambdaTree.update(topic);

        std::set<std::string> after[3];
        for (int k = 0; k < 3; ++k)
            for (const auto& path : m_lambdaTree.topicDump(topic, TreeVerbs[k].ability))
                after[k].insert(Utils::combinePath(root, path));
        log(Log::LevelDebug, "Collected %d get topics of '%s' after the update",
            static_cast<int>(after[0].size()), shown(topic).c_str());
        log(Log::LevelDebug, "Collected %d set topics of '%s' after the update",
            static_cast<int>(after[1].size()), shown(topic).c_str());
        log(Log::LevelDebug, "Collected %d notify topics of '%s' after the update",
            static_cast<int>(after[2].size()), shown(topic).c_str());

        log(Log::LevelDebug, "Filtering topics to unsubscribe");
        for (int k = 0; k < 3; ++k)
            std::set_difference(before[k].begin(), before[k].end(), after[k].begin(), after[k].end(),
                                std::back_inserter(removed[k]));
        log(Log::LevelDebug, "Filtering topics to subscribe");
        for (int k = 0; k < 3; ++k)
            std::set_difference(after[k].begin(), after[k].end(), m_treeTopics[k].begin(),
                                m_treeTopics[k].end(), std::back_inserter(added[k]));
        for (int k = 0; k < 3; ++k) {
            for (const auto& node : removed[k]) m_treeTopics[k].erase(node);
            m_treeTopics[k].insert(added[k].begin(), added[k].end());
        }
    }

    bool ok = errors.empty();
    log(Log::LevelDebug, "Unsubscribing...");
    for (int k = 0; k < 3; ++k) {
        for (const auto& node : removed[k]) {
            const std::string command = Utils::combinePath(node, TreeVerbs[k].name);
            const bool rpcDone = unsubscribeRpc(command);
            const bool commandDone = unsubscribeCommand(command, true);
            ok = ok && rpcDone && commandDone;
        }
    }
    log(Log::LevelDebug, "Subscribing...");
    for (int k = 0; k < 3; ++k) {
        const TreeVerb& verb = TreeVerbs[k];
        for (const auto& node : added[k]) {
            const std::string command = Utils::combinePath(node, verb.name);
            const bool rpcDone =
                subscribeRpc(command, [this, node, &verb](const std::string& name, const std::string& payload,
                                                          const std::string& id) {
                    return (this->*verb.call)(node, name, payload, id);
                });
            const bool commandDone = subscribeCommand(
                command,
                [this, node, &verb](const MQTT::Message& message) { (this->*verb.command)(node, message); },
                true);
            ok = ok && rpcDone && commandDone;
        }
    }
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Node values

bool Client::publishLambdaTreeNode(const std::string& topic, MQTT::Retained retained, MQTT::QoS qos)
{
    nlohmann::json value;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        if (!m_lambdaTree.topicExists(topic))
            return false;
        m_lambdaTree.update(topic);
        value = m_lambdaTree.get(topic);
    }
    return publish(MQTT::Message(topic, compact(value), retained, qos), true);
}

void Client::publishNodeValue(const std::string& node, const nlohmann::json& value)
{
    publish(MQTT::Message(node, compact(value), Retained::New, QoS::AtMostOnce), true);
}

void Client::handleLambdaTreeGet(const std::string& node, const MQTT::Message&)
{
    LambdaTree::Failures errors;
    nlohmann::json value;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        errors = m_lambdaTree.update(node);
        value = m_lambdaTree.get(node);
    }
    if (!errors.empty())
        publish(makeErrorMessage(errorsAsJson(errors), node), true);
    publishNodeValue(node, value);
}

void Client::handleLambdaTreeSet(const std::string& node, const MQTT::Message& message)
{
    if (message.payload.empty()) {
        publishLambdaTreeNode(node, Retained::New, QoS::AtMostOnce);
        return;
    }
    const nlohmann::json value = nlohmann::json::parse(message.payload, nullptr, false);
    if (value.is_discarded()) {
        publish(makeErrorMessage(MalformedJson, message.topic), true);
        return;
    }
    LambdaTree::Failures errors;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        errors = m_lambdaTree.set(node, value);
    }
    if (!errors.empty())
        publish(makeErrorMessage(errorsAsJson(errors), message.topic), true);
    log(Log::LevelDebug, "Publishing node '%s'", shown(node).c_str());
    publishLambdaTreeNode(node, Retained::New, QoS::AtMostOnce);
}

void Client::handleLambdaTreeMonitor(const std::string& node, const MQTT::Message& message)
{
    const MonitorRequest request = parseMonitorRequest(message.payload);
    if (request.error) {
        publish(makeErrorMessage(request.error, message.topic), true);
        return;
    }
    if (!setMonitor(node, request.active, request.skipMs))
        return;
    // The watcher learns where the node stands before any change arrives.
    nlohmann::json value;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        m_lambdaTree.update(node);
        value = m_lambdaTree.get(node);
    }
    publishNodeValue(node, value);
}

std::string Client::handleLambdaTreeRpcGet(const std::string& node, const std::string&,
                                           const std::string& payload, const std::string&)
{
    log(Log::LevelDebug, "Handling LambdaTree RPC '%s' '%s'", shown(node).c_str(),
        String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
    LambdaTree::Failures errors;
    nlohmann::json value;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        errors = m_lambdaTree.update(node);
        value = m_lambdaTree.get(node);
    }
    return errors.empty() ? makeRpcCompleted(value) : makeRpcFailed(errorsAsJson(errors), value);
}

std::string Client::handleLambdaTreeRpcSet(const std::string& node, const std::string&,
                                           const std::string& payload, const std::string&)
{
    log(Log::LevelDebug, "Handling LambdaTree RPC '%s' '%s'", shown(node).c_str(),
        String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
    LambdaTree::Failures errors;
    if (!payload.empty()) {
        const nlohmann::json value = nlohmann::json::parse(payload, nullptr, false);
        if (value.is_discarded())
            return makeRpcFailed(nlohmann::json{{"description", MalformedJson}}, nlohmann::json::object());
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        errors = m_lambdaTree.set(node, value);
    }
    publishLambdaTreeNode(node, Retained::New, QoS::AtMostOnce);
    nlohmann::json value;
    {
        std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
        value = m_lambdaTree.get(node);
    }
    return errors.empty() ? makeRpcCompleted(value) : makeRpcFailed(errorsAsJson(errors), value);
}

std::string Client::handleLambdaTreeRpcMonitor(const std::string& node, const std::string&,
                                               const std::string& payload, const std::string&)
{
    log(Log::LevelDebug, "Handling LambdaTree RPC '%s' '%s'", shown(node).c_str(),
        String::escaped(payload, String::MaxPayloadExcerptBytes).c_str());
    const MonitorRequest request = parseMonitorRequest(payload);
    if (request.error)
        return makeRpcFailed(nlohmann::json{{"description", request.error}}, nullptr);
    setMonitor(node, request.active, request.skipMs);
    if (!request.active)
        return makeRpcCompleted(nlohmann::json{{"active", false}});
    return makeRpcCompleted(nlohmann::json{{"active", true}, {"skipChangesForMs", request.skipMs}});
}

// ---------------------------------------------------------------------------------------------
// Monitors

bool Client::setMonitor(const std::string& node, bool active, uint64_t skipMs)
{
    log(Log::LevelInfo, "Requested monitor %s '%s' (skipChangesForMs=%zums)", active ? "enable" : "disable",
        shown(node).c_str(), static_cast<size_t>(skipMs));
    std::lock_guard<std::recursive_mutex> tree(m_treeMutex);
    MonitorHub& hub = *m_monitorHub;
    std::lock_guard<std::mutex> lock(hub.mutex);
    auto existing = hub.monitors.find(node);
    if (!active) {
        log(Log::LevelInfo, "Stopping monitor '%s'", shown(node).c_str());
        if (existing != hub.monitors.end()) {
            m_lambdaTree.disconnect(node, existing->second->connection);
            hub.monitors.erase(existing);
        }
        return false;
    }
    if (existing != hub.monitors.end()) {
        log(Log::LevelWarning, "Monitor '%s' already enabled. Disabling", shown(node).c_str());
        m_lambdaTree.disconnect(node, existing->second->connection);
        hub.monitors.erase(existing);
    }
    log(Log::LevelInfo, "Activating monitor for '%s'", shown(node).c_str());
    auto monitor = std::make_shared<MonitorHub::Monitor>();
    monitor->skipMs = static_cast<double>(std::min(skipMs, LongestSkipMs));
    monitor->lastMs = Clock::monotonicMillis();
    // Runs on whatever thread reports the change: it only marks the monitor and wakes the
    // monitor thread, which reads and publishes the node.
    std::weak_ptr<MonitorHub::Monitor> weak = monitor;
    std::shared_ptr<MonitorHub> hubRef = m_monitorHub;
    monitor->connection = m_lambdaTree.connect(node, [hubRef, weak] {
        std::lock_guard<std::mutex> lock(hubRef->mutex);
        if (auto alive = weak.lock()) {
            alive->pending = true;
            hubRef->wake.notify_all();
        }
    });
    hub.monitors.emplace(node, std::move(monitor));
    if (!m_monitorThread.joinable() && !hub.quit)
        m_monitorThread = std::thread(&Client::monitorThreadMain, this);
    return true;
}

void Client::monitorThreadMain()
{
    MonitorHub& hub = *m_monitorHub;
    std::unique_lock<std::mutex> lock(hub.mutex);
    while (!hub.quit) {
        const double now = Clock::monotonicMillis();
        double nextDue = std::numeric_limits<double>::infinity();
        std::vector<std::string> due;
        for (auto& entry : hub.monitors) {
            MonitorHub::Monitor& monitor = *entry.second;
            if (!monitor.pending)
                continue;
            // A change inside the interval waits for its end instead of being lost.
            const double at = monitor.lastMs + monitor.skipMs;
            if (now > at) {
                monitor.pending = false;
                monitor.lastMs = now;
                due.push_back(entry.first);
            } else {
                nextDue = std::min(nextDue, at);
            }
        }
        if (!due.empty()) {
            lock.unlock();
            for (const auto& node : due) notifyMonitor(node);
            lock.lock();
            continue;
        }
        if (nextDue == std::numeric_limits<double>::infinity())
            hub.wake.wait(lock);
        else
            hub.wake.wait_for(
                lock, std::chrono::microseconds(static_cast<int64_t>((nextDue - now) * 1000.0) + 1000));
    }
}

void Client::notifyMonitor(const std::string& node)
{
    try {
        log(Log::LevelDebug, "Notified of change under %s. Notifying!", shown(node).c_str());
        nlohmann::json value;
        {
            std::lock_guard<std::recursive_mutex> lock(m_treeMutex);
            m_lambdaTree.update(node);
            value = m_lambdaTree.get(node);
        }
        publishNodeValue(node, value);
    } catch (const std::exception& e) {
        log(Log::LevelError, "Monitor '%s' failed: %s", shown(node).c_str(),
            String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        log(Log::LevelError, "Monitor '%s' failed.", shown(node).c_str());
    }
}

void Client::stopMonitorThread()
{
    {
        std::lock_guard<std::mutex> lock(m_monitorHub->mutex);
        m_monitorHub->quit = true;
        m_monitorHub->wake.notify_all();
    }
    if (m_monitorThread.joinable())
        m_monitorThread.join();
}

}  // namespace MQTT
