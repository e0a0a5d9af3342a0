// Semaphore and Thread under concurrent use; built under ThreadSanitizer in CI.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "core/Clock.h"
#include "core/Semaphore.h"
#include "core/Thread.h"

namespace {

TEST(Semaphore, StartsAtTheMaximumAndPostsMayGoBeyondIt)
{
    Semaphore s("s", 5, 2);
    EXPECT_EQ(s.GetMaxCount(), 2u);
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_FALSE(s.Wait(0));

    EXPECT_TRUE(s.Post(0));  // counts as one
    EXPECT_TRUE(s.Wait(0));
    EXPECT_FALSE(s.Wait(0));

    EXPECT_TRUE(s.Post(3));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_TRUE(s.Wait(0));
    EXPECT_FALSE(s.Wait(0));
}

TEST(Semaphore, TimedWaitExpiresAndAPostReleasesAnUnlimitedWait)
{
    Semaphore s("", 0, 1);
    const double start = Clock::monotonicMillis();
    EXPECT_FALSE(s.Wait(250));
    EXPECT_GE(Clock::elapsedMonotonicMillis(start), 245.0);

    std::atomic<bool> released{false};
    std::thread waiter([&] { released = s.Wait(-1); });
    Thread::sleep(50);
    EXPECT_FALSE(released.load());
    EXPECT_TRUE(s.Post(1));
    waiter.join();
    EXPECT_TRUE(released.load());

    // Several waiters, several posts: each post releases exactly one.
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (s.Wait(2000))
                ++taken;
        });
    s.Post(3);
    for (auto& w : waiters) w.join();
    EXPECT_EQ(taken.load(), 3);
}

std::atomic<int> signalsSeen{0};
void onSignal(int)
{
    ++signalsSeen;
}

TEST(Semaphore, ASignalToTheWaiterIsNotTakenForAPost)
{
    struct sigaction action
    {
    };
    struct sigaction previous
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: blocking calls see EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    Semaphore s("", 0, 1);
    std::atomic<bool> timedResult{true};
    std::atomic<double> timedTook{0};
    std::atomic<bool> unlimitedDone{false};
    std::thread timed([&] {
        const double start = Clock::monotonicMillis();
        timedResult = s.Wait(400);
        timedTook = Clock::elapsedMonotonicMillis(start);
    });
    Semaphore gate("", 0, 1);
    std::thread unlimited([&] {
        EXPECT_TRUE(gate.Wait(-1));
        unlimitedDone = true;
    });
    for (int i = 0; i < 10; ++i) {
        Thread::sleep(20);
        pthread_kill(timed.native_handle(), SIGUSR1);
        pthread_kill(unlimited.native_handle(), SIGUSR1);
    }
    EXPECT_FALSE(unlimitedDone.load());
    gate.Post(1);
    timed.join();
    unlimited.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(signalsSeen.load(), 0);
    EXPECT_FALSE(timedResult.load());
    EXPECT_GE(timedTook.load(), 395.0);
    EXPECT_TRUE(unlimitedDone.load());
}

struct Gate
{
    Semaphore open{"", 0, 1};
    std::atomic<int> bodies{0};
};

void gatedBody(void* argument)
{
    Gate* gate = static_cast<Gate*>(argument);
    ++gate->bodies;
    gate->open.Wait(-1);
}

TEST(Thread, QuickRunsStartOneBody)
{
    Gate gate;
    Thread thread(gatedBody, &gate);
    std::atomic<int> started{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i)
        callers.emplace_back([&] {
            if (thread.run(nullptr))
                ++started;
        });
    for (auto& c : callers) c.join();
    EXPECT_EQ(started.load(), 1);
    EXPECT_FALSE(thread.run(nullptr));
    gate.open.Post(1);
    EXPECT_TRUE(thread.join());
    EXPECT_EQ(gate.bodies.load(), 1);
    EXPECT_FALSE(thread.isRunning());

    // Once the body has ended, run starts a new one without a join in between.
    EXPECT_TRUE(thread.run(nullptr));
    gate.open.Post(1);
    EXPECT_TRUE(thread.join());
    EXPECT_EQ(gate.bodies.load(), 2);
}

struct SelfJoin
{
    Thread* thread = nullptr;
    std::atomic<int> result{-1};
};

TEST(Thread, JoinRules)
{
    Thread never;
    EXPECT_FALSE(never.join());

    SelfJoin self;
    Thread thread(
        [](void* argument) {
            auto* s = static_cast<SelfJoin*>(argument);
            s->result = s->thread->join() ? 1 : 0;
        },
        &self);
    self.thread = &thread;
    ASSERT_TRUE(thread.run(nullptr));
    EXPECT_TRUE(thread.join());
    EXPECT_EQ(self.result.load(), 0);  // no self-join
    EXPECT_FALSE(thread.join());
}

class Stoppable : public Thread
{
public:
    ~Stoppable() override { join(); }
    std::atomic<int> loops{0};
    void* seen = nullptr;

protected:
    void task(void* argument) override
    {
        seen = argument;
        while (!waitTerminate(10)) ++loops;
    }
};

TEST(Thread, TaskRunsWhenNoFunctionIsGivenAndEndsOnTerminate)
{
    Stoppable thread;
    int marker = 0;
    ASSERT_TRUE(thread.run(&marker));
    EXPECT_TRUE(testsupport::eventually([&] { return thread.loops.load() > 0; }));
    EXPECT_TRUE(thread.isRunning());
    EXPECT_TRUE(thread.terminate());
    EXPECT_TRUE(thread.join());
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(thread.seen, &marker);
}

TEST(Thread, DestroyingARunningThreadWaitsForItsBody)
{
    std::atomic<bool> finished{false};
    auto* thread = new Thread(
        [](void* argument) {
            Thread::sleep(100);
            *static_cast<std::atomic<bool>*>(argument) = true;
        },
        &finished);
    ASSERT_TRUE(thread->run(nullptr));
    delete thread;  // the body still writes to the object when it ends
    EXPECT_TRUE(finished.load());
}

TEST(Thread, ExceptionInTheBodyStaysInTheThread)
{
    Thread thread([](void*) { throw std::runtime_error("boom"); });
    ASSERT_TRUE(thread.run(nullptr));
    EXPECT_TRUE(thread.join());
    EXPECT_FALSE(thread.isRunning());
}

}  // namespace
