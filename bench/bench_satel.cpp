// Which SATEL board samples reach the frames, for a board that gathers samples on its
// own clock (a pseudo-terminal board), started at phases spread over one period of
// the device's clock, at 40, 200 and 1000 Hz; then with its clock 1000 ppm fast and
// slow. Each sample carries its number in its values, so the frames tell which
// samples they skipped and which they repeated.
//   bench_satel [--seconds N]   (2 by default, per case)
// One line per case:
//   satel rate=<hz> phase=<p> ppm=<n> frames=<n> skipped=<n> repeated=<n> reported=<n>
//         expected=<n> missed=<n> cut=<n>
// skipped: board samples between the first and the last frame's that no frame carried;
// repeated: frames that carried the previous frame's sample again; reported: what the
// device counted of both (it reports them at closing); expected: the reference, the
// samples the clocks' difference alone makes drop or repeat (frames x ppm / 1e6).
#include "../tests/satel/satelClockRun.h"
#include "benchCommon.h"

#include <wx/init.h>

#include <cmath>
#include <cstdio>

namespace {

bool RunCase(int periodMs, double phase, int ppm, double seconds)
{
    const double rate = 1000.0 / periodMs;
    const int frames = static_cast<int>(std::lround(seconds * rate));
    const SatelClockRun run = RunClockedBoard(periodMs, phase, 1.0 + ppm * 1e-6, frames);
    if (!run.ran) {
        std::fprintf(stderr, "bench_satel: the run at %.0f Hz, phase %.3f did not run\n", rate,
                     phase);
        return false;
    }
    const long long expected = std::llround(std::fabs(ppm * 1e-6) * run.frames);
    std::printf("satel rate=%.0f phase=%.3f ppm=%d frames=%d skipped=%lld repeated=%lld "
                "reported=%lld expected=%lld missed=%lld cut=%lld\n",
                rate, phase, ppm, run.frames, static_cast<long long>(run.skipped),
                static_cast<long long>(run.repeated),
                static_cast<long long>(run.reportedSkipped + run.reportedLost + run.reportedRepeated),
                expected,
                static_cast<long long>(run.missed), static_cast<long long>(run.cut));
    std::fflush(stdout);
    if (run.decoded != run.frames)
        std::fprintf(stderr, "bench_satel: %d of %d frames carried no board sample in order\n",
                     run.frames - run.decoded, run.frames);
    return run.decoded == run.frames;
}

}  // namespace

int main(int argc, char** argv)
{
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        std::fprintf(stderr, "bench_satel: wxWidgets did not start\n");
        return 1;
    }
    const double seconds = ReadSecondsOption(argc, argv, 2.0);
    if (seconds <= 0.0) return 2;
    bool ok = true;
    for (int periodMs : {25, 5, 1}) {
        for (int eighth = 0; eighth < 8; ++eighth) ok = RunCase(periodMs, eighth / 8.0, 0, seconds) && ok;
    }
    for (int periodMs : {5, 1}) {
        for (int ppm : {1000, -1000}) ok = RunCase(periodMs, 0.5, ppm, seconds) && ok;
    }
    return ok ? 0 : 1;
}
