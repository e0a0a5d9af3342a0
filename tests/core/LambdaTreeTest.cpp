#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/LambdaTree.h"

namespace {

using nlohmann::json;

// A lambda that serves a stored value, records what its setter was given, and can be told to fail.
struct Source
{
    explicit Source(json initial) : value(std::move(initial)) {}

    json value;
    std::vector<json> written;
    int reads = 0;
    bool getterThrows = false;
    bool setterRefuses = false;

    LambdaTree::Getter getter()
    {
        return [this]() -> std::pair<bool, json> {
            ++reads;
            if (getterThrows)
                throw std::runtime_error("boom");
            return {true, value};
        };
    }

    LambdaTree::Setter setter()
    {
        return [this](const json& v) -> std::pair<bool, json> {
            written.push_back(v);
            if (setterRefuses)
                return {false, json{{"reason", "read-only today"}}};
            value.merge_patch(v);
            return {true, nullptr};
        };
    }
};

// Every parent link below node must point at the node that holds the child.
void expectParentLinks(const LambdaTree& node)
{
    for (const auto& entry : node.children()) {
        EXPECT_EQ(entry.second.parent(), &node) << "child " << entry.first;
        expectParentLinks(entry.second);
    }
}

TEST(LambdaTreeTest, LambdaValueIsMirroredAsAddressableNodes)
{
    Source status{json{{"temp", 5}, {"list", {1, 2}}}};
    LambdaTree tree;
    tree.addLambda("status", status.getter());

    EXPECT_TRUE(tree.update("status").empty());
    EXPECT_EQ(tree.size(), 1);
    EXPECT_EQ(tree.get("status/list/1"), json(2));
    EXPECT_TRUE(tree.topicExists("status/temp"));
    EXPECT_FALSE(tree.topicExists("status/humidity"));
    EXPECT_FALSE(tree.topicExists("///"));
    EXPECT_EQ(tree.get("/status/"), tree.get("status"));
    EXPECT_EQ(tree.get("status"), status.value);
    EXPECT_EQ(tree.target("status/list", "").kind(), LambdaTree::Kind::JsonContainer);
    EXPECT_EQ(tree.target("status/list/0", "").kind(), LambdaTree::Kind::JsonValue);
    expectParentLinks(tree);

    EXPECT_THROW(tree.get("nope"), std::runtime_error);
    try {
        tree.get("status/list/7");
        FAIL() << "an unknown element must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "LambdaTree::Target failed from status/list to 7");
    }

    // A new shape replaces the mirrored nodes as a whole.
    status.value = json{{"temp", 6}};
    tree.update("");
    EXPECT_FALSE(tree.topicExists("status/list"));
    EXPECT_EQ(tree.get("status/temp"), json(6));
    expectParentLinks(tree);
}

TEST(LambdaTreeTest, GetterAndSetterFailuresComeBackByNodePath)
{
    Source status{json{{"temp", 5}}};
    LambdaTree tree;
    tree.addLambda("dev/status", status.getter(), status.setter());
    tree.update("");

    status.getterThrows = true;
    LambdaTree::Failures failures = tree.update("dev/status");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures["dev/status"], json({{"exception", "boom"}}));
    EXPECT_TRUE(tree.get("dev/status").is_null());

    status.getterThrows = false;
    status.setterRefuses = true;
    failures = tree.set("dev/status/temp", 9);
    EXPECT_EQ(failures, (LambdaTree::Failures{{"dev/status", json{{"reason", "read-only today"}}}}));
    // The getter still ran, so the node shows what the source really holds.
    EXPECT_EQ(tree.get("dev/status/temp"), json(5));

    // Unknown topics visit nothing and report nothing.
    EXPECT_TRUE(tree.update("dev/none").empty());

    // A group told to stop at the first failure leaves its later children alone.
    Source later{json(2)};
    tree.addGroup("dev", true);
    tree.addLambda("dev/tail", later.getter());
    status.getterThrows = true;
    EXPECT_EQ(tree.update("dev").size(), 1u);
    EXPECT_EQ(later.reads, 0);
    // Without the flag, the children after a failing one are still read.
    tree.addGroup("dev", false);
    EXPECT_EQ(tree.update("dev").size(), 1u);
    EXPECT_EQ(later.reads, 1);
    EXPECT_THROW(tree.addLambda("dev/status/x", later.getter()), std::runtime_error);
}

TEST(LambdaTreeTest, SetWritesThroughTheLambdaThatTheTopicReaches)
{
    Source a{json{{"temp", 5}}}, b{json(1)};
    LambdaTree tree;
    tree.addLambda("a", a.getter(), a.setter());
    tree.addLambda("b", b.getter(), b.setter());

    EXPECT_TRUE(tree.set("a/temp", 7).empty());
    ASSERT_EQ(a.written.size(), 1u);
    EXPECT_EQ(a.written[0], json({{"temp", 7}}));
    EXPECT_EQ(tree.get("a/temp"), json(7));
    EXPECT_EQ(b.reads, 0);

    // On the root only the members named in the value are visited.
    tree.set("", json{{"a", {{"temp", 8}}}});
    EXPECT_EQ(a.written.back(), json({{"temp", 8}}));
    EXPECT_EQ(b.reads, 0);
    EXPECT_TRUE(b.written.empty());

    // A refresh of the root visits everything.
    tree.update("");
    EXPECT_EQ(b.reads, 1);
    EXPECT_EQ(tree.get(""), json({{"a", {{"temp", 8}}}, {"b", 1}}));
}

TEST(LambdaTreeTest, DumpListsChildrenBeforeParentsByAbility)
{
    Source ro{json(1)}, rw{json{{"x", 1}, {"y", {2}}}};
    Signal<> changes;
    LambdaTree tree;
    tree.addLambda("a", ro.getter());
    tree.addLambda("b", rw.getter(), rw.setter(), &changes);
    tree.update("");

    EXPECT_EQ(tree.topicDump("", LambdaTree::Readable),
              (std::vector<std::string>{"a", "b/x", "b/y/0", "b/y", "b", ""}));
    EXPECT_EQ(tree.topicDump("", LambdaTree::Writable),
              (std::vector<std::string>{"b/x", "b/y/0", "b/y", "b"}));
    EXPECT_EQ(tree.topicDump("b", LambdaTree::Notifying), (std::vector<std::string>{"x", "y/0", "y", ""}));
    EXPECT_EQ(tree.topicDump("a", LambdaTree::Writable | LambdaTree::Notifying), std::vector<std::string>{});
    EXPECT_THROW(tree.topicDump("c", LambdaTree::Readable), std::runtime_error);
}

TEST(LambdaTreeTest, ChangeReachesListenersOfTheNodeAndEveryNodeAbove)
{
    Source s{json{{"temp", 5}}};
    Signal<> changes;
    LambdaTree tree;
    tree.addLambda("dev/status", s.getter(), nullptr, &changes);
    tree.update("");

    std::vector<std::string> heard;
    EXPECT_EQ(tree.connect("dev", [&] { heard.push_back("dev"); }), 1);
    EXPECT_EQ(tree.connect("dev/status", [&] { heard.push_back("status"); }), 1);
    EXPECT_EQ(tree.connect("dev/status", [&] { heard.push_back("status2"); }), 2);
    // A mirrored member is rebuilt on every refresh; its listener must survive that.
    const int tempId = tree.connect("dev/status/temp", [&] { heard.push_back("temp"); });
    tree.update("dev/status");

    changes.emit();
    EXPECT_EQ(heard, (std::vector<std::string>{"status", "status2", "temp", "dev"}));

    EXPECT_FALSE(tree.disconnect("dev/status", 4));
    EXPECT_TRUE(tree.disconnect("dev/status", 1));
    EXPECT_TRUE(tree.disconnect("dev/status/temp", tempId));
    heard.clear();
    changes.emit();
    EXPECT_EQ(heard, (std::vector<std::string>{"status2", "dev"}));
    EXPECT_THROW(tree.connect("dev/none", [] {}), std::runtime_error);
}

TEST(LambdaTreeTest, CopiesAndMovesStayLinkedAndDestroyedNodesLeaveTheirSignal)
{
    Source s{json{{"temp", 5}, {"list", {1, 2}}}};
    Signal<> changes;
    int heardOriginal = 0, heardCopy = 0, heardMoved = 0;
    {
        LambdaTree tree;
        tree.addLambda("dev/status", s.getter(), nullptr, &changes);
        tree.update("");
        tree.connect("dev/status", [&] { ++heardOriginal; });
        EXPECT_EQ(changes.size(), 1u);

        LambdaTree copy(tree);
        expectParentLinks(copy);
        EXPECT_EQ(copy.parent(), nullptr);
        EXPECT_EQ(changes.size(), 2u);
        copy.connect("dev/status", [&] { ++heardCopy; });
        changes.emit();
        // The copy took the original's listener along and added its own.
        EXPECT_EQ(heardOriginal, 2);
        EXPECT_EQ(heardCopy, 1);

        LambdaTree moved(std::move(copy));
        expectParentLinks(moved);
        EXPECT_EQ(changes.size(), 2u);
        moved.connect("dev", [&] { ++heardMoved; });
        changes.emit();
        EXPECT_EQ(heardCopy, 2);
        EXPECT_EQ(heardMoved, 1);

        LambdaTree assigned;
        assigned = moved;
        expectParentLinks(assigned);
        EXPECT_EQ(changes.size(), 3u);
        assigned = std::move(moved);
        expectParentLinks(assigned);
        EXPECT_EQ(changes.size(), 2u);
        EXPECT_EQ(assigned.get("dev/status/list/1"), json(2));

        tree.remove("dev/status");
        EXPECT_EQ(changes.size(), 1u);
    }
    // Every node has left the signal: an emission now reaches nothing that is gone.
    EXPECT_EQ(changes.size(), 0u);
    changes.emit();
}

}  // namespace
