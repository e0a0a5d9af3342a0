#include "core/Timer.h"

#include <cmath>
#include <cstdlib>
#include <exception>

#include "core/Clock.h"
#include "core/String.h"
#include "core/Log.h"

Timer::Timer(Type type) : m_type(type), m_wake("", 0, 1) {}

Timer::~Timer()
{
    // From one of its own slots the timer's memory would go while the tick thread still runs in
    // it (the emission under way, then the loop): nothing can make that safe, so it ends here,
    // with the reason in the log, instead of corrupting memory later.
    if (std::this_thread::get_id() == tickThreadId()) {
        Log::error("[Timer] ERROR: a timer cannot be destroyed from its own slot; aborting");
        std::abort();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closing = true;  // a slot's start can no longer keep the tick thread alive
    m_running = false;
    lock.unlock();
    m_wake.Post(1);
    std::lock_guard<std::mutex> control(m_control);
    lock.lock();
    if (!m_thread.joinable())
        return;
    std::thread thread = std::move(m_thread);
    lock.unlock();
    thread.join();
}

bool Timer::onTickThread() const
{
    return m_tickId == std::this_thread::get_id();
}

std::thread::id Timer::tickThreadId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tickId;
}

void Timer::start(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closing)
        return;
    auto arm = [this, ms] {
        m_interval = ms;
        m_deadline = Clock::monotonicMillis() + (ms > 0 ? ms : 0);
        m_restarted = true;
    };
    if (m_running || onTickThread()) {
        // A running timer only takes the new period; a start from one of our own slots after a
        // stop keeps the current tick thread going.
        arm();
        m_running = true;
        lock.unlock();
        m_wake.Post(1);
        return;
    }
    lock.unlock();

    std::lock_guard<std::mutex> control(m_control);
    lock.lock();
    if (m_running || m_closing) {
        if (m_running)
            arm();
        lock.unlock();
        m_wake.Post(1);
        return;
    }
    if (m_thread.joinable()) {
        // The previous tick thread was stopped but may not have left yet: let it go first so
        // that it never runs beside the new one, even if its `stopped` slot restarts the timer.
        std::thread previous = std::move(m_thread);
        m_handingOver = true;
        lock.unlock();
        previous.join();
        lock.lock();
        m_handingOver = false;
        if (m_closing)
            return;
    }
    arm();
    m_running = true;
    m_thread = std::thread(&Timer::tickLoop, this);
    m_tickId = m_thread.get_id();
}

void Timer::stop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_running)
        return;
    m_running = false;
    lock.unlock();
    m_wake.Post(1);
}

bool Timer::running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

int Timer::interval() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_interval;
}

void Timer::setCallback(void (*callback)(void*), void* argument)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callback = callback;
    m_callbackArgument = argument;
}

void Timer::emitGuarded(Signal<>& signal, const char* what)
{
    try {
        signal.emit();
    } catch (const std::exception& e) {
        Log::error("[Timer] ERROR: %s slot failed: %s", what,
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[Timer] ERROR: %s slot failed", what);
    }
}

void Timer::tickLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_tickId = std::this_thread::get_id();
    for (;;) {
        while (m_running) {
            int waitMs = -1;
            if (m_interval >= 0) {
                const double left = m_deadline - Clock::monotonicMillis();
                if (left <= 0)
                    break;
                waitMs = static_cast<int>(std::ceil(left));
            }
            lock.unlock();
            m_wake.Wait(waitMs);
            lock.lock();
        }

        if (m_running) {
            m_restarted = false;
            void (*callback)(void*) = m_callback;
            void* argument = m_callbackArgument;
            lock.unlock();
            emitGuarded(timeout, "timeout");
            if (callback) {
                try {
                    callback(argument);
                } catch (...) {
                    Log::error("[Timer] ERROR: callback failed");
                }
            }
            lock.lock();
            if (!m_running || m_restarted)
                continue;
            if (m_type == Periodic) {
                m_deadline += m_interval;
                const double now = Clock::monotonicMillis();
                if (m_deadline < now)
                    m_deadline = now + m_interval;  // slots overran: skip the missed ticks
                continue;
            }
            m_running = false;
        }

        lock.unlock();
        emitGuarded(stopped, "stopped");
        lock.lock();
        if (m_running && !m_handingOver && !m_closing)
            continue;  // restarted from a `stopped` slot
        m_tickId = std::thread::id();
        return;
    }
}
