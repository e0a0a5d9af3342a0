// A thread-safe table of callbacks keyed by connection id (1, 2, 3, ...; never reused), called in
// id order by emit on the emitting thread. The table's mutex is held for the whole of an emit, so a
// slot must not connect to, disconnect from or emit the same Signal. After every emit the
// `emitted` semaphore is posted once, so a caller can wait for the next emission.
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "core/Semaphore.h"

template <typename... Args>
class Signal
{
public:
    using Slot = std::function<void(Args...)>;

    Signal() : emitted("", 0, 1) {}
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    int connect(const Slot& slot) const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const int id = ++m_lastId;
        m_slots.emplace(id, slot);
        return id;
    }

    template <class C>
    int connect_member(C* object, void (C::*method)(Args...)) const
    {
        return connect([object, method](Args... args) { (object->*method)(std::forward<Args>(args)...); });
    }

    void disconnect(int id) const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_slots.erase(id);
    }

    void disconnect_all() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_slots.clear();
    }

    // A slot that throws stops the emission: the remaining slots are skipped, `emitted` is still
    // posted so that no waiter hangs, and a std::runtime_error with the slot's text is thrown.
    void emit(Args... args)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        try {
            for (const auto& entry : m_slots) {
                const Slot slot = entry.second;  // a copy: the slot may outlive a disconnect inside it
                slot(args...);
            }
        } catch (const std::exception& e) {
            emitted.Post(1);
            throw std::runtime_error(e.what());
        } catch (...) {
            emitted.Post(1);
            throw;
        }
        emitted.Post(1);
    }

    size_t size() const
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_slots.size();
    }

    mutable Semaphore emitted;

private:
    mutable std::mutex m_mutex;
    mutable std::map<int, Slot> m_slots;
    mutable int m_lastId = 0;
};
