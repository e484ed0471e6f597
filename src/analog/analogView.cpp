#include "analog/analogView.h"

#include "analog/analogDevice.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewFormat.h"
#include "analog/batteryPictures.h"
#include "analog/myButton.h"

#include <wx/confbase.h>
#include <wx/intl.h>
#include <wx/log.h>

#include <algorithm>
#include <cmath>

std::atomic<int> CAnalogView::s_viewCount{0};

wxIMPLEMENT_DYNAMIC_CLASS(CAnalogView, wxWindow);

wxBEGIN_EVENT_TABLE(CAnalogView, wxWindow)
    EVT_PAINT(CAnalogView::OnPaint)
    EVT_SIZE(CAnalogView::OnSize)
wxEND_EVENT_TABLE()

namespace {

// Holds the frozen flag set for a scope and puts the former value back.
class FrozenScope {
public:
    explicit FrozenScope(CAnalogViewData& data) : m_data(data), m_was(data.IsFrozen())
    {
        m_data.SetFrozen(true);
    }
    ~FrozenScope() { m_data.SetFrozen(m_was); }
    FrozenScope(const FrozenScope&) = delete;
    FrozenScope& operator=(const FrozenScope&) = delete;

private:
    CAnalogViewData& m_data;
    const bool m_was;
};

}  // namespace

CAnalogView::CAnalogView() { Init(); }

CAnalogView::CAnalogView(wxWindow* parent, const wxPoint& pos, const wxSize& size)
{
    Init();
    Create(parent, wxID_ANY, pos, size, wxBORDER_NONE, wxPanelNameStr);
}

void CAnalogView::Init()
{
    const int number = ++s_viewCount;
    m_name = wxString::Format(_("Analog Device #%d"), number);
}

bool CAnalogView::Create(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size,
                         long style, const wxString& name)
{
    // Painted whole by OnPaint through a buffer: the toolkit never erases it.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    if (!wxWindow::Create(parent, id, pos, size, style, name))
        return false;
    CreateBatteryIcons();
    SetBackgroundColour(ToWxColour(bk_color));
    UpdateBattery(true);
    return true;
}

void CAnalogView::CreateBatteryIcons()
{
    for (int i = 0; i < kBatteryPictureCount; ++i) {
        auto* icon = new MyButton(this, wxID_ANY, wxDefaultPosition,
                                  wxSize(kBatteryPictureSize, kBatteryPictureSize),
                                  wxBORDER_NONE | wxBU_NOTEXT | wxBU_EXACTFIT, true);
        icon->SetBitmapLabel(MakeBatteryPicture(i));
        icon->SetBitmapPosition(wxLEFT);
        icon->Hide();
        icon->SetBackgroundColour(ToWxColour(bk_color));
        icon->SetToolTip(_("Battery level"));
        m_batteryIcons[static_cast<size_t>(i)] = icon;
    }
    m_batteryIcon = -1;
}

CAnalogView::~CAnalogView()
{
    // Unlinked under the device's data mutex, which the frame dispatch holds
    // around its view walk: no AddData runs on this view after this.
    CAnalogDevice* device = m_device.exchange(nullptr);
    if (device)
        device->RemoveView(this);
}

void CAnalogView::DetachDevice() { m_device.store(nullptr); }

MyButton* CAnalogView::GetBatteryIcon(int i) const
{
    return i >= 0 && i < kBatteryPictureCount ? m_batteryIcons[static_cast<size_t>(i)] : nullptr;
}

void CAnalogView::SetDevice(CAnalogDevice* device)
{
    CAnalogDevice* previous = m_device.exchange(device);
    if (previous && previous != device)
        previous->RemoveView(this);
    if (!device)
        return;
    if (previous != device)
        device->AddView(this);
    SetBuffer();
}

void CAnalogView::AddData(const double* values, int count, uint32_t sample, double timeSec)
{
    CAnalogDevice* device = m_device.load();
    if (!values || !device || !device->IsReady())
        return;
    // A row of other channels than the history's (the device re-shaped since it was
    // built) is refused: the paint this asks for rebuilds the history.
    if (device->GetVisibleShape() != m_feedShape.load()) {
        m_data.RefuseRow();
        return;
    }
    m_data.AddData(values, count, sample, timeSec);
}

CViewDataConfig CAnalogView::MakeDataConfig(CAnalogDevice& device)
{
    CViewDataConfig config;
    config.channels = m_channelCount;
    config.dim = m_dim;
    config.rateHz = m_rate;
    config.component = m_component;
    config.feedSpectra = draw_type == kDrawSpectrum;
    config.spectrumCount = m_channelCount;
    config.dspSize = std::min(std::max(dsp_size, kMinDspSize), kMaxDspSize);
    config.dspWindow = dps_window;
    config.dspClearMean = dsp_clear_mean;
    config.dspUseDb = dsp_use_db;
    config.dspUseStat = dsp_use_stat;
    config.dspNormalize = dsp_normalize;
    config.dspStatBound = dsp_max_rate / (m_rate / 2.0);
    config.showCPStat = device.GetShowCPStat();
    if (config.showCPStat) {
        config.cpLevel = device.GetCPStatLevel();
        const double seconds = device.GetCPStatTime();
        const double window = std::trunc(device.GetRate() * seconds);
        if (seconds > 0.0 && window >= 1.0)
            config.cpWindow = window > 1e9 ? 1000000000 : static_cast<int>(window);
        config.cpXIndex = device.GetCPXIndex();
        config.cpYIndex = device.GetCPYIndex();
    }
    return config;
}

void CAnalogView::SetBuffer()
{
    if (CAnalogDevice* device = m_device.load())
        SetBuffer(*device->GetVisibleChannels());
}

void CAnalogView::SetBuffer(const CVisibleChannels& visible)
{
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    FrozenScope frozen(m_data);
    m_channelCount = 0;
    if (device->GetShowCPStat()) {
        const double seconds = device->GetCPStatTime();
        // The parametric display spans the statistics window.
        if (seconds > 0.0 && draw_type == kDrawParametric && seconds != draw_time)
            draw_time = seconds;
    }
    // Device state is read before the view's lock (lock order: device, view).
    const std::vector<int>& list = visible.channels;
    const int dim = device->GetChannelDim();
    const wxString name = device->GetDeviceName();
    const double rate = device->GetRate();

    std::lock_guard<std::mutex> lock(m_mutex);
    // The history is built for the visible list the drawers walk, so both
    // always agree on the channel positions.
    m_channelCount = static_cast<int>(list.size());
    m_builtShape = visible.shape;
    m_dim = dim > 0 ? dim : 1;
    if (m_component < 0 || m_component >= m_dim)
        m_component = 0;
    m_name = name;
    m_rate = rate > 0.0 && std::isfinite(rate) ? rate : 25.0;
    dsp_max_rate = ClampMaxRate(dsp_max_rate, m_rate);
    if (!(draw_time > 0.0) || !std::isfinite(draw_time))
        draw_time = 5.0;
    const double capped =
        CAnalogViewData::CapDrawTime(draw_time, m_rate, m_channelCount * m_dim + 1);
    if (capped < draw_time) {
        wxLogWarning(_("Display time %.1f s shortened to %.1f s for %g Hz"), draw_time, capped,
                     m_rate);
        draw_time = capped;
    }
    CViewDataConfig config = MakeDataConfig(*device);
    config.drawTimeSec = draw_time;
    m_data.Rebuild(config);
    m_feedShape.store(m_builtShape);
    if (m_channelCount <= 0 && m_reportNoData) {
        wxLogError(_("No analog data available !\n"));
        m_reportNoData = false;
    }
}

void CAnalogView::ResetBuffers()
{
    FrozenScope frozen(m_data);
    SetBuffer();
    Refresh(true);
    UpdateBattery(true);
}

void CAnalogView::SetDrawTime(double seconds)
{
    if (!(seconds > 0.0))
        return;
    draw_time = seconds;
    ResetBuffers();
}

void CAnalogView::ResetView()
{
    CAnalogDevice* device = m_device.load();
    if (device) {
        if (device->IsReady())
            device->Reset();
        else
            wxLogError(_("Device is not ready"));
    }
    ResetBuffers();
}

void CAnalogView::Restart()
{
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    FrozenScope frozen(m_data);
    device->Reset();
    device->ResetClock();
    ResetBuffers();
}

void CAnalogView::FreezeData()
{
    m_data.SetFrozen(true);
    UpdateBattery(false);
}

void CAnalogView::ThawData()
{
    m_data.SetFrozen(false);
    UpdateBattery(false);
}

void CAnalogView::NotifyBatteryChanged(bool) { m_batteryDirty = true; }

void CAnalogView::LoadConfig(wxConfigBase* config)
{
    if (!config)
        return;
    CAnalogDevice* device = m_device.load();
    const wxString group = GroupPath(device ? device->GetDeviceKey() : wxString());
    LoadSettings(*config, group, m_rate);
    if (config->HasEntry(group + "/bk_color"))
        SetBackgroundColour(ToWxColour(bk_color));
    for (MyButton* icon : m_batteryIcons)
        if (icon)
            icon->SetBackgroundColour(ToWxColour(bk_color));
}

void CAnalogView::SaveConfig(wxConfigBase* config)
{
    if (!config)
        return;
    CAnalogDevice* device = m_device.load();
    SaveSettings(*config, GroupPath(device ? device->GetDeviceKey() : wxString()));
}

void CAnalogView::ApplyBackground()
{
    SetBackgroundColour(ToWxColour(bk_color));
    for (MyButton* icon : m_batteryIcons)
        if (icon)
            icon->SetBackgroundColour(ToWxColour(bk_color));
}

void CAnalogView::SetBkColor(const wxColour& colour)
{
    bk_color = ToCColour(colour);
    ApplyBackground();
    Refresh(true);
}

void CAnalogView::SetFrameColor(const wxColour& colour)
{
    frame_color = ToCColour(colour);
    Refresh(true);
}

void CAnalogView::SetGridColor(const wxColour& colour)
{
    grid_color = ToCColour(colour);
    Refresh(true);
}

void CAnalogView::SetAnalogColor(const wxColour& colour)
{
    analog_color = ToCColour(colour);
    Refresh(true);
}

void CAnalogView::SetZeroColor(const wxColour& colour)
{
    zero_color = ToCColour(colour);
    Refresh(true);
}

void CAnalogView::SetEllipseColor(const wxColour& colour) { SetEllipseColour(ToCColour(colour)); }

void CAnalogView::SetSelected(bool selected, int viewCount)
{
    m_selected = selected;
    m_multiView = viewCount > 1;
}

void CAnalogView::GetDrawTypes(wxArrayString& names) { ViewDrawTypeNames(names); }

void CAnalogView::UpdateBattery(bool force)
{
    CAnalogDevice* device = m_device.load();
    if (!device)
        return;
    if (!device->HasBattery() || !device->IsBatteryShown()) {
        for (MyButton* icon : m_batteryIcons)
            if (icon)
                icon->Hide();
        return;
    }
    if (force)
        m_batteryIcon = -1;
    const int level = device->GetBatteryLevel();
    const int index = BatteryIconIndex(level);
    MyButton* shown = m_batteryIcons[static_cast<size_t>(index)];
    if (!shown)
        return;  // no native window yet
    if (index != m_batteryIcon) {
        const wxSize size = shown->GetSize();
        shown->Move(GetClientSize().GetWidth() - size.GetWidth() - 8, 8);
        shown->Show();
        for (MyButton* icon : m_batteryIcons)
            if (icon && icon != shown)
                icon->Hide();
        m_batteryIcon = index;
    }
    if (level != m_batteryLevel) {
        shown->SetToolTip(wxString::Format(_("Battery %d%%"), level));
        m_batteryLevel = level;
    }
}

void CAnalogView::OnSize(wxSizeEvent& event)
{
    Refresh(false);
    UpdateBattery(true);
    event.Skip();
}

wxString CAnalogView::GetTitle() const
{
    if (m_name.empty())
        return wxString();
    CAnalogDevice* device = m_device.load();
    if (device && device->IsRecording())
        return m_name + " {" + device->GetRecordFileName() + "}";
    return m_name;
}

wxString CAnalogView::FormatValue(double value) { return FormatViewValue(value); }

std::uint32_t CAnalogView::ValueToColour(double value) { return ValueToColourRgb(value); }
