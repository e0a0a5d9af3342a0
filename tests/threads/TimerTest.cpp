// Timer: single-shot and periodic expiry, restarts, and the life of its tick thread.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/Clock.h"
#include "core/Log.h"
#include "core/Thread.h"
#include "core/Timer.h"

namespace {

// Records each expiry with its time and thread.
struct Ticks
{
    explicit Ticks(Timer& timer)
    {
        timer.timeout.connect([this] {
            std::lock_guard<std::mutex> guard(mutex);
            times.push_back(Clock::monotonicMillis());
            threads.insert(std::this_thread::get_id());
        });
        timer.stopped.connect([this] { ++stops; });
    }
    size_t count()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return times.size();
    }

    std::mutex mutex;
    std::vector<double> times;
    std::set<std::thread::id> threads;
    std::atomic<int> stops{0};
};

TEST(Timer, PeriodicTimerOf50msTicksTwentyTimesInAboutOneSecond)
{
    Timer timer(Timer::Periodic);
    Ticks ticks(timer);
    const double start = Clock::monotonicMillis();
    timer.start(50);
    while (ticks.count() < 20 && Clock::elapsedMonotonicMillis(start) < 5000) Thread::sleep(5);
    timer.stop();
    std::lock_guard<std::mutex> guard(ticks.mutex);
    ASSERT_GE(ticks.times.size(), 20u);
    const double twentieth = ticks.times[19] - start;
    // Ticks keep to the schedule: a late wake-up on a loaded machine shortens the gap to the next
    // tick but adds none, so the twentieth tick falls at one second, give or take scheduling.
    EXPECT_GE(twentieth, 990.0);
    EXPECT_LE(twentieth, 1500.0);
    EXPECT_EQ(ticks.threads.size(), 1u);
}

TEST(Timer, SingleShotFiresOnceThenStops)
{
    Timer timer(Timer::SingleShot);
    Ticks ticks(timer);
    const double start = Clock::monotonicMillis();
    timer.start(100);
    EXPECT_TRUE(timer.running());
    Thread::sleep(300);
    EXPECT_FALSE(timer.running());
    std::lock_guard<std::mutex> guard(ticks.mutex);
    ASSERT_EQ(ticks.times.size(), 1u);
    EXPECT_GE(ticks.times[0] - start, 99.0);
    EXPECT_EQ(ticks.stops.load(), 1);
    timer.stop();  // already stopped: no second `stopped`
    Thread::sleep(20);
    EXPECT_EQ(ticks.stops.load(), 1);
}

TEST(Timer, RestartTakesTheNewPeriodFromNow)
{
    Timer timer(Timer::SingleShot);
    Ticks ticks(timer);
    const double start = Clock::monotonicMillis();
    timer.start(300);
    Thread::sleep(150);
    timer.start(200);
    EXPECT_EQ(timer.interval(), 200);
    Thread::sleep(500);
    std::lock_guard<std::mutex> guard(ticks.mutex);
    ASSERT_EQ(ticks.times.size(), 1u);
    EXPECT_GE(ticks.times[0] - start, 345.0);  // not at 300 ms, and not 150 ms after the restart
    EXPECT_EQ(ticks.stops.load(), 1);
}

TEST(Timer, StopThenStartLeavesOneTickThread)
{
    Timer timer(Timer::Periodic);
    Ticks ticks(timer);
    for (int i = 0; i < 20; ++i) {
        timer.start(50);
        timer.stop();
    }
    timer.start(50);
    EXPECT_EQ(ticks.stops.load(), 20);  // each stopped tick thread ended before the next began
    {
        std::lock_guard<std::mutex> guard(ticks.mutex);
        ticks.times.clear();
        ticks.threads.clear();
    }
    Thread::sleep(520);
    timer.stop();
    std::lock_guard<std::mutex> guard(ticks.mutex);
    EXPECT_GE(ticks.times.size(), 5u);
    EXPECT_LE(ticks.times.size(), 11u);  // two threads would tick about twice as often
    EXPECT_EQ(ticks.threads.size(), 1u);
}

TEST(Timer, ThrowingSlotDoesNotEndTheTicks)
{
    Timer timer(Timer::Periodic);
    timer.timeout.connect([] { throw std::runtime_error("slot failed"); });
    Ticks ticks(timer);  // connected after the throwing slot: skipped by every emit
    std::atomic<int> callbacks{0};
    timer.setCallback([](void* argument) { ++*static_cast<std::atomic<int>*>(argument); }, &callbacks);
    timer.start(20);
    Thread::sleep(200);
    EXPECT_TRUE(timer.running());
    timer.stop();
    EXPECT_GE(callbacks.load(), 3);
    EXPECT_EQ(ticks.count(), 0u);
}

TEST(Timer, SlotCanRearmASingleShotOrStopAPeriodic)
{
    Timer single(Timer::SingleShot);
    std::atomic<int> fired{0};
    single.timeout.connect([&] {
        if (++fired < 3)
            single.start(30);
    });
    single.start(30);
    Thread::sleep(300);
    EXPECT_EQ(fired.load(), 3);
    EXPECT_FALSE(single.running());

    Timer periodic(Timer::Periodic);
    std::atomic<int> ticks{0};
    std::atomic<int> stops{0};
    periodic.timeout.connect([&] {
        if (++ticks == 2)
            periodic.stop();
    });
    periodic.stopped.connect([&] { ++stops; });
    periodic.start(20);
    Thread::sleep(200);
    EXPECT_EQ(ticks.load(), 2);
    EXPECT_EQ(stops.load(), 1);
    EXPECT_FALSE(periodic.running());
}

TEST(Timer, DestroyingARunningTimerWaitsForItsSlots)
{
    std::atomic<int> inSlot{0};
    auto* timer = new Timer(Timer::Periodic);
    timer->timeout.connect([&] {
        ++inSlot;
        Thread::sleep(50);  // still inside the emit while the owner destroys the timer
    });
    std::atomic<int> stops{0};
    timer->stopped.connect([&] { ++stops; });
    timer->start(1);
    while (inSlot.load() == 0) Thread::sleep(1);
    delete timer;  // the tick thread still emits `stopped` on the object
    EXPECT_EQ(stops.load(), 1);

    // A timer that was never started, and one started with no limit, go quietly too.
    {
        Timer idle(Timer::SingleShot);
    }
    {
        Timer waiting(Timer::SingleShot);
        waiting.start(-1);
        Thread::sleep(20);
        EXPECT_TRUE(waiting.running());
    }
}

// Its memory would go while the tick thread still runs in it: the process ends with the reason.
TEST(TimerDeathTest, DestroyedFromItsOwnSlotEndsWithAClearLogLine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Log::open("timer-test", true, false);
            auto* timer = new Timer(Timer::SingleShot);
            timer->timeout.connect([timer] { delete timer; });
            timer->start(1);
            Thread::sleep(1000);
        },
        "a timer cannot be destroyed from its own slot");
}

}  // namespace
