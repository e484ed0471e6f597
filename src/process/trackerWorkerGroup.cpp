// The synchronised group: group ticks come at the least common multiple of the members'
// rates and every member fires on every n-th tick. The ticks are a schedule, not a
// publication: each member reads the clock and knows which ticks are due, so a member
// whose read blocks (a camera waiting for its frame, a port) holds up only itself.
// Membership and configuration change under the group lock and bump a generation;
// members read one atomic per pass and copy their configuration under the lock when
// the generation moved.
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
    std::atomic<int> rate{0};
    // The schedule: tick n is due at anchorUs + (n - anchorTick) x periodUs (program time).
    double anchorUs = 0.0;
    uint64_t anchorTick = 0;
    double periodUs = 0.0;
    double startUs = 0.0;  // when the group began, for its elapsed time
};

WorkerGroup& Group()
{
    static WorkerGroup group;
    return group;
}

// Under the group lock: the last tick due by nowUs (anchorTick when none is yet).
uint64_t LastTickDue(const WorkerGroup& group, double nowUs)
{
    if (!(group.periodUs > 0.0) || nowUs < group.anchorUs)
        return group.anchorTick;
    return group.anchorTick + static_cast<uint64_t>(std::floor((nowUs - group.anchorUs) / group.periodUs));
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
        // Slowest first: index 0 is a worker of the slowest device.
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
        // The new schedule goes on from the last tick due, with the new period; a group
        // that had none starts one whose first tick is due at once.
        const double nowUs = GetProgramTime();
        const bool hadSchedule = group.rate.load() > 0 && group.periodUs > 0.0;
        const uint64_t base = LastTickDue(group, nowUs);
        const double lastDueUs =
            hadSchedule ? group.anchorUs + static_cast<double>(base - group.anchorTick) * group.periodUs
                        : -1.0;
        if (accepted.empty() || !hadSchedule)
            group.startUs = nowUs;
        group.anchorTick = base;
        group.periodUs = groupRate > 0 ? 1.0e6 / static_cast<double>(groupRate) : 0.0;
        group.anchorUs = lastDueUs >= 0.0 ? lastDueUs : nowUs - group.periodUs;
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
        }
        for (CTrackerWorker* member : group.members) {
            if (member->m_cfgIndex < 0) {
                member->m_cfgBaseTick = base;
                SetGroupRateLocked(member, 0);
            }
        }
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
    worker->m_cfgBaseTick = LastTickDue(group, GetProgramTime());
    SetGroupRateLocked(worker, groupRate);
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
        m_wakeRequested = true;
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
    const bool wasScheduled = m_groupIndex >= 0 && m_periodLocal > 0.0 && m_divisorLocal >= 1;
    // A member that lagged when the group changed still owes the fires due before the
    // change, the last on the new schedule's first tick: they come first, none is lost.
    const uint64_t changeTick = group.anchorTick;
    if (m_groupIndex >= 0 && m_periodLocal > 0.0 && m_divisorLocal >= 1 && m_cfgIndex >= 0 &&
        changeTick >= m_nextFireTick) {
        const auto divisor = static_cast<uint64_t>(m_divisorLocal);
        if (m_owedFires == 0)
            m_owedDueUs = m_anchorUs + DueOffsetUs(m_nextFireTick);
        m_owedFires += (changeTick - m_nextFireTick) / divisor + 1;
        m_owedPeriodUs = m_periodLocal * m_divisorLocal;
    } else if (m_cfgIndex < 0) {
        m_owedFires = 0;
    }
    m_groupIndex = m_cfgIndex;
    m_divisorLocal = m_cfgDivisor;
    m_periodLocal = m_cfgPeriodUs;
    m_baseTick = m_cfgBaseTick;
    // The change placed the next sample one period after the last one it saw taken.
    // The member itself knows better: a fire it took meanwhile, or fires it still owes,
    // move its phase; else its next sample would follow the last of them by a group tick.
    const double lastTakenUs =
        m_owedFires > 0 ? m_owedDueUs + static_cast<double>(m_owedFires - 1) * m_owedPeriodUs
                        : m_lastFireDueUs.load();
    if (wasScheduled && lastTakenUs >= 0.0 && m_cfgIndex >= 0 && m_cfgDivisor > 1) {
        const double wantedUs = lastTakenUs + m_cfgPeriodUs * m_cfgDivisor;
        const double ticks = std::round((wantedUs - group.anchorUs) / m_cfgPeriodUs) - 1.0;
        m_baseTick = group.anchorTick + static_cast<uint64_t>(std::max(ticks, 0.0));
    }
    m_nextFireTick = m_baseTick + 1;
    m_anchorTick = group.anchorTick;
    m_anchorUs = group.anchorUs;
    m_startUs = group.startUs;
    if (m_precise) {
        const double nowUs = GetProgramTime();
        TimeVal nowTv;
        GetTimeOfDayNow(&nowTv);
        m_tvAnchor = TimeValSub(nowTv, MicrosecondsToTimeVal(nowUs - m_anchorUs));
        m_tvAnchorProgramUs = PreciseTimeToProgramTime(m_tvAnchor);
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

double CTrackerWorker::ReadAnchoredNowUs()
{
    if (m_precise) {
        TimeVal now;
        GetTimeOfDayNow(&now);
        return TimeValDiffUs(now, m_tvAnchor);
    }
    return GetProgramTime() - m_anchorUs;
}

double CTrackerWorker::DueOffsetUs(uint64_t tick) const
{
    return (static_cast<double>(tick) - static_cast<double>(m_anchorTick)) * m_periodLocal;
}

bool CTrackerWorker::GroupPass()
{
    if (Group().generation.load() != m_seenGeneration)
        SyncGroupConfig();
    if (m_groupIndex < 0 || !(m_periodLocal > 0.0) || m_divisorLocal < 1)
        return false;
    const double nowUs = ReadAnchoredNowUs();
    m_elapsed = (m_anchorUs + nowUs - m_startUs) / 1.0e6;
    if (m_heldRepeats > 0)
        return false;  // the device pays them in this pass, before the next fire
    if (m_owedFires > 0) {
        --m_owedFires;
        m_deviation = std::fabs(m_anchorUs + nowUs - m_owedDueUs);
        m_lastFireDueUs.store(m_owedDueUs);
        m_owedDueUs += m_owedPeriodUs;
        return true;
    }
    double lateUs = nowUs - DueOffsetUs(m_nextFireTick);
    const bool isDue = m_precise ? lateUs >= 0.0 || std::fabs(lateUs) < m_tolerance
                                 : lateUs > 0.0 || lateUs > -m_tolerance;
    if (!isDue)
        return false;
    if (lateUs > CDevice::kMaxLagUs) {
        RepeatHeldFires(lateUs);
        if (m_heldRepeats > 0)
            return false;
        lateUs = nowUs - DueOffsetUs(m_nextFireTick);
    }
    // Fires that fell behind follow one per pass, each with its own due time.
    m_deviation = std::fabs(lateUs);
    m_lastFireDueUs.store(m_anchorUs + DueOffsetUs(m_nextFireTick));
    m_nextFireTick += static_cast<uint64_t>(m_divisorLocal);
    return true;
}

bool CTrackerWorker::StartFiresAt(double programUs)
{
    if (m_groupIndex < 0 || !(m_periodLocal > 0.0) || m_divisorLocal < 1)
        return false;
    // Repeats owed for fires due before the instant are none of the trial's.
    if (m_heldRepeats > 0) {
        const double samplePeriodUs = m_periodLocal * m_divisorLocal;
        const double firstDueUs =
            m_lastFireDueUs.load() - static_cast<double>(m_heldRepeats - 1) * samplePeriodUs;
        const double early = std::ceil((programUs - m_tolerance - firstDueUs) / samplePeriodUs);
        m_heldRepeats -=
            static_cast<int64_t>(std::clamp(early, 0.0, static_cast<double>(m_heldRepeats)));
    }
    // A fire carried out at or after the instant already counts from it.
    if (m_lastFireDueUs.load() >= programUs - m_tolerance)
        return false;
    // Fires owed from a hold are dropped, not made at once: each would be read now and
    // stand for a time it was not read at.
    m_owedFires = 0;
    const double ticks = std::ceil((programUs - m_anchorUs) / m_periodLocal - 1e-9);
    m_nextFireTick = m_anchorTick + static_cast<uint64_t>(std::max(ticks, 0.0));
    return true;
}

void CTrackerWorker::RepeatHeldFires(double lateUs)
{
    // Held up for more than a second (a read that blocked, a suspended process): no
    // burst of readings made now for fires long gone. Those before the last one due
    // repeat the last frame, so that every later frame keeps its place in time.
    const double samplePeriodUs = m_periodLocal * m_divisorLocal;
    const auto missed = static_cast<int64_t>(std::floor(lateUs / samplePeriodUs));
    if (missed <= 0)
        return;
    m_nextFireTick += static_cast<uint64_t>(missed) * static_cast<uint64_t>(m_divisorLocal);
    m_lastFireDueUs.store(m_anchorUs +
                          DueOffsetUs(m_nextFireTick - static_cast<uint64_t>(m_divisorLocal)));
    m_heldRepeats = missed;
    m_repeatedFires.fetch_add(missed);
    // Rare by nature (a second apart at least): said each time, with what it costs.
    g_messages.Post(Severity::Error,
                    wxString::Format(_("<ACQ> %s: fell %.1f s behind the group's pacing; %lld "
                                       "frames repeat the last values\n"),
                                     DeviceName(m_device), lateUs / 1.0e6,
                                     static_cast<long long>(missed)));
}

void CTrackerWorker::WaitForGroupTick()
{
    if (m_groupIndex < 0 || !(m_periodLocal > 0.0) || m_owedFires > 0 || m_heldRepeats > 0)
        return;
    const double dueOffsetUs = DueOffsetUs(m_nextFireTick);
    // The precise clock shows whole microseconds: the tick is due when it shows the
    // next whole one, not a fraction earlier.
    const double dueUs = m_precise ? m_tvAnchorProgramUs + std::ceil(dueOffsetUs)
                                   : m_anchorUs + dueOffsetUs;
    WaitUntilProgramTime(dueUs);
}
