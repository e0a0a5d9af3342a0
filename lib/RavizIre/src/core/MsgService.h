// A service whose task is a message loop: requests queued from any thread (storeMsg, sendMsg) are
// handled one at a time, in arrival order, on the service's thread; onIdle runs idlePeriod ms after
// the last onIdle ended, between two messages when they keep coming. The queue holds at most 100
// messages and says so: a refused request (queue full, service not running) is reported to the
// sender at once, so a sender never waits for a reply that cannot come. A handler that throws is
// logged and the loop goes on.
//
// T derives publicly from MsgService<T> and provides onMessage(M) for each payload type it is sent
// (public, or with Message<M, T> as a friend). It must stop() and waitStop() in its own destructor,
// before its members go.
#pragma once

#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "core/BaseMessage.h"
#include "core/Clock.h"
#include "core/Message.h"
#include "core/Queue.h"
#include "core/Service.h"

template <class T>
class MsgService : protected RavizIre::Service
{
public:
    static constexpr unsigned QueueCapacity = 100;

    explicit MsgService(const std::string& name) : RavizIre::Service(name), m_queue(QueueCapacity) {}

    ~MsgService() override
    {
        stop();
        waitStop();
        dropQueued();
    }

    using RavizIre::Service::isRunning;
    using RavizIre::Service::log;
    using RavizIre::Service::name;
    using RavizIre::Service::run;
    using RavizIre::Service::state;
    using RavizIre::Service::waitStop;

    // Also wakes the loop, so that a service idling without limit (idlePeriod < 0) ends too.
    void stop() override
    {
        RavizIre::Service::stop();
        m_queue.wake();
    }

    // Queues a copy of msg. False when refused: the service is not running, or the queue is full
    // ("Failed to store message in queue" is logged then).
    bool storeMsg(BaseMessage&& msg) { return enqueue(msg.clone()); }

    // Queues a Message carrying a copy of payload to this service's onMessage.
    template <class M>
    bool sendMsg(const M& payload)
    {
        return enqueue(std::unique_ptr<BaseMessage>(new Message<M, T>(payload, static_cast<T*>(this))));
    }

    size_t queued() const { return m_queue.size(); }

protected:
    virtual void onIdle() {}

    void task() override
    {
        // The idle period counts from the end of the last onIdle, messages handled or not: a sender
        // that never pauses for a whole period cannot put the idle work off for ever.
        double idleEnded = Clock::monotonicMillis();
        while (isRunning()) {
            const int period = idlePeriod.load();
            int wait = period;
            if (period > 0) {
                const double left = idleEnded + period - Clock::monotonicMillis();
                wait = left > 0 ? static_cast<int>(std::ceil(left)) : 0;
            }
            std::unique_ptr<BaseMessage> msg;
            if (m_queue.pop(msg, wait)) {
                guarded([&msg] { msg->handler(); }, "message handler");
                msg.reset();
                if (period < 0 || Clock::monotonicMillis() < idleEnded + period)
                    continue;
            }
            if (isRunning()) {
                guarded([this] { onIdle(); }, "idle handler");
                idleEnded = Clock::monotonicMillis();
            }
        }
        dropQueued();
    }

    // A service that could not start refuses what comes next and answers what it had accepted.
    void onStartFailed() override { dropQueued(); }

    // Milliseconds from the end of one onIdle to the next; 0 runs it after every message and
    // whenever the queue is empty, negative only when woken. The next wait uses a new value.
    std::atomic<int> idlePeriod{100};

private:
    bool enqueue(std::unique_ptr<BaseMessage> msg)
    {
        if (!isRunning())
            return false;
        if (m_queue.push(std::move(msg))) {
            // The service may have ended between the check and the push: the loop's last drop can
            // be past, so this one is answered here rather than left queued.
            if (!isRunning())
                dropQueued();
            return true;
        }
        log(Log::LevelError, "Failed to store message in queue");
        return false;
    }

    // Messages still queued when the loop ends are never handled; each is told so, so that no
    // sender waits for a reply that cannot come.
    void dropQueued()
    {
        std::unique_ptr<BaseMessage> left;
        while (m_queue.pop(left, 0)) {
            guarded([&left] { left->dropped(); }, "drop handler");
            left.reset();
        }
    }

    template <class F>
    void guarded(F&& action, const char* what)
    {
        try {
            action();
        } catch (const std::exception& e) {
            log(Log::LevelError, "ERROR: %s failed: %s", what, e.what());
        } catch (...) {
            log(Log::LevelError, "ERROR: %s failed", what);
        }
    }

    Queue<std::unique_ptr<BaseMessage>> m_queue;
};
