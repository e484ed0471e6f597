#include "DravonetMain.h"
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "appIcons.h"
#include "checkBoxComboPopup.h"
#include "deviceRun.h"

#include <wx/aui/auibar.h>
#include <wx/combobox.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/textentry.h>

namespace {

wxAuiPaneInfo ToolbarPane(const wxString& name, const wxString& caption)
{
    return wxAuiPaneInfo()
        .Name(name)
        .Caption(caption)
        .ToolbarPane()
        .Top()
        .LeftDockable(false)
        .RightDockable(false);
}

wxAuiToolBar* NewToolBar(wxWindow* parent, long style)
{
    wxAuiToolBar* toolBar =
        new wxAuiToolBar(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, style);
    if (style == 0) toolBar->SetToolBitmapSize(wxSize(32, 32));
    return toolBar;
}

void AddTool(wxAuiToolBar* toolBar, int id, const wxString& label, ToolImage image,
             const wxString& help)
{
    toolBar->AddTool(id, label, MakeToolBitmap(image), help);
}

}  // namespace

void TrackerFrame::CreateToolBars()
{
    wxAuiToolBar* wiiBar = NewToolBar(this, 0);
    AddTool(wiiBar, ID_PAIR_WII, _("Pair Wii Devices"), ToolImage::PairWii, _("Pair Wii Devices"));
    AddTool(wiiBar, ID_FIND_WII, _("Search Wii Devices"), ToolImage::SearchWii,
            _("Search Wii Devices"));
    AddTool(wiiBar, ID_OPEN_WII, _("Open WII Device"), ToolImage::OpenWii, _("Open WII Device"));
    wiiBar->Realize();
    m_auiManager.AddPane(wiiBar, ToolbarPane("tbWii", _("WII")));

    wxAuiToolBar* satelBar = NewToolBar(this, 0);
    AddTool(satelBar, ID_OPEN_SATEL, _("Open Satel device"), ToolImage::Satel,
            _("Open Satel Device"));
    satelBar->Realize();
    m_auiManager.AddPane(satelBar, ToolbarPane("tbSatel", _("SATEL")));

    wxAuiToolBar* birdBar = NewToolBar(this, 0);
    AddTool(birdBar, ID_OPEN_FOB, _("Open Flock of Birds device"), ToolImage::Bird,
            _("Open Flock of Birds device"));
    birdBar->Realize();
    m_auiManager.AddPane(birdBar, ToolbarPane("tbBird", _("BIRD")));

    wxAuiToolBar* cameraBar = NewToolBar(this, 0);
    AddTool(cameraBar, ID_OPEN_CAMERA, _("Open Camera"), ToolImage::Camera, _("Open video camera"));
    cameraBar->Realize();
    m_auiManager.AddPane(cameraBar, ToolbarPane("tbCamera", _("Camera")));

    m_deviceToolBar = NewToolBar(this, 0);
    AddTool(m_deviceToolBar, ID_DEVICE_START_STOP, _("Stop device"), ToolImage::Pause,
            _("Stop device streaming"));
    AddTool(m_deviceToolBar, ID_DEVICE_RESET, _("Reset device"), ToolImage::Reset,
            _("Reset device"));
    AddTool(m_deviceToolBar, ID_DEVICE_OFFSET, _("Device Offset"), ToolImage::Offset,
            _("Device Offset"));
    m_deviceToolBar->Realize();
    m_auiManager.AddPane(m_deviceToolBar, ToolbarPane("tbDevice", _("Device")));

    m_captureToolBar = NewToolBar(this, 0);
    AddTool(m_captureToolBar, ID_CAPTURE_CREATE, _("Create Capture File"), ToolImage::CreateFile,
            _("Set capture file name"));
    AddTool(m_captureToolBar, ID_CAPTURE_TOGGLE, _("Start Capture"), ToolImage::Record,
            _("Start capture"));
    AddTool(m_captureToolBar, ID_CAPTURE_NEXT, _("Next Capture"), ToolImage::NextFile,
            _("Next capture file"));
    AddTool(m_captureToolBar, ID_CAPTURE_CLOSE, _("Close Capture File"), ToolImage::CloseFile,
            _("Close capture file"));
    m_captureToolBar->Realize();
    m_auiManager.AddPane(m_captureToolBar, ToolbarPane("tbCapture", _("Capture")));

    m_timeToolBar = NewToolBar(this, 0);
    m_elapsedText = new wxTextCtrl(m_timeToolBar, ID_ELAPSED_TEXT, wxEmptyString, wxDefaultPosition,
                                   wxSize(150, -1), wxTE_READONLY);
    m_elapsedText->SetToolTip(_("Time info"));
    m_timeToolBar->AddControl(m_elapsedText, _("Time (s)"));
    m_timeText = new wxTextCtrl(m_timeToolBar, ID_TIME_TEXT, wxEmptyString, wxDefaultPosition,
                                wxSize(150, -1), wxTE_READONLY);
    m_timeToolBar->AddControl(m_timeText, _("Device information"));
    m_timeToolBar->Realize();
    m_auiManager.AddPane(m_timeToolBar, ToolbarPane("tbtime", _("Time Toolbar")));

    wxAuiToolBar* viewBar = NewToolBar(this, wxAUI_TB_OVERFLOW);
    wxArrayString drawTypes;
    CAnalogView::GetDrawTypes(drawTypes);
    m_graphCombo = new wxComboBox(viewBar, ID_GRAPH_COMBO, wxEmptyString, wxDefaultPosition,
                                  wxSize(250, -1), drawTypes, wxCB_READONLY);
    m_graphCombo->SetSelection(6);
    m_graphCombo->SetToolTip(_("Current Graph type"));
    viewBar->AddControl(m_graphCombo, wxEmptyString);
    m_channelCombo =
        new wxComboCtrl(viewBar, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(200, -1),
                        wxCB_READONLY, wxDefaultValidator, wxComboBoxNameStr);
    m_channelPopup = new wxCheckBoxComboPopup(ID_CHANNEL_LIST, this);
    m_channelCombo->SetPopupControl(m_channelPopup);
    m_channelCombo->SetToolTip(_("Channel selection"));
    viewBar->AddControl(m_channelCombo, wxEmptyString);
    viewBar->Realize();
    m_auiManager.AddPane(viewBar, ToolbarPane("tbView", _("View Toolbar")));
}

void TrackerFrame::InitStatusBar()
{
    CreateStatusBar(3, wxSTB_DEFAULT_STYLE, 0);
    SetStatusText(wxString::Format(_("Max devices : %d"), GetMaxDeviceCount()), 0);
}

void TrackerFrame::UpdateTitle()
{
    wxString title = "Quorvane - 1.30 [" + m_capturePath + "]";
    if (!m_captureName.empty())
        title +=
            wxString::Format("- %s [%lld]", m_captureName, static_cast<long long>(m_trialIndex));
    SetTitle(title);
}

namespace {

// The focus is where the user types: a blank belongs to the text.
bool IsTypingFocus()
{
    auto* entry = dynamic_cast<wxTextEntry*>(wxWindow::FindFocus());
    return entry && entry->IsEditable();
}

}  // namespace

void TrackerFrame::OnStartStopDevice(wxCommandEvent& event)
{
    // The accelerator (no menu or tool is the event's object) never takes Space
    // from a text entry: skipped, the key goes on to the entry.
    const wxObject* origin = event.GetEventObject();
    if ((origin == nullptr || origin == this) && IsTypingFocus()) {
        event.Skip();
        return;
    }
    CAnalogDevice* device = GetCurrentDevice();
    // Stopping would cut the recording; starting again would reset it.
    if (!device || RefusedWhileRecording(*device, "OnStartStopDevice")) return;
    device->AnalogStartStop();
    UpdateStartStopTool();
}

void TrackerFrame::UpdateStartStopTool()
{
    CAnalogDevice* device = GetCurrentDevice();
    if (!device || !m_deviceToolBar) return;
    if (device->IsRunning()) {
        m_deviceToolBar->SetToolBitmap(ID_DEVICE_START_STOP, MakeToolBitmap(ToolImage::Pause));
        m_deviceToolBar->SetToolShortHelp(ID_DEVICE_START_STOP, _("Stop device streaming"));
    } else {
        m_deviceToolBar->SetToolShortHelp(ID_DEVICE_START_STOP, _("Start device streaming"));
        m_deviceToolBar->SetToolBitmap(ID_DEVICE_START_STOP, MakeToolBitmap(ToolImage::Play));
    }
    m_deviceToolBar->Refresh(false);
}

void TrackerFrame::UpdateDeviceTools(CAnalogDevice* device)
{
    if (!device || !m_deviceToolBar) return;
    m_deviceToolBar->EnableTool(ID_DEVICE_OFFSET, device->CanOffset());
    m_deviceToolBar->EnableTool(ID_DEVICE_RESET, device->CanReset());
    UpdateStartStopTool();
}
