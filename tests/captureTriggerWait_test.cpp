#include "captureTriggerWait.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Gives the listed readings in turn, then nothing.
CTriggerWait::Reader Readings(std::vector<double> values)
{
    auto next = std::make_shared<size_t>(0);
    return [values, next](double& value) {
        if (*next >= values.size()) return false;
        value = values[(*next)++];
        return true;
    };
}

TEST(CaptureTriggerWait, FiresAtTheStartValueNotBelow)
{
    CTriggerWait below(Readings({3.9, 3.99}), 4.0, 1ms);
    int passes = 0;
    EXPECT_EQ(below.Run([&](double, double) { return ++passes < 3; }),
              CTriggerWait::Outcome::Cancelled);
    EXPECT_DOUBLE_EQ(below.GetLastValue(), 3.99);

    CTriggerWait at(Readings({3.9, 4.0, 1.0}), 4.0, 1ms);
    EXPECT_EQ(at.Run([](double, double) { return true; }), CTriggerWait::Outcome::Fired);
    EXPECT_DOUBLE_EQ(at.GetLastValue(), 4.0);

    CTriggerWait osc(Readings({-300.0, 255.0}), 255.0, 1ms);
    EXPECT_EQ(osc.Run([](double, double) { return true; }), CTriggerWait::Outcome::Fired);
}

TEST(CaptureTriggerWait, ProgressSeesLastValueAndTimeAndMayCancel)
{
    std::vector<double> seen;
    double lastElapsed = -1.0;
    bool timeGoesOn = true;
    CTriggerWait wait(Readings({1.5, 2.5}), 4.0, 1ms);
    const auto outcome = wait.Run([&](double value, double elapsedSec) {
        seen.push_back(value);
        timeGoesOn = timeGoesOn && elapsedSec >= lastElapsed;
        lastElapsed = elapsedSec;
        return seen.size() < 4;
    });
    EXPECT_EQ(outcome, CTriggerWait::Outcome::Cancelled);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_DOUBLE_EQ(seen.back(), 2.5);
    EXPECT_TRUE(timeGoesOn);
}

TEST(CaptureTriggerWait, SilentInputDoesNotSpin)
{
    // No input at all: one read per pass, not a busy loop between passes.
    CTriggerWait wait([](double&) { return false; }, 4.0, 5ms);
    int passes = 0;
    EXPECT_EQ(wait.Run([&](double value, double) {
        EXPECT_EQ(value, 0.0);
        return ++passes < 10;
    }),
              CTriggerWait::Outcome::Cancelled);
    EXPECT_LE(wait.GetReadCount(), 2 * passes);
}

// A loop's next start that came with its stop fires before any dialog; without
// one nothing fires and the wait goes on as usual.
TEST(CaptureTriggerWait, StartThatCameAlreadyFiresAtOnce)
{
    CTriggerWait ready(Readings({-255.0, 255.0, -255.0}), 255.0, 1ms);
    EXPECT_TRUE(ready.FiredAlready());
    EXPECT_EQ(ready.GetReadCount(), 2);
    CTriggerWait none(Readings({-255.0, 10.0}), 255.0, 1ms);
    EXPECT_FALSE(none.FiredAlready());
    EXPECT_DOUBLE_EQ(none.GetLastValue(), 10.0);
    // The dialog shows the input's live reading when it is given one.
    none.SetShownValue([] { return 42.0; });
    double shown = 0.0;
    none.Run([&](double value, double) {
        shown = value;
        return false;
    });
    EXPECT_EQ(shown, 42.0);
    // A reader that always answers is not read for ever.
    CTriggerWait noisy(
        [](double& value) {
            value = 1.0;
            return true;
        },
        255.0, 1ms);
    EXPECT_FALSE(noisy.FiredAlready());
}

TEST(CaptureTriggerWait, NotANumberNeverFires)
{
    CTriggerWait wait(Readings({std::nan("")}), 4.0, 1ms);
    int passes = 0;
    EXPECT_EQ(wait.Run([&](double, double) { return ++passes < 2; }),
              CTriggerWait::Outcome::Cancelled);
}

}  // namespace
