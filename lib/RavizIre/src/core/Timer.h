// A timer that emits `timeout` after an interval, once or periodically, on a tick thread of its
// own; `stopped` is emitted once when the tick thread ends. The owner calls start and stop from any
// thread, and slots may call them too. At most one tick thread serves a timer, and the destructor
// waits for it, so slots never run on a freed timer. Periods run on the monotonic clock and do not
// drift: each period is counted from the previous expiry, not from the end of its slots.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "core/Semaphore.h"
#include "core/Signal.h"

class Timer
{
public:
    enum Type
    {
        SingleShot = 0,
        Periodic = 1
    };

    explicit Timer(Type type);
    // Stops the timer and waits for its tick thread to end. Destroyed from one of its own slots,
    // it logs why and aborts the process rather than let the tick thread run on freed memory.
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Starts, or restarts a running timer's period with the new interval (no second thread).
    // 0 expires at once; a negative interval waits until start or stop.
    void start(int ms);
    // Does not wait for the tick thread.
    void stop();
    bool running() const;
    int interval() const;

    // Called after each `timeout` emission, on the tick thread.
    void setCallback(void (*callback)(void*), void* argument);

    Signal<> timeout;
    Signal<> stopped;

private:
    void tickLoop();
    bool onTickThread() const;  // with m_mutex held
    std::thread::id tickThreadId() const;
    void emitGuarded(Signal<>& signal, const char* what);

    const Type m_type;
    mutable std::mutex m_mutex;  // guards everything below
    std::mutex m_control;        // serialises start and destruction from threads other than the tick thread
    bool m_running = false;
    bool m_restarted = false;    // start was called since the last expiry
    bool m_handingOver = false;  // start waits for the old tick thread to leave
    bool m_closing = false;      // the destructor runs
    int m_interval = 0;
    double m_deadline = 0;  // monotonic ms; meaningless while m_interval < 0
    void (*m_callback)(void*) = nullptr;
    void* m_callbackArgument = nullptr;
    std::thread m_thread;
    std::thread::id m_tickId;
    Semaphore m_wake;
};
