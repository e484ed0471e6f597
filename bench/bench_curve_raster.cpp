// Cost of the 2D view's off-screen layer alone: 16 curves of 5000 samples over
// 1230 x 593 pixels, as the normal mode draws them, with and without the
// gradient fill under each. Best-of-N processor time of this thread, which a
// busy machine disturbs least. One line per case:
//   raster fill=<0|1> reset_ms=<> fill_ms=<> curve_ms=<> outline_ms=<> total_ms=<>
// Usage: bench_curve_raster [repetitions, default 50]
#include "analog/curveRaster.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWidth = 1230;
constexpr int kHeight = 593;
constexpr int kChannels = 16;
constexpr int kSamples = 5000;

double ThreadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Per pixel column the lowest and highest point in sample order, as the view
// thins its curves before drawing.
std::vector<double> Curve(int channel, double zeroY, double scale)
{
    std::vector<double> xy;
    const double sx = (kWidth - 2.0) / kSamples;
    int i = 0;
    while (i < kSamples) {
        const double column = std::floor(1.5 + i * sx);
        int low = i, high = i;
        std::vector<double> ys;
        int j = i;
        auto y = [&](int s) {
            const double t = s / 1000.0;
            return zeroY - scale * 4.0 * std::sin(6.283185307179586 * (1.0 + 0.3 * channel) * t + channel) *
                               std::cos(0.05 * t * (channel + 1));
        };
        for (; j < kSamples && std::floor(1.5 + j * sx) == column; ++j) {
            if (y(j) < y(low)) low = j;
            if (y(j) > y(high)) high = j;
        }
        xy.push_back(1.5 + std::min(low, high) * sx);
        xy.push_back(y(std::min(low, high)));
        if (low != high) {
            xy.push_back(1.5 + std::max(low, high) * sx);
            xy.push_back(y(std::max(low, high)));
        }
        i = j;
    }
    return xy;
}

}  // namespace

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::max(5, std::atoi(argv[1])) : 50;
    const double zeroY = kHeight / 2.0;
    const double scale = kHeight / 10.0;
    std::vector<std::vector<double>> curves;
    for (int c = 0; c < kChannels; ++c)
        curves.push_back(Curve(c, zeroY, scale));
    CCurveRaster raster;
    for (int fill = 0; fill <= 1; ++fill) {
        double best[5] = {1e9, 1e9, 1e9, 1e9, 1e9};
        for (int r = 0; r <= repetitions; ++r) {
            double spent[5] = {};
            double start = ThreadCpuMs();
            raster.Reset(kWidth, kHeight);
            spent[0] = ThreadCpuMs() - start;
            for (int c = 0; c < kChannels; ++c) {
                const std::vector<double>& xy = curves[static_cast<size_t>(c)];
                const size_t n = xy.size() / 2;
                const std::uint8_t red = static_cast<std::uint8_t>(40 + 13 * c);
                const std::uint8_t green = static_cast<std::uint8_t>(200 - 9 * c);
                const std::uint8_t blue = static_cast<std::uint8_t>(90 + 7 * c);
                start = ThreadCpuMs();
                if (fill)
                    raster.FillToLevel(xy.data(), n, zeroY, {red, green, blue, 128},
                                       {static_cast<std::uint8_t>(red / 2), green, blue, 128}, 0.0, 0.0,
                                       kWidth - 3.0, kHeight);
                double now = ThreadCpuMs();
                spent[1] += now - start;
                start = now;
                raster.DrawFunctionCurve(xy.data(), n, red, green, blue, 2);
                now = ThreadCpuMs();
                spent[2] += now - start;
                start = now;
                if (fill) {
                    const double closing[] = {xy[2 * n - 2], xy[2 * n - 1], xy[2 * n - 2], zeroY, -2.0, zeroY};
                    raster.DrawPolyline(closing, 3, red, green, blue, 2);
                }
                spent[3] += ThreadCpuMs() - start;
            }
            spent[4] = spent[0] + spent[1] + spent[2] + spent[3];
            if (r == 0)
                continue;  // warm-up
            for (int k = 0; k < 5; ++k)
                best[k] = std::min(best[k], spent[k]);
        }
        std::printf("raster fill=%d reset_ms=%.3f fill_ms=%.3f curve_ms=%.3f outline_ms=%.3f total_ms=%.3f\n",
                    fill, best[0], best[1], best[2], best[3], best[4]);
    }
    return 0;
}
