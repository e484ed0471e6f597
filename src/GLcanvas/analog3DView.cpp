#include "GLcanvas/analog3DView.h"

#include "GLcanvas/glutText.h"
#include "analog/analogDevice.h"

#include <wx/confbase.h>
#include <wx/intl.h>

#include <GL/freeglut.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

std::atomic<int> CAnalog3DView::s_nextId{3333};

wxIMPLEMENT_CLASS(CAnalog3DView, wxGLCanvas);

wxBEGIN_EVENT_TABLE(CAnalog3DView, wxGLCanvas)
    EVT_MENU_RANGE(ID_3D_CENTER_VIEW, ID_3D_PERSPECTIVE, CAnalog3DView::OnMenu)
    EVT_SIZE(my3DCanvas::OnSize)
    EVT_PAINT(my3DCanvas::OnPaint)
    EVT_ERASE_BACKGROUND(my3DCanvas::OnEraseBackground)
    EVT_MOUSE_EVENTS(my3DCanvas::OnMouse)
wxEND_EVENT_TABLE()

// Holds the busy flag for a scope and puts the former value back.
class CAnalog3DView::BusyScope {
public:
    explicit BusyScope(CAnalog3DView& view) : m_view(view), m_was(view.m_busy.exchange(true)) {}
    ~BusyScope() { m_view.m_busy.store(m_was); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    CAnalog3DView& m_view;
    const bool m_was;
};

CAnalog3DView::CAnalog3DView(wxWindow* parent, const wxPoint& pos, const wxSize& size, long style,
                             const wxString& name)
    : my3DCanvas(parent, s_nextId.fetch_add(1), pos, size, style, name)
{
    InitGlutText();
    m_overlayFont = GLUT_BITMAP_9_BY_15;
    m_viewItemsInMenu = false;  // presets come through SetViewType
    InitSettings();
}

CAnalog3DView::~CAnalog3DView()
{
    m_busy.store(true);
    // Unlinked under the device's data mutex, which the frame dispatch holds
    // around its view walk: no AddData runs on this view after this.
    CAnalogDevice* device = m_device.exchange(nullptr);
    if (device != nullptr)
        device->RemoveView3D(this);
}

void CAnalog3DView::DetachDevice() { m_device.store(nullptr); }

void CAnalog3DView::SetDevice(CAnalogDevice* device)
{
    CAnalogDevice* previous = m_device.exchange(device);
    if (previous != nullptr && previous != device)
        previous->RemoveView3D(this);
    if (device == nullptr)
        return;
    if (previous != device)
        device->AddView3D(this);
    m_positionScale = device->GetUnitScale();
    BuildSensors();
}

void CAnalog3DView::AddData(const double* values, int count, uint32_t sample, double timeSec)
{
    // A frame of other channels than the sensors' is refused: the view rebuilds them.
    const CAnalogDevice* device = m_device.load();
    if (device != nullptr && device->GetVisibleShape() != m_feedShape.load()) {
        m_data.RefuseFrame();
        return;
    }
    m_data.AddData(values, count, sample, timeSec);
}

bool CAnalog3DView::NeedsRefresh() const
{
    if (m_data.HasNewData() || IsFrameOwed() || m_data.RefusedFrames() != m_refusedSeen)
        return true;
    return m_viewType != kNoView && !(CurrentSceneState() == m_drawnState);
}

void CAnalog3DView::RequestRefresh()
{
    FollowDevice();
    Refresh(false);
}

CAnalog3DView::SceneState CAnalog3DView::CurrentSceneState() const
{
    SceneState state;
    CAnalogDevice* device = m_device.load();
    if (device == nullptr)
        return state;
    state.recording = device->IsRecording();
    state.receipts = device->GetReceiptChanges();
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    device->GetMarkers(codes, frames, labels);
    const int64_t window = static_cast<int64_t>(0.3 * m_data.RateHz());
    const int64_t current = m_data.CurrentSample();
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < frames.size() && i < labels.size(); ++i) {
        if (std::llabs(current - static_cast<int32_t>(frames[i])) > window)
            continue;
        hash = (hash ^ (static_cast<uint64_t>(i) << 32 ^ frames[i])) * 1099511628211ull;
    }
    state.markers = hash;
    return state;
}

bool CAnalog3DView::FollowDevice()
{
    const uint64_t refused = m_data.RefusedFrames();
    CAnalogDevice* device = m_device.load();
    if (device == nullptr || m_busy.load())
        return false;
    // New channels of the same count refuse no frame: their shape number tells them.
    const VisibleChannelsPtr visible = device->GetVisibleChannels();
    if (refused == m_refusedSeen && visible->shape == m_builtShape)
        return false;
    // A device taking its new shape is looked at again on the next pass.
    if (!device->IsVisibleListValid())
        return false;
    m_refusedSeen = refused;
    const int sensors = std::max(1, static_cast<int>(visible->channels.size()));
    const int dim = device->GetChannelDim() < 0 ? 7 : device->GetChannelDim();
    if (visible->shape == m_builtShape && sensors == m_data.SensorCount() &&
        sensors * dim == m_data.ExpectedCount())
        return false;
    BuildSensors();
    m_refusedSeen = m_data.RefusedFrames();
    return true;
}

void CAnalog3DView::BuildSensors()
{
    BusyScope busy(*this);
    CAnalogDevice* device = m_device.load();
    if (device == nullptr) {
        m_data.Clear();
        return;
    }
    const bool wasRunning = device->IsRunning();
    if (wasRunning)
        device->Stop();
    // The device is read before the view's lock is taken (lock order: device, view).
    device->UpdateVisibleList();
    // One take: the names are those of the listed channels, whatever re-shapes meanwhile.
    const VisibleChannelsPtr visible = device->GetVisibleChannels();
    m_builtShape = visible->shape;
    CSensorLayout layout;
    layout.channels = visible->channels;
    const int count = std::max(1, static_cast<int>(layout.channels.size()));
    for (int i = 0; i < count; ++i) {
        const bool listed = i < static_cast<int>(layout.channels.size());
        const int channel = listed ? layout.channels[i] : i;
        layout.names.push_back(listed ? visible->names[static_cast<size_t>(i)] : wxString());
        layout.colours.push_back(device->GetChannelColour(channel));
    }
    layout.dim = device->GetChannelDim();
    layout.rateHz = device->GetRate();
    layout.positionScale = m_positionScale;
    layout.drawTimeSec = m_drawTime;
    layout.objectSize = m_objectSize;
    layout.renderFlags = GetRenderFlags();
    m_deviceName = device->GetDeviceName();
    m_data.Build(layout);
    m_feedShape.store(m_builtShape);
    if (wasRunning)
        device->Start();
}

void CAnalog3DView::Rebuild()
{
    BusyScope busy(*this);
    CAnalogDevice* device = m_device.load();
    if (device != nullptr && device->IsRunning()) {
        device->Stop();
        device->Reset();
        BuildSensors();
        device->Start();
    } else {
        if (device != nullptr)
            device->Reset();
        BuildSensors();
    }
    Refresh(true);
}

void CAnalog3DView::Restart()
{
    BusyScope busy(*this);
    CAnalogDevice* device = m_device.load();
    if (device != nullptr) {
        device->Reset();
        device->ResetClock();
    }
    Rebuild();
}

void CAnalog3DView::RefreshSensors()
{
    BusyScope busy(*this);
    BuildSensors();
    Refresh(true);
}

void CAnalog3DView::ResetView() { Rebuild(); }

void CAnalog3DView::ResetDevice()
{
    BusyScope busy(*this);
    CAnalogDevice* device = m_device.load();
    if (device != nullptr) {
        device->Reset();
        device->ResetClock();
    }
}

double CAnalog3DView::GetTime()
{
    CAnalogDevice* device = m_device.load();
    return device != nullptr ? device->GetElapsedTime() : 0.0;
}

void CAnalog3DView::SetSelected(bool selected, int viewCount)
{
    const bool changed = m_selected != selected || m_severalViews != (viewCount > 1);
    m_selected = selected;
    m_severalViews = viewCount > 1;
    if (changed)
        Refresh(false);  // the frame shows the selection; nothing else asks for it
}

void CAnalog3DView::SetDrawTime(double seconds)
{
    if (!(seconds >= 0.0) || !std::isfinite(seconds))
        return;
    m_drawTime = seconds;
    Rebuild();
}

void CAnalog3DView::SetObjectSize(double size)
{
    if (!(size > 0.0) || !std::isfinite(size))
        return;
    m_objectSize = size;
    Rebuild();
}

void CAnalog3DView::UpdateFogColor()
{
    for (int i = 0; i < 4; ++i)
        m_fogColour[i] = m_background[i];
}

void CAnalog3DView::SetViewType(int type)
{
    if (m_viewType == kFreeView)
        SaveFreeView();
    if (type == kFreeView) {
        if (m_viewType != kFreeView)
            RestoreFreeView();
        m_rotationLocked = false;
        m_viewType = kFreeView;
        Refresh(false);
        return;
    }
    switch (type) {
    case 1:
        SetBackView();  // listed as "Front View": the eye looks along +y
        break;
    case 2:
        SetLeftView();
        break;
    case 3:
        SetRightView();
        break;
    case 4:
        SetTopView();
        break;
    case 5:
        SetBottomView();
        break;
    default:
        m_viewType = type;
        m_cameraMoved = false;
        Refresh(false);
        return;
    }
    m_rotationLocked = true;
    m_viewType = type;
    m_cameraMoved = false;
    Refresh(false);
}

void CAnalog3DView::GetViewTypes(wxArrayString& names)
{
    names.Clear();
    names.Add(_("Free View"));
    names.Add(_("Front View"));
    names.Add(_("Left View"));
    names.Add(_("Right View"));
    names.Add(_("Top View"));
    names.Add(_("Bottom View"));
    names.Add(_("None"));
}

void CAnalog3DView::InitSettings()
{
    const double planeSize = m_plane.size;  // the fog follows the size in force
    SetCanvasDefaults();
    m_background[0] = m_background[1] = m_background[2] = 0.3f;
    m_background[3] = 1.0f;
    for (int i = 0; i < 4; ++i)
        m_fogColour[i] = m_background[i];
    m_fogStart = 0.25 * planeSize;
    m_fogEnd = 0.5 * planeSize;
    m_plane.colour[0] = m_plane.colour[1] = m_plane.colour[2] = 0.3f;
    m_plane.colour[3] = 0.5f;
    m_plane.size = 2.0f;
    m_homeCentre.Set(0.0, 0.0, 0.0);
    m_homeEye.Set(0.0, -1.5, 1.0);
    m_flags.smooth = true;
    m_flags.wire = false;
    m_flags.cull = true;
    m_viewType = kFreeView;
    wxGLCamera::s_moveDivisor = 200.0;
    m_objectSize = 0.025;
    SetupCamera();
    m_camera.SetLens(25.0);
    if (MakeCurrent())
        ApplyRenderModes();
}

wxString CAnalog3DView::ConfigPath() const
{
    const wxString base = "/Analog/Analog3DView";
    CAnalogDevice* device = m_device.load();
    return device != nullptr ? base + "/" + device->GetDeviceName() : base;
}

void CAnalog3DView::SaveConfig(wxConfigBase* config)
{
    if (config == nullptr)
        return;
    my3DCanvas::SaveConfig(config);
    const wxString path = ConfigPath();
    config->Write(path + "/draw_time", m_drawTime);
    config->Write(path + "/object_size", m_objectSize);
    m_camera.SaveConfig(config, path);
}

void CAnalog3DView::LoadConfig(wxConfigBase* config)
{
    if (config == nullptr)
        return;
    const wxGLCamera::LoadReport report;  // both stored cameras in one message
    my3DCanvas::LoadConfig(config);
    const wxString path = ConfigPath();
    double drawTime = 0.0;
    const bool hasDrawTime = config->Read(path + "/draw_time", &drawTime);
    m_drawTime = hasDrawTime && drawTime >= 0.0 && drawTime <= 1000.0 ? drawTime : 1.0;
    double objectSize = 0.0;
    // The setter's rule holds for the file too: a size that is not a positive
    // number would draw nothing, or garbage.
    const bool hasSize = config->Read(path + "/object_size", &objectSize);
    m_objectSize = hasSize && objectSize > 0.0 && std::isfinite(objectSize) ? objectSize : 0.025;
    m_camera.LoadConfig(config, path);
    UpdateFogColor();
    m_fogEnd = m_plane.size;
    m_fogStart = 0.25 * m_plane.size;
}

void CAnalog3DView::OnMenu(wxCommandEvent& event)
{
    switch (event.GetId()) {
    case ID_3D_CENTER_VIEW:
        CenterView();
        break;
    case ID_3D_RESET_VIEW:
        OnResetView(event);
        break;
    case ID_3D_BACK_VIEW:
        SetBackView();
        break;
    case ID_3D_FRONT_VIEW:
        SetFrontView();
        break;
    case ID_3D_LEFT_VIEW:
        SetLeftView();
        break;
    case ID_3D_RIGHT_VIEW:
        SetRightView();
        break;
    case ID_3D_TOP_VIEW:
        SetTopView();
        break;
    case ID_3D_BOTTOM_VIEW:
        SetBottomView();
        break;
    case ID_3D_WIRE_MODE:
        SetWireMode(!m_flags.wire);
        break;
    case ID_3D_SMOOTH_MODE:
        SetSmoothMode(!m_flags.smooth);
        break;
    case ID_3D_MULTISAMPLING:
        SetMultiSampling(!m_flags.multisampling);
        break;
    case ID_3D_PERSPECTIVE:
        OnTogglePerspective(event);
        break;
    default:
        event.Skip();
        break;
    }
}

void CAnalog3DView::OnResetView(wxCommandEvent&)
{
    my3DCanvas::ResetView();
    m_homeCentre.Set(0.0, 0.0, 0.0);
    m_homeEye.Set(0.0, -1.5, 1.0);
    m_camera.SetCenter(m_homeCentre);
    m_camera.SetEye(m_homeEye);
    m_camera.SetPerspective(true);
    m_camera.SetLens(25.0);
    m_viewType = kFreeView;
    m_rotationLocked = false;  // a free view that cannot be turned is no free view
    Refresh(true);
}

void CAnalog3DView::OnTogglePerspective(wxCommandEvent&)
{
    m_camera.SetPerspective(!m_camera.IsPerspective());
    Refresh(true);
}
