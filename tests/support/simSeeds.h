#pragma once
// Seeds for the seeded simulation suites. CI runs the few fixed ones a suite asks
// for; QV_SIM_SEEDS widens a run ("500" for seeds 1-500, "1000-1999" for a range)
// and QV_SIM_SEED replays one seed that failed.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

inline std::vector<uint32_t> SimSeeds(uint32_t ciCount)
{
    std::vector<uint32_t> seeds;
    if (const char* one = std::getenv("QV_SIM_SEED"); one && *one) {
        seeds.push_back(static_cast<uint32_t>(std::strtoul(one, nullptr, 10)));
        return seeds;
    }
    uint32_t first = 1;
    uint32_t last = ciCount;
    if (const char* range = std::getenv("QV_SIM_SEEDS"); range && *range) {
        char* end = nullptr;
        const unsigned long a = std::strtoul(range, &end, 10);
        if (end && *end == '-') {
            first = static_cast<uint32_t>(a);
            last = static_cast<uint32_t>(std::strtoul(end + 1, nullptr, 10));
        } else {
            last = static_cast<uint32_t>(a);
        }
    }
    for (uint32_t seed = first; seed <= last && seed >= first; ++seed)
        seeds.push_back(seed);
    return seeds;
}

// Names each instance after its seed, so that ctest's list and a failure show it.
struct SimSeedName {
    std::string operator()(const ::testing::TestParamInfo<uint32_t>& info) const
    {
        return "seed" + std::to_string(info.param);
    }
};

// One seed's draws: a whole number in [lo, hi]; the engine for other kinds of draw.
class SimDraw {
public:
    explicit SimDraw(uint32_t seed) : m_engine(seed) {}
    int operator()(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_engine); }
    std::mt19937& Engine() { return m_engine; }

private:
    std::mt19937 m_engine;
};
