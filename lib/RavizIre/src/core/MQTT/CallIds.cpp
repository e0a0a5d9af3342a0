#include "core/MQTT/CallIds.h"

namespace MQTT {

CallIds::CallIds(uint32_t seed, size_t heldCapacity)
    : m_generator(seed), m_held(Count, false), m_ring(heldCapacity < Count ? heldCapacity : Count - 1)
{
}

unsigned CallIds::draw(size_t inUseCount, const std::function<bool(unsigned)>& inUse)
{
    if (inUseCount >= Count)
        return 0;
    while (m_heldCount > 0 && inUseCount + m_heldCount >= Count) releaseOldest();
    std::uniform_int_distribution<unsigned> ids(First, Last);
    unsigned id;
    do id = ids(m_generator);
    while (m_held[id - First] || inUse(id));
    return id;
}

void CallIds::hold(unsigned id)
{
    if (m_ring.empty() || id < First || id > Last || m_held[id - First])
        return;
    if (m_heldCount == m_ring.size())
        releaseOldest();
    m_ring[(m_oldest + m_heldCount) % m_ring.size()] = id;
    ++m_heldCount;
    m_held[id - First] = true;
}

void CallIds::releaseOldest()
{
    m_held[m_ring[m_oldest] - First] = false;
    m_oldest = (m_oldest + 1) % m_ring.size();
    --m_heldCount;
}

}  // namespace MQTT
