// A bounded first-in first-out queue for handing items from any number of producer threads to one
// consumer. It states its capacity and refuses an item when full; the consumer waits on a counting
// semaphore whose count follows the number of queued items.
#pragma once

#include <deque>
#include <mutex>
#include <utility>

#include "core/Semaphore.h"

template <typename T>
class Queue
{
public:
    explicit Queue(unsigned capacity) : m_available("", 0, capacity) {}
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // False when the queue is full (the item is left with the caller).
    bool push(T&& item)
    {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_items.size() >= m_available.GetMaxCount())
                return false;
            m_items.push_back(std::move(item));
        }
        if (m_available.Post(1))
            return true;
        std::lock_guard<std::mutex> guard(m_mutex);
        item = std::move(m_items.back());
        m_items.pop_back();
        return false;
    }

    // Waits up to ms (negative: without limit, 0: only tries) for the oldest item. False on
    // time-out, or when woken by wake() with nothing queued.
    bool pop(T& item, int ms)
    {
        if (!m_available.Wait(ms))
            return false;
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_items.empty())
            return false;
        item = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    // Ends the consumer's current wait without an item.
    void wake() { m_available.Post(1); }

    size_t size() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_items.size();
    }
    unsigned capacity() const { return m_available.GetMaxCount(); }

private:
    Semaphore m_available;
    mutable std::mutex m_mutex;
    std::deque<T> m_items;
};
