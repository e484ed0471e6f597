// Cost of showing a camera frame at 1280 x 720: the hand-over from the acquisition
// thread (SetImage), the conversion into a bitmap (one-call and per-pixel paths) and a
// whole paint of the camera view. Runs under a display (xvfb-run). One line per case:
//   bench=video_<case> frame=1280x720 ms=<median> ref=memcpy_frame ref_ms=<median> ratio=<>
#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/panel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

#include "video/VideoView.h"
#include "video/videoBitmap.h"

namespace {

class BenchApp : public wxApp {
public:
    bool OnInit() override { return true; }
};

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kRepetitions = 7;
constexpr int kRuns = 20;  // calls per repetition

// Median over the repetitions of the mean time of one call, after a warm-up.
double MedianMs(const std::function<void()>& work)
{
    for (int i = 0; i < 3; ++i) work();
    std::vector<double> times;
    for (int r = 0; r < kRepetitions; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRuns; ++i) work();
        const std::chrono::duration<double, std::milli> spent =
            std::chrono::steady_clock::now() - start;
        times.push_back(spent.count() / kRuns);
    }
    std::nth_element(times.begin(), times.begin() + kRepetitions / 2, times.end());
    return times[kRepetitions / 2];
}

void Report(const char* name, double ms, double refMs)
{
    std::printf("bench=video_%s frame=%dx%d ms=%.4f ref=memcpy_frame ref_ms=%.4f ratio=%.2f\n",
                name, kWidth, kHeight, ms, refMs, refMs > 0.0 ? ms / refMs : 0.0);
}

}  // namespace

int main(int argc, char** argv)
{
    wxApp::SetInstance(new BenchApp);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "bench_video: no display (run it under xvfb-run)\n");
        return 1;
    }
    {
        cv::Mat frame(kHeight, kWidth, CV_8UC3);
        cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(256));
        std::vector<unsigned char> copy(frame.total() * frame.elemSize());
        const double refMs = MedianMs([&] { std::memcpy(copy.data(), frame.data, copy.size()); });

        wxBitmap bitmap(kWidth, kHeight, 24);
        Report("convert_one_call", MedianMs([&] { ocvConvertMatBitmapTowxBitmap(frame, bitmap); }),
               refMs);
        Report("convert_per_pixel",
               MedianMs([&] { ocvConvertMatBitmapTowxBitmap(frame, bitmap, false); }), refMs);

        auto* window =
            new wxFrame(nullptr, wxID_ANY, "bench", wxDefaultPosition, wxSize(1400, 900));
        auto* panel = new wxPanel(window);
        auto* view = new CVideoView(panel, wxPoint(0, 0), wxSize(kWidth, kHeight));
        Report("set_image", MedianMs([&] { view->SetImage(frame); }), refMs);
        wxBitmap target(kWidth, kHeight, 24);
        Report("paint", MedianMs([&] {
                   view->SetImage(frame);
                   wxMemoryDC dc(target);
                   view->Render(dc);
               }),
               refMs);
        delete window;
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}
