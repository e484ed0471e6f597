// Trials of a camera whose delivery a seed draws (rate changes, holds, also as its rate is measured,
// bursts, hangs at the start, in the middle and at the stop, size changes, faster or slower than it
// says, the grabbing thread held up, a start acted on late), beside analog devices, through the main
// window. Every run: each video frame shows an image taken in its slot or one said to repeat; every
// file spans the trial; no analog frame was read before it was due; what the program says is what the
// files show. FlushRefused: the video's flush to disk fails, and its saving says so. NoImage:
// no image comes through the trial; the empty video goes, and a cut does not bring it back
// unless its folder's flush failed and that is said.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/textctrl.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

#include "DravonetMain.h"
#include "analog/analogReader.h"
#include "frameDeviceTestSupport.h"
#include "support/simSeeds.h"
#include "support/syncLog.h"
#include "video/VideoDevice.h"
#include "video/videoFakes.h"
#include "video/videoFinisher.h"

namespace {

// Busy: before the trial the grabbing thread is held up (a loaded machine) for longer than a
// camera's buffers last, so every grab finds its frame waiting.
// AnalogHeld: the analog devices' threads are held more than a second mid-trial (a stopped process);
// in a second trial just under a second: the ticks missed are read at once, and none is lost.
enum class Fault { None, Faster, Slower, RateDrop, Hold, Burst, HangAtStart, HangInMiddle, HangAtStop, Resize, Busy, FlushRefused, NoImage, AnalogHeld, kCount };

// One trial's delivery, in program time from the moment the test asks for the start.
struct TrialPlan {
    Fault fault = Fault::None;
    double lengthSec = 1.0;
    bool isTimeLimited = false;
    double fps = 30.0;              // delivered, outside the fault
    double faultFps = 30.0;         // delivered from faultFrom on
    double faultFrom = 0.0, faultTo = 0.0;  // seconds: no frame made (hold, hang), or held back (burst)
    int width = 320, height = 240;  // delivered from faultFrom on
    double heldSec = 0.0;           // busy: the first grab in it is held up this long, not sleeping
};

struct Delivered {
    int number;   // -1: made, and lost in the camera for want of a grab; -2: so, excused
    double atUs;  // program time Grab returned it (made, when lost)
    int width;    // of the image, 0 when lost
};

// The camera: frames made at the plan's rate, kept until grabbed (a few at most: older ones
// are lost, and logged so); each stamped with its number in blocks that scale with the image.
struct CameraLog {
    std::mutex mutex;
    TrialPlan plan;  // guarded by mutex, as the rest
    double zeroUs = 1e300;
    std::vector<Delivered> log;
    std::vector<std::pair<double, double>> queued;  // at each grab: its time, QueuedUs()

    // How long the grabbing thread waited for a processor from about fromUs to about toUs.
    double QueuedBetween(double fromUs, double toUs = 1e300) const
    {
        const auto after = [&](double us) {
            return std::upper_bound(queued.begin(), queued.end(), std::make_pair(us, 1e300));
        };
        const auto from = after(fromUs), to = after(toUs);
        return from == queued.begin() || to == queued.begin() ? 0.0 : std::prev(to)->second - std::prev(from)->second;
    }
};

class CPlannedCamera : public CFrameSource {
public:
    explicit CPlannedCamera(std::shared_ptr<CameraLog> shared) : m_shared(std::move(shared)) {}

    bool IsOpened() const override { return true; }
    bool Set(int, double) override { return true; }
    double Get(int property) const override
    {
        return property == cv::CAP_PROP_FPS ? 30.0 : property == cv::CAP_PROP_FRAME_WIDTH ? 320.0 : 240.0;
    }
    bool Grab() override
    {
        CameraLog& c = *m_shared;
        std::unique_lock<std::mutex> lock(c.mutex);
        const TrialPlan p = c.plan;
        const double zeroUs = c.zeroUs;
        const double fromUs = zeroUs + p.faultFrom * 1e6, toUs = zeroUs + p.faultTo * 1e6;
        const auto isFault = [&](double us) { return p.fault != Fault::None && us >= fromUs; };
        const auto periodUs = [&](double us) { return 1e6 / (isFault(us) ? p.faultFps : p.fps); };
        // A grab that comes long after the last one is a thread held up (a loaded machine),
        // not one paced too slowly: what the camera loses meanwhile is excused. So is a frame
        // lost while the thread waited a period or more, in all, for a processor.
        const bool isHeldUp = m_returnUs > 0.0 && GetProgramTime() - m_returnUs > 0.1e6;
        c.queued.emplace_back(GetProgramTime(), QueuedUs());
        if (m_burstLeft == 0) {
            if (m_nextUs == 0.0) m_nextUs = GetProgramTime();
            for (;;) {
                if (m_nextUs >= fromUs && m_nextUs < toUs && p.fault != Fault::Busy) {
                    if (p.fault == Fault::Burst) m_burstLeft = static_cast<int>((toUs - m_nextUs) / periodUs(m_nextUs));
                    m_nextUs = toUs;  // nothing made meanwhile, or held back till then
                }
                // Frames wait for a grab a while, in a driver's buffers (a thread held up on a
                // loaded machine loses none); an older one is gone.
                if (m_nextUs + std::max(0.15e6, 3 * periodUs(m_nextUs)) > GetProgramTime() || m_burstLeft > 0) break;
                c.log.push_back({isHeldUp || c.QueuedBetween(m_nextUs) >= periodUs(m_nextUs) ? -2 : -1, m_nextUs, 0});
                m_nextUs += periodUs(m_nextUs);
            }
            lock.unlock();
            const bool isBusy = p.fault == Fault::Busy && GetProgramTime() >= fromUs && GetProgramTime() < toUs;
            const double heldUntilUs = isBusy && std::exchange(m_heldFor, zeroUs) != zeroUs ? GetProgramTime() + p.heldSec * 1e6 : 0.0;
            while (GetProgramTime() < std::max(m_nextUs, heldUntilUs)) {
                if (!isBusy) std::this_thread::sleep_for(std::chrono::microseconds(
                    std::max<int64_t>(50, static_cast<int64_t>(std::min(m_nextUs - GetProgramTime(), 2000.0)))));
            }
            lock.lock();
            m_nextUs += periodUs(m_nextUs);
        } else {
            --m_burstLeft;
        }
        m_size = isFault(GetProgramTime()) && p.fault == Fault::Resize ? cv::Size(p.width, p.height) : cv::Size(320, 240);
        c.log.push_back({m_number, GetProgramTime(), m_size.width});
        m_returnUs = GetProgramTime();
        return true;
    }
    bool Retrieve(cv::Mat& image) override
    {
        image.create(m_size, CV_8UC3);
        image.setTo(cv::Scalar(128, 128, 128));
        for (int bit = 0; bit < 16; ++bit) {
            const int level = ((m_number >> bit) & 1) ? 255 : 0;
            image(cv::Rect(bit * image.cols / 16, image.rows * 3 / 4, image.cols / 16, image.rows / 4))
                .setTo(cv::Scalar(level, level, level));
        }
        ++m_number;
        return true;
    }
    void Release() override {}

private:
    // The time the calling thread was ready to run and waited for a processor, as the kernel
    // counts it.
    static double QueuedUs()
    {
        std::ifstream in("/proc/self/task/" + std::to_string(::syscall(SYS_gettid)) + "/schedstat");
        double running = 0.0, waiting = 0.0;
        in >> running >> waiting;
        return waiting / 1000.0;
    }

    std::shared_ptr<CameraLog> m_shared;
    double m_heldFor = 0.0;  // the trial whose first busy grab was held
    double m_nextUs = 0.0;  // acquisition thread: when the next frame is made
    double m_returnUs = 0.0;  // when the last grab returned
    int m_burstLeft = 0;
    int m_number = 0;
    cv::Size m_size{320, 240};
};

// A video writer whose closing waits until it is let go.
struct CHeldWriter : CVideoWriterIo {
    explicit CHeldWriter(std::shared_future<void> f) : go(std::move(f)) {}
    bool Open(const std::string&, int, int, double, int, int, bool) override { return true; }
    bool IsOpened() const override { return true; }
    void Write(const cv::Mat&) override {}
    void Release() override { go.wait(); }
    std::shared_future<void> go;
};

std::vector<int> VideoNumbers(const std::string& path, double* fps, int* width)
{
    std::vector<int> numbers;
    std::unique_ptr<CVideoCaptureIo> capture = OpenVideoCapture(path, cv::CAP_FFMPEG);
    if (capture == nullptr || !capture->IsOpened()) return numbers;
    *fps = capture->Get(cv::CAP_PROP_FPS);
    cv::Mat frame;
    while (capture->Read(frame)) {
        int k = 0;
        for (int bit = 0; bit < 16; ++bit) {
            const cv::Rect centre(bit * frame.cols / 16 + frame.cols / 64, frame.rows * 7 / 8, frame.cols / 32, 2);
            if (cv::mean(frame(centre))[1] > 128.0) k |= 1 << bit;
        }
        numbers.push_back(k);
        *width = frame.cols;
    }
    return numbers;
}

// The first number in text after the pattern's opening, or 0.
int64_t Said(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    int64_t total = 0;
    for (auto it = text.cbegin(); std::regex_search(it, text.cend(), match, std::regex(pattern)); it = match.suffix().first)
        total += std::stoll(match[1]);
    return total;
}

// An analog device whose channel 0 holds the program time it was read at.
class CTimedDevice : public CTestDevice {
public:
    CTimedDevice(bool synchronised, double rate, const wxString& name) : CTestDevice(synchronised, false)
    {
        m_rate = rate;
        SetDeviceName(name);
    }
    bool Process(bool tick, bool running) override
    {
        if (!IsTimeToSample(tick) || !running) return false;
        for (int c = 0; c < m_channelCount; ++c) m_values[static_cast<size_t>(c)] = GetProgramTime();
        DispatchFrame();
        CountSample();
        if (GetProgramTime() >= heldAtUs.load()) {  // the machine holds the thread once, between passes
            heldAtUs = 1e300;
            std::this_thread::sleep_for(std::chrono::duration<double>(heldSec.load()));
        }
        return false;
    }
    std::atomic<double> heldAtUs{1e300}, heldSec{0.0};
};

template <typename Condition>
bool RunUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        wxTheApp->ProcessPendingEvents();
        wxTheApp->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class CameraTrialSuite : public FrameDeviceTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(CameraTrialSuite, EveryFileSpansTheTrialAndEveryTextIsTrue)
{
    const uint32_t seed = GetParam();
    SCOPED_TRACE("replay with QV_SIM_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    auto camera = std::make_shared<CameraLog>();
    CCameraFactoryScope cameras([camera](int index) -> std::unique_ptr<CFrameSource> {
        if (index == 0) return std::make_unique<CPlannedCamera>(camera);
        auto closed = std::make_shared<SyntheticCamera>();
        closed->opens = false;
        return std::make_unique<CSyntheticSource>(closed);
    });
    TrackerFrame* frame = MakeEightCoreFrame();
    frame->m_cameraWidth = 320;
    frame->m_cameraHeight = 240;
    g_camera_count = TrackerFrame::CountCameras();
    std::vector<CTimedDevice*> analog{new CTimedDevice(true, 1000.0, "grouped"), new CTimedDevice(false, 250.0, "own")};
    for (CTimedDevice* device : analog) ASSERT_TRUE(frame->AddDeviceView(device, true, false));
    ShellPrompts().singleChoice = [](wxWindow*, const wxString&, const wxString&, const wxArrayString&) { return 0; };
    ChooseMenu(frame, ID_OPEN_CAMERA);
    auto* video = dynamic_cast<CVideoDevice*>(frame->GetDeviceList().back());
    ASSERT_NE(video, nullptr);
    ASSERT_TRUE(RunUntil([&] { return video->IsFrameRateKnown(); }));
    ASSERT_TRUE(frame->OpenCaptureSet("sim"));
    for (int trial = 1; trial <= 2; ++trial) {
        SCOPED_TRACE(trial);
        TrialPlan plan;
        plan.fault = static_cast<Fault>(random() % static_cast<uint32_t>(Fault::kCount));
        plan.lengthSec = uniform(0.8, 1.4);
        plan.isTimeLimited = random() % 3 == 0;
        plan.fps = trial == 1 ? 30.0 : uniform(25.0, 35.0);  // a rate back to normal, or near it
        plan.faultFps = plan.fault == Fault::Faster ? uniform(45.0, 90.0) : plan.fault == Fault::Slower || plan.fault == Fault::RateDrop ? uniform(8.0, 20.0) : plan.fps;
        plan.faultFrom = plan.fault == Fault::Busy ? -1.4 : plan.fault == Fault::HangAtStart ? uniform(-0.5, -0.1) : plan.fault == Fault::HangAtStop ? plan.lengthSec - 0.2 : plan.fault == Fault::Faster || plan.fault == Fault::Slower ? 0.0 : uniform(plan.fault == Fault::Hold && trial > 1 ? -2.4 : 0.2, 0.6);
        plan.faultTo = plan.faultFrom + (plan.fault == Fault::HangAtStart || plan.fault == Fault::HangInMiddle || plan.fault == Fault::HangAtStop ? uniform(0.4, 1.2) : plan.fault == Fault::Hold || plan.fault == Fault::Burst ? uniform(0.1, 0.3) : 0.0);
        if (plan.fault == Fault::Busy) {
            plan.faultTo = -uniform(0.1, 0.3);
            plan.heldSec = uniform(0.0, 0.4);  // past 0.15 s the camera loses frames meanwhile
        }
        if (plan.fault == Fault::HangAtStart && random() % 4 == 0) plan.faultTo = plan.lengthSec + uniform(0.0, 0.3);  // through the trial
        if (plan.fault == Fault::NoImage) {  // well past any stop
            plan.faultFrom = uniform(-0.5, -0.1);
            plan.faultTo = plan.lengthSec + 3.0;
        }
        const bool isRemovalRefused = plan.fault == Fault::NoImage && random() % 2 == 0;
        if (plan.fault == Fault::HangInMiddle) {  // long enough to be a stall, within the trial
            plan.faultTo = plan.faultFrom + uniform(1.0, 2.5);
            plan.lengthSec = plan.faultTo + uniform(0.2, 0.5);
        }
        const double heldFrom = uniform(0.2, 0.5), heldDraw = uniform(1.5, 2.2);
        const double heldSec = trial == 2 ? 0.9 + (heldDraw - 1.5) / 7.0 : heldDraw;
        if (plan.fault == Fault::AnalogHeld) plan.lengthSec = heldFrom + heldSec + uniform(0.4, 0.7);
        plan.width = random() % 2 ? 640 : 160;
        plan.height = plan.width * 3 / 4;
        frame->m_captureMaxTime = plan.isTimeLimited ? plan.lengthSec : 0.0;
        size_t changedAt = 0;
        {
            std::lock_guard<std::mutex> lock(camera->mutex);
            camera->zeroUs = trial == 1 ? GetProgramTime() + 0.3e6 : 1e300;
            camera->plan = plan;
            changedAt = camera->log.size();
        }
        if (trial > 1) {
            // The rate the trial starts at is the camera's for two of the device's measurement
            // windows of frames first (two seconds at the rate it states); held up after that.
            ASSERT_TRUE(RunUntil([&] {
                std::lock_guard<std::mutex> lock(camera->mutex);
                return std::count_if(camera->log.begin() + changedAt, camera->log.end(),
                                     [](const Delivered& d) { return d.number >= 0; }) >= 2 * 60 + 4;
            }));
            std::lock_guard<std::mutex> lock(camera->mutex);
            camera->zeroUs = GetProgramTime() + (plan.fault == Fault::Busy ? 1.6e6 : plan.fault == Fault::Hold ? 2.6e6 : 0.6e6);  // a hold may come as the rate is measured
        }
        const double zeroUs = camera->zeroUs;
        ASSERT_TRUE(RunUntil([&] { return GetProgramTime() >= zeroUs; }));
        std::mt19937 late(seed * 7919u + static_cast<uint32_t>(trial));  // a window busy when the start is asked for acts on it late
        if (late() % 4 == 0) std::this_thread::sleep_for(std::chrono::duration<double>(std::uniform_real_distribution<double>(0.1, 0.8)(late)));
        const std::string videoFolder = wxFileName(video->GetWriterFileName()).GetPath().ToStdString();
        StartSyncLog(videoFolder, plan.fault == Fault::NoImage);
        if (plan.fault == Fault::FlushRefused) FailNextSync(".mov", EIO);
        if (isRemovalRefused) FailNextSync(std::filesystem::canonical(videoFolder), EIO, true);
        const double askedUs = GetProgramTime();
        ChooseMenu(frame, ID_CAPTURE_START);
        std::printf("seed=%u trial=%d fault=%d start_command_ms=%.1f\n", seed, trial, int(plan.fault),
                    (GetProgramTime() - askedUs) / 1000.0);
        ASSERT_TRUE(frame->m_capturing);
        frame->m_errorsText->Clear();  // what is said from here on is this trial's
        frame->m_messagesText->Clear();
        const double startUs = video->GetRecordStart();
        const wxString videoName = video->GetWriterFileName();
        std::vector<wxString> names;
        for (CTimedDevice* device : analog) names.push_back(device->GetWriterFileName());
        for (CTimedDevice* device : analog) {
            if (plan.fault != Fault::AnalogHeld) break;
            device->heldSec = heldSec;
            device->heldAtUs = startUs + heldFrom * 1e6;
        }
        if (plan.isTimeLimited) {
            if (random() % 2 == 0 && plan.fault != Fault::AnalogHeld) {  // the grouped device held at its limit: behind when the stop comes
                analog[0]->heldSec = uniform(0.1, 0.4);
                analog[0]->heldAtUs = startUs + (plan.lengthSec - 0.05) * 1e6;
            }
            // A window busy when the limit comes acts on its stop a while later.
            const double busyUntilUs = startUs + (plan.lengthSec + uniform(0.0, 0.3)) * 1e6;
            while (GetProgramTime() < busyUntilUs) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_TRUE(RunUntil([&] { return !frame->m_capturing; }));
        }
        else
            ASSERT_TRUE(RunUntil([&] { return GetProgramTime() >= startUs + plan.lengthSec * 1e6; }));
        std::promise<void> unblock;  // the finisher is busy: a video of this trial waits, and is not said saved meanwhile
        VideoTail busy;
        busy.writer = std::make_unique<CHeldWriter>(unblock.get_future().share());
        CVideoFinisher::Instance().Add(std::move(busy));
        if (frame->m_capturing) ChooseMenu(frame, ID_CAPTURE_STOP);
        const std::string savedLine =
            ("Saving data to : " + videoName +
             (plan.fault == Fault::FlushRefused ? " : a flush to disk failed, what was written may not all be on disk : " + wxString(std::strerror(EIO)) : wxString()) + "\n").ToStdString();
        EXPECT_TRUE(CVideoFinisher::Instance().Pending() < 2 || frame->m_messagesText->GetValue().ToStdString().find(savedLine) == std::string::npos);
        unblock.set_value();
        CVideoFinisher::Instance().Wait();
        const std::vector<SyncEvent> syncLog = TakeSyncLog();
        FailNextSync("", 0);
        for (int i = 0; i < 3; ++i) wxTheApp->ProcessIdle();  // the camera's texts reach the pages
        const std::string said = (frame->m_errorsText->GetValue() + frame->m_messagesText->GetValue()).ToStdString();
        // A camera that hung through the whole trial leaves no video, and says so.
        const bool isNoVideo = said.find("no image came from the camera during the trial") != std::string::npos;
        EXPECT_TRUE(isNoVideo ? said.find(savedLine) == std::string::npos && !wxFileExists(videoName)
                              : said.find(savedLine) != std::string::npos && said.find(savedLine) == said.rfind(savedLine)) << said;

        // Each file holds the frame that reached a time limit: one period more.
        const double periods = plan.isTimeLimited ? 2.0 : 1.0;
        // Analog: frame k was read at or after its due time, the trial's start + k periods.
        double endSec = 0.0;
        for (size_t d = 0; d < analog.size(); ++d) {
            CAnalogReader reader;
            ASSERT_TRUE(reader.Open(names[d])) << names[d];
            const double rate = analog[d]->GetRate();
            const int64_t frames = reader.GetFrameCount();
            // A thread the machine held past the stop's catch-up leaves its file short, and says by how much.
            const int64_t owed = frames + Said(said, "ends ([0-9]+) frames \\([^)]*\\) before the trial's stop: device " +
                                                         analog[d]->GetDeviceName().ToStdString() + " could");
            // A frame whose value is the one before it repeats it for a tick its held thread missed.
            std::vector<double> values(8), early;
            double lastRead = -1.0;
            int64_t repeats = 0;
            for (int64_t k = 0; k < frames; ++k) {
                ASSERT_TRUE(reader.GetFrame(values.data(), 8, k));
                if (values[0] == std::exchange(lastRead, values[0])) ++repeats;
                else early.push_back((startUs + k * 1e6 / rate - values[0]) / 1000.0);
            }
            const std::string file = std::regex_replace(names[d].ToStdString(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
            EXPECT_EQ(repeats, Said(said, "([0-9]+) of [0-9]+ frames repeat the last values: the device's thread was held more than a second in " + file))
                << analog[d]->GetDeviceName() << said;
            // A frame read now for a tick gone stands at most the second a lagging thread catches up earlier than it was read.
            std::sort(early.begin(), early.end());
            EXPECT_GE(early.front(), -1250.0) << analog[d]->GetDeviceName() << " frame stands earlier than it was read";
            if (plan.fault == Fault::AnalogHeld) {
                EXPECT_TRUE(heldSec < 1.0 || repeats > 0) << analog[d]->GetDeviceName();
                reader.GetFrame(values.data(), 8, frames - 1);
                EXPECT_LT(values[0] - (startUs + (frames - 1) * 1e6 / rate), 0.3e6) << analog[d]->GetDeviceName() << " the last frame's place in time";
            }
            std::printf("seed=%u trial=%d fault=%d device=%s frames=%lld repeats=%lld analog_early_ms min=%.2f median=%.2f max=%.2f\n",
                        seed, trial, int(plan.fault), analog[d]->GetDeviceName().ToStdString().c_str(),
                        static_cast<long long>(frames), static_cast<long long>(repeats), early.front(), early[early.size() / 2], early.back());
            EXPECT_LE(early.back(), 0.05) << analog[d]->GetDeviceName() << " frame read before it was due";
            if (plan.isTimeLimited) {
                EXPECT_NEAR(owed, std::ceil(plan.lengthSec * rate) + 0.5, 0.5) << "the whole set time";
            }
            if (d == 0) endSec = owed / rate;
            else EXPECT_NEAR(owed / rate, endSec, periods / rate + 2e-3) << frames << said;
        }
        if (plan.fault == Fault::NoImage) {
            const std::string warning = ("Unable to delete " + videoName).ToStdString() + " : a flush of its folder to disk failed, it may come back after a power cut : " + std::strerror(EIO);
            const std::string path = std::filesystem::weakly_canonical(videoName.ToStdString());
            EXPECT_TRUE(isNoVideo) << said;
            EXPECT_TRUE(isRemovalRefused ? said.find(warning) != std::string::npos : FilesAfterCut(syncLog, syncLog.size()).count(path) == 0)
                << "an empty video comes back after a cut, unsaid: " << said;
        }
        if (isNoVideo) {
            std::lock_guard<std::mutex> lock(camera->mutex);
            EXPECT_EQ(std::count_if(camera->log.begin(), camera->log.end(), [&](const Delivered& d) {
                          return d.number >= 0 && d.atUs >= startUs && d.atUs < startUs + (endSec - 1.0 / plan.fps) * 1e6;
                      }), 0);
            continue;
        }
        // Video: frame j shows an image taken in slot j, or one said to repeat; its length is the trial's.
        double fps = 0.0;
        int width = 0;
        const std::vector<int> numbers = VideoNumbers(videoName.ToStdString(), &fps, &width);
        ASSERT_FALSE(numbers.empty()) << videoName;
        std::vector<Delivered> log;
        {
            std::lock_guard<std::mutex> lock(camera->mutex);
            log = camera->log;
        }
        EXPECT_NEAR(numbers.size() / fps, endSec, periods / fps + 1e-3);
        // Measured over the two windows before the start, unless the thread waited for a
        // processor long enough meanwhile to shift a tenth of a window's frames, or a start
        // acted on late let a tenth of a window come at a faulty rate before it.
        const bool isRateFault = plan.fault == Fault::Faster || plan.fault == Fault::Slower || plan.fault == Fault::RateDrop;
        const auto faultyBefore = std::count_if(log.begin(), log.end(), [&](const Delivered& d) {
            return isRateFault && d.number >= 0 && d.atUs >= zeroUs + plan.faultFrom * 1e6 && d.atUs < startUs;
        });
        if (std::lock_guard<std::mutex> lock(camera->mutex); faultyBefore < 6 && camera->QueuedBetween(startUs - 4.5e6, startUs) < 6e6 / plan.fps) {
            EXPECT_NEAR(fps, plan.fps, 0.1 * plan.fps) << "the rate at the trial's start";
        }
        // Before the slot of the video's first image, copies of it, said as such.
        const auto first = std::find_if(log.begin(), log.end(), [&](const Delivered& d) { return d.number == numbers[0]; });
        ASSERT_NE(first, log.end());
        const auto leading = static_cast<int64_t>(std::max(0.0, std::floor((first->atUs - startUs) * fps / 1e6)));
        int64_t copies = 0, shown = 1;
        for (size_t j = 0; j < numbers.size(); ++j) {
            const auto taken = std::find_if(log.begin(), log.end(), [&](const Delivered& d) { return d.number == numbers[j]; });
            ASSERT_NE(taken, log.end()) << j;
            if (j > 0) ++(numbers[j] == numbers[j - 1] ? copies : shown);
            if (numbers[j] == numbers[0] && static_cast<int64_t>(j) < leading + 1) continue;
            EXPECT_LT(taken->atUs, startUs + (j + 1) * 1e6 / fps) << "frame " << j << " shows an image taken later";
        }
        int64_t inTrial = 0, lost = 0;
        for (Delivered d : log) {
            if (d.atUs < startUs || d.atUs >= startUs + endSec * 1e6 - 1e6 / fps) continue;
            // The grabs follow a camera that speeds up (or empties a burst) within a few frames.
            for (double faultUs : {zeroUs + plan.faultFrom * 1e6, zeroUs + plan.faultTo * 1e6})
                if (d.number < 0 && d.atUs >= faultUs && d.atUs < faultUs + 0.25e6) d.number = -2;
            if (d.number != -2) ++(d.number < 0 ? lost : inTrial);
        }
        const int64_t saidLeading = Said(said, "the first ([0-9]+) frames of");
        EXPECT_EQ(saidLeading + Said(said, "([0-9]+) of the [0-9]+ frames of .*? did not come"), copies) << said;
        if (saidLeading > 0 || leading > 1) {
            EXPECT_NEAR(saidLeading, leading, 1) << said;
        }
        // A video made at the start has the camera's size then: only an image of another size taken in the trial is scaled, and said.
        const auto otherSize = [&](double fromUs, double toUs) { return std::any_of(log.begin(), log.end(), [&](const Delivered& d) { return d.number >= 0 && d.width != width && d.atUs >= fromUs && d.atUs < toUs; }); };
        EXPECT_TRUE(said.find("changed its image size") != std::string::npos ? otherSize(startUs - 0.05e6, startUs + endSec * 1e6 + 0.05e6) : !otherSize(startUs, startUs + endSec * 1e6 - 1e6 / fps)) << said;
        EXPECT_LE(inTrial - shown + lost, Said(said, "([0-9]+) images came from the camera faster"))
            << said << inTrial << " delivered in the trial, " << shown << " shown, " << lost << " lost";
        std::printf("seed=%u trial=%d fault=%d plan_fps=%.3f video_fps=%.3f frames=%zu shown=%lld copies=%lld leading=%lld lost=%lld\n", seed, trial,
                    int(plan.fault), plan.fps, fps, numbers.size(), static_cast<long long>(shown), static_cast<long long>(copies),
                    static_cast<long long>(leading), static_cast<long long>(lost));
    }
    g_camera_count = 0;
}

INSTANTIATE_TEST_SUITE_P(Seeds, CameraTrialSuite, ::testing::ValuesIn(SimSeeds(1)), SimSeedName());

}  // namespace
