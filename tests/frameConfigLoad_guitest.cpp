// What the main frame takes from its configuration file: the pacing mode of the
// devices it opens, a damaged file, the window placement of a first start.
#include <gtest/gtest.h>
#include <wx/aui/framemanager.h>
#include <wx/display.h>
#include <wx/fileconf.h>
#include <wx/filename.h>
#include <wx/stdpaths.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frameDeviceTestSupport.h"
#include "process/trackerWorker.h"

namespace {

// The frame's test device with its worker at hand, at 1 kHz.
class CPacedTestDevice : public CFrameTestDevice {
public:
    CPacedTestDevice() { SetRateHz(1000.0); }
    CTrackerWorker* Worker() const { return GetWorker(); }
};

class FrameConfigLoadTest : public FrameDeviceTest {
protected:
    static void WriteConfig(const std::string& text)
    {
        const std::string dir =
            (wxStandardPaths::Get().GetDocumentsDir() + "/Quorvane").ToStdString();
        wxFileName::Mkdir(dir, 0777, wxPATH_MKDIR_FULL);
        std::ofstream(dir + "/Quorvane.cfg") << text;
    }

    // Opens a test device in a frame built from the file.
    CPacedTestDevice* OpenDevice()
    {
        TrackerFrame* frame = MakeFrame();
        auto* device = new CPacedTestDevice;
        EXPECT_TRUE(frame->AddDeviceView(device, true, false));
        return device;
    }

    static bool WaitForCpu(CTrackerWorker* worker, double seconds, std::chrono::seconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (worker->GetCpuSeconds() < seconds) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
};

TEST_F(FrameConfigLoadTest, FileWithoutTheKeyPacesBySleeping)
{
    WriteConfig("Version=1.30\n[WII]\ntime_out=4\n");
    CPacedTestDevice* device = OpenDevice();
    EXPECT_TRUE(m_frame->m_useClockDelay);
    ASSERT_NE(device->Worker(), nullptr);
    EXPECT_TRUE(device->Worker()->IsShortSleep());
    // Processor time does not grow with the machine's load: a sleeping thread at 1 kHz
    // stays far below the share of a core that a spinning one takes.
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = device->Worker()->GetCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(device->Worker()->GetCpuSeconds() - cpuStart, 0.25 * wall);
    EXPECT_GT(device->GetSampleCounter(), 0);
}

TEST_F(FrameConfigLoadTest, KeyAtZeroKeepsTheBusyLoop)
{
    WriteConfig("Version=1.30\n[Device]\nuse_clock_delay=0\n");
    CPacedTestDevice* device = OpenDevice();
    EXPECT_FALSE(m_frame->m_useClockDelay);
    ASSERT_NE(device->Worker(), nullptr);
    EXPECT_FALSE(device->Worker()->IsShortSleep());
    // Spinning: half a second of processor time comes within seconds even on a loaded
    // machine, where a sleeping thread at 1 kHz would need minutes.
    EXPECT_TRUE(WaitForCpu(device->Worker(), 0.5, std::chrono::seconds(30)))
        << device->Worker()->GetCpuSeconds();
}

TEST_F(FrameConfigLoadTest, DamagedFileIsReportedOnceInOneMessage)
{
    WriteConfig("Version=1.30\n[WII]\nthis line has no value\ntime_out=9\n[View\n"
                "another bad line\n[Device]\nshow_delta=0\n");
    TrackerFrame* frame = MakeFrame();
    // The readable settings are taken.
    EXPECT_EQ(frame->m_wiiTimeOut, 9);
    EXPECT_FALSE(frame->m_showDelta);
    // Later reads (a device opened with its stored settings, the save at exit) say no more.
    ASSERT_TRUE(frame->AddDeviceView(new CPacedTestDevice, true, true));
    frame->SaveConfig();
    RunEvents();
    const wxString errors = frame->m_errorsText->GetValue();
    EXPECT_EQ(errors.Freq('\n'), 1) << errors;
    EXPECT_NE(errors.Find("is damaged: 3 line(s)"), wxNOT_FOUND) << errors;
}

TEST_F(FrameConfigLoadTest, FirstStartShowsEveryToolbarInsideTheWindow)
{
    TrackerFrame* frame = MakeFrame();
    frame->Show();
    RunEvents();
    const wxRect screen = wxDisplay(0u).GetGeometry();
    const wxSize client = frame->GetClientSize();
    EXPECT_GE(client.x, screen.width * 3 / 4);
    EXPECT_GE(client.y, screen.height * 3 / 4);
    const wxRect inside(wxPoint(0, 0), client);
    wxAuiPaneInfoArray& panes = frame->m_auiManager.GetAllPanes();
    int toolbars = 0;
    for (size_t i = 0; i < panes.GetCount(); ++i) {
        if (!panes[i].IsToolbar() || !panes[i].window) continue;
        ++toolbars;
        EXPECT_TRUE(panes[i].IsShown()) << panes[i].name;
        const wxRect bar = panes[i].window->GetRect();
        EXPECT_TRUE(inside.Contains(bar)) << panes[i].name << " at " << bar.x << "," << bar.y
                                          << " " << bar.width << "x" << bar.height << " in "
                                          << client.x << "x" << client.y;
    }
    EXPECT_EQ(toolbars, 8);
}

// Every toolbar of the top dock lies inside the window's client area.
void ExpectToolbarsInside(TrackerFrame* frame, const char* when)
{
    const wxSize client = frame->GetClientSize();
    const wxRect inside(wxPoint(0, 0), client);
    wxAuiPaneInfoArray& panes = frame->m_auiManager.GetAllPanes();
    for (size_t i = 0; i < panes.GetCount(); ++i) {
        if (!panes[i].IsToolbar() || !panes[i].window) continue;
        const wxRect bar = panes[i].window->GetRect();
        EXPECT_TRUE(inside.Contains(bar))
            << when << ": " << panes[i].name << " at " << bar.x << "," << bar.y << " " << bar.width
            << "x" << bar.height << " in " << client.x << "x" << client.y;
    }
}

TEST_F(FrameConfigLoadTest, ToolbarsWrapAtEveryWidthDownToTheMinimum)
{
    TrackerFrame* frame = MakeFrame();
    frame->Maximize(false);
    frame->Show();
    // A layout kept from a wide screen: every toolbar in one row.
    frame->SetClientSize(1900, 900);
    RunEvents();
    wxAuiPaneInfoArray& panes = frame->m_auiManager.GetAllPanes();
    std::vector<wxString> order;
    for (size_t i = 0; i < panes.GetCount(); ++i) {
        if (!panes[i].IsToolbar()) continue;
        panes[i].Row(0).Position(static_cast<int>(order.size()));
        order.push_back(panes[i].name);
    }
    frame->m_auiManager.Update();
    for (const wxSize size :
         {wxSize(800, 800), wxSize(1000, 800), wxSize(1300, 900), wxSize(800, 800)}) {
        frame->SetSize(size);
        RunEvents();
        ExpectToolbarsInside(frame, wxString::Format("%dx%d", size.x, size.y).c_str());
    }
    // The toolbars keep their order, row by row.
    std::vector<std::pair<std::pair<int, int>, wxString>> placed;
    for (size_t i = 0; i < panes.GetCount(); ++i)
        if (panes[i].IsToolbar())
            placed.push_back({{panes[i].dock_row, panes[i].dock_pos}, panes[i].name});
    std::sort(placed.begin(), placed.end());
    std::vector<wxString> after;
    for (const auto& bar : placed) after.push_back(bar.second);
    EXPECT_EQ(after, order);
    EXPECT_GT(placed.back().first.first, 0) << "more than one row at 800 wide";
}

}  // namespace
