#include "DravonetApp.h"

#include "aboutBox.h"
#include "video/VideoDevice.h"
#include "wii/wiiLayer.h"
#include "frameTestSupport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <wx/dcmemory.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>
#include <wx/version.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

wxBitmap BlackBitmap(int width, int height)
{
    wxBitmap bitmap(width, height, 24);
    wxMemoryDC dc(bitmap);
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    dc.SelectObject(wxNullBitmap);
    return bitmap;
}

bool IsOrange(const wxImage& image, int x, int y)
{
    return image.GetRed(x, y) == 255 && image.GetGreen(x, y) == 102 && image.GetBlue(x, y) == 0;
}

bool IsBlack(const wxImage& image, int x, int y)
{
    return image.GetRed(x, y) == 0 && image.GetGreen(x, y) == 0 && image.GetBlue(x, y) == 0;
}

}  // namespace

TEST(SplashLabelTest, BandCoversTheLastTenthOfTheBitmap)
{
    struct Case {
        int height;
        int bandTop;
    };
    for (const Case c : {Case{25, 18}, Case{480, 432}}) {
        wxBitmap bitmap = BlackBitmap(300, c.height);
        TrackerApp::DrawSplashLabel(bitmap);
        const wxImage image = bitmap.ConvertToImage();
        // Above the band nothing changes; inside it the fill (the outline takes
        // the first row and column).
        EXPECT_TRUE(IsBlack(image, 2, c.bandTop - 1)) << c.height;
        EXPECT_TRUE(IsOrange(image, 2, c.bandTop + 1)) << c.height;
        EXPECT_TRUE(IsOrange(image, 298, c.height - 1)) << c.height;
        bool hasWhiteText = false;
        for (int y = c.bandTop; y < c.height && !hasWhiteText; ++y)
            for (int x = 5; x < 295 && !hasWhiteText; ++x)
                hasWhiteText = image.GetRed(x, y) > 200 && image.GetGreen(x, y) > 200 &&
                               image.GetBlue(x, y) > 200;
        if (c.height == 480) {
            EXPECT_TRUE(hasWhiteText);
            wxFileName::Mkdir(QV_TEST_OUTPUT_DIR, wxS_DIR_DEFAULT, wxPATH_MKDIR_FULL);
            EXPECT_TRUE(image.SaveFile(QV_TEST_OUTPUT_DIR "/splash.png", wxBITMAP_TYPE_PNG));
        }
    }
}

TEST(SplashLabelTest, EmptyBitmapIsLeftAlone)
{
    wxBitmap empty;
    TrackerApp::DrawSplashLabel(empty);
    EXPECT_FALSE(empty.IsOk());
}

TEST(AboutBoxTest, DescriptionListsTheLibrariesAfterTheFullToolkitText)
{
    const wxString toolkit =
        wxString::Format("wxWidgets %d.%d.%d", wxMAJOR_VERSION, wxMINOR_VERSION, wxRELEASE_NUMBER);
    EXPECT_EQ(GetToolkitVersionText(0), toolkit);
    const wxString full = GetToolkitVersionText(1);
    EXPECT_TRUE(full.StartsWith(toolkit + "-"));
    EXPECT_TRUE(full.EndsWith("-Unicode build"));
    const wxString expected = full + "\nWiiuse librairy\t" + wxString::FromUTF8(GetWiiuseVersion().c_str()) + "\n" +
                              "libfob  version 1.0.2\n" + GetOpenCVVersion() +
                              "OSCPKT : a minimalistic OSC c++ library\n" + "VRPN  version 7.34\n" +
                              "serialLib  version 2.0\n" + "FFTW3  version 3.3.8\n";
    EXPECT_EQ(MakeAboutDescription(), expected);
    EXPECT_TRUE(GetOpenCVVersion().StartsWith("OpenCV\t"));
    EXPECT_TRUE(GetOpenCVVersion().EndsWith("\n"));
}

using TrackerAppTest = FrameTest;

TEST_F(TrackerAppTest, StartUpShowsTheFrameAndReportsTheCameras)
{
    // The test program's application stays the running one.
    wxAppConsole* const running = wxApp::GetInstance();
    auto app = std::make_unique<TrackerApp>();
    wxApp::SetInstance(running);
    ASSERT_TRUE(app->OnInit());
    TrackerFrame* frame = nullptr;
    for (wxWindow* window : wxTopLevelWindows)
        if (auto* found = dynamic_cast<TrackerFrame*>(window)) frame = found;
    ASSERT_NE(frame, nullptr);
    m_frame = frame;  // destroyed by the fixture
    EXPECT_TRUE(frame->IsShown());
    RunEvents();
    EXPECT_NE(frame->m_messagesText->GetValue().Find("0 Camera(s) found\n"), wxNOT_FOUND);
    EXPECT_EQ(frame->m_startupCountdown, 1);  // armed at 2, one idle pass ran
    // The application's frame shows what the C library prints too.
    std::printf("<TEST> printed\n");
    RunEvents();
    EXPECT_NE(frame->m_messagesText->GetValue().Find("<TEST> printed\n"), wxNOT_FOUND);
    EXPECT_EQ(app->OnExit(), 0);
    DestroyFrame();
    app.reset();
    wxApp::SetInstance(running);
}

TEST_F(TrackerAppTest, OscServerThatCannotStartTurnsItsSettingOff)
{
    // A UDP port already taken on every interface.
    const int blocker = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);

    TrackerFrame::SetCaptureCStreams(true);  // the server reports with the C library
    TrackerFrame* frame = MakeFrame();
    frame->m_useOscServer = true;
    frame->m_oscListeningPort = ntohs(address.sin_port);
    frame->InitAfterShow();
    RunEvents();
    EXPECT_FALSE(frame->m_useOscServer);
    EXPECT_NE(frame->m_messagesText->GetValue().Find("<OSC> Fail to start osc server\n"),
              wxNOT_FOUND);
    EXPECT_TRUE(frame->m_rebuildSettingsGrid || frame->m_startupCountdown == 1);
    ::close(blocker);
}

TEST(AppStartTest, WritePastTheFileSizeLimitFailsInsteadOfEndingTheApplication)
{
    // In a child with the signal's default action, as the application starts
    // (ulimit -f); the exit code says what the write past the limit did.
    const CTempFolder folder("qvapp");
    const std::string path = folder.Name() + "/big.qvd";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_DFL);
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
        limit.rlim_cur = 1024;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
        { TrackerApp app; }  // its construction is the application's start
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) ::_exit(4);
        const std::string block(4096, 'x');
        const ssize_t written = ::write(fd, block.data(), block.size());  // 1024 bytes
        const ssize_t past = ::write(fd, block.data(), block.size());
        const int error = errno;
        ::close(fd);
        ::_exit(written == 1024 && past < 0 && error == EFBIG ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
