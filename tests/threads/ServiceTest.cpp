// Services and message services driven from several threads; built under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/BaseMessage.h"
#include "core/MsgService.h"
#include "core/Semaphore.h"
#include "core/Service.h"
#include "core/Signal.h"
#include "core/Thread.h"

namespace {

struct Item
{
    int producer;
    int seq;
};

struct Blocker
{
    Semaphore* entered;
    Semaphore* release;
};

struct Fault
{
    bool standard;
};

// Queues the next one before it returns while the worker's `chaining` is set: a queue that never
// empties.
struct Chain
{
};

// The reply of a blocking request travels through a Signal the caller waits on.
struct Request
{
    int value;
    std::shared_ptr<Signal<int>> reply;
};

class Worker : public MsgService<Worker>
{
public:
    explicit Worker(const std::string& name = "Worker") : MsgService<Worker>(name) {}
    ~Worker() override
    {
        stop();
        waitStop();
    }

    void setIdle(int ms) { idlePeriod = ms; }

    void onMessage(const Item& item)
    {
        std::lock_guard<std::mutex> guard(mutex);
        items.push_back(item);
    }
    void onMessage(const Blocker& b)
    {
        b.entered->Post(1);
        b.release->Wait(-1);
    }
    void onMessage(const Fault& f)
    {
        if (f.standard)
            throw std::runtime_error("handler failed");
        throw 42;
    }
    void onMessage(const Request& r) { r.reply->emit(r.value * 2); }
    void onMessage(const Chain& link)
    {
        if (chaining)
            sendMsg(link);
    }

    std::mutex mutex;
    std::vector<Item> items;
    std::atomic<bool> chaining{false};
    std::atomic<int> idles{0};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};

protected:
    void onIdle() override { ++idles; }
    void onStart() override { ++starts; }
    void onStop() override { ++stops; }
};

// Sends a request and waits for its reply, as the public calls of a worker do. A refused request
// is offered again a millisecond later, up to the given number of offers, and then returns false
// instead of waiting for a reply that cannot come; an accepted one that gets no reply fails the
// test within seconds rather than at the suite's time-out.
bool ask(Worker& worker, int value, int& answer, int offers = 1)
{
    auto reply = std::make_shared<Signal<int>>();
    reply->connect([&answer](int v) { answer = v; });
    for (int offered = 1; !worker.sendMsg(Request{value, reply}); ++offered) {
        if (offered >= offers)
            return false;
        Thread::sleep(1);
    }
    if (reply->emitted.Wait(5000))
        return true;
    ADD_FAILURE() << "request accepted by " << worker.name() << " but no reply within 5 s";
    return false;
}

TEST(MsgService, EveryMessageFromSeveralProducersIsHandledExactlyOnce)
{
    Worker worker;
    worker.run(false);
    constexpr int producers = 4;
    constexpr int perProducer = 400;
    std::vector<std::thread> threads;
    std::atomic<int> refusals{0};
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i) {
                // A full queue refuses; the producer backs off and offers the same item again.
                while (!worker.sendMsg(Item{p, i})) {
                    ++refusals;
                    Thread::sleep(1);
                }
            }
        });
    for (auto& t : threads) t.join();

    int answer = 0;
    // The producers may leave the queue full: the request waits for room as they did.
    ASSERT_TRUE(ask(worker, 21, answer, 5000));  // handled after every item queued before it
    EXPECT_EQ(answer, 42);
    std::lock_guard<std::mutex> guard(worker.mutex);
    ASSERT_EQ(worker.items.size(), static_cast<size_t>(producers * perProducer));
    std::vector<int> next(producers, 0);
    for (const Item& item : worker.items) {
        ASSERT_EQ(item.seq, next[item.producer]) << "producer " << item.producer;  // once, in order
        ++next[item.producer];
    }
}

TEST(MsgService, The101stQueuedMessageIsRefusedAtOnce)
{
    Worker worker;
    worker.run(false);
    Semaphore entered("", 0, 1);
    Semaphore release("", 0, 1);
    ASSERT_TRUE(worker.sendMsg(Blocker{&entered, &release}));
    ASSERT_TRUE(entered.Wait(5000));  // the worker is busy and the queue is empty

    for (int i = 0; i < 100; ++i) ASSERT_TRUE(worker.sendMsg(Item{0, i})) << i;
    EXPECT_EQ(worker.queued(), 100u);
    EXPECT_FALSE(worker.sendMsg(Item{0, 100}));
    int answer = 0;
    EXPECT_FALSE(ask(worker, 1, answer));  // refused, and the caller is not left waiting
    EXPECT_FALSE(worker.storeMsg(Message<Item, Worker>(Item{0, 101}, &worker)));

    release.Post(1);
    ASSERT_TRUE(ask(worker, 2, answer, 5000));  // refused until the worker has made room
    std::lock_guard<std::mutex> guard(worker.mutex);
    ASSERT_EQ(worker.items.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(worker.items[i].seq, i);
}

TEST(MsgService, AStoppedServiceRefusesRequests)
{
    Worker worker;
    int answer = 0;
    EXPECT_FALSE(ask(worker, 1, answer));  // never run
    worker.run(false);
    EXPECT_TRUE(ask(worker, 1, answer));
    worker.stop();
    EXPECT_FALSE(ask(worker, 1, answer));
    worker.waitStop();
    EXPECT_FALSE(ask(worker, 1, answer));
    EXPECT_EQ(worker.state(), RavizIre::Service::Stopped);
}

TEST(MsgService, ThrowingHandlerLeavesTheServiceRunning)
{
    Worker worker;
    worker.run(false);
    ASSERT_TRUE(worker.sendMsg(Fault{true}));
    ASSERT_TRUE(worker.sendMsg(Fault{false}));
    ASSERT_TRUE(worker.sendMsg(Item{7, 0}));
    int answer = 0;
    ASSERT_TRUE(ask(worker, 5, answer));
    EXPECT_EQ(answer, 10);
    EXPECT_TRUE(worker.isRunning());
    std::lock_guard<std::mutex> guard(worker.mutex);
    ASSERT_EQ(worker.items.size(), 1u);
    EXPECT_EQ(worker.items[0].producer, 7);
}

TEST(MsgService, QuickRunCallsStartOneThread)
{
    Worker worker;
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) callers.emplace_back([&] { worker.run(false); });
    for (auto& c : callers) c.join();
    int answer = 0;
    ASSERT_TRUE(ask(worker, 1, answer));
    EXPECT_EQ(worker.starts.load(), 1);
    worker.stop();
    worker.waitStop();
    EXPECT_EQ(worker.stops.load(), 1);

    // A stopped service runs again.
    worker.run(false);
    ASSERT_TRUE(ask(worker, 1, answer));
    EXPECT_EQ(worker.starts.load(), 2);
}

TEST(MsgService, IdleRunsEveryPeriodWhateverMessagesComeAndStopEndsAnUnlimitedWait)
{
    Worker worker;
    worker.setIdle(20);
    worker.run(false);
    // A loaded machine may wake the loop late, so the idle calls are counted up to a deadline; a
    // sender that never pauses for a period holds them off no more than silence does, nor does a
    // queue that is never empty.
    enum Traffic
    {
        Silence,
        Flood,
        NeverEmpty
    };
    for (const Traffic traffic : {Silence, Flood, NeverEmpty}) {
        SCOPED_TRACE(traffic == Silence ? "silence" : traffic == Flood ? "flood" : "never empty");
        const int before = worker.idles.load();
        worker.chaining = traffic == NeverEmpty;
        ASSERT_TRUE(!worker.chaining || worker.sendMsg(Chain{}));
        for (int waited = 0; worker.idles.load() < before + 5 && waited < 5000; ++waited) {
            if (traffic == Flood)
                worker.sendMsg(Item{0, waited});
            Thread::sleep(1);
        }
        worker.chaining = false;
        EXPECT_GE(worker.idles.load(), before + 5);
    }

    worker.setIdle(-1);
    int answer = 0;
    ASSERT_TRUE(ask(worker, 1, answer));  // the loop now waits without limit
    const int idles = worker.idles.load();
    Thread::sleep(100);
    EXPECT_LE(worker.idles.load(), idles + 1);
    worker.stop();
    worker.waitStop();  // would hang if stop did not wake the loop
    EXPECT_EQ(worker.stops.load(), 1);
}

TEST(MsgService, DestroyingARunningServiceDropsWhatIsQueued)
{
    Semaphore entered("", 0, 1);
    Semaphore release("", 0, 1);
    {
        Worker worker;
        worker.run(false);
        ASSERT_TRUE(worker.sendMsg(Blocker{&entered, &release}));
        ASSERT_TRUE(entered.Wait(5000));
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(worker.sendMsg(Item{0, i}));
        release.Post(1);
    }  // must neither hang nor leak the queued messages
    SUCCEED();
}

// A request whose sender blocks on a reply; a discarded request must release the sender.
class WaitedRequest : public BaseMessage
{
public:
    WaitedRequest(std::shared_ptr<Semaphore> done, std::shared_ptr<std::atomic<int>> outcome)
        : m_done(std::move(done)), m_outcome(std::move(outcome))
    {
    }
    std::unique_ptr<BaseMessage> clone() const override
    {
        return std::unique_ptr<BaseMessage>(new WaitedRequest(*this));
    }
    void handler() const override { finish(1); }
    void dropped() const override { finish(2); }

private:
    WaitedRequest(const WaitedRequest&) = default;
    void finish(int outcome) const
    {
        *m_outcome = outcome;
        m_done->Post(1);
    }
    std::shared_ptr<Semaphore> m_done;
    std::shared_ptr<std::atomic<int>> m_outcome;
};

TEST(MsgService, RequestsQueuedWhenTheServiceStopsReleaseTheirSenders)
{
    Semaphore entered("", 0, 1);
    Semaphore release("", 0, 1);
    Worker worker;
    worker.run(false);
    ASSERT_TRUE(worker.sendMsg(Blocker{&entered, &release}));
    ASSERT_TRUE(entered.Wait(5000));
    std::vector<std::shared_ptr<Semaphore>> done;
    std::vector<std::shared_ptr<std::atomic<int>>> outcomes;
    for (int i = 0; i < 5; ++i) {
        done.push_back(std::make_shared<Semaphore>("", 0, 1));
        outcomes.push_back(std::make_shared<std::atomic<int>>(0));
        ASSERT_TRUE(worker.storeMsg(WaitedRequest(done.back(), outcomes.back())));
    }
    worker.stop();
    release.Post(1);
    for (size_t i = 0; i < done.size(); ++i) {
        ASSERT_TRUE(done[i]->Wait(5000)) << "sender " << i << " would wait forever";
        EXPECT_EQ(outcomes[i]->load(), 2) << "handled after stop";
    }
    worker.waitStop();
}

// A worker whose start fails once the test has queued a request.
class FailingStart : public Worker
{
public:
    Semaphore entered{"", 0, 1};
    Semaphore release{"", 0, 1};

protected:
    void onStart() override
    {
        entered.Post(1);
        release.Wait(5000);
        throw std::runtime_error("no device");
    }
};

TEST(MsgService, AServiceWhoseStartThrowsIsNotRunningAndAnswersWhatItAccepted)
{
    FailingStart worker;
    worker.run(false);
    ASSERT_TRUE(worker.entered.Wait(5000));
    auto done = std::make_shared<Semaphore>("", 0, 1);
    auto outcome = std::make_shared<std::atomic<int>>(0);
    ASSERT_TRUE(worker.storeMsg(WaitedRequest(done, outcome)));
    worker.release.Post(1);
    ASSERT_TRUE(done->Wait(5000)) << "the sender would wait until the service is destroyed";
    EXPECT_EQ(outcome->load(), 2);
    EXPECT_FALSE(worker.isRunning());
    int answer = 0;
    EXPECT_FALSE(ask(worker, 1, answer));
    worker.waitStop();
    EXPECT_EQ(worker.state(), RavizIre::Service::Stopped);
}

class Looping : public RavizIre::Service
{
public:
    explicit Looping(const std::string& name) : RavizIre::Service(name) {}
    std::atomic<int> rounds{0};

protected:
    void task() override
    {
        while (isRunning()) {
            ++rounds;
            Thread::sleep(5);
        }
    }
};

TEST(Service, SyncRunEndsWhenStoppedAndLogsWithItsPrefix)
{
    Log::open("tapgate-test", true, false);
    Log::setLevel(Log::LevelDebug);
    testing::internal::CaptureStderr();
    {
        Looping service("TCP");
        std::thread runner([&] { service.run(true); });
        while (service.rounds.load() == 0) Thread::sleep(1);
        service.run(true);  // ignored while running
        service.stop();
        runner.join();
        EXPECT_EQ(service.state(), RavizIre::Service::Stopped);
        service.stop();  // not running: nothing
    }
    {
        Looping odd("50%s%n");  // a name is never read as a format
        odd.log(Log::LevelInfo, "value %d", 7);
    }
    const std::string out = testing::internal::GetCapturedStderr();
    for (const char* line :
         {"[TCP] Initializing service...", "[TCP] Running service...", "[TCP] Stopping service...",
          "[TCP] Service stopped", "[TCP] Service terminated. Bye!", "[50%s%n] value 7"})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("Stopping service...", out.find("Stopping service...") + 1), std::string::npos);
}

TEST(BaseMessage, IdsFollowEachOtherAndClonesKeepThem)
{
    BaseMessage first;
    BaseMessage second("named");
    EXPECT_EQ(second.id(), first.id() + 1);
    const auto copy = second.clone();
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->id(), second.id());
    EXPECT_EQ(copy->name(), "named");
}

}  // namespace
