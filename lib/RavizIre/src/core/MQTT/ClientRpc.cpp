// Remote calls of MQTT::Client: outgoing calls that wait for their answer, and served calls whose
// handler's result goes back to the caller; and the checks that keep every topic and filter the
// client sends within what the broker takes.
#include <openssl/rand.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <stdexcept>

#include "core/MQTT/Client.h"
#include "core/String.h"
#include "core/Utils.h"

namespace MQTT {

namespace {

const char* const RequestPart = "/request/";
const char* const ResponsePart = "/response/";

// A pending call's entry: it fulfils that call's promise, and tells the call its own entry from
// that of a newer call given the same id once the answer freed it.
struct Fulfil
{
    std::shared_ptr<std::promise<MQTT::Message>> answer;
    void operator()(const MQTT::Message& message) const { answer->set_value(message); }
};

// What follows "/request/" or "/response/": "<id>", or "<issuer>/<id>" where the id may be empty or
// hold '/' itself. False for an empty id without an issuer, or an empty issuer.
bool takeIssuerAndId(const std::string& tail, std::string& issuer, std::string& id)
{
    const size_t slash = tail.find('/');
    if (slash == 0 || tail.empty())
        return false;
    if (slash != std::string::npos)
        issuer = tail.substr(0, slash);
    id = slash == std::string::npos ? tail : tail.substr(slash + 1);
    return true;
}

// An MQTT string carries its length in two bytes.
constexpr size_t MaxTopicBytes = 65535;
// mosquitto keeps topics and filters of up to 200 '/', and drops the connection of a client that
// publishes or subscribes a deeper one.
constexpr long MaxTopicSlashes = 200;

// Why a topic or filter is too big for the broker, or null when it is not.
const char* sizeFault(const std::string& topic)
{
    if (topic.size() > MaxTopicBytes)
        return "too long for a topic";
    if (std::count(topic.begin(), topic.end(), '/') > MaxTopicSlashes)
        return "more than 200 '/' in a topic";
    return nullptr;
}

// The longest call id: five decimal digits.
const char* const LongestId = "99999";

// The code points MQTT lets a broker close the connection on, as mosquitto does: the controls and
// the non-characters. The text is valid UTF-8, so every sequence is whole.
bool holdsRefusedCodePoint(const std::string& text)
{
    for (size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at++]);
        const size_t follow = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t c = follow == 0 ? lead : lead & (0x3Fu >> follow);
        for (size_t i = 0; i < follow && at < text.size(); ++i)
            c = c << 6 | (static_cast<unsigned char>(text[at++]) & 0x3Fu);
        if ((c >= 0x01 && c <= 0x1F) || (c >= 0x7F && c <= 0x9F) || (c >= 0xFDD0 && c <= 0xFDEF) ||
            (c & 0xFFFE) == 0xFFFE)
            return true;
    }
    return false;
}

}  // namespace

// The one rule for every text the client puts into a topic or filter, as mosquitto judges them: it
// drops the connection of a client that sends a topic with a wildcard, a filter with a wildcard that
// is not a whole level ('#' only as the last), or either with NUL (which the library would also cut
// short, naming another topic), a code point MQTT lets a broker close on, or more than 200 '/'.
// A call's name must also come back whole out of its topics, which are taken apart at their first
// "/request/" or "/response/": the joining of paths drops the '/' that ends a name, and the one that
// starts a served name (a caller's name that starts with one is refused alike, so one name means one
// thing on both sides). A topic that begins with '$' is the broker's own, where no client may
// publish. `base`: what a served name is joined after; a caller's name has none.
const char* Client::topicFault(const std::string& text, TopicUse use, const std::string& base)
{
    const bool name = use == TopicUse::CalledName || use == TopicUse::ServedName;
    const bool filter = use == TopicUse::Filter;
    if (text.empty() && use != TopicUse::Base)
        return "empty";
    if (text.find('\0') != std::string::npos)
        return "holds NUL";
    if (!String::isValidUtf8(text))
        return "not valid UTF-8";
    if (holdsRefusedCodePoint(text))
        return "holds a control character or non-character";
    if (!filter && text.find('#') != std::string::npos)
        return "holds '#'";
    // A served name is only ever the front of a filter: '+' may stand there as a whole level, '#'
    // never may, since more levels always follow.
    const bool wholePlus = filter || use == TopicUse::ServedName;
    for (size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = std::min(text.find('/', start), text.size());
        // Within the level only: a search to the end of the text at every level would cost a deep
        // topic its square on every publish.
        const auto inLevel = [&](char c) { return std::find(&text[start], &text[end], c) != &text[end]; };
        const bool whole = end - start == 1;
        if (inLevel('#') && !(whole && end == text.size()))
            return "holds '#' other than as its whole last level";
        if (inLevel('+') && !(wholePlus && whole))
            return filter ? "holds '+' inside a level" : "holds '+'";
        if (name && (text.compare(start, end - start, "request") == 0 ||
                     text.compare(start, end - start, "response") == 0))
            return "holds a level \"request\" or \"response\"";
    }
    if (name && text.back() == '/')
        return "ends in an empty level";
    if (name && text.front() == '/')
        return "begins with an empty level";
    if (name && base.empty() && text.front() == '$')
        return "begins with '$', as the broker's own topics do";
    // The broker reads a filter under "$share" as a shared subscription and drops the client that
    // gives no more than that first level; any longer form it takes, empty or wild levels and all.
    if (filter && text == "$share")
        return "is \"$share\" alone, a shared subscription without a group";
    return sizeFault(text);
}

namespace {

// Why a call name cannot go into the topics made of it, or null when it can. A name that the broker
// would refuse costs the client its connection and every call in flight on it; one with a NUL
// would be cut short on the way and name another topic; one that does not come back whole out of
// its topics leaves its caller waiting out the time-out, after a served handler may have run.
const char* nameFault(const std::string& name, const std::string& longestTopic, bool served,
                      const std::string& base)
{
    using Use = Client::TopicUse;
    if (const char* fault = Client::topicFault(name, served ? Use::ServedName : Use::CalledName, base))
        return fault;
    return sizeFault(longestTopic);
}

std::string compact(const nlohmann::json& value)
{
    // A description taken from a peer's text need not be UTF-8; the answer must go out anyway.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Outgoing calls

bool Client::acceptedName(const std::string& name, const char* fault) const
{
    if (fault)
        log(Log::LevelError, "Remote call name %s (%zu bytes) refused: %s.",
            String::excerpt(name).c_str(), name.size(), fault);
    return !fault;
}

// The answer topic is the longest made of an awaited name: longer than the request's by one byte,
// and as deep as it and the answer filter.
bool Client::acceptsCalledName(const std::string& name) const
{
    return acceptedName(
        name,
        nameFault(name, Utils::combinePath(name, ResponsePart) + m_callerTag + "/" + LongestId, false, ""));
}

std::pair<bool, std::string> Client::rpc(const std::string& name, const std::string& payload,
                                         unsigned int timeoutMs)
{
    if (!acceptsCalledName(name))
        return {false, std::string()};
    auto answer = std::make_shared<std::promise<MQTT::Message>>();
    std::future<MQTT::Message> future = answer->get_future();

    acquireRpcResponses(name);

    std::string id;
    unsigned drawn;
    {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        drawn = m_idGenerator.draw(m_pendingCalls.size(), [this](unsigned candidate) {
            return m_pendingCalls.count(String::format("%u", candidate)) != 0;
        });
        // None drawn: every id is taken, no call could be told apart from the others.
        if (drawn != 0) {
            id = String::format("%u", drawn);
            // The entry leaves the table when the answer is taken, so a second answer finds
            // nothing to fulfil.
            m_pendingCalls.emplace(id, Fulfil{answer});
        }
    }
    if (id.empty()) {
        releaseRpcResponses(name);
        log(Log::LevelError, "Too many calls pending, '%s' not sent.", shown(name).c_str());
        return {false, std::string()};
    }

    const bool sent = publish(MQTT::Message(Utils::combinePath(name, RequestPart + m_callerTag + "/" + id),
                                            payload, Retained::New, QoS::ExactlyOnce),
                              false);
    const bool answered =
        sent && future.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;

    {
        // Answered, the id may already belong to a newer call.
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        auto it = m_pendingCalls.find(id);
        const Fulfil* entry = it != m_pendingCalls.end() ? it->second.target<Fulfil>() : nullptr;
        if (entry && entry->answer == answer) {
            m_pendingCalls.erase(it);
            // Still ours, so its answer was not taken and may yet come: no newer call may meet it.
            m_idGenerator.hold(drawn);
        }
    }
    releaseRpcResponses(name);

    if (!sent)
        log(Log::LevelError, "Request '%s' with id '%s' could not be sent.", shown(name).c_str(), id.c_str());
    if (!answered)
        return {false, std::string()};
    return {true, future.get().payload};
}

// An answer goes to every client whose filter takes it; with the caller's tag in the filter, that is
// the caller alone, whatever ids other clients calling the same name draw.
std::string Client::drawCallerTag()
{
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        throw std::runtime_error("Random source failed");
    return String::toLower(String::toHex(bytes, sizeof bytes));
}

std::string Client::responseFilter(const std::string& name) const
{
    return Utils::combinePath(name, ResponsePart) + m_callerTag + "/+";
}

void Client::seedCallIds(uint32_t seed)
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    m_idGenerator.seed(seed);
}

// Calls in flight hold the answer filter of their name by count, so that the first call to end
// does not take the subscription away from the others.
void Client::acquireRpcResponses(const std::string& name)
{
    std::lock_guard<std::mutex> order(m_expectedRpcMutex);
    bool fresh;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        ++m_rpcCallsByName[name];
        fresh = m_expectedRpcs.insert(name).second;
    }
    if (fresh && m_running)
        subscribeResponses(name);
}

void Client::releaseRpcResponses(const std::string& name)
{
    std::lock_guard<std::mutex> order(m_expectedRpcMutex);
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        auto it = m_rpcCallsByName.find(name);
        if (it == m_rpcCallsByName.end())
            return;
        if (--it->second == 0) {
            m_rpcCallsByName.erase(it);
            if (m_explicitExpectedRpcs.count(name) == 0) {
                m_expectedRpcs.erase(name);
                last = true;
            }
        }
    }
    if (last && m_running)
        m_client.unsubscribe(responseFilter(name));
}

bool Client::subscribeResponses(const std::string& name)
{
    const std::string filter = responseFilter(name);
    if (config()->getLogSubscriptions())
        log(Log::LevelDebug, "Subscribing to expected rpc '%s'...", shown(filter).c_str());
    return m_client.subscribe(filter, 0);
}

bool Client::subscribeExpectedRpc(const std::string& name)
{
    if (!acceptsCalledName(name))
        return false;
    std::lock_guard<std::mutex> order(m_expectedRpcMutex);
    bool fresh;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        m_explicitExpectedRpcs.insert(name);
        fresh = m_expectedRpcs.insert(name).second;
    }
    if (!fresh || !m_running)
        return true;  // already subscribed, or the next connection subscribes it
    return subscribeResponses(name);
}

bool Client::unsubscribeExpectedRpc(const std::string& name)
{
    std::lock_guard<std::mutex> order(m_expectedRpcMutex);
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        if (m_expectedRpcs.count(name) == 0)
            return true;
        m_explicitExpectedRpcs.erase(name);
        if (m_rpcCallsByName.count(name) != 0)
            return true;  // calls in flight still wait on it; the last one lets it go
        m_expectedRpcs.erase(name);
    }
    if (!m_running)
        return true;
    return m_client.unsubscribe(responseFilter(name));
}

Client::RpcData Client::parseRpcTopicResponse(const std::string& topic) const
{
    RpcData data;
    const size_t at = topic.find(ResponsePart);
    if (at == std::string::npos ||
        !takeIssuerAndId(topic.substr(at + std::char_traits<char>::length(ResponsePart)), data.issuer,
                         data.id))
        return RpcData();
    data.name = topic.substr(0, at);
    return data;
}

bool Client::handleReceivedRpcResponse(const MQTT::Message& message)
{
    const RpcData data = parseRpcTopicResponse(message.topic);
    if (data.id.empty())
        return false;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        bool expected = false;
        for (const auto& name : m_expectedRpcs)
            if ((expected = topicMatch(data.name, name)))
                break;
        if (!expected)
            return false;
    }
    Handler fulfil;
    // Another caller's answer, or one without a caller's tag, reaches this client only through some
    // wider subscription; its id may be one of ours all the same.
    if (data.issuer == m_callerTag) {
        std::lock_guard<std::mutex> lock(m_pendingMutex);
        auto it = m_pendingCalls.find(data.id);
        if (it != m_pendingCalls.end()) {
            fulfil = std::move(it->second);
            m_pendingCalls.erase(it);
        }
    }
    if (!fulfil) {
        log(Log::LevelDebug, "Detected RPC response '%s' with unexpected id '%s', ignoring...",
            shown(data.name).c_str(), shown(data.id).c_str());
        return true;
    }
    log(Log::LevelDebug, "Detected RPC response '%s' with id '%s'", shown(data.name).c_str(),
        shown(data.id).c_str());
    fulfil(message);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Served calls

namespace {

std::string requestFilter(const std::string& base, const std::string& name, const char* tail)
{
    return Utils::combinePath(Utils::combinePath(base, name), tail);
}

}  // namespace

bool Client::subscribeRpc(const std::string& name, RpcHandler handler)
{
    std::shared_ptr<const MQTT::Config> cfg;
    const char* fault;
    {
        // Judged under the lock that setConfig changes the base under, so that no name judged with
        // the old base is served under the new one.
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        cfg = config();
        fault = servedNameFault(name, cfg->getBase());
        if (!fault)
            m_rpcHandlers.emplace(name, std::move(handler));
    }
    if (!acceptedName(name, fault))
        return false;
    if (!m_running)
        return true;  // the next connection subscribes it
    const std::string withIssuer = requestFilter(cfg->getBase(), name, "request/+/+");
    const std::string plain = requestFilter(cfg->getBase(), name, "request/+");
    if (cfg->getLogSubscriptions()) {
        log(Log::LevelDebug, "Subscribing to rpc '%s'...", shown(withIssuer).c_str());
        log(Log::LevelDebug, "Subscribing to rpc '%s'...", shown(plain).c_str());
    }
    return m_client.subscribe(plain, 0) && m_client.subscribe(withIssuer, 0);
}

bool Client::unsubscribeRpc(const std::string& name)
{
    std::shared_ptr<const MQTT::Config> cfg;
    {
        // Read with the table, so that a base changed meanwhile cannot make it one the broker drops us for.
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        if (m_rpcHandlers.erase(name) == 0)
            return false;
        cfg = config();
    }
    if (!m_running)
        return true;
    // The handler is gone even when the broker cannot be told now: the next connection starts a
    // clean session without its filters.
    m_client.unsubscribe(requestFilter(cfg->getBase(), name, "request/+"));
    m_client.unsubscribe(requestFilter(cfg->getBase(), name, "request/+/+"));
    return true;
}

Client::RpcData Client::parseRpcTopicRequest(const std::string& topic) const
{
    const std::string base = config()->getBase();
    std::string rest;
    if (base.empty()) {
        rest = topic;
    } else {
        // The base must be whole levels of the topic: base "b" does not take "bx/...".
        if (topic.compare(0, base.size(), base) != 0)
            return RpcData();
        rest = topic.substr(base.size());
        if (base.back() != '/') {
            if (rest.empty() || rest.front() != '/')
                return RpcData();
            rest.erase(0, 1);
        }
    }
    const size_t at = rest.find(RequestPart);
    if (at == std::string::npos)
        return RpcData();
    RpcData data;
    if (!takeIssuerAndId(rest.substr(at + std::char_traits<char>::length(RequestPart)), data.issuer, data.id))
        return RpcData();
    data.name = rest.substr(0, at);
    return data;
}

bool Client::handleReceivedRpcRequest(const MQTT::Message& message)
{
    const RpcData data = parseRpcTopicRequest(message.topic);
    if (data.name.empty())
        return false;
    RpcHandler handler;
    {
        std::lock_guard<std::mutex> lock(m_subscriptionsMutex);
        for (const auto& entry : m_rpcHandlers) {
            if (topicMatch(data.name, entry.first)) {
                handler = entry.second;
                break;
            }
        }
        if (!handler)
            return false;
    }
    std::string topic = Utils::combinePath(data.name, ResponsePart);
    if (!data.issuer.empty())
        topic += data.issuer + "/";
    topic += data.id;
    // Any client of the broker may send such a request, as often as it likes: an answer the broker
    // refuses would cost this client its connection each time.
    if (const char* fault = topicFault(Utils::combinePath(config()->getBase(), topic), TopicUse::Published)) {
        log(Log::LevelWarning, "Request %s (%zu bytes) dropped: its answer topic cannot be sent (%s).",
            String::excerpt(message.topic).c_str(), message.topic.size(), fault);
        return true;
    }
    log(Log::LevelDebug, "Detected RPC command '%s' with id '%s' from issuer '%s'", shown(data.name).c_str(),
        shown(data.id).c_str(), shown(data.issuer).c_str());

    std::string answer;
    try {
        answer = handler(data.name, message.payload, data.id);
    } catch (const std::exception& e) {
        answer = makeRpcFailed(nlohmann::json{{"description", e.what()}}, nullptr);
    } catch (...) {
        answer = makeRpcFailed(nlohmann::json{{"description", "Unknown error"}}, nullptr);
    }
    publish(MQTT::Message(topic, answer, Retained::New, message.qos), true);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Topics the broker takes

bool Client::fitsBroker(const std::string& topic, TopicUse use, const char* what) const
{
    return accepted(what, topic, topicFault(topic, use));
}

bool Client::accepted(const char* what, const std::string& text, const char* fault) const
{
    if (fault)
        log(Log::LevelError, "%s %s (%zu bytes) refused: %s.", what, String::excerpt(text).c_str(),
            text.size(), fault);
    return !fault;
}

// An answer with the shortest issuer and id is as long as this, and as deep as the deepest filter
// served; longer and deeper ones are the peer's doing.
const char* Client::servedNameFault(const std::string& name, const std::string& base)
{
    return nameFault(name, requestFilter(base, name, "response/+/+"), true, base);
}

// Served names and relative commands were judged with the base of their day; under a new one their
// filters may be too deep for the broker, and a served name that begins with '$' may be the broker's
// own. Such a filter would cost the connection at every reconnection, and with it every call served
// beside it.
std::vector<Client::Dropped> Client::dropWhatNoLongerFits(const std::string& base)
{
    std::vector<Dropped> dropped;
    for (auto it = m_rpcHandlers.begin(); it != m_rpcHandlers.end();) {
        const char* fault = servedNameFault(it->first, base);
        if (fault)
            dropped.push_back({"Served call", it->first, fault});
        it = fault ? m_rpcHandlers.erase(it) : std::next(it);
    }
    for (auto it = m_internalCommands.begin(); it != m_internalCommands.end();) {
        const char* fault = topicFault(Utils::combinePath(base, it->first), TopicUse::Filter);
        if (fault)
            dropped.push_back({"Command", it->first, fault});
        it = fault ? m_internalCommands.erase(it) : std::next(it);
    }
    return dropped;
}

// A tree node of which one half went is no longer served: the other half goes with it, and the node
// leaves the record, so that an update registers it again under a base where it fits, and one that
// removes it has nothing left to take back.
void Client::forgetTreeNodes(const std::vector<Dropped>& dropped)
{
    std::lock_guard<std::recursive_mutex> tree(m_treeMutex);
    std::vector<const std::string*> gone;
    for (const Dropped& entry : dropped) {
        for (const TreeVerb& verb : TreeVerbs) {
            const std::string tail = std::string("/") + verb.name;
            const size_t at = entry.name.size() - std::min(entry.name.size(), tail.size());
            if (entry.name.compare(at, std::string::npos, tail) == 0 &&
                m_treeTopics[&verb - TreeVerbs].erase(entry.name.substr(0, at)) != 0)
                gone.push_back(&entry.name);
        }
    }
    std::lock_guard<std::mutex> tables(m_subscriptionsMutex);
    for (const std::string* name : gone) {
        m_rpcHandlers.erase(*name);
        m_internalCommands.erase(*name);
    }
}

// ---------------------------------------------------------------------------------------------
// Answers

std::string Client::makeRpcCompleted(const nlohmann::json& data)
{
    nlohmann::json answer{{"completed", true}};
    if (!data.empty())
        answer["data"] = data;
    return compact(answer);
}

std::string Client::makeRpcFailed(const nlohmann::json& error, const nlohmann::json& data)
{
    nlohmann::json answer{{"completed", false}};
    if (!error.empty())
        answer["error"] = error;
    if (!data.empty())
        answer["data"] = data;
    return compact(answer);
}

}  // namespace MQTT
