// A worker thread that runs either a plain function or the virtual task(). The owner starts,
// joins and destroys it from its own thread; the body runs on the new thread. terminate() only
// posts a semaphore that a stoppable body waits on (waitTerminate). No exception leaves the body:
// it is caught and logged.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "core/Semaphore.h"

class Thread
{
public:
    explicit Thread(void (*function)(void*) = nullptr, void* argument = nullptr);
    // Waits for a body that is still running, so that it never runs on a freed object. A class
    // that overrides task() must join in its own destructor, before its members go.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the body. False when a body is already running (two quick calls never start two) or
    // the thread could not be created. An argument given at construction is never replaced.
    bool run(void* argument = nullptr);
    // False from the thread itself, when nothing is joinable, or when the join fails.
    bool join();
    bool isRunning() const { return m_running.load(); }
    // True on the thread that runs this object's body.
    bool isCurrent() const;

    static void sleep(int ms);

    // Asks a body that waits in waitTerminate to end; it does not interrupt anything.
    bool terminate();
    bool waitTerminate(int ms) { return m_terminate.Wait(ms); }

protected:
    virtual void task(void* argument);

private:
    static void* body(void* self);

    void (*m_function)(void*);
    void* m_argument;
    std::atomic<bool> m_running{false};
    std::mutex m_lock;  // guards m_joinable and m_thread against run/join from several threads
    bool m_joinable = false;
    pthread_t m_thread{};
    std::atomic<pthread_t> m_current{};
    Semaphore m_terminate;
};
