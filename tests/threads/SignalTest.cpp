// Signal: slot table, emission order, failures inside slots, and use from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Signal.h"

namespace {

TEST(Signal, SlotsRunInConnectionOrderAndIdsAreNeverReused)
{
    Signal<int, const std::string&> signal;
    std::vector<std::string> calls;
    EXPECT_EQ(
        signal.connect([&](int n, const std::string& s) { calls.push_back("a" + s + std::to_string(n)); }),
        1);
    EXPECT_EQ(
        signal.connect([&](int n, const std::string& s) { calls.push_back("b" + s + std::to_string(n)); }),
        2);
    EXPECT_EQ(
        signal.connect([&](int n, const std::string& s) { calls.push_back("c" + s + std::to_string(n)); }),
        3);
    signal.emit(7, "x");
    EXPECT_EQ(calls, (std::vector<std::string>{"ax7", "bx7", "cx7"}));

    calls.clear();
    signal.disconnect(2);
    signal.disconnect(42);  // not connected: nothing changes
    signal.emit(1, "y");
    EXPECT_EQ(calls, (std::vector<std::string>{"ay1", "cy1"}));

    signal.disconnect_all();
    EXPECT_EQ(signal.size(), 0u);
    EXPECT_EQ(signal.connect([](int, const std::string&) {}), 4);
}

TEST(Signal, EveryEmitPostsEmittedEvenWithoutSlots)
{
    Signal<> signal;
    EXPECT_FALSE(signal.emitted.Wait(0));
    signal.emit();
    EXPECT_TRUE(signal.emitted.Wait(0));
    EXPECT_FALSE(signal.emitted.Wait(0));
}

TEST(Signal, ThrowingSlotStopsTheEmissionButNotTheSignal)
{
    Signal<int> signal;
    std::vector<int> calls;
    signal.connect([&](int n) { calls.push_back(n); });
    const int bad = signal.connect([](int n) {
        if (n == 1)
            throw std::invalid_argument("slot refused 1");
        throw 5;
    });
    signal.connect([&](int n) { calls.push_back(100 + n); });

    try {
        signal.emit(1);
        FAIL() << "nothing thrown";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "slot refused 1");
    }
    EXPECT_EQ(calls, (std::vector<int>{1}));  // the later slot was skipped
    EXPECT_TRUE(signal.emitted.Wait(0));      // a waiter is still released

    EXPECT_THROW(signal.emit(2), int);  // other exceptions pass unchanged
    EXPECT_TRUE(signal.emitted.Wait(0));

    // The lock was released: the signal still works.
    signal.disconnect(bad);
    calls.clear();
    signal.emit(3);
    EXPECT_EQ(calls, (std::vector<int>{3, 103}));

    Signal<> empty;
    empty.connect(std::function<void()>());
    EXPECT_THROW(empty.emit(), std::exception);
}

struct Counter
{
    int total = 0;
    void add(int n) { total += n; }
};

TEST(Signal, ConnectMemberCallsTheObject)
{
    Counter counter;
    const Signal<int> signal;  // connecting works through a const reference
    EXPECT_EQ(signal.connect_member(&counter, &Counter::add), 1);
    const_cast<Signal<int>&>(signal).emit(5);
    const_cast<Signal<int>&>(signal).emit(6);
    EXPECT_EQ(counter.total, 11);
}

TEST(Signal, EmittersAndConnectorsOnSeveralThreads)
{
    Signal<int> signal;
    std::atomic<long> sum{0};
    signal.connect([&](int n) { sum += n; });
    std::vector<std::thread> threads;
    std::vector<int> ids[2];
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const int id = signal.connect([](int) {});
                ids[t].push_back(id);
                signal.disconnect(id);
            }
        });
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) signal.emit(1);
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(sum.load(), 600);
    EXPECT_EQ(signal.size(), 1u);
    std::vector<int> all(ids[0]);
    all.insert(all.end(), ids[1].begin(), ids[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());  // no id handed out twice
    EXPECT_EQ(all.back(), 401);
}

}  // namespace
