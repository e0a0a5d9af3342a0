#include "drivers/Monet/Platform.h"

#include <algorithm>

namespace Monet {

bool Platform::bringUpAllowed(int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_waiting || nowMs >= m_notBeforeMs;
}

void Platform::bringUpFailed(int64_t nowMs, int64_t firstMs, int64_t maxMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_backoffMs = m_waiting ? std::min(m_backoffMs * 2, maxMs) : std::min(firstMs, maxMs);
    m_notBeforeMs = nowMs + m_backoffMs;
    m_waiting = true;
}

void Platform::bringUpSucceeded()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting = false;
    m_backoffMs = 0;
}

std::shared_ptr<Platform> nullPlatform()
{
    static const std::shared_ptr<Platform> platform = std::make_shared<NullPlatform>();
    return platform;
}

}  // namespace Monet
