// A named worker with a start/stop life cycle: run(true) runs its task in the caller's thread,
// run(false) in a thread of its own. Its log lines carry "[name] " in front. Any thread may call
// run, stop, waitStop and isRunning; the task polls isRunning to know when to end. No exception
// leaves the service's own thread: it is caught and logged with the service's prefix.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/Log.h"
#include "core/Thread.h"

namespace RavizIre {

class Service
{
public:
    enum State
    {
        Idle = 0,
        Running = 1,
        Stopping = 2,
        Stopped = 3
    };

    explicit Service(const std::string& name);
    // Waits for a running task to return on its own: stop the service first.
    virtual ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Ignored while running or stopping, so two quick calls never start two threads.
    void run(bool sync);
    // Asks the task to end; never interrupts it.
    virtual void stop();
    // Waits for the service's thread to end; from the service's own thread it returns at once.
    void waitStop();
    bool isRunning() const { return m_state.load() == Running; }
    int state() const { return m_state.load(); }
    const std::string& name() const { return m_name; }

    void log(Log::Level level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));

protected:
    virtual void onStart() {}
    virtual void onStop() {}
    virtual void task() {}
    // Runs when onStart threw, once the service no longer counts as running: what was accepted
    // before can be answered then. The thread of a service run with run(false) is still joined by
    // waitStop.
    virtual void onStartFailed() {}

    static void threadTask(void* service);

private:
    void runBody();

    const std::string m_name;
    std::string m_prefix;  // "[name] " with any '%' of the name doubled
    std::atomic<int> m_state{Idle};
    std::mutex m_lifecycle;  // guards m_thread and state changes made by run, stop and waitStop
    std::unique_ptr<Thread> m_thread;
};

}  // namespace RavizIre
