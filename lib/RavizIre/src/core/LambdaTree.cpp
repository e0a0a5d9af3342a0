#include "core/LambdaTree.h"

#include <mutex>
#include <stdexcept>

#include "core/String.h"
#include "core/Utils.h"

namespace {

// Listener tables are changed by the tree's owner and read by `changed` on an emitting thread;
// one lock for all trees is plenty for how seldom either happens.
std::mutex& listenerMutex()
{
    static std::mutex mutex;
    return mutex;
}

// The first non-empty name of a trimmed topic and what follows it, trimmed again. False when
// the topic holds no name at all.
bool splitFirst(const std::string& trimmed, std::string& first, std::string& rest)
{
    const size_t start = trimmed.find_first_not_of('/');
    if (start == std::string::npos)
        return false;
    const size_t end = trimmed.find('/', start);
    first = trimmed.substr(start, end == std::string::npos ? std::string::npos : end - start);
    rest = end == std::string::npos ? std::string() : trimSlashes(trimmed.substr(end));
    return true;
}

nlohmann::json exceptionText(const char* what)
{
    return nlohmann::json{{"exception", what}};
}

bool hasFailure(const LambdaTree::Failures& failures)
{
    for (const auto& entry : failures)
        if (!(entry.second.is_boolean() && entry.second.get<bool>()))
            return true;
    return false;
}

}  // namespace

std::string trimSlashes(const std::string& topic)
{
    std::string out = topic;
    if (!out.empty() && out.front() == '/')
        out.erase(0, 1);
    if (!out.empty() && out.back() == '/')
        out.pop_back();
    return out;
}

LambdaTree::LambdaTree() = default;

LambdaTree::LambdaTree(unsigned char ability, const nlohmann::json& value)
    : m_value(value),
      m_kind(value.is_object() || value.is_array() ? Kind::JsonContainer : Kind::JsonValue),
      m_ability(ability)
{
    acceptJson(value, ability);
}

LambdaTree::LambdaTree(const LambdaTree& other)
{
    copyFrom(other);
}

LambdaTree::LambdaTree(LambdaTree&& other)
{
    moveFrom(other);
}

LambdaTree& LambdaTree::operator=(const LambdaTree& other)
{
    if (this != &other) {
        unbind();
        m_children.clear();
        copyFrom(other);
    }
    return *this;
}

LambdaTree& LambdaTree::operator=(LambdaTree&& other)
{
    if (this != &other) {
        unbind();
        m_children.clear();
        moveFrom(other);
    }
    return *this;
}

LambdaTree::~LambdaTree()
{
    unbind();
    // Children go first: until they have left their signals, a change they report still walks up
    // through this node's listeners.
    m_children.clear();
}

void LambdaTree::copyFrom(const LambdaTree& other)
{
    m_children = other.m_children;
    adoptChildren();
    m_getter = other.m_getter;
    m_setter = other.m_setter;
    m_value = other.m_value;
    m_kind = other.m_kind;
    m_ability = other.m_ability;
    m_stopAtFirstFailure = other.m_stopAtFirstFailure;
    {
        std::lock_guard<std::mutex> lock(listenerMutex());
        m_lastListenerId = other.m_lastListenerId;
        m_listeners = other.m_listeners;
    }
    bind(other.m_changeSignal);
}

void LambdaTree::moveFrom(LambdaTree& other)
{
    m_children = std::move(other.m_children);
    other.m_children.clear();
    adoptChildren();
    m_getter = std::move(other.m_getter);
    m_setter = std::move(other.m_setter);
    m_value = std::move(other.m_value);
    m_kind = other.m_kind;
    m_ability = other.m_ability;
    m_stopAtFirstFailure = other.m_stopAtFirstFailure;
    {
        std::lock_guard<std::mutex> lock(listenerMutex());
        m_lastListenerId = other.m_lastListenerId;
        m_listeners = std::move(other.m_listeners);
        other.m_listeners.clear();
    }
    // The signal's slot holds the old address: bind the new one before the old one leaves, so
    // that no change falls between the two.
    bind(other.m_changeSignal);
    other.unbind();
}

void LambdaTree::adoptChildren()
{
    for (auto& entry : m_children) entry.second.m_parent = this;
}

void LambdaTree::bind(const Signal<>* signal)
{
    if (!signal)
        return;
    m_changeSignal = signal;
    m_changeConnection = signal->connect_member(this, &LambdaTree::changed);
}

void LambdaTree::unbind()
{
    if (!m_changeSignal)
        return;
    m_changeSignal->disconnect(m_changeConnection);
    m_changeSignal = nullptr;
    m_changeConnection = 0;
}

// ---------------------------------------------------------------------------------------------
// Building

LambdaTree& LambdaTree::place(const std::string& topic)
{
    LambdaTree* node = this;
    for (const std::string& name : String::tokenizeV(topic, "/")) {
        if (node->m_kind != Kind::Group)
            throw std::runtime_error(String::format("LambdaTree: '%s' lies below a value", topic.c_str()));
        auto inserted = node->m_children.try_emplace(name);
        LambdaTree& child = inserted.first->second;
        if (inserted.second)
            child.m_parent = node;
        node = &child;
    }
    return *node;
}

LambdaTree& LambdaTree::addGroup(const std::string& topic, bool stopAtFirstFailure)
{
    LambdaTree& node = place(topic);
    if (node.m_kind != Kind::Group)
        throw std::runtime_error(String::format("LambdaTree: '%s' is not a group", topic.c_str()));
    node.m_stopAtFirstFailure = stopAtFirstFailure;
    return node;
}

LambdaTree& LambdaTree::addLambda(const std::string& topic, Getter getter, Setter setter,
                                  const Signal<>* changeSignal)
{
    std::vector<std::string> names = String::tokenizeV(topic, "/");
    if (names.empty())
        throw std::invalid_argument("LambdaTree: a lambda needs a name");
    const std::string name = names.back();
    names.pop_back();
    std::string groupPath;
    for (const auto& part : names) groupPath = Utils::combinePath(groupPath, part);
    LambdaTree& group = place(groupPath);
    if (group.m_kind != Kind::Group)
        throw std::runtime_error(String::format("LambdaTree: '%s' lies below a value", topic.c_str()));
    auto inserted = group.m_children.try_emplace(name);
    if (!inserted.second)
        throw std::runtime_error(String::format("LambdaTree: '%s' exists already", topic.c_str()));
    LambdaTree& node = inserted.first->second;
    node.m_parent = &group;
    node.m_kind = Kind::Lambda;
    node.m_getter = std::move(getter);
    node.m_setter = std::move(setter);
    node.m_ability = Readable | (node.m_setter ? Writable : 0) | (changeSignal ? Notifying : 0);
    node.bind(changeSignal);
    return node;
}

bool LambdaTree::remove(const std::string& topic)
{
    std::vector<std::string> names = String::tokenizeV(topic, "/");
    if (names.empty())
        return false;
    LambdaTree* node = this;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        auto it = node->m_children.find(names[i]);
        if (it == node->m_children.end())
            return false;
        node = &it->second;
    }
    return node->m_children.erase(names.back()) != 0;
}

// ---------------------------------------------------------------------------------------------
// Addressing

bool LambdaTree::topicExists(const std::string& topic) const
{
    const std::string trimmed = trimSlashes(topic);
    if (trimmed.empty())
        return true;
    std::string first, rest;
    if (!splitFirst(trimmed, first, rest))
        return false;
    auto it = m_children.find(first);
    return it != m_children.end() && it->second.topicExists(rest);
}

const LambdaTree& LambdaTree::target(const std::string& topic, const std::string& path) const
{
    const std::string trimmed = trimSlashes(topic);
    if (trimmed.empty())
        return *this;
    std::string first, rest;
    auto it = splitFirst(trimmed, first, rest) ? m_children.find(first) : m_children.end();
    if (it == m_children.end())
        throw std::runtime_error(String::format("LambdaTree::Target failed from %s to %s",
                                                String::escaped(path).c_str(),
                                                String::escaped(topic).c_str()));
    return it->second.target(rest, Utils::combinePath(path, first));
}

LambdaTree& LambdaTree::target(const std::string& topic, const std::string& path)
{
    return const_cast<LambdaTree&>(static_cast<const LambdaTree*>(this)->target(topic, path));
}

nlohmann::json LambdaTree::get(const std::string& topic) const
{
    return target(topic, "").m_value;
}

nlohmann::json LambdaTree::wrap(const std::string& topic, const nlohmann::json& value)
{
    nlohmann::json result = value;
    const std::vector<std::string> parts = String::tokenizeV(topic, "/");
    for (auto it = parts.rbegin(); it != parts.rend(); ++it)
        result = nlohmann::json{{*it, std::move(result)}};
    return result;
}

// ---------------------------------------------------------------------------------------------
// Reading and writing

LambdaTree::Failures LambdaTree::set(const std::string& topic, const nlohmann::json& value)
{
    nlohmann::json out;
    Failures failures;
    updateInternal(out, NewValue{true, &value}, "", trimSlashes(topic), failures);
    return failures;
}

LambdaTree::Failures LambdaTree::update(const std::string& topic)
{
    static const nlohmann::json refresh = nlohmann::json::object();
    nlohmann::json out;
    Failures failures;
    updateInternal(out, NewValue{false, &refresh}, "", trimSlashes(topic), failures);
    return failures;
}

void LambdaTree::updateInternal(nlohmann::json& out, const NewValue& request, const std::string& path,
                                const std::string& rest, Failures& failures)
{
    switch (m_kind) {
        case Kind::Group:
            updateInternalLambdaGroup(out, request, path, rest, failures);
            break;
        case Kind::Lambda:
            updateInternalLambda(out, request, path, rest, failures);
            break;
        default:
            throw std::runtime_error("impossible node");
    }
    m_value = out;
}

void LambdaTree::updateInternalLambdaGroup(nlohmann::json& out, const NewValue& request,
                                           const std::string& path, const std::string& rest,
                                           Failures& failures)
{
    std::string first, after;
    const bool narrowed = !rest.empty() && splitFirst(rest, first, after);
    if (!rest.empty() && !narrowed)
        return;
    const nlohmann::json& value = *request.value;
    for (auto& entry : m_children) {
        const std::string& name = entry.first;
        const bool member = value.is_object() && value.contains(name);
        if (narrowed ? name != first : (request.write && !member))
            continue;
        const NewValue childRequest{request.write, !narrowed && member ? &value[name] : request.value};
        Failures childFailures;
        if (out.is_null())
            out = nlohmann::json::object();
        entry.second.updateInternal(out[name], childRequest, Utils::combinePath(path, name),
                                    narrowed ? after : std::string(), childFailures);
        const bool failed = hasFailure(childFailures);
        failures.insert(childFailures.begin(), childFailures.end());
        if (failed && m_stopAtFirstFailure)
            return;
    }
}

void LambdaTree::updateInternalLambda(nlohmann::json& out, const NewValue& request, const std::string& path,
                                      const std::string& rest, Failures& failures)
{
    std::pair<bool, nlohmann::json> setResult{true, nullptr};
    if (request.write && m_setter) {
        try {
            setResult = m_setter(wrap(rest, *request.value));
        } catch (const std::exception& e) {
            setResult = {false, exceptionText(e.what())};
        } catch (...) {
            setResult = {false, exceptionText("unknown exception")};
        }
    }
    std::pair<bool, nlohmann::json> getResult;
    try {
        getResult = m_getter();  // an empty getter throws std::bad_function_call
    } catch (const std::exception& e) {
        getResult = {false, exceptionText(e.what())};
    } catch (...) {
        getResult = {false, exceptionText("unknown exception")};
    }
    out = getResult.first ? getResult.second : nlohmann::json();
    if (!getResult.first)
        failures.emplace(path, getResult.second);
    else if (!setResult.first)
        failures.emplace(path, setResult.second);
    if (out.is_object() || out.is_array())
        acceptJson(out, m_ability);
}

void LambdaTree::acceptJson(const nlohmann::json& value, unsigned char ability)
{
    m_children.clear();
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            m_children.try_emplace(it.key(), ability, it.value()).first->second.m_parent = this;
    } else if (value.is_array()) {
        unsigned index = 0;
        for (const auto& element : value)
            m_children.try_emplace(String::format("%u", index++), ability, element).first->second.m_parent =
                this;
    }
}

// ---------------------------------------------------------------------------------------------
// Listing and listening

std::vector<std::string> LambdaTree::topicDump(const std::string& topic, Ability ability) const
{
    std::vector<std::string> paths;
    target(topic, "").dump("", ability, paths);
    return paths;
}

void LambdaTree::dump(const std::string& path, Ability ability, std::vector<std::string>& paths) const
{
    for (const auto& entry : m_children)
        entry.second.dump(Utils::combinePath(path, entry.first), ability, paths);
    if (m_ability & ability)
        paths.push_back(path);
}

namespace {

// JSON nodes are rebuilt on every refresh of their lambda and never hear of a change: their
// listeners live at the lambda (or group) above them.
LambdaTree& listenerHome(LambdaTree& node)
{
    LambdaTree* home = &node;
    while (home->parent() &&
           (home->kind() == LambdaTree::Kind::JsonContainer || home->kind() == LambdaTree::Kind::JsonValue))
        home = const_cast<LambdaTree*>(home->parent());
    return *home;
}

}  // namespace

int LambdaTree::connect(const std::string& topic, std::function<void()> listener)
{
    if (!listener)
        throw std::invalid_argument("LambdaTree: empty listener");
    LambdaTree& node = listenerHome(target(topic, ""));
    std::lock_guard<std::mutex> lock(listenerMutex());
    const int id = ++node.m_lastListenerId;
    node.m_listeners.emplace(static_cast<unsigned int>(id), std::move(listener));
    return id;
}

bool LambdaTree::disconnect(const std::string& topic, int id)
{
    LambdaTree& node = listenerHome(target(topic, ""));
    std::lock_guard<std::mutex> lock(listenerMutex());
    return node.m_listeners.erase(static_cast<unsigned int>(id)) != 0;
}

void LambdaTree::changed()
{
    // Listeners may connect or disconnect; they run on copies, outside the lock.
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::mutex> lock(listenerMutex());
        for (const LambdaTree* node = this; node; node = node->m_parent)
            for (const auto& entry : node->m_listeners) calls.push_back(entry.second);
    }
    for (const auto& call : calls) call();
}
