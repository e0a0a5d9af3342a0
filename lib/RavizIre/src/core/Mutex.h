// A plain (non-recursive) lock over a POSIX mutex. Any thread may lock and unlock it; it is neither
// copyable nor movable since waiting threads hold its address.
#pragma once

#include <pthread.h>

class Mutex
{
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Blocks until the lock is held; false if the lock call failed.
    bool lock();
    bool unlock();

private:
    pthread_mutex_t m_mutex;
};
