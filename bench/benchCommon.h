#pragma once
// What the benchmark programs share: a view sink that only takes rows, and percentiles.

#include "analog/viewSink.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// A 2D view for a benchmark: AddData is the measured part; the GUI thread's calls do
// nothing.
class CBenchViewSink : public CAnalogViewSink {
public:
    void ResetView() override {}
    void Restart() override {}
    void FreezeData() override {}
    void ThawData() override {}
    void NotifyBatteryChanged(bool) override {}
    bool IsDirty() const override { return false; }
    void RequestRefresh() override {}
    void SaveConfig(wxConfigBase*) override {}
    void DetachDevice() override {}
};

// The value below which fraction of the values lie (the lower one of two); sorts
// values, which must not be empty.
inline double Percentile(std::vector<double>& values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// The command line of a benchmark that takes only "--seconds N": N, or the default.
// 0 when the line is wrong (what is wrong is said on standard error).
inline double ReadSecondsOption(int argc, char** argv, double seconds)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") != 0 || i + 1 >= argc) {
            std::fprintf(stderr, "usage: %s [--seconds N]\n", argv[0]);
            return 0.0;
        }
        seconds = std::atof(argv[++i]);
    }
    if (!(seconds > 0.0)) {
        std::fprintf(stderr, "%s: --seconds needs a positive number\n", argv[0]);
        return 0.0;
    }
    return seconds;
}
