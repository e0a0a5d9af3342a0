// A tree of live values addressed by '/'-separated paths: groups name sub-trees, lambda nodes
// produce (and optionally accept) JSON through a getter and a setter, and below each lambda the
// last value it produced is mirrored as plain JSON nodes, so that every member is addressable.
// The tree owns its nodes by value; getters, setters and listeners are the builder's. The owner
// serialises reads, writes and building; only the listener tables have a lock of their own,
// because `changed` runs on whatever thread emits a node's change signal.
#pragma once

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "core/Signal.h"

// At most one leading and then at most one trailing '/' removed: "//a//" gives "/a/".
std::string trimSlashes(const std::string& topic);

class LambdaTree
{
public:
    // Bit set of what a node offers.
    enum Ability : unsigned char
    {
        Readable = 1,   // listed as a get topic
        Writable = 2,   // set topic
        Notifying = 4,  // monitor topic
    };

    enum class Kind : int
    {
        Group = 0,
        Lambda = 1,
        JsonContainer = 2,  // object or array below a lambda
        JsonValue = 3,      // any other JSON below a lambda
    };

    // first: success; second: the value, or a description of the failure.
    using Getter = std::function<std::pair<bool, nlohmann::json>()>;
    // first: success; second: a description of the failure.
    using Setter = std::function<std::pair<bool, nlohmann::json>(const nlohmann::json&)>;
    // Failures by node path.
    using Failures = std::map<std::string, nlohmann::json>;

    // What travels down an update: a refresh, or a value to write.
    struct NewValue
    {
        bool write = false;
        const nlohmann::json* value = nullptr;
    };

    // A root group: readable, no children, null value.
    LambdaTree();
    // A JSON node mirroring a copy of value, its members (or elements, named "0", "1", ...) as
    // children with the same ability.
    LambdaTree(unsigned char ability, const nlohmann::json& value);
    // Copies and moves keep every parent link pointing at the node that holds the child, and a
    // node bound to a change signal stays bound under its new address. The result has no parent.
    LambdaTree(const LambdaTree& other);
    LambdaTree(LambdaTree&& other);
    LambdaTree& operator=(const LambdaTree& other);
    LambdaTree& operator=(LambdaTree&& other);
    // Leaves the change signal, so that no emission reaches a node that is gone.
    ~LambdaTree();

    // Building. Missing groups on the way are made; a name already taken by a lambda or lying
    // below one throws std::runtime_error.
    LambdaTree& addGroup(const std::string& topic, bool stopAtFirstFailure = false);
    // Readable always, writable with a setter, notifying with a change signal, which must outlive
    // the node. A place already taken throws std::runtime_error.
    LambdaTree& addLambda(const std::string& topic, Getter getter, Setter setter = nullptr,
                          const Signal<>* changeSignal = nullptr);
    // Removes the node at topic with everything below it; false when there is none. The root
    // cannot be removed.
    bool remove(const std::string& topic);

    int size() const { return static_cast<int>(m_children.size()); }
    bool topicExists(const std::string& topic) const;

    // The node at topic below this one; path names this node in the failure text. Throws
    // std::runtime_error "LambdaTree::Target failed from <path> to <topic>" when there is none.
    LambdaTree& target(const std::string& topic, const std::string& path);
    const LambdaTree& target(const std::string& topic, const std::string& path) const;

    // The value last produced at topic; no getter is called.
    nlohmann::json get(const std::string& topic) const;
    // Writes through the setters of the lambdas that topic reaches, then refreshes them.
    Failures set(const std::string& topic, const nlohmann::json& value);
    // Refreshes the values at and below topic.
    Failures update(const std::string& topic);

    // Paths relative to topic of the nodes at and below it sharing a bit with ability; children
    // before their parent, in name order, the node at topic itself last (as "").
    std::vector<std::string> topicDump(const std::string& topic, Ability ability) const;

    // Listener ids start at 1 at each node. Listeners run on the thread that reports the change.
    // A mirrored member is rebuilt on every refresh, so its listeners are kept (and numbered) by
    // the lambda above it, which is also the node that hears of changes. An empty listener is
    // refused with std::invalid_argument.
    int connect(const std::string& topic, std::function<void()> listener);
    bool disconnect(const std::string& topic, int id);
    // Calls the listeners of this node and of every node above it, in ascending id order.
    void changed();

    // Replaces the children by the members or elements of value.
    void acceptJson(const nlohmann::json& value, unsigned char ability);
    // value nested under the non-empty parts of topic (a/b and 5 give {"a":{"b":5}}).
    static nlohmann::json wrap(const std::string& topic, const nlohmann::json& value);

    Kind kind() const { return m_kind; }
    unsigned char ability() const { return m_ability; }
    const LambdaTree* parent() const { return m_parent; }
    const std::map<std::string, LambdaTree>& children() const { return m_children; }

private:
    void copyFrom(const LambdaTree& other);
    void moveFrom(LambdaTree& other);
    void adoptChildren();
    void bind(const Signal<>* signal);
    void unbind();

    void updateInternal(nlohmann::json& out, const NewValue& request, const std::string& path,
                        const std::string& rest, Failures& failures);
    void updateInternalLambdaGroup(nlohmann::json& out, const NewValue& request, const std::string& path,
                                   const std::string& rest, Failures& failures);
    void updateInternalLambda(nlohmann::json& out, const NewValue& request, const std::string& path,
                              const std::string& rest, Failures& failures);
    void dump(const std::string& path, Ability ability, std::vector<std::string>& paths) const;
    LambdaTree& place(const std::string& topic);

    std::map<std::string, LambdaTree> m_children;
    Getter m_getter;
    Setter m_setter;
    nlohmann::json m_value;
    Kind m_kind = Kind::Group;
    unsigned char m_ability = Readable;
    bool m_stopAtFirstFailure = false;
    LambdaTree* m_parent = nullptr;
    const Signal<>* m_changeSignal = nullptr;
    int m_changeConnection = 0;
    int m_lastListenerId = 0;
    std::map<unsigned int, std::function<void()>> m_listeners;
};

inline LambdaTree::Ability operator|(LambdaTree::Ability a, LambdaTree::Ability b)
{
    return static_cast<LambdaTree::Ability>(static_cast<unsigned char>(a) | static_cast<unsigned char>(b));
}
