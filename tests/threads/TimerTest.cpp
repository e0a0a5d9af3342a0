// Timer: single-shot and periodic expiry, restarts, and the life of its tick thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "core/Thread.h"
#include "core/Timer.h"

namespace {

using testsupport::eventually;

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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

TEST(Timer, PeriodicTicksKeepToTheScheduleOnOneThread)
{
    // Each slot works for 80 ms of a 200 ms period. A timer that counted each period from the end
    // of the last slot would fire most ticks that much or more after they are due; one that keeps
    // to the schedule fires them as late as the machine wakes a sleeping thread, which is what the
    // slot's own sleep shows, however loaded the machine.
    const double period = 200;
    const int work = 80;
    const size_t count = 30;
    struct Slot
    {
        double start, end;
    };
    std::mutex mutex;
    std::vector<Slot> slots;
    std::set<std::thread::id> threads;
    Timer timer(Timer::Periodic);
    timer.timeout.connect([&] {
        const double start = Clock::monotonicMillis();
        Thread::sleep(work);
        std::lock_guard<std::mutex> guard(mutex);
        slots.push_back({start, Clock::monotonicMillis()});
        threads.insert(std::this_thread::get_id());
    });
    const double started = Clock::monotonicMillis();
    timer.start(static_cast<int>(period));
    EXPECT_TRUE(eventually(
        [&] {
            std::lock_guard<std::mutex> guard(mutex);
            return slots.size() >= count;
        },
        120000));
    timer.stop();
    std::lock_guard<std::mutex> guard(mutex);
    ASSERT_GE(slots.size(), count);
    // A tick is due one period after the previous one; when the previous slot ended after that,
    // the missed tick is skipped and the next is due one period after the slot ended.
    double due = started + period;
    std::vector<double> lateness, overshoot;
    for (size_t i = 0; i < count; ++i) {
        EXPECT_GE(slots[i].start, due - 1.0) << "tick " << i << " early";
        lateness.push_back(slots[i].start - due);
        overshoot.push_back(slots[i].end - slots[i].start - work);
        due = due + period >= slots[i].end ? due + period : slots[i].end + period;
    }
    EXPECT_LT(median(lateness), median(overshoot) + work / 2)
        << "ticks drift: typically " << median(lateness) << " ms late where the machine wakes "
        << median(overshoot) << " ms late";
    EXPECT_EQ(threads.size(), 1u);
}

TEST(Timer, SingleShotFiresOnceThenStops)
{
    Timer timer(Timer::SingleShot);
    Ticks ticks(timer);
    const double start = Clock::monotonicMillis();
    timer.start(100);
    EXPECT_TRUE(timer.running());
    EXPECT_TRUE(eventually([&] { return ticks.stops.load() == 1; }));
    EXPECT_FALSE(timer.running());
    Thread::sleep(150);  // room for a second expiry that must not come
    std::lock_guard<std::mutex> guard(ticks.mutex);
    ASSERT_EQ(ticks.times.size(), 1u);
    EXPECT_GE(ticks.times[0] - start, 99.0);
    timer.stop();  // already stopped: no second `stopped`
    Thread::sleep(20);
    EXPECT_EQ(ticks.stops.load(), 1);
}

TEST(Timer, RestartTakesTheNewPeriodFromNow)
{
    Timer timer(Timer::SingleShot);
    Ticks ticks(timer);
    // The first period is long enough that no scheduler lets it run out before the restart, and
    // a timer that kept it would not tick before the wait below gives up.
    timer.start(60000);
    Thread::sleep(150);
    const double restart = Clock::monotonicMillis();
    timer.start(200);
    EXPECT_EQ(timer.interval(), 200);
    EXPECT_TRUE(eventually([&] { return ticks.stops.load() == 1; }));
    std::lock_guard<std::mutex> guard(ticks.mutex);
    ASSERT_EQ(ticks.times.size(), 1u);
    EXPECT_GE(ticks.times[0] - restart, 199.0);  // from the restart, not from the start
}

TEST(Timer, StopThenStartLeavesOneTickThread)
{
    Timer timer(Timer::Periodic);
    Ticks ticks(timer);
    for (int i = 0; i < 20; ++i) {
        timer.start(50);
        timer.stop();
    }
    const double started = Clock::monotonicMillis();
    timer.start(50);
    EXPECT_EQ(ticks.stops.load(), 20);  // each stopped tick thread ended before the next began
    {
        std::lock_guard<std::mutex> guard(ticks.mutex);
        ticks.times.clear();
        ticks.threads.clear();
    }
    EXPECT_TRUE(eventually([&] { return ticks.count() >= 10; }));
    timer.stop();
    std::lock_guard<std::mutex> guard(ticks.mutex);
    ASSERT_GE(ticks.times.size(), 10u);
    // One tick thread is never early, so the tenth tick comes at 500 ms at the soonest; two would
    // tick about twice as often.
    EXPECT_GE(ticks.times[9] - started, 499.0);
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
    EXPECT_TRUE(eventually([&] { return callbacks.load() >= 3; }));
    EXPECT_TRUE(timer.running());
    timer.stop();
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
    EXPECT_TRUE(eventually([&] { return fired.load() == 3 && !single.running(); }));
    Thread::sleep(100);  // room for a fourth expiry that must not come
    EXPECT_EQ(fired.load(), 3);

    Timer periodic(Timer::Periodic);
    std::atomic<int> ticks{0};
    std::atomic<int> stops{0};
    periodic.timeout.connect([&] {
        if (++ticks == 2)
            periodic.stop();
    });
    periodic.stopped.connect([&] { ++stops; });
    periodic.start(20);
    EXPECT_TRUE(eventually([&] { return stops.load() == 1; }));
    Thread::sleep(100);  // room for a third tick that must not come
    EXPECT_EQ(ticks.load(), 2);
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
            Thread::sleep(testsupport::PeerDeadlineMs);  // the expiry ends the process first
        },
        "a timer cannot be destroyed from its own slot");
}

}  // namespace
