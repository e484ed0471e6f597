#include "DravonetMain.h"

#include "GLcanvas/analog3DView.h"
#include "GLcanvas/glCamera.h"
#include "analog/analogView.h"
#include "frameDeviceTestSupport.h"
#include "network/oscServer.h"
#include "network/oscTestSupport.h"
#include "network/vrpnServerModule.h"
#include "network/vrpnWire.h"
#include "support/logCapture.h"

#include <gtest/gtest.h>
#include <wx/aui/auibook.h>
#include <wx/combobox.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/filename.h>
#include <wx/textctrl.h>

#include <atomic>

namespace {

// A test device that says which kind it is and whether it is gone.
class CKindDevice : public CFrameTestDevice {
public:
    CKindDevice(int kind, std::atomic<int>* deleted = nullptr, bool ready = true)
        : m_deleted(deleted)
    {
        m_deviceType = kind;
        m_ready = ready;
        SetName(wxString::Format("kind%d_%p", kind, static_cast<void*>(this)));
    }
    ~CKindDevice() override
    {
        Close();
        if (m_deleted)
            ++*m_deleted;
    }

private:
    std::atomic<int>* m_deleted;
};

bool HasMessage(const CLogCapture& log, const std::string& text)
{
    for (const std::string& message : log.Messages())
        if (message.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST_F(FrameDeviceTest, OpenPermissionFollowsLimitKindAndQuitting)
{
    TrackerFrame::SetProcessorCountOverride(2);  // limit 1
    TrackerFrame* frame = MakeFrame();
    for (int kind = 0; kind < 12; ++kind)
        EXPECT_TRUE(frame->CanOpenDevice(kind)) << kind;  // nothing open: every kind
    EXPECT_FALSE(frame->CanOpenDevice(-1));
    ASSERT_TRUE(frame->AddDeviceView(new CKindDevice(1), true, false));
    EXPECT_EQ(frame->GetDeviceCount(), 1);
    for (int kind = 0; kind < 12; ++kind)
        EXPECT_FALSE(frame->CanOpenDevice(kind)) << kind;  // the limit is reached

    TrackerFrame::SetProcessorCountOverride(4);  // limit 3
    EXPECT_TRUE(frame->CanOpenDevice(1));        // a second test device
    EXPECT_TRUE(frame->CanOpenDevice(3));
    ASSERT_TRUE(frame->AddDeviceView(new CKindDevice(3), true, false));
    EXPECT_FALSE(frame->CanOpenDevice(3));  // one OSC source only
    EXPECT_FALSE(frame->CanOpenDevice(-1));
    EXPECT_TRUE(frame->CanOpenDevice(5));
    ASSERT_TRUE(frame->AddDeviceView(new CKindDevice(5), true, false));
    EXPECT_FALSE(frame->CanOpenDevice(5));  // three open: the limit
    frame->m_quitting = true;
    EXPECT_FALSE(frame->CanOpenDevice(0));
    frame->m_quitting = false;
}

TEST_F(FrameDeviceTest, DeviceShownTwiceCountsOnceAndItsPathIsTaken)
{
    TrackerFrame* frame = MakeFrame();
    auto* device = new CFrameTestDevice(false);
    ASSERT_TRUE(frame->AddDeviceView(device, true, false));
    auto* second = new CAnalogView(frame, wxDefaultPosition, wxSize(200, 100));
    second->SetDevice(device);
    frame->m_mainBook->AddPage(second, "second", false);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 2u);
    ASSERT_EQ(frame->GetDeviceList().size(), 1u);
    EXPECT_EQ(frame->GetDeviceList()[0], device);
    EXPECT_FALSE(frame->IsDeviceNameFree("analog/test"));
    EXPECT_TRUE(frame->IsDeviceNameFree("tracker/test"));
    EXPECT_TRUE(frame->IsDeviceNameFree("Analog/test"));  // exact comparison

    // Closing one of the two views asks nothing and leaves the device open.
    int questions = 0;
    ShellPrompts().confirm = [&](wxWindow*, const wxString&) { return ++questions, false; };
    EXPECT_TRUE(frame->CloseAnalogView(second));
    EXPECT_EQ(questions, 0);
    EXPECT_EQ(device->GetAllViewCount(), 1);
    EXPECT_TRUE(device->IsRunning());
}

TEST_F(FrameDeviceTest, RefusedRegistrationReportsAndDeletesTheDevice)
{
    TrackerFrame* frame = MakeFrame();
    CLogCapture log;
    EXPECT_FALSE(frame->RegisterDevice(nullptr, true));
    EXPECT_TRUE(HasMessage(log, "Unable to find Device."));

    std::atomic<int> deleted{0};
    auto* device = new CKindDevice(1, &deleted, false);
    const wxString name = device->GetDeviceName();
    EXPECT_FALSE(frame->AddDeviceView(device, true, true));
    EXPECT_TRUE(HasMessage(log, "Unable to open Device"));
    EXPECT_EQ(deleted.load(), 1);
    frame->FlushStreams();
    EXPECT_NE(frame->m_messagesText->GetValue().Find("Closing : " + name), wxNOT_FOUND);
    EXPECT_EQ(frame->GetDeviceCount(), 0);
    EXPECT_EQ(frame->m_mainBook->GetPageCount(), 0u);
}

TEST_F(FrameDeviceTest, TestCommandsRefuseASecondDeviceOfTheSamePath)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    wxCommandEvent command(wxEVT_MENU, ID_OPEN_TEST);
    frame->ProcessWindowEvent(command);
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    EXPECT_EQ(frame->GetDeviceList()[0]->GetDevicePath(), "analog/test");
    {
        CLogCapture log;
        frame->ProcessWindowEvent(command);
        EXPECT_TRUE(HasMessage(log, "Device is already open : analog/test"));
    }
    EXPECT_EQ(frame->GetDeviceCount(), 1);
    wxCommandEvent tracker(wxEVT_MENU, ID_OPEN_TEST_3D);
    frame->ProcessWindowEvent(tracker);
    EXPECT_EQ(frame->GetDeviceCount(), 2);
    // The device's page is named after it and carries its information.
    EXPECT_EQ(frame->m_mainBook->GetPageText(0), frame->GetDeviceList()[0]->GetDisplayName());
    // A tracker gets the 3D scene, or a 2D view when the OpenGL canvas is off.
    EXPECT_NE(dynamic_cast<CAnalog3DView*>(frame->m_mainBook->GetPage(1)), nullptr);
    EXPECT_EQ(frame->GetCurrentDevice(), frame->GetDeviceList()[1]);
    frame->m_useGlCanvas = false;
    auto* tracker2D = new CFrameTestDevice(true);
    ASSERT_TRUE(frame->AddDevice3DView(tracker2D, true, false));
    EXPECT_NE(dynamic_cast<CAnalogView*>(frame->m_mainBook->GetPage(2)), nullptr);
    EXPECT_EQ(frame->GetDeviceCount(), 3);
}

TEST_F(FrameDeviceTest, ClosingTheLastViewAsksAndNoRestartsTheDevice)
{
    TrackerFrame* frame = MakeFrame();
    auto* device = new CFrameTestDevice(false);
    ASSERT_TRUE(frame->AddDeviceView(device, true, false));
    ASSERT_TRUE(device->IsRunning());
    wxString asked;
    bool answer = false;
    ShellPrompts().confirm = [&](wxWindow*, const wxString& text) {
        asked = text;
        EXPECT_FALSE(device->IsRunning());  // stopped while the question is open
        return answer;
    };
    EXPECT_FALSE(frame->CloseAnalogView(nullptr));
    EXPECT_EQ(asked, "Close " + device->GetDeviceName());
    EXPECT_TRUE(device->IsRunning());
    EXPECT_EQ(frame->GetDeviceCount(), 1);

    // Recording: refused with a warning before any question.
    device->SetRecording(true);
    asked.clear();
    {
        CLogCapture log;
        EXPECT_FALSE(frame->QuitDevice(device));
        EXPECT_TRUE(HasMessage(log, "You need to stop recording before closing device"));
    }
    EXPECT_TRUE(asked.empty());
    device->SetRecording(false);

    answer = true;
    const wxString name = device->GetDeviceName();
    EXPECT_TRUE(frame->CloseAnalogView(nullptr));
    EXPECT_NE(frame->m_messagesText->GetValue().Find("Closing " + name + " \n"), wxNOT_FOUND);
    EXPECT_EQ(frame->m_graphCombo->GetSelection(), 6);
    EXPECT_EQ(frame->GetDeviceCount(), 0);  // the view no longer links a device
}

TEST_F(FrameDeviceTest, QuitAskedDeviceByDeviceAndRefusalRestartsTheAsked)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    std::atomic<int> deleted{0};
    CKindDevice* devices[3];
    for (CKindDevice*& device : devices) {
        device = new CKindDevice(1, &deleted);
        ASSERT_TRUE(frame->AddDeviceView(device, true, false));
    }
    frame->m_capturing = true;
    int questions = 0;
    ShellPrompts().confirm = [&](wxWindow*, const wxString&) { return ++questions, true; };
    {
        CLogCapture log;
        EXPECT_FALSE(frame->CheckToQuitAll());
        EXPECT_TRUE(HasMessage(log, "You need to stop recording to quit application"));
    }
    EXPECT_EQ(questions, 0);
    frame->m_capturing = false;

    ShellPrompts().confirm = [&](wxWindow*, const wxString&) {
        ++questions;
        EXPECT_TRUE(devices[2]->IsRunning());  // the third is never stopped
        return questions == 1;
    };
    EXPECT_FALSE(frame->CheckToQuitAll());
    EXPECT_EQ(questions, 2);
    for (CKindDevice* device : devices)
        EXPECT_TRUE(device->IsRunning());
    EXPECT_FALSE(frame->m_quitting);
    EXPECT_EQ(deleted.load(), 0);

    ShellPrompts().confirm = [&](wxWindow*, const wxString&) { return true; };
    EXPECT_TRUE(frame->CheckToQuitAll());
    EXPECT_TRUE(frame->m_quitting);
    EXPECT_EQ(deleted.load(), 3);
    EXPECT_EQ(frame->GetDeviceCount(), 0);  // no page reaches a deleted device
    EXPECT_FALSE(frame->CanOpenDevice(0));
}

TEST_F(FrameDeviceTest, SatelRateIndexGivesItsPeriod)
{
    EXPECT_EQ(SatelPeriodMs(0), 200);
    EXPECT_EQ(SatelPeriodMs(1), 100);
    EXPECT_EQ(SatelPeriodMs(2), 50);
    EXPECT_EQ(SatelPeriodMs(3), 25);
    EXPECT_EQ(SatelPeriodMs(7), 25);
    EXPECT_EQ(SatelPeriodMs(-1), 25);
}

TEST_F(FrameDeviceTest, OscClientsAreAddedOnlyToARunningServerAndRemovedByChoice)
{
    TrackerFrame* frame = MakeFrame();
    CloseOscServer();
    wxString offered;
    ShellPrompts().textEntry = [&](wxWindow*, const wxString&, const wxString&, const wxString& value) {
        offered = value;
        return value;
    };
    wxCommandEvent add(wxEVT_MENU, ID_OSC_ADD_CLIENT);
    {
        CLogCapture log;
        frame->ProcessWindowEvent(add);
        EXPECT_TRUE(HasMessage(
            log, "Error adding OSC client 127.0.0.1:6969 (the OSC server is not running)"));
    }
    EXPECT_EQ(offered, "127.0.0.1:6969");
    EXPECT_EQ(OscServerGetClientCount(), 0u);

    // A port of its own: the default one may be another test's at the same moment.
    ASSERT_TRUE(StartOscServer(osctest::FreePort(), 0));
    {
        // The message says which part of the entry is wrong.
        auto typed = ShellPrompts().textEntry;
        ShellPrompts().textEntry = [](wxWindow*, const wxString&, const wxString&, const wxString&) {
            return wxString("localhost:99999");
        };
        CLogCapture log;
        frame->ProcessWindowEvent(add);
        EXPECT_TRUE(HasMessage(
            log, "Error adding OSC client localhost:99999 (port 99999 outside 1-65535)"));
        EXPECT_EQ(OscServerGetClientCount(), 0u);
        ShellPrompts().textEntry = typed;
    }
    frame->ProcessWindowEvent(add);
    ASSERT_EQ(OscServerGetClientCount(), 1u);
    EXPECT_EQ(OscServerGetClient(0), "127.0.0.1:6969");
    wxArrayString shown;
    ShellPrompts().singleChoice = [&](wxWindow*, const wxString&, const wxString&, const wxArrayString& choices) {
        shown = choices;
        return 0;
    };
    wxCommandEvent remove(wxEVT_MENU, ID_OSC_REMOVE_CLIENT);
    frame->ProcessWindowEvent(remove);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(OscServerGetClientCount(), 0u);
    shown.clear();
    frame->ProcessWindowEvent(remove);  // nothing left: no dialog
    EXPECT_TRUE(shown.empty());
    CloseOscServer();
}

TEST_F(FrameDeviceTest, VrpnCommandFallsBackToTheTextEntryAndCancelOpensNothing)
{
    TrackerFrame* frame = MakeFrame();
    int choices = 0;
    wxString offered;
    ShellPrompts().singleChoice = [&](wxWindow*, const wxString&, const wxString&, const wxArrayString&) {
        return ++choices, -1;
    };
    ShellPrompts().textEntry = [&](wxWindow*, const wxString&, const wxString&, const wxString& value) {
        offered = value;
        return wxString();
    };
    frame->OpenVrnpnDevice(false);
    EXPECT_EQ(choices, 0);  // no list yet: straight to the text entry
    EXPECT_TRUE(offered.StartsWith("TestDevice@"));
    frame->m_vrpnServerList.Add("Tracker0@127.0.0.1");
    frame->OpenVrnpnDevice(true);
    EXPECT_EQ(choices, 1);  // cancelled choice: the text entry again, cancelled too
    EXPECT_EQ(frame->GetDeviceCount(), 0);
}

// No server at a VRPN address: said at once in Messages and on the device's page, and the
// address is not remembered; once a server answers there, it is, and the page says so.
TEST_F(FrameDeviceTest, VrpnAddressIsRememberedOnlyOnceAServerAnswers)
{
    SetVrpnServerAddress(0x7F000001);  // loopback only
    SetVrpnServerPort(0);
    ASSERT_GT(VrpnServerAddDevice(0, 0, 1, nullptr), 0);
    const int port = GetVrpnServerBoundPort();
    const wxString name = wxString::Format("%s@tcp://127.0.0.1:%d", GetVrpnServerName(), port);
    StopVrpnServer();  // nobody listens there now
    TrackerFrame* frame = MakeFrame();
    ShellPrompts().textEntry = [&](wxWindow*, const wxString&, const wxString&, const wxString&) {
        return name;
    };
    frame->OpenVrnpnDevice(true);
    ASSERT_EQ(frame->GetDeviceCount(), 1);
    const auto pageSays = [&](const wxString& text) {
        return frame->m_mainBook->GetPageText(0).Find(text) != wxNOT_FOUND;
    };
    const auto until = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            VrpnServerMainloop();
            RunEvents();
        }
        return done();
    };
    ASSERT_TRUE(until([&] { return pageSays("(no server answers)"); }));
    ASSERT_TRUE(until([&] {
        return frame->m_messagesText->GetValue().Find(wxString::Format(
                   "no server answers at 127.0.0.1:%d (connection failed: Connection refused)",
                   port)) != wxNOT_FOUND;
    }));
    EXPECT_EQ(frame->m_vrpnServerList.Index(name, true), wxNOT_FOUND);
    SetVrpnServerPort(port);
    ASSERT_GT(VrpnServerAddDevice(0, 0, 1, nullptr), 0);
    EXPECT_TRUE(until([&] { return frame->m_vrpnServerList.Index(name, true) != wxNOT_FOUND; }));
    EXPECT_TRUE(until([&] { return !pageSays("(no server answers)"); }));
    StopVrpnServer();
    SetVrpnServerPort(vrpn::kDefaultPort);
    SetVrpnServerAddress(0);
}

TEST_F(FrameDeviceTest, MovedSceneCameraIsTakenUpByTheViewGridWhenIdle)
{
    TrackerFrame* frame = MakeFrame();
    ASSERT_TRUE(frame->AddDevice3DView(new CFrameTestDevice(true), true, false));
    auto* view = dynamic_cast<CAnalog3DView*>(frame->m_mainBook->GetPage(0));
    ASSERT_NE(view, nullptr);
    RunEvents();
    view->GetCamera()->SetEye(1.0, 2.0, 3.0);
    view->GetCamera()->SetModified(true);
    RunEvents();
    EXPECT_FALSE(view->GetCamera()->IsModified());  // the grid was rebuilt for it
}

TEST_F(FrameDeviceTest, ScreenshotWithAnAnalogAndATrackerDevice)
{
    TrackerFrame* frame = MakeEightCoreFrame();
    frame->SetSize(wxRect(0, 0, 1400, 900));
    frame->Show();
    ChooseMenu(frame, ID_OPEN_TEST);
    ChooseMenu(frame, ID_OPEN_TEST_3D);
    ASSERT_EQ(frame->GetDeviceCount(), 2);
    // Two pages stand side by side; let both fill their history for a while.
    const wxLongLong start = wxGetLocalTimeMillis();
    while (wxGetLocalTimeMillis() - start < 1500) {
        RunEvents();
        wxYield();
        wxMilliSleep(20);
    }
    EXPECT_TRUE(SaveShot(frame, "mainFrameWithDevices.png"));
}
