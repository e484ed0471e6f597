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
    std::mutex mutex;  // guards what follows but the atomics, and each member's m_cfg* fields
    std::vector<CTrackerWorker*> members;
    std::atomic<uint64_t> generation{1};
    std::atomic<uint64_t> tickNumber{0};      // published group ticks, ever
    std::atomic<double> lastTickDueUs{-1.0};  // program time the last tick was due; -1: none
    std::atomic<double> elapsed{0.0};         // seconds since the group began
    std::atomic<double> deviation{0.0};       // last tick's distance from its due time, us
    std::atomic<int> rate{0};
    double startUs = 0.0;
    // For the pacing worker's sleeps: position p of the cycle is tick cycleBase + 1 + p
    // (modulo the cycle); toUseful[p] counts the ticks from there to the next one on
    // which some member fires.
    uint64_t cycleBase = 0;
    std::vector<uint32_t> toUseful;
};

WorkerGroup& Group()
{
    static WorkerGroup group;
    return group;
}

// Under the group lock, after the members' configuration changed.
void RebuildCycle(WorkerGroup& group, const std::vector<std::pair<uint64_t, int>>& fires)
{
    group.cycleBase = group.tickNumber.load();
    uint64_t length = 1;
    for (const auto& fire : fires)
        length = std::lcm(length, static_cast<uint64_t>(std::max(fire.second, 1)));
    std::vector<bool> isUseful(static_cast<size_t>(length), false);
    for (const auto& [base, divisor] : fires) {
        const int64_t d = std::max(divisor, 1);
        int64_t offset = (static_cast<int64_t>(base) - static_cast<int64_t>(group.cycleBase)) % d;
        if (offset < 0)
            offset += d;
        for (uint64_t p = static_cast<uint64_t>(offset); p < length; p += static_cast<uint64_t>(d))
            isUseful[static_cast<size_t>(p)] = true;
    }
    group.toUseful.assign(static_cast<size_t>(length), 0);
    uint32_t distance = static_cast<uint32_t>(length);  // wraps to the first useful position
    for (size_t pass = 0; pass < 2; ++pass) {
        for (size_t p = static_cast<size_t>(length); p-- > 0;) {
            distance = isUseful[p] ? 0 : distance + 1;
            group.toUseful[p] = std::min<uint32_t>(distance, static_cast<uint32_t>(length));
        }
    }
}

// Under the group lock: wakes members asleep in delay mode so they see a change.
void WakeMembers(WorkerGroup& group)
{
    for (CTrackerWorker* member : group.members)
        member->Wake();
}

wxString DeviceName(CNullDevice* device)
{
    if (auto* named = dynamic_cast<CDevice*>(device))
        return named->GetDeviceName();
    return "device";
}

wxString RefusalText(CNullDevice* device, Refusal refusal, double rate)
{
    wxString reason;
    switch (refusal) {
    case kBelowOneHz: reason = _("is below 1 Hz"); break;
    case kNotWhole: reason = _("is not a whole number"); break;
    case kTooFast: reason = _("would push the group rate too high"); break;
    default: return wxString();
    }
    return wxString::Format(_("<ACQ> %s: rate %g Hz %s; it paces itself outside the "
                              "synchronised group\n"),
                            DeviceName(device), rate, reason);
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
    // Written under the lock, while the refused members surely exist; posted after it.
    std::vector<wxString> refusals;
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
                if (next > static_cast<uint64_t>(kMaxGroupRateHz))
                    refusal = kTooFast;
                else
                    groupRate = next;
            }
            if (refusal != member->m_refusal) {
                member->m_refusal = refusal;
                if (refusal != kAccepted)
                    refusals.push_back(RefusalText(member->m_device, refusal, rate));
            }
            if (refusal == kAccepted)
                accepted.emplace_back(member, whole);
            else
                member->m_cfgIndex = -1;
        }
        const uint64_t base = group.tickNumber.load();
        double lastDueUs = group.lastTickDueUs.load();
        if (accepted.empty() || lastDueUs < GetProgramTime() - CDevice::kMaxLagUs) {
            group.lastTickDueUs.store(-1.0);  // the next group starts a fresh schedule
            lastDueUs = -1.0;
        }
        if (accepted.empty() || group.rate.load() == 0)
            group.startUs = GetProgramTime();
        std::vector<std::pair<uint64_t, int>> fires;
        for (size_t i = 0; i < accepted.size(); ++i) {
            CTrackerWorker* member = accepted[i].first;
            member->m_cfgIndex = static_cast<int>(i);
            SetGroupRateLocked(member, static_cast<int>(groupRate));
            // A member that was sampling keeps its phase: its next sample comes one of its
            // periods after its last one, on the nearest tick of the new schedule.
            uint64_t delay = 0;
            const double lastFireUs = member->m_lastFireDueUs.load();
            if (lastDueUs >= 0.0 && lastFireUs >= 0.0 && member->m_cfgDivisor > 1) {
                const double groupPeriodUs = 1.0e6 / static_cast<double>(groupRate);
                const double wantedUs = lastFireUs + 1.0e6 / static_cast<double>(accepted[i].second);
                const double ticks = std::round((wantedUs - lastDueUs) / groupPeriodUs) - 1.0;
                delay = static_cast<uint64_t>(
                    std::clamp(ticks, 0.0, static_cast<double>(member->m_cfgDivisor - 1)));
            }
            member->m_cfgBaseTick = base + delay;
            fires.emplace_back(member->m_cfgBaseTick, member->m_cfgDivisor);
        }
        for (CTrackerWorker* member : group.members) {
            if (member->m_cfgIndex < 0) {
                member->m_cfgBaseTick = base;
                SetGroupRateLocked(member, 0);
            }
        }
        RebuildCycle(group, fires);
        group.rate.store(static_cast<int>(groupRate));
        group.generation.fetch_add(1);
        WakeMembers(group);
    }
    for (const wxString& text : refusals)
        g_messages.Post(Severity::Warning, text);
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
    std::lock_guard<std::mutex> lock(group.mutex);
    worker->m_cfgBaseTick = group.tickNumber.load();
    SetGroupRateLocked(worker, groupRate);
    std::vector<std::pair<uint64_t, int>> fires;
    for (CTrackerWorker* member : group.members)
        if (member->m_cfgIndex >= 0 && member->m_cfgDivisor > 0)
            fires.emplace_back(member->m_cfgBaseTick, member->m_cfgDivisor);
    RebuildCycle(group, fires);
    group.generation.fetch_add(1);
    WakeMembers(group);
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

void CTrackerWorker::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
    }
    m_wake.notify_all();
}

namespace {

TimeVal MicrosecondsToTimeVal(double us)
{
    TimeVal t;
    const auto whole = static_cast<int64_t>(std::floor(us));
    t.tv_sec = whole / 1000000;
    t.tv_usec = whole % 1000000;
    return t;
}

}  // namespace

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
    if (m_groupIndex != 0)
        return;
    // The pacing worker goes on from the group's last tick with the new period, or
    // starts a fresh schedule whose first tick is due at once.
    m_cycleBase = group.cycleBase;
    m_toUseful = group.toUseful;  // allocates only when the cycle grew
    const double nowUs = GetProgramTime();
    TimeVal nowTv;
    GetTimeOfDayNow(&nowTv);
    const double lastDueUs = group.lastTickDueUs.load();
    if (lastDueUs >= 0.0) {
        m_anchorUs = lastDueUs;
        m_tickIndex = 1;
    } else {
        m_anchorUs = nowUs;
        m_tickIndex = 0;
    }
    m_tvAnchor = TimeValSub(nowTv, MicrosecondsToTimeVal(nowUs - m_anchorUs));
    m_clockStart = group.startUs;
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
    const double dueUs = static_cast<double>(m_tickIndex) * m_periodLocal;
    double nowUs = 0.0;
    bool isTime = false;
    if (m_precise) {
        TimeVal now;
        GetTimeOfDayNow(&now);
        nowUs = TimeValDiffUs(now, m_tvAnchor);
        isTime = nowUs - dueUs >= 0.0 || std::fabs(nowUs - dueUs) < m_tolerance;
    } else {
        nowUs = GetProgramTime() - m_anchorUs;
        isTime = nowUs - dueUs > 0.0 || nowUs - dueUs > -m_tolerance;
    }
    WorkerGroup& group = Group();
    group.elapsed.store((m_anchorUs + nowUs - m_clockStart) / 1.0e6);
    if (!isTime)
        return;
    const double lateUs = nowUs - dueUs;
    // Every tick due by now is published at once (delay mode sleeps over ticks on
    // which no member fires; a preempted pass catches up).
    uint64_t count = 1;
    if (lateUs > m_periodLocal)
        count += static_cast<uint64_t>(std::floor(lateUs / m_periodLocal));
    bool isReanchored = false;
    {
        std::lock_guard<std::mutex> lock(group.mutex);
        if (group.generation.load() != m_seenGeneration)
            return;  // the group changed: configuration first
        if (lateUs > CDevice::kMaxLagUs) {
            // Suspended or held in a debugger: a new schedule rather than a burst.
            m_anchorUs += nowUs;
            m_tvAnchor = TimeValAdd(m_tvAnchor, MicrosecondsToTimeVal(nowUs));
            m_tickIndex = 1;
            count = 1;
            isReanchored = true;
        } else {
            m_tickIndex += static_cast<int64_t>(count);
        }
        const uint64_t first = group.tickNumber.load();
        const uint64_t last = first + count;
        group.tickNumber.store(last);
        group.lastTickDueUs.store(m_anchorUs + static_cast<double>(m_tickIndex - 1) * m_periodLocal);
        group.deviation.store(std::fabs(isReanchored ? 0.0 : lateUs));
        for (CTrackerWorker* member : group.members) {
            if (member != this && member->m_cfgIndex > 0 && member->IsShortSleep() &&
                CountFires(member->m_cfgBaseTick, member->m_cfgDivisor, first, last) > 0)
                member->Wake();
        }
    }
    const double reportUs = GetProgramTime();
    if (isReanchored && (!m_hasReanchorReport ||
                         reportUs - m_lastReanchorReportUs >= CDevice::kReanchorReportUs)) {
        m_hasReanchorReport = true;
        m_lastReanchorReportUs = reportUs;
        g_messages.Post(Severity::Warning,
                        wxString::Format(_("<ACQ> %s: group pacing fell more than one second "
                                           "behind; schedule restarted\n"),
                                         DeviceName(m_device)));
    }
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
    const double samplePeriodUs = m_periodLocal * std::max(m_divisorLocal, 1);
    m_lastFireDueUs.store(group.lastTickDueUs.load() - static_cast<double>(m_pendingFires) * samplePeriodUs);
    return true;
}

void CTrackerWorker::WaitForGroupTick()
{
    if (m_pendingFires > 0)
        return;
    if (m_groupIndex == 0) {
        // Sleep over the ticks on which no member fires; they are published on waking.
        uint64_t skip = 0;
        if (!m_toUseful.empty()) {
            const uint64_t next = Group().tickNumber.load() + 1;
            const uint64_t position = next > m_cycleBase ? (next - m_cycleBase - 1) % m_toUseful.size() : 0;
            skip = m_toUseful[static_cast<size_t>(position)];
        }
        WaitUntilProgramTime(m_anchorUs +
                             static_cast<double>(m_tickIndex + static_cast<int64_t>(skip)) * m_periodLocal);
        return;
    }
    WorkerGroup& group = Group();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    m_wake.wait_until(lock, deadline, [&] {
        const uint64_t tick = group.tickNumber.load();
        return m_stopRequested.load() || group.generation.load() != m_seenGeneration ||
               CountFires(m_baseTick, m_divisorLocal, m_lastTick, tick) > 0;
    });
}
