#include "core/Mutex.h"

Mutex::Mutex()
{
    pthread_mutex_init(&m_mutex, nullptr);
}

Mutex::~Mutex()
{
    pthread_mutex_destroy(&m_mutex);
}

bool Mutex::lock()
{
    return pthread_mutex_lock(&m_mutex) == 0;
}

bool Mutex::unlock()
{
    return pthread_mutex_unlock(&m_mutex) == 0;
}
