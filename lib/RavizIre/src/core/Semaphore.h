// A counting semaphore with a millisecond wait. Any thread may post or wait at any time. Waits run
// on the monotonic clock, so setting the system time neither stretches nor cuts them, and a signal
// delivered to the waiting thread never ends a wait early.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>

class Semaphore
{
public:
    // Starts at min(initial, max). The maximum is only reported: posts may go beyond it, and
    // bounded users (queues) enforce their bound themselves.
    Semaphore(const std::string& name, unsigned initial, unsigned max);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Adds count (0 counts as 1). False only when the semaphore could not be created.
    bool Post(unsigned count = 1);
    // ms < 0 waits without limit, 0 only tries, > 0 waits at most that long. True when taken.
    bool Wait(int ms);
    unsigned GetMaxCount() const { return m_max; }
    const std::string& name() const { return m_name; }

private:
    std::string m_name;
    unsigned m_max;
    bool m_valid = false;
    uint64_t m_count = 0;
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
};
