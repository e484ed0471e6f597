#include "captureTriggerWait.h"

#include <thread>
#include <utility>

namespace {

// A reader that answers sooner than this without a value has nothing
// waiting (no input, nothing received): the pass sleeps instead of asking again.
constexpr std::chrono::microseconds kInstantAnswer(500);
// More readings than an input's crossing queue holds.
constexpr int kMostReadsAtOnce = 64;

}  // namespace

CTriggerWait::CTriggerWait(Reader reader, double startValue, std::chrono::milliseconds passLength)
    : m_reader(std::move(reader)), m_startValue(startValue), m_passLength(passLength)
{
}

bool CTriggerWait::IsStart(double value) const { return value >= m_startValue; }

bool CTriggerWait::FiredAlready(const Reader& reader)
{
    // Bounded: a reader that always answers must not hold the caller.
    for (int i = 0; i < kMostReadsAtOnce && reader; ++i) {
        double value = 0.0;
        const auto before = std::chrono::steady_clock::now();
        ++m_readCount;
        if (!reader(value)) return false;
        m_lastValue = value;
        if (IsStart(value)) return true;
        if (std::chrono::steady_clock::now() - before >= kInstantAnswer) return false;
    }
    return false;
}

bool CTriggerWait::ReadPass(std::chrono::steady_clock::time_point passEnd)
{
    for (;;) {
        const auto before = std::chrono::steady_clock::now();
        if (before >= passEnd) return false;
        double value = 0.0;
        ++m_readCount;
        if (m_reader && m_reader(value)) {
            m_lastValue = value;
            if (IsStart(value)) return true;  // the start value itself fires
            continue;
        }
        if (std::chrono::steady_clock::now() - before < kInstantAnswer) {
            std::this_thread::sleep_until(passEnd);
            return false;
        }
    }
}

CTriggerWait::Outcome CTriggerWait::Run(const Progress& progress)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto passEnd = std::chrono::steady_clock::now() + m_passLength;
        if (ReadPass(passEnd)) return Outcome::Fired;
        const double elapsedSec =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double shown = m_shownValue ? m_shownValue() : m_lastValue;
        if (progress && !progress(shown, elapsedSec)) return Outcome::Cancelled;
    }
}
