#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/panel.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <opencv2/core.hpp>
#include <string>

#include "support/tempDir.h"
#include "video/VideoDevice.h"
#include "video/VideoView.h"
#include "video/videoBitmap.h"
#include "video/videoFakes.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 20s;

bool PixelIs(const wxImage& image, int x, int y, int r, int g, int b, int tolerance = 8)
{
    return std::abs(image.GetRed(x, y) - r) <= tolerance &&
           std::abs(image.GetGreen(x, y) - g) <= tolerance &&
           std::abs(image.GetBlue(x, y) - b) <= tolerance;
}

int CountPixels(const wxImage& image, const wxRect& area, int r, int g, int b)
{
    int count = 0;
    for (int y = area.GetTop(); y <= area.GetBottom(); ++y)
        for (int x = area.GetLeft(); x <= area.GetRight(); ++x)
            count += PixelIs(image, x, y, r, g, b, 40);
    return count;
}

void Save(const wxImage& image, const std::string& name)
{
    wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
    EXPECT_TRUE(image.SaveFile(QV_TEST_OUTPUT_DIR "/" + name, wxBITMAP_TYPE_PNG));
}

// A hidden frame holding camera views, each rendered into a bitmap.
class VideoViewTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        m_frame =
            new wxFrame(nullptr, wxID_ANY, "video view test", wxDefaultPosition, wxSize(900, 700));
        m_panel = new wxPanel(m_frame, wxID_ANY, wxPoint(0, 0), wxSize(900, 700));
        m_camera = std::make_shared<SyntheticCamera>();
        m_camera->width = 200;
        m_camera->height = 100;
        m_camera->reportedFps = 100.0;
        m_scope = std::make_unique<CCameraFactoryScope>(SyntheticCameras(m_camera, 1));
    }
    void TearDown() override
    {
        delete m_frame;
        m_scope.reset();
        TempDirTest::TearDown();
    }
    CVideoView* MakeView(int w, int h)
    {
        return new CVideoView(m_panel, wxPoint(0, 0), wxSize(w, h));
    }
    // View and device tied both ways, as the shell ties them.
    static void Tie(CVideoView* view, CVideoDevice& device)
    {
        view->SetDevice(&device);
        device.SetVideoView(view);
    }
    static wxImage Render(CVideoView& view)
    {
        const wxSize size = view.GetClientSize();
        wxBitmap bitmap(size.GetWidth(), size.GetHeight(), 24);
        {
            wxMemoryDC dc(bitmap);
            view.Render(dc);
        }
        return bitmap.ConvertToImage();
    }
    static void Send(CVideoView* view, wxEventType type, int x, int y, int wheel = 0,
                     bool leftDown = false)
    {
        wxMouseEvent event(type);
        event.SetEventObject(view);
        event.m_x = x;
        event.m_y = y;
        event.m_wheelRotation = wheel;
        event.m_wheelDelta = 120;
        event.m_leftDown = leftDown;
        view->HandleWindowEvent(event);
    }
    static void Command(CVideoView* view, int id)
    {
        wxCommandEvent event(wxEVT_MENU, id);
        event.SetEventObject(view);
        view->HandleWindowEvent(event);
    }

    wxFrame* m_frame = nullptr;
    wxPanel* m_panel = nullptr;
    std::shared_ptr<SyntheticCamera> m_camera;
    std::unique_ptr<CCameraFactoryScope> m_scope;
    wxLogNull m_quiet;
};

// A 200 x 100 camera frame: black, blue square top-left, red square top-right.
cv::Mat CameraFrame()
{
    cv::Mat image;
    FillFrame(image, 0, 200, 100);
    return image;
}

}  // namespace

// ---------------------------------------------------------------- frame conversion

TEST_F(VideoViewTest, FrameConversionKeepsTheColoursOnBothPaths)
{
    cv::Mat image(37, 53, CV_8UC3);  // odd width: rows are not multiples of 4 bytes
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
    for (bool fast : {true, false}) {
        wxBitmap bitmap(53, 37, 24);
        ASSERT_TRUE(ocvConvertMatBitmapTowxBitmap(image, bitmap, fast));
        const wxImage out = bitmap.ConvertToImage();
        for (int y = 0; y < 37; ++y)
            for (int x = 0; x < 53; ++x) {
                const cv::Vec3b bgr = image.at<cv::Vec3b>(y, x);
                ASSERT_TRUE(out.GetRed(x, y) == bgr[2] && out.GetGreen(x, y) == bgr[1] &&
                            out.GetBlue(x, y) == bgr[0])
                    << "fast=" << fast << " at " << x << "," << y;
            }
    }
    // A region of a larger image: its rows are not contiguous.
    cv::Mat large(60, 80, CV_8UC3, cv::Scalar(1, 2, 3));
    large(cv::Rect(10, 10, 20, 20)).setTo(cv::Scalar(200, 100, 50));
    wxBitmap part(20, 20, 24);
    ASSERT_TRUE(ocvConvertMatBitmapTowxBitmap(large(cv::Rect(10, 10, 20, 20)), part));
    EXPECT_TRUE(PixelIs(part.ConvertToImage(), 19, 19, 50, 100, 200, 0));
}

TEST_F(VideoViewTest, FrameConversionRefusesWhatDoesNotFit)
{
    wxBitmap bitmap(20, 10, 24);
    EXPECT_FALSE(ocvConvertMatBitmapTowxBitmap(cv::Mat(), bitmap));
    EXPECT_FALSE(ocvConvertMatBitmapTowxBitmap(cv::Mat(10, 20, CV_8UC1, cv::Scalar(0)), bitmap));
    EXPECT_FALSE(ocvConvertMatBitmapTowxBitmap(cv::Mat(10, 21, CV_8UC3, cv::Scalar(0)), bitmap));
    wxBitmap invalid;
    EXPECT_FALSE(ocvConvertMatBitmapTowxBitmap(cv::Mat(10, 20, CV_8UC3, cv::Scalar(0)), invalid));
}

// ---------------------------------------------------------------- painting

TEST_F(VideoViewTest, PictureIsFittedAndCentred)
{
    CVideoView* view = MakeView(400, 300);
    wxImage image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 200, 150, 64, 64, 64));  // before any frame: background only
    EXPECT_FALSE(view->IsDirty());
    view->SetImage(CameraFrame());
    EXPECT_TRUE(view->IsDirty());
    image = Render(*view);
    Save(image, "video_view_fit.png");
    EXPECT_FALSE(view->IsDirty());
    EXPECT_FLOAT_EQ(view->GetFitScale(), 2.0f);  // 200 x 100 into 400 x 300
    EXPECT_EQ(view->GetImageOffset(), wxPoint(0, 25));
    EXPECT_TRUE(PixelIs(image, 200, 20, 64, 64, 64));   // above the picture
    EXPECT_TRUE(PixelIs(image, 200, 280, 64, 64, 64));  // below it
    EXPECT_TRUE(PixelIs(image, 200, 150, 0, 0, 0));     // the picture, centred
    EXPECT_TRUE(PixelIs(image, 10, 60, 0, 0, 255));     // blue corner, scaled
    EXPECT_TRUE(PixelIs(image, 390, 60, 255, 0, 0));    // red corner
    EXPECT_TRUE(PixelIs(image, 60, 60, 0, 0, 0));
    // No device: no rate text and no border, whatever is asked for.
    view->SetRateShown(true);
    image = Render(*view);
    EXPECT_EQ(CountPixels(image, wxRect(300, 0, 100, 40), 255, 255, 0), 0);
}

TEST_F(VideoViewTest, ResizeRefitsAtTheNextPaintOnly)
{
    CVideoView* view = MakeView(400, 300);
    view->SetImage(CameraFrame());
    Render(*view);
    EXPECT_FLOAT_EQ(view->GetFitScale(), 2.0f);
    view->SetSize(300, 300);
    EXPECT_TRUE(view->IsFitNeeded());
    EXPECT_FLOAT_EQ(view->GetFitScale(), 2.0f);
    Render(*view);
    EXPECT_FLOAT_EQ(view->GetFitScale(), 1.5f);
    EXPECT_FALSE(view->IsFitNeeded());
}

TEST_F(VideoViewTest, RateAndRecordingBorderAreDrawn)
{
    CClockedVideoDevice device(0, 200, 100, 25, false);
    ASSERT_TRUE(device.IsCameraOpened());
    CVideoView* view = MakeView(400, 300);
    Tie(view, device);
    device.Start();
    for (int i = 0; i < 200; ++i) device.GrabAt(i * 10000.0);  // 100 frames/s
    ASSERT_TRUE(device.IsFrameRateKnown());
    view->SetRateShown(true);
    wxImage image = Render(*view);
    EXPECT_GT(CountPixels(image, wxRect(300, 0, 100, 30), 255, 255, 0), 5);  // "100 fps"
    EXPECT_TRUE(PixelIs(image, 1, 20, 64, 64, 64));                          // no border yet
    ASSERT_TRUE(device.SetupWriter(Dir().string(), "border", 1, false, "", false, 0, 0));
    ASSERT_TRUE(device.StartRecording());
    image = Render(*view);
    Save(image, "video_view_overlays.png");
    EXPECT_TRUE(PixelIs(image, 1, 150, 255, 0, 0));
    EXPECT_TRUE(PixelIs(image, 398, 150, 255, 0, 0));
    EXPECT_TRUE(PixelIs(image, 200, 1, 255, 0, 0));
    EXPECT_TRUE(PixelIs(image, 200, 298, 255, 0, 0));
    EXPECT_TRUE(PixelIs(image, 200, 20, 64, 64, 64));
    EXPECT_TRUE(PixelIs(image, 200, 150, 240, 240, 240));  // frame 199
    device.StopRecording();
    view->SetDevice(nullptr);
    device.SetVideoView(nullptr);
}

TEST_F(VideoViewTest, LiveCameraFramesReachThePicture)
{
    m_camera->width = 320;
    m_camera->height = 240;
    CVideoDevice device(0, 320, 240, 100, false);
    ASSERT_TRUE(device.IsCameraOpened());
    CVideoView* view = MakeView(480, 360);
    Tie(view, device);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(m_camera->WaitForGrabs(30, kTimeout));
    EXPECT_TRUE(view->IsDirty());
    device.Close();  // the picture of the last frame stays
    EXPECT_EQ(view->GetDevice(), nullptr);
    const wxImage image = Render(*view);
    Save(image, "video_view_live.png");
    ASSERT_TRUE(view->GetImage().IsOk());
    EXPECT_EQ(view->GetImage().GetSize(), wxSize(320, 240));
    EXPECT_FLOAT_EQ(view->GetFitScale(), 1.5f);
    EXPECT_TRUE(PixelIs(image, 20, 20, 0, 0, 255));   // blue corner
    EXPECT_TRUE(PixelIs(image, 460, 20, 255, 0, 0));  // red corner
    // The newest frame, or the one before when the close came between grab and hand-over.
    const int last = m_camera->delivered.load() - 1;
    const int level = (10 * last) % 250;
    const int before = (10 * (last - 1)) % 250;
    EXPECT_TRUE(PixelIs(image, 240, 250, level, level, level, 2) ||
                PixelIs(image, 240, 250, before, before, before, 2));
}

TEST_F(VideoViewTest, ViewClosedBeforeItsCameraUntiesItself)
{
    CVideoDevice device(0, 200, 100, 100, false);
    ASSERT_TRUE(device.IsCameraOpened());
    CVideoView* view = MakeView(200, 100);
    Tie(view, device);
    ASSERT_TRUE(device.Create(false));
    ASSERT_TRUE(device.RunThread());
    ASSERT_TRUE(m_camera->WaitForGrabs(5, kTimeout));
    view->Destroy();
    EXPECT_EQ(device.GetVideoView(), nullptr);
    const int grabs = m_camera->grabs.load();
    ASSERT_TRUE(m_camera->WaitForGrabs(grabs + 5, kTimeout));  // frames go on, to nobody
    device.Close();
    EXPECT_TRUE(device.IsClosed());
}

// ---------------------------------------------------------------- mouse and menu

TEST_F(VideoViewTest, WheelZoomsAboutThePointerInsideThePicture)
{
    CClockedVideoDevice device(0, 200, 100, 25, false);
    CVideoView* view = MakeView(400, 300);
    Tie(view, device);
    device.GrabAt(1000.0);
    Render(*view);
    // Outside the picture (above it): nothing moves.
    Send(view, wxEVT_MOUSEWHEEL, 200, 20, 120);
    EXPECT_FLOAT_EQ(view->GetZoom(), 1.0f);
    EXPECT_EQ(view->GetPan(), wxPoint(0, 0));
    // Window position 0 maps to no image pixel.
    int x = 0;
    int y = 100;
    EXPECT_FALSE(view->ViewToImage(&x, &y));
    // One notch forward: 5 % closer, about the pointer.
    Send(view, wxEVT_MOUSEWHEEL, 200, 150, 120);
    EXPECT_FLOAT_EQ(view->GetZoom(), 1.05f);
    Render(*view);
    x = 100;
    y = 50;  // the image point that was under the pointer
    ASSERT_TRUE(view->ImageToView(&x, &y));
    EXPECT_NEAR(x, 200, 3);
    EXPECT_NEAR(y, 150, 3);
    // Back, whatever the rotation's size: 5 % farther.
    Send(view, wxEVT_MOUSEWHEEL, 200, 150, -360);
    EXPECT_FLOAT_EQ(view->GetZoom(), 1.05f * 0.95f);
    // A double click restores zoom and pan, not the fit.
    Send(view, wxEVT_LEFT_DCLICK, 200, 150);
    EXPECT_FLOAT_EQ(view->GetZoom(), 1.0f);
    EXPECT_EQ(view->GetPan(), wxPoint(0, 0));
    EXPECT_FLOAT_EQ(view->GetFitScale(), 2.0f);
    view->SetDevice(nullptr);
    device.SetVideoView(nullptr);
}

TEST_F(VideoViewTest, LeftDragPansByThePointerMovement)
{
    CClockedVideoDevice device(0, 200, 100, 25, false);
    CVideoView* view = MakeView(400, 300);
    Tie(view, device);
    device.GrabAt(1000.0);
    Render(*view);
    Send(view, wxEVT_LEFT_DOWN, 100, 100, 0, true);
    EXPECT_EQ(view->GetMouseMode(), CVideoView::MOUSE_DRAG);
    Send(view, wxEVT_MOTION, 110, 105, 0, true);  // sets where the drag starts
    EXPECT_EQ(view->GetPan(), wxPoint(0, 0));
    Send(view, wxEVT_MOTION, 130, 95, 0, true);
    EXPECT_EQ(view->GetPan(), wxPoint(20, -10));
    Send(view, wxEVT_LEFT_UP, 130, 95);
    EXPECT_EQ(view->GetMouseMode(), CVideoView::MOUSE_NONE);
    Send(view, wxEVT_MOTION, 150, 95);  // no button: no pan
    EXPECT_EQ(view->GetPan(), wxPoint(20, -10));
    const wxImage image = Render(*view);
    EXPECT_TRUE(PixelIs(image, 25, 45, 0, 0, 255));  // the blue corner moved right and up
    Command(view, CVideoView::ID_RESET_VIEW);
    EXPECT_EQ(view->GetPan(), wxPoint(0, 0));
    EXPECT_EQ(view->GetImageOffset(), wxPoint(0, 0));
    view->SetDevice(nullptr);
    device.SetVideoView(nullptr);
}

TEST_F(VideoViewTest, MouseDoesNothingWithoutCameraOrWhileRecording)
{
    CVideoView* view = MakeView(400, 300);
    view->SetImage(CameraFrame());
    Render(*view);
    Send(view, wxEVT_MOUSEWHEEL, 200, 150, 120);
    Send(view, wxEVT_LEFT_DOWN, 100, 100, 0, true);
    EXPECT_FLOAT_EQ(view->GetZoom(), 1.0f);
    EXPECT_EQ(view->GetMouseMode(), CVideoView::MOUSE_NONE);

    CClockedVideoDevice device(0, 200, 100, 25, false);
    Tie(view, device);
    device.Start();
    for (int i = 0; i < 200; ++i) device.GrabAt(i * 10000.0);
    ASSERT_TRUE(device.SetupWriter(Dir().string(), "mouse", 1, false, "", false, 0, 0));
    ASSERT_TRUE(device.StartRecording());
    Send(view, wxEVT_MOUSEWHEEL, 200, 150, 120);
    Send(view, wxEVT_LEFT_DOWN, 100, 100, 0, true);
    EXPECT_FLOAT_EQ(view->GetZoom(), 1.0f);
    EXPECT_EQ(view->GetMouseMode(), CVideoView::MOUSE_NONE);
    device.StopRecording();
    Send(view, wxEVT_MIDDLE_DOWN, 100, 100);
    EXPECT_EQ(view->GetMouseMode(), CVideoView::MOUSE_MIDDLE);
    view->SetDevice(nullptr);
    device.SetVideoView(nullptr);
}

TEST_F(VideoViewTest, ContextMenuTicksTheRateExactlyWhenShown)
{
    CClockedVideoDevice device(0, 200, 100, 25, false);
    CVideoView* view = MakeView(400, 300);
    Tie(view, device);
    std::unique_ptr<wxMenu> menu = view->CreatePopupMenu();
    ASSERT_EQ(menu->GetMenuItemCount(), 3u);
    EXPECT_EQ(menu->FindItemByPosition(0)->GetItemLabelText(), "Reset View");
    EXPECT_EQ(menu->FindItemByPosition(1)->GetItemLabelText(), "Show Camera Rate");
    EXPECT_EQ(menu->FindItemByPosition(2)->GetItemLabelText(), "Camera Parameters");
    EXPECT_FALSE(menu->IsChecked(CVideoView::ID_SHOW_RATE));
    Command(view, CVideoView::ID_SHOW_RATE);
    EXPECT_TRUE(view->IsRateShown());
    EXPECT_TRUE(view->CreatePopupMenu()->IsChecked(CVideoView::ID_SHOW_RATE));
    Command(view, CVideoView::ID_SHOW_RATE);
    EXPECT_FALSE(view->CreatePopupMenu()->IsChecked(CVideoView::ID_SHOW_RATE));
    // "Camera Parameters" asks the camera, between two grabs.
    Command(view, CVideoView::ID_CAMERA_PARAMETERS);
    device.GrabAt(1000.0);
    EXPECT_EQ(m_camera->settingsRequests.load(), 1);
    view->SetDevice(nullptr);
    device.SetVideoView(nullptr);
}
