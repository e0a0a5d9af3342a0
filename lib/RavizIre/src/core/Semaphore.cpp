#include "core/Semaphore.h"

#include <errno.h>
#include <time.h>

#include <algorithm>

Semaphore::Semaphore(const std::string& name, unsigned initial, unsigned max)
    : m_name(name), m_max(max), m_count(std::min(initial, max))
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return;
    const bool condOk =
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 && pthread_cond_init(&m_cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (!condOk)
        return;
    if (pthread_mutex_init(&m_mutex, nullptr) != 0) {
        pthread_cond_destroy(&m_cond);
        return;
    }
    m_valid = true;
}

Semaphore::~Semaphore()
{
    if (!m_valid)
        return;
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

bool Semaphore::Post(unsigned count)
{
    if (!m_valid)
        return false;
    if (count == 0)
        count = 1;
    pthread_mutex_lock(&m_mutex);
    m_count += count;
    pthread_mutex_unlock(&m_mutex);
    if (count == 1)
        pthread_cond_signal(&m_cond);
    else
        pthread_cond_broadcast(&m_cond);
    return true;
}

bool Semaphore::Wait(int ms)
{
    if (!m_valid)
        return false;
    timespec deadline{};
    if (ms > 0) {
        if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0)
            return false;
        const int64_t nanos = static_cast<int64_t>(deadline.tv_nsec) + static_cast<int64_t>(ms) * 1000000;
        deadline.tv_sec += static_cast<time_t>(nanos / 1000000000);
        deadline.tv_nsec = static_cast<long>(nanos % 1000000000);
    }
    pthread_mutex_lock(&m_mutex);
    // Spurious wake-ups and signals bring us back here; only a count or the deadline ends the wait.
    while (m_count == 0) {
        if (ms == 0)
            break;
        const int rc = ms < 0 ? pthread_cond_wait(&m_cond, &m_mutex)
                              : pthread_cond_timedwait(&m_cond, &m_mutex, &deadline);
        if (rc == ETIMEDOUT || (rc != 0 && rc != EINTR))
            break;
    }
    const bool taken = m_count > 0;
    if (taken)
        --m_count;
    pthread_mutex_unlock(&m_mutex);
    return taken;
}
