#include "process/triggerCrossings.h"

#include <cmath>

#include "process/clock.h"

void CTriggerCrossings::SetLevels(double high, double low, bool isLowInclusive)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_high = high;
    m_low = low;
    m_isLowInclusive = isLowInclusive;
}

void CTriggerCrossings::Feed(double value) { Feed(value, GetProgramTime()); }

void CTriggerCrossings::Feed(double value, double atUs)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastValue = value;
        if (std::isnan(value)) return;
        TriggerCrossing crossing;
        crossing.value = value;
        crossing.atUs = atUs;
        if (!std::isnan(m_high) && value >= m_high) {
            crossing.kind = TriggerCrossing::Kind::Start;
        } else if (!std::isnan(m_low) && (m_isLowInclusive ? value <= m_low : value < m_low)) {
            crossing.kind = TriggerCrossing::Kind::Stop;
        } else {
            return;
        }
        if (m_hasLast && m_lastKind == crossing.kind) return;  // the level stands
        m_hasLast = true;
        m_lastKind = crossing.kind;
        if (m_count == kCapacity) DropOldestTrialLocked();
        At(m_count) = crossing;
        ++m_count;
    }
    m_arrived.notify_all();
    if (void (*wakeUp)() = m_wakeUp.load()) wakeUp();
}

void CTriggerCrossings::DropOldestTrialLocked()
{
    // The queue alternates: the first start is the first or second entry, its stop
    // follows. A stop ahead of it (the running trial's end) stays.
    const std::size_t first = At(0).kind == TriggerCrossing::Kind::Start ? 0 : 1;
    for (std::size_t i = first + 2; i < m_count; ++i) At(i - 2) = At(i);
    m_count -= 2;
    m_overflows += 2;
}

bool CTriggerCrossings::Peek(TriggerCrossing& crossing) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_count == 0) return false;
    crossing = m_ring[m_head];
    return true;
}

bool CTriggerCrossings::PopLocked(TriggerCrossing& crossing)
{
    if (m_count == 0) return false;
    crossing = m_ring[m_head];
    m_lastTakenAtUs = crossing.atUs;
    m_head = (m_head + 1) % kCapacity;
    --m_count;
    return true;
}

bool CTriggerCrossings::Pop(TriggerCrossing& crossing)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return PopLocked(crossing);
}

bool CTriggerCrossings::WaitPop(TriggerCrossing& crossing, std::chrono::microseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait_for(lock, timeout, [this] { return m_count > 0; });
    return PopLocked(crossing);
}

void CTriggerCrossings::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_head = 0;
    m_count = 0;
    m_hasLast = false;
}

int64_t CTriggerCrossings::TakeOverflows()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t overflows = m_overflows;
    m_overflows = 0;
    return overflows;
}

double CTriggerCrossings::GetLastValue() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastValue;
}

double CTriggerCrossings::GetLastTakenTime() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastTakenAtUs;
}
