#pragma once
// A device on a simulated clock, driven from the test's thread: Pump runs its link
// without a frame, Step makes one frame a period later.

#include <cmath>
#include <cstdint>
#include <utility>

#include "process/clock.h"

template <typename Device>
class CStepped : public Device {
public:
    template <typename... Args>
    explicit CStepped(Args&&... args) : Device(std::forward<Args>(args)...)
    {
        this->ResetClock();
    }
    void Pump() { this->Process(false, false); }
    // One pass on which a sample is due; running selects whether it is dispatched.
    void Step(bool running = true)
    {
        // Whole microseconds, as the precise clock shows them: the instant is never a
        // fraction short of the tick it is due for.
        m_nowUs = std::ceil(m_nowUs + 1.0e6 / this->GetRate());
        this->Process(false, running);
    }

protected:
    double ReadProgramClockUs() override { return m_nowUs; }
    void ReadPreciseClock(TimeVal* out) override
    {
        const auto us = static_cast<int64_t>(m_nowUs);
        out->tv_sec = us / 1000000;
        out->tv_usec = us % 1000000;
    }

private:
    double m_nowUs = 1.0e9;
};
