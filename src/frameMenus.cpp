#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "appIcons.h"
#include "frameViewPages.h"
#include "network/oscServer.h"

#include <wx/accel.h>
#include <wx/aui/auibook.h>
#include <wx/menu.h>
#include <wx/propgrid/propgrid.h>

// clang-format off
wxBEGIN_EVENT_TABLE(TrackerFrame, wxFrame)
    EVT_MENU(ID_VIEW_RESTORE, TrackerFrame::OnRestoreStartupView)
    EVT_MENU(ID_VIEW_SETTINGS, TrackerFrame::OnToggleSettingsPane)
    EVT_MENU(ID_VIEW_CAPTURE, TrackerFrame::OnToggleCapturePane)
    EVT_MENU(ID_VIEW_INFORMATION, TrackerFrame::OnToggleInformationPane)
    EVT_MENU(ID_CLEAR_MESSAGES, TrackerFrame::OnClearMessages)
    EVT_MENU(ID_OPEN_FILE, TrackerFrame::OnOpenAnalogFile)
    EVT_MENU(ID_OPEN_TEST, TrackerFrame::OnOpenAnalogTestDevice)
    EVT_MENU(ID_OPEN_TEST_3D, TrackerFrame::OnOpenAnalogTest3DDevice)
    EVT_MENU(ID_OPEN_WII, TrackerFrame::OnOpenWIIDevice)
    EVT_MENU(ID_FIND_WII, TrackerFrame::OnFindWiiDevices)
    EVT_MENU(ID_PAIR_WII, TrackerFrame::OnPairWIIDevice)
    EVT_MENU(ID_OPEN_VRPN_ANALOG, TrackerFrame::OnOpenVrpnAnalog)
    EVT_MENU(ID_OPEN_VRPN_TRACKER, TrackerFrame::OnOpenVrpnTracker)
    EVT_MENU(ID_OPEN_SATEL, TrackerFrame::OnSatelDevice)
    EVT_MENU(ID_OPEN_FOB, TrackerFrame::OnFobDevice)
    EVT_MENU(ID_OPEN_CAMERA, TrackerFrame::OnOpenCamera)
    EVT_MENU(ID_OPEN_OSC, TrackerFrame::OnOpenOscDevice)
    EVT_MENU(ID_OSC_ADD_CLIENT, TrackerFrame::OnDeviceAddOscClient)
    EVT_MENU(ID_OSC_REMOVE_CLIENT, TrackerFrame::OnDeviceRemoveOscClient)
    EVT_MENU(ID_CAPTURE_CREATE, TrackerFrame::OnCreateCaptureFile)
    EVT_MENU(ID_CAPTURE_CLOSE, TrackerFrame::OnCloseCaptureFile)
    EVT_MENU(ID_CAPTURE_START, TrackerFrame::OnStartCapture)
    EVT_MENU(ID_CAPTURE_STOP, TrackerFrame::OnStopCapture)
    EVT_MENU(ID_CAPTURE_NEXT, TrackerFrame::OnNextCapture)
    EVT_MENU(ID_CAPTURE_CLEAR_LIST, TrackerFrame::OnClearFileList)
    EVT_MENU(ID_CAPTURE_DELETE_LAST, TrackerFrame::OnDeleteLastTrial)
    EVT_MENU(ID_CAPTURE_TOGGLE, TrackerFrame::OnToggleCapture)
    EVT_MENU(ID_DEVICE_START_STOP, TrackerFrame::OnStartStopDevice)
    EVT_MENU(ID_DEVICE_RESET, TrackerFrame::OnDeviceReset)
    EVT_MENU(ID_DEVICE_OFFSET, TrackerFrame::OnDeviceOffset)
    EVT_MENU(ID_VIEW_ADD, TrackerFrame::OnAddView)
    EVT_MENU(ID_VIEW_ADD_3D, TrackerFrame::OnAdd3DView)
    EVT_MENU(wxID_EXIT, TrackerFrame::OnQuit)
    EVT_MENU(wxID_ABOUT, TrackerFrame::OnAbout)
    EVT_UPDATE_UI_RANGE(ID_OPEN_TEST, ID_OPEN_CAMERA, TrackerFrame::OnUpdateOpenItems)
    EVT_UPDATE_UI_RANGE(ID_VIEW_SETTINGS, ID_VIEW_INFORMATION, TrackerFrame::OnUpdatePaneItems)
    EVT_UPDATE_UI_RANGE(ID_CAPTURE_CREATE, ID_CAPTURE_CLEAR_LIST, TrackerFrame::OnUpdateCaptureItems)
    EVT_UPDATE_UI_RANGE(ID_DEVICE_START_STOP, ID_VIEW_ADD_3D, TrackerFrame::OnUpdateDeviceItems)
    EVT_AUINOTEBOOK_PAGE_CLOSE(wxID_ANY, TrackerFrame::OnPageClose)
    EVT_AUINOTEBOOK_PAGE_CHANGED(wxID_ANY, TrackerFrame::OnPageChanged)
    EVT_COMBOBOX(ID_GRAPH_COMBO, TrackerFrame::OnGraphTypeSelected)
    EVT_CHECKLISTBOX(ID_CHANNEL_LIST, TrackerFrame::OnChannelListChecked)
    EVT_PG_CHANGED(ID_VIEW_GRID, TrackerFrame::OnViewPropertyChange)
    EVT_PG_CHANGED(ID_SETTINGS_GRID, TrackerFrame::OnCapturePropertyChange)
    EVT_TIMER(ID_DISPLAY_TIMER, TrackerFrame::OnTimer)
    EVT_CLOSE(TrackerFrame::OnClose)
    EVT_SIZE(TrackerFrame::OnSize)
    EVT_IDLE(TrackerFrame::OnIdle)
    EVT_CHAR_HOOK(TrackerFrame::OnCharHook)
wxEND_EVENT_TABLE()
    // clang-format on

    int DeviceKindOfCommand(int commandId)
{
    switch (commandId) {
        case ID_OPEN_TEST:
        case ID_OPEN_TEST_3D:
            return 1;
        case ID_OPEN_FILE:
            return 2;
        case ID_OPEN_OSC:
            return 3;
        case ID_OPEN_FOB:
            return 4;
        case ID_OPEN_SATEL:
            return 5;
        case ID_OPEN_WII:
            return 6;
        case ID_OPEN_VRPN_ANALOG:
            return 7;
        case ID_OPEN_VRPN_TRACKER:
            return 8;
        case ID_OPEN_CAMERA:
            return 9;
        default:
            return -1;
    }
}

namespace {

void AppendItem(wxMenu* menu, int id, const wxString& label, const wxString& help,
                wxItemKind kind = wxITEM_NORMAL)
{
    menu->Append(id, label, help, kind);
}

void AppendWithBitmap(wxMenu* menu, int id, const wxString& label, const wxString& help,
                      const wxBitmap& bitmap)
{
    wxMenuItem* item = new wxMenuItem(menu, id, label, help);
    item->SetBitmap(bitmap);
    menu->Append(item);
}

}  // namespace

void TrackerFrame::CreateMenus()
{
    m_fileMenu = new wxMenu;
    AppendItem(m_fileMenu, ID_OPEN_WII, _("Open WII Device"), _("Open WII device"));
    AppendItem(m_fileMenu, ID_PAIR_WII, _("Pair WII Device"), _("Pair WII device"));
    AppendItem(m_fileMenu, ID_FIND_WII, _("Find WII Devices"), _("Find Up WII Devices"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_SATEL, _("Open SATEL Board device"),
               _("Open SATEL board device"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_FOB, _("Open Flock of Birds device"),
               _("Open Flock of Birds device"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_VRPN_ANALOG, _("Open VRPN Analog Server"),
               _("Open Analog VRPN Stream"));
    AppendItem(m_fileMenu, ID_OPEN_VRPN_TRACKER, _("Open VRPN Tracker Server"),
               _("Open Tracker VRPN Stream"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_CAMERA, _("Open Video Camera"), _("Open Video Camera"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_TEST, _("Open  Analog Test Device"),
               _("Open analog test device"));
    AppendItem(m_fileMenu, ID_OPEN_TEST_3D, _("Open  3D Test Device"), _("Open 3D test device"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_OSC, _("Open OSC device"), _("Open OSC device"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, ID_OPEN_FILE, _("Open Analog Data File"), _("Open Analog Data File"));
    m_fileMenu->AppendSeparator();
    AppendItem(m_fileMenu, wxID_EXIT, _("&Quit\tAlt-F4"), _("Quit the application"));

    wxMenu* viewMenu = new wxMenu;
    AppendItem(viewMenu, ID_VIEW_RESTORE, _("Restore default Startup view"), wxEmptyString);
    AppendItem(viewMenu, ID_VIEW_SETTINGS, _("Show/Hide Settings panel"),
               _("Show/Hide Settings view"), wxITEM_CHECK);
    AppendItem(viewMenu, ID_VIEW_CAPTURE, _("Show/Hide Capture Pannel"),
               _("Show/Hide Capture view"), wxITEM_CHECK);
    AppendItem(viewMenu, ID_VIEW_INFORMATION, _("Show/Hide Information view"),
               _("Show/Hide Information view"), wxITEM_CHECK);
    AppendItem(viewMenu, ID_CLEAR_MESSAGES, _("Clear all messages"), _("Clear all messages"));

    wxMenu* deviceMenu = new wxMenu;
    AppendItem(deviceMenu, ID_DEVICE_START_STOP, _("Start/Stop device\tSPACE"),
               _("Start/Stop device"), wxITEM_CHECK);
    AppendItem(deviceMenu, ID_DEVICE_RESET, _("Reset device"), _("Reset device"));
    AppendItem(deviceMenu, ID_DEVICE_OFFSET, _("Device Offset"), _("Device Offset"));
    deviceMenu->AppendSeparator();
    AppendItem(deviceMenu, ID_OSC_ADD_CLIENT, _("Add OSC Client"), _("Add OSC Client (Addr:Port)"));
    AppendItem(deviceMenu, ID_OSC_REMOVE_CLIENT, _("Remove OSC Client"),
               _("Remove OSC Client from the list"));
    deviceMenu->AppendSeparator();
    AppendItem(deviceMenu, ID_VIEW_ADD, _("Add View"), _("Add new device view"));
    AppendItem(deviceMenu, ID_VIEW_ADD_3D, _("Add 3D View"),
               _("Add new device 3D view (Tracker only)"));

    // Space starts and stops the current device even with no menu open.
    wxAcceleratorEntry entries[1];
    entries[0].Set(wxACCEL_NORMAL, WXK_SPACE, ID_DEVICE_START_STOP);
    SetAcceleratorTable(wxAcceleratorTable(1, entries));

    wxMenu* captureMenu = new wxMenu;
    AppendItem(captureMenu, ID_CAPTURE_CREATE, _("Create Capture File"), _("Create Capture File"));
    AppendWithBitmap(captureMenu, ID_CAPTURE_CLOSE, _("Close Capture File"),
                     _("Close Capture File"), MakeMenuBitmap(MenuImage::Close));
    AppendItem(captureMenu, ID_CAPTURE_DELETE_LAST, _("Delete Last Trial"),
               _("Delete last captured file(s)"));
    captureMenu->AppendSeparator();
    AppendWithBitmap(captureMenu, ID_CAPTURE_START, _("Start capture\tF9"), _("Start capture"),
                     MakeMenuBitmap(MenuImage::Record));
    AppendWithBitmap(captureMenu, ID_CAPTURE_STOP, _("Stop capture\tF10"), _("Stop capture"),
                     MakeMenuBitmap(MenuImage::Pause));
    AppendItem(captureMenu, ID_CAPTURE_NEXT, _("Next capture File\tF11"), _("Next capture"));
    captureMenu->AppendSeparator();
    AppendItem(captureMenu, ID_CAPTURE_CLEAR_LIST, _("Clear Capture File List"), wxEmptyString);

    wxMenu* helpMenu = new wxMenu;
    AppendItem(helpMenu, wxID_ABOUT, _("&About\tF1"), _("Show info about this application"));

    wxMenuBar* menuBar = new wxMenuBar(wxMB_DOCKABLE);
    menuBar->Append(m_fileMenu, _("&File"));
    menuBar->Append(viewMenu, _("&View"));
    menuBar->Append(deviceMenu, _("&Device"));
    menuBar->Append(captureMenu, _("&Capture"));
    menuBar->Append(helpMenu, _("&Help"));
    SetMenuBar(menuBar);
}

namespace {

void TogglePane(wxAuiManager& manager, const char* name)
{
    wxAuiPaneInfo& pane = manager.GetPane(name);
    if (!pane.IsOk()) return;
    pane.Show(!pane.IsShown());
    manager.Update();
}

}  // namespace

void TrackerFrame::OnToggleSettingsPane(wxCommandEvent& /*event*/)
{
    TogglePane(m_auiManager, "SETTINGS");
}

void TrackerFrame::OnToggleCapturePane(wxCommandEvent& /*event*/)
{
    // The capture toolbar goes with its pane, whatever state it had.
    wxAuiPaneInfo& pane = m_auiManager.GetPane("CAPTURE");
    if (!pane.IsOk()) return;
    const bool show = !pane.IsShown();
    pane.Show(show);
    wxAuiPaneInfo& toolbar = m_auiManager.GetPane("tbCapture");
    if (toolbar.IsOk()) toolbar.Show(show);
    m_auiManager.Update();
}

void TrackerFrame::OnToggleInformationPane(wxCommandEvent& /*event*/)
{
    TogglePane(m_auiManager, "MESSAGEBOOK");
}

void TrackerFrame::OnUpdatePaneItems(wxUpdateUIEvent& event)
{
    if (m_quitting) return;
    const char* name = event.GetId() == ID_VIEW_SETTINGS  ? "SETTINGS"
                       : event.GetId() == ID_VIEW_CAPTURE ? "CAPTURE"
                                                          : "MESSAGEBOOK";
    const wxAuiPaneInfo& pane = m_auiManager.GetPane(name);
    event.Check(pane.IsOk() && pane.IsShown());
}

void TrackerFrame::OnUpdateOpenItems(wxUpdateUIEvent& event)
{
    if (m_capturing || m_quitting) {
        event.Enable(false);
        return;
    }
    const int id = event.GetId();
    const bool ok = CanOpenDevice(DeviceKindOfCommand(id));
    if (id == ID_OPEN_WII)
        event.Enable(ok && m_wiiFoundCount > 0);
    else if (id == ID_PAIR_WII || id == ID_FIND_WII)
        event.Enable(m_wiiFoundCount == 0);
    else
        event.Enable(ok);
}

void TrackerFrame::OnCharHook(wxKeyEvent& event)
{
    int id = wxID_NONE;
    if (event.GetModifiers() == wxMOD_NONE) {
        switch (event.GetKeyCode()) {
            case WXK_F9:
                id = ID_CAPTURE_START;
                break;
            case WXK_F10:
                id = ID_CAPTURE_STOP;
                break;
            case WXK_F11:
                id = ID_CAPTURE_NEXT;
                break;
            default:
                break;
        }
    }
    if (id == wxID_NONE) {
        event.Skip();
        return;
    }
    // The capture keys act before the window with the focus sees them: a grid
    // keeps every key it gets, and F10 would open the menu bar. A key whose item
    // is disabled does nothing, as the item.
    wxUpdateUIEvent state(id);
    state.SetEventObject(this);
    OnUpdateCaptureItems(state);
    if (state.GetSetEnabled() && !state.GetEnabled()) return;
    wxCommandEvent command(wxEVT_MENU, id);
    command.SetEventObject(this);
    ProcessWindowEvent(command);
}

void TrackerFrame::OnUpdateCaptureItems(wxUpdateUIEvent& event)
{
    if (m_quitting || !GetCurrentDevice()) {
        event.Enable(false);
        return;
    }
    const bool isSetOpen = !m_captureName.empty();
    switch (event.GetId()) {
        case ID_CAPTURE_CREATE:
            event.Enable(!isSetOpen);
            break;
        case ID_CAPTURE_CLOSE:
        case ID_CAPTURE_DELETE_LAST:
        case ID_CAPTURE_START:
            event.Enable(isSetOpen && !m_capturing);
            break;
        case ID_CAPTURE_NEXT:
            event.Enable(isSetOpen && !m_capturing && !m_captureAutoFile);
            break;
        case ID_CAPTURE_STOP:
            event.Enable(m_capturing);
            break;
        case ID_CAPTURE_TOGGLE:
            event.Enable(m_capturing || isSetOpen);
            break;
        case ID_CAPTURE_CLEAR_LIST:
            event.Enable(true);
            break;
        default:
            break;
    }
}

void TrackerFrame::OnUpdateDeviceItems(wxUpdateUIEvent& event)
{
    if (m_capturing || m_quitting) {
        event.Enable(false);
        return;
    }
    const int id = event.GetId();
    if (id == ID_OSC_ADD_CLIENT) {
        event.Enable(m_useOscServer);
        return;
    }
    if (id == ID_OSC_REMOVE_CLIENT) {
        event.Enable(OscServerGetClientCount() != 0);
        return;
    }
    CAnalogDevice* device = GetCurrentDevice();
    if (!device) {
        event.Enable(false);
        return;
    }
    switch (id) {
        case ID_DEVICE_START_STOP:
            event.Check(device->IsRunning());
            event.Enable(true);
            break;
        case ID_DEVICE_RESET:
            event.Enable(device->IsReady() && device->CanReset());
            break;
        case ID_DEVICE_OFFSET:
            event.Enable(device->CanOffset() && device->IsRunning());
            break;
        case ID_VIEW_ADD:
            event.Enable(HasChannelsToView(*device));
            break;
        case ID_VIEW_ADD_3D:
            event.Enable(device->IsTracker());
            break;
        default:
            break;
    }
}
