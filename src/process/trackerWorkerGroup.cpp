// The synchronised group: one pacing worker publishes group ticks at the least common
// multiple of the members' rates; every member fires on every n-th tick.
// Membership and configuration change under the group lock and bump a generation;
// members read only two atomics per pass (generation and tick number) and copy their
// configuration under the lock when the generation moved.
#include "process/trackerWorker.h"

#include "process/device.h"
#include "process/messageQueue.h"

#include <wx/intl.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

enum Refusal { kAccepted = 0, kBelowOneHz, kNotWhole, kTooFast };

struct WorkerGroup {
    std::mutex mutex;  // guards members and each member's m_cfg* fields
    std::condition_variable tick;  // delay mode: members wait here for the next tick
    std::vector<CTrackerWorker*> members;
    std::atomic<uint64_t> generation{1};
    std::atomic<uint64_t> tickNumber{0};  // published group ticks, ever
    std::atomic<double> elapsed{0.0};     // seconds since the group began
    std::atomic<double> deviation{0.0};   // last tick's distance from its due time, us
    std::atomic<int> rate{0};
    double startUs = 0.0;
};

WorkerGroup& Group()
{
    static WorkerGroup group;
    return group;
}

wxString DeviceName(CNullDevice* device)
{
    if (auto* named = dynamic_cast<CDevice*>(device))
        return named->GetDeviceName();
    return "device";
}

void PostRefusal(CNullDevice* device, Refusal refusal, double rate)
{
    wxString reason;
    switch (refusal) {
    case kBelowOneHz: reason = _("is below 1 Hz"); break;
    case kNotWhole: reason = _("is not a whole number"); break;
    case kTooFast: reason = _("would push the group rate too high"); break;
    default: return;
    }
    g_messages.Post(Severity::Warning,
                    wxString::Format(_("<ACQ> %s: rate %g Hz %s; it paces itself outside the "
                                       "synchronised group"),
                                     DeviceName(device), rate, reason));
}

}  // namespace

bool CTrackerWorker::JoinGroup(CTrackerWorker* worker)
{
    if (worker == nullptr)
        return false;
    WorkerGroup& group = Group();
    {
        std::lock_guard<std::mutex> lock(group.mutex);
        if (std::find(group.members.begin(), group.members.end(), worker) != group.members.end())
            return true;
        group.members.push_back(worker);
    }
    UpdateGroup();
    return true;
}

bool CTrackerWorker::LeaveGroup(CTrackerWorker* worker)
{
    if (worker == nullptr)
        return false;
    WorkerGroup& group = Group();
    {
        std::lock_guard<std::mutex> lock(group.mutex);
        auto found = std::find(group.members.begin(), group.members.end(), worker);
        if (found == group.members.end())
            return false;
        group.members.erase(found);
    }
    UpdateGroup();
    return true;
}

void CTrackerWorker::UpdateGroup()
{
    WorkerGroup& group = Group();
    std::vector<std::pair<CTrackerWorker*, Refusal>> refused;
    std::vector<double> refusedRates;
    {
        std::lock_guard<std::mutex> lock(group.mutex);
        // Slowest first, so the pacing worker is a worker of the slowest device.
        std::vector<std::pair<double, CTrackerWorker*>> byRate;
        for (CTrackerWorker* member : group.members)
            byRate.emplace_back(member->m_device->GetRate(), member);
        std::stable_sort(byRate.begin(), byRate.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        group.members.clear();
        uint64_t groupRate = 0;
        std::vector<std::pair<CTrackerWorker*, uint64_t>> accepted;
        for (const auto& [rate, member] : byRate) {
            group.members.push_back(member);
            Refusal refusal = kAccepted;
            uint64_t whole = 0;
            if (!(rate >= 1.0) || !std::isfinite(rate)) {
                refusal = kBelowOneHz;
            } else if (std::fabs(rate - std::round(rate)) > 1e-9 * rate) {
                refusal = kNotWhole;
            } else {
                whole = static_cast<uint64_t>(std::llround(rate));
                const uint64_t next = groupRate == 0 ? whole : std::lcm(groupRate, whole);
                if (whole > static_cast<uint64_t>(kMaxGroupRateHz) ||
                    next > static_cast<uint64_t>(kMaxGroupRateHz))
                    refusal = kTooFast;
                else
                    groupRate = next;
            }
            if (refusal != member->m_refusal) {
                member->m_refusal = refusal;
                if (refusal != kAccepted) {
                    refused.emplace_back(member, refusal);
                    refusedRates.push_back(rate);
                }
            }
            if (refusal == kAccepted)
                accepted.emplace_back(member, whole);
            else
                member->m_cfgIndex = -1;
        }
        const uint64_t base = group.tickNumber.load();
        if (accepted.empty() || group.rate.load() == 0)
            group.startUs = GetProgramTime();
        for (size_t i = 0; i < accepted.size(); ++i) {
            CTrackerWorker* member = accepted[i].first;
            member->m_cfgIndex = static_cast<int>(i);
            member->m_cfgBaseTick = base;
            SetGroupRateLocked(member, static_cast<int>(groupRate));
        }
        for (CTrackerWorker* member : group.members) {
            if (member->m_cfgIndex < 0) {
                member->m_cfgBaseTick = base;
                SetGroupRateLocked(member, 0);
            }
        }
        group.rate.store(static_cast<int>(groupRate));
        group.generation.fetch_add(1);
    }
    group.tick.notify_all();
    for (size_t i = 0; i < refused.size(); ++i)
        PostRefusal(refused[i].first->m_device, refused[i].second, refusedRates[i]);
}

void CTrackerWorker::SetGroupRateLocked(CTrackerWorker* worker, int groupRate)
{
    worker->m_groupRate.store(groupRate);
    const double rate = worker->m_device->GetRate();
    const int whole = rate >= 1.0 && std::isfinite(rate) ? static_cast<int>(rate) : 0;
    if (groupRate < 1 || whole < 1 || worker->m_cfgIndex < 0) {
        worker->m_cfgPeriodUs = 0.0;
        worker->m_cfgDivisor = 0;
    } else {
        worker->m_cfgPeriodUs = 1.0e6 / groupRate;
        worker->m_cfgDivisor = groupRate / whole;
    }
    worker->m_periodUs.store(worker->m_cfgPeriodUs);
    worker->m_divisor.store(worker->m_cfgDivisor);
    worker->m_groupIndexShown.store(worker->m_cfgIndex);
}

void CTrackerWorker::SetGroupRate(CTrackerWorker* worker, int groupRate)
{
    if (worker == nullptr)
        return;
    WorkerGroup& group = Group();
    {
        std::lock_guard<std::mutex> lock(group.mutex);
        worker->m_cfgBaseTick = group.tickNumber.load();
        SetGroupRateLocked(worker, groupRate);
        group.generation.fetch_add(1);
    }
    group.tick.notify_all();
}

void CTrackerWorker::RefreshGroup()
{
    // Devices outlive their workers and only this (GUI) thread deletes devices, so the
    // device pointers stay valid while the lock is not held.
    std::vector<CNullDevice*> devices;
    {
        WorkerGroup& group = Group();
        std::lock_guard<std::mutex> lock(group.mutex);
        for (CTrackerWorker* member : group.members)
            devices.push_back(member->m_device);
    }
    std::vector<bool> wasRunning;
    for (CNullDevice* device : devices) {
        wasRunning.push_back(device->IsRunning());
        device->SetRunning(false);
    }
    UpdateGroup();
    for (size_t i = 0; i < devices.size(); ++i)
        devices[i]->SetRunning(wasRunning[i]);
}

int CTrackerWorker::GetGroupSize()
{
    WorkerGroup& group = Group();
    std::lock_guard<std::mutex> lock(group.mutex);
    return static_cast<int>(group.members.size());
}

int CTrackerWorker::GetCurrentGroupRate() { return Group().rate.load(); }

void CTrackerWorker::WakeGroupWaiters()
{
    WorkerGroup& group = Group();
    {
        std::lock_guard<std::mutex> lock(group.mutex);
    }
    group.tick.notify_all();
}

void CTrackerWorker::SyncGroupConfig()
{
    WorkerGroup& group = Group();
    std::lock_guard<std::mutex> lock(group.mutex);
    m_seenGeneration = group.generation.load();
    m_groupIndex = m_cfgIndex;
    m_divisorLocal = m_cfgDivisor;
    m_periodLocal = m_cfgPeriodUs;
    m_baseTick = m_cfgBaseTick;
    m_lastTick = m_cfgBaseTick;
    m_pendingFires = 0;
    if (m_groupIndex == 0) {
        // The (new) pacing worker: the first tick of the new schedule is due at once.
        m_anchorUs = GetProgramTime();
        GetTimeOfDayNow(&m_tvAnchor);
        m_tickIndex = 0;
        m_clockStart = group.startUs;
    }
}

uint64_t CTrackerWorker::CountFires(uint64_t baseTick, int divisor, uint64_t fromTick,
                                    uint64_t toTick)
{
    // Fires on ticks base+1, base+1+d, base+1+2d...: the first of every d ticks.
    const uint64_t d = static_cast<uint64_t>(std::max(divisor, 1));
    auto firesUpTo = [&](uint64_t tick) -> uint64_t {
        return tick <= baseTick ? 0 : (tick - baseTick - 1) / d + 1;
    };
    return toTick <= fromTick ? 0 : firesUpTo(toTick) - firesUpTo(fromTick);
}

void CTrackerWorker::PaceGroup()
{
    double lateUs = 0.0;
    bool isTime = false;
    double nowUs = 0.0;
    const double dueUs = static_cast<double>(m_tickIndex) * m_periodLocal;
    if (m_precise) {
        TimeVal now;
        GetTimeOfDayNow(&now);
        nowUs = TimeValDiffUs(now, m_tvAnchor);
        lateUs = nowUs - dueUs;
        isTime = lateUs >= 0.0 || std::fabs(lateUs) < m_tolerance;
    } else {
        nowUs = GetProgramTime() - m_anchorUs;
        lateUs = nowUs - dueUs;
        isTime = lateUs > 0.0 || lateUs > -m_tolerance;
    }
    WorkerGroup& group = Group();
    group.elapsed.store((m_anchorUs + nowUs - m_clockStart) / 1.0e6);
    if (!isTime)
        return;
    bool isReanchored = false;
    {
        std::lock_guard<std::mutex> lock(group.mutex);
        if (group.generation.load() != m_seenGeneration)
            return;  // the group changed: configuration first
        if (lateUs > CDevice::kMaxLagUs) {
            // Suspended or held in a debugger: a new schedule rather than a burst.
            m_anchorUs += nowUs;
            m_tvAnchor = TimeValAdd(m_tvAnchor, TimeVal{static_cast<int64_t>(nowUs) / 1000000,
                                                        static_cast<int64_t>(nowUs) % 1000000});
            m_tickIndex = 1;
            isReanchored = true;
        } else {
            ++m_tickIndex;
        }
        group.deviation.store(std::fabs(lateUs));
        group.tickNumber.fetch_add(1);
    }
    group.tick.notify_all();
    if (isReanchored)
        g_messages.Post(Severity::Warning,
                        wxString::Format(_("<ACQ> %s: group pacing fell more than one second "
                                           "behind; schedule restarted"),
                                         DeviceName(m_device)));
}

bool CTrackerWorker::GroupPass()
{
    WorkerGroup& group = Group();
    if (group.generation.load() != m_seenGeneration)
        SyncGroupConfig();
    if (m_groupIndex < 0)
        return false;
    if (m_groupIndex == 0 && m_periodLocal > 0.0)
        PaceGroup();
    const uint64_t tick = group.tickNumber.load();
    if (tick != m_lastTick) {
        m_pendingFires += CountFires(m_baseTick, m_divisorLocal, m_lastTick, tick);
        m_lastTick = tick;
        // A member held up for more than a second drops the excess rather than bursting.
        const uint64_t maxPending =
            static_cast<uint64_t>(std::max(1, m_groupRate.load() / std::max(m_divisorLocal, 1)));
        m_pendingFires = std::min(m_pendingFires, maxPending);
    }
    m_elapsed = group.elapsed.load();
    m_deviation = group.deviation.load();
    if (m_pendingFires == 0)
        return false;
    --m_pendingFires;
    return true;
}

void CTrackerWorker::WaitForGroupTick()
{
    if (m_pendingFires > 0)
        return;
    if (m_groupIndex == 0) {
        WaitUntilProgramTime(m_anchorUs + static_cast<double>(m_tickIndex) * m_periodLocal);
        return;
    }
    WorkerGroup& group = Group();
    const double boundUs = std::min(50000.0, std::max(1000.0, 4.0 * m_periodLocal));
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<int64_t>(boundUs));
    std::unique_lock<std::mutex> lock(group.mutex);
    group.tick.wait_until(lock, deadline, [&] {
        return m_stopRequested.load() || group.tickNumber.load() != m_lastTick ||
               group.generation.load() != m_seenGeneration;
    });
}
