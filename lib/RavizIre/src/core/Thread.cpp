#include "core/Thread.h"

#include <errno.h>
#include <time.h>

#include <exception>

#include "core/String.h"
#include "core/Log.h"

Thread::Thread(void (*function)(void*), void* argument)
    : m_function(function), m_argument(argument), m_terminate("", 0, 1)
{
}

Thread::~Thread()
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_joinable)
        return;
    m_joinable = false;
    const pthread_t thread = m_thread;
    guard.unlock();
    if (pthread_equal(thread, pthread_self()))
        pthread_detach(thread);  // destroyed by its own body: nothing may wait for it
    else
        pthread_join(thread, nullptr);
}

bool Thread::run(void* argument)
{
    std::lock_guard<std::mutex> guard(m_lock);
    bool expected = false;
    if (!m_running.compare_exchange_strong(expected, true))
        return false;
    if (m_joinable) {
        // The previous body has ended; collect its thread before it is forgotten.
        pthread_join(m_thread, nullptr);
        m_joinable = false;
    }
    if (!m_argument)
        m_argument = argument;
    if (pthread_create(&m_thread, nullptr, &Thread::body, this) != 0) {
        m_running = false;
        return false;
    }
    m_joinable = true;
    return true;
}

bool Thread::join()
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_joinable || pthread_equal(m_thread, pthread_self()))
        return false;
    m_joinable = false;
    const pthread_t thread = m_thread;
    guard.unlock();
    if (pthread_join(thread, nullptr) == 0)
        return true;
    guard.lock();
    m_joinable = true;
    return false;
}

bool Thread::isCurrent() const
{
    return m_running.load() && pthread_equal(m_current.load(), pthread_self());
}

void Thread::sleep(int ms)
{
    if (ms <= 0)
        return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool Thread::terminate()
{
    return m_terminate.Post(1);
}

void Thread::task(void*) {}

void* Thread::body(void* self)
{
    Thread* thread = static_cast<Thread*>(self);
    thread->m_current = pthread_self();
    try {
        if (thread->m_function)
            thread->m_function(thread->m_argument);
        else
            thread->task(thread->m_argument);
    } catch (const std::exception& e) {
        Log::error("[Thread] ERROR: uncaught exception: %s",
                   String::escapedSized(e.what(), String::MaxPayloadExcerptBytes).c_str());
    } catch (...) {
        Log::error("[Thread] ERROR: uncaught exception");
    }
    thread->m_running = false;
    return nullptr;
}
