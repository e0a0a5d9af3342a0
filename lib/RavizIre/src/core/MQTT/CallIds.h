// The ids of MQTT::Client's outgoing calls: five decimal digits drawn at random, never one that a
// call in flight holds, and never one whose call timed out lately, since that call's answer may
// still come and must not be taken for a newer call's. Not thread-safe: the client draws and
// holds under the lock of its pending calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace MQTT {

class CallIds
{
public:
    static constexpr unsigned First = 10000;
    static constexpr unsigned Last = 99999;
    static constexpr size_t Count = Last - First + 1;

    // heldCapacity: how many timed-out ids are kept out of the draw at most; the oldest goes back
    // when a newer one comes. It stays well below Count, so that most ids remain to be drawn.
    CallIds(uint32_t seed, size_t heldCapacity);

    // The same seed gives the same draws again (ids in use or held are passed over).
    void seed(uint32_t seed) { m_generator.seed(seed); }

    // An id that is neither in use (inUseCount of them, told by inUse) nor held; 0 when every id
    // is in use. Held ids go back, oldest first, rather than leave nothing to draw.
    unsigned draw(size_t inUseCount, const std::function<bool(unsigned)>& inUse);

    // Keeps id out of the draw until heldCapacity later ids have been held.
    void hold(unsigned id);

private:
    void releaseOldest();

    std::minstd_rand0 m_generator;
    std::vector<bool> m_held;      // by id - First
    std::vector<unsigned> m_ring;  // held ids, oldest at m_oldest
    size_t m_oldest = 0;
    size_t m_heldCount = 0;
};

}  // namespace MQTT
