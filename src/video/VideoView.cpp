#include "video/VideoView.h"

#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/graphics.h>
#include <wx/menu.h>
#include <wx/translation.h>

#include <cmath>
#include <opencv2/core.hpp>

#include "video/VideoDevice.h"
#include "video/videoBitmap.h"

wxIMPLEMENT_DYNAMIC_CLASS(CVideoView, wxWindow);

// clang-format off
wxBEGIN_EVENT_TABLE(CVideoView, wxWindow)
    EVT_PAINT(CVideoView::OnPaint)
    EVT_SIZE(CVideoView::OnSize)
    EVT_ERASE_BACKGROUND(CVideoView::OnEraseBackground)
    EVT_MOUSE_EVENTS(CVideoView::OnMouse)
    EVT_MAGNIFY(CVideoView::OnMouse)
    EVT_MENU(CVideoView::ID_RESET_VIEW, CVideoView::OnResetView)
    EVT_MENU(CVideoView::ID_SHOW_RATE, CVideoView::OnShowCameraRate)
    EVT_MENU(CVideoView::ID_CAMERA_PARAMETERS, CVideoView::OnCameraParameters)
wxEND_EVENT_TABLE()
    // clang-format on

    CVideoView::CVideoView() = default;

CVideoView::CVideoView(wxWindow* parent, const wxPoint& pos, const wxSize& size)
{
    Create(parent, pos, size);
}

bool CVideoView::Create(wxWindow* parent, const wxPoint& pos, const wxSize& size)
{
    // Painted whole, double-buffered: the background is never erased on its own.
    SetBackgroundStyle(wxBG_STYLE_PAINT);
    return wxWindow::Create(parent, kWindowId, pos, size, wxBORDER_NONE, wxPanelNameStr);
}

CVideoView::~CVideoView()
{
    // A device still tied would hand its next frame to a destroyed window.
    CVideoDevice* device = m_device.exchange(nullptr);
    if (device != nullptr && device->GetVideoView() == this) device->SetVideoView(nullptr);
}

void CVideoView::SetImage(const cv::Mat& image)
{
    if (image.empty() || image.type() != CV_8UC3 || image.dims != 2) return;
    // The GUI thread holds the lock only while it takes a frame: skip this one then.
    std::unique_lock<std::mutex> lock(m_imageMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        m_skippedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    try {
        image.copyTo(m_pending);  // reuses m_pending's storage while the size holds
    } catch (...) {               // no memory for a new size: the display skips it
        m_skippedFrames.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    m_hasPending = true;
    m_dirty = true;
}

void CVideoView::TakePendingFrame()
{
    std::lock_guard<std::mutex> lock(m_imageMutex);
    // Cleared before the frame is taken: a frame handed over after this marks it again.
    m_dirty = false;
    if (!m_hasPending) return;
    m_hasPending = false;
    if (!m_image.IsOk() || m_image.GetWidth() != m_pending.cols ||
        m_image.GetHeight() != m_pending.rows)
        m_image = wxBitmap(m_pending.cols, m_pending.rows, 24);
    ocvConvertMatBitmapTowxBitmap(m_pending, m_image);
}

wxSize CVideoView::GetSourceSize() const
{
    const CVideoDevice* device = m_device.load();
    if (device != nullptr) return wxSize(device->GetImageWidth(), device->GetImageHeight());
    return m_image.IsOk() ? m_image.GetSize() : wxSize(0, 0);
}

void CVideoView::FitZoom()
{
    if (!m_image.IsOk() || m_image.GetWidth() < 1 || m_image.GetHeight() < 1) return;
    const wxSize client = GetClientSize();
    const float h =
        static_cast<float>(client.GetHeight()) / static_cast<float>(m_image.GetHeight());
    const float w = static_cast<float>(client.GetWidth()) / static_cast<float>(m_image.GetWidth());
    m_fitScale = std::min(h, w);
    m_fitNeeded = false;
}

bool CVideoView::ImageToView(int* x, int* y) const
{
    const wxSize size = GetSourceSize();
    if (*x < 0 || *y < 0 || *x >= size.GetWidth() || *y >= size.GetHeight()) return false;
    const float scale = m_fitScale * m_zoom;
    *x = static_cast<int>(std::roundf(static_cast<float>(*x + m_offset.x) * scale));
    *y = static_cast<int>(std::roundf(static_cast<float>(*y + m_offset.y) * scale));
    return true;
}

bool CVideoView::ViewToImage(int* x, int* y) const
{
    if (*x < 1 || *y < 1 || !(m_fitScale > 0.0f)) return false;
    const float scale = m_fitScale * m_zoom;
    *x = static_cast<int>(
        std::roundf(static_cast<float>(*x) / scale - static_cast<float>(m_offset.x)));
    *y = static_cast<int>(
        std::roundf(static_cast<float>(*y) / scale - static_cast<float>(m_offset.y)));
    const wxSize size = GetSourceSize();
    return *x >= 0 && *x < size.GetWidth() && *y >= 0 && *y < size.GetHeight();
}

void CVideoView::ZoomAt(const wxPoint& position, int direction, float step)
{
    int qx = position.x;
    int qy = position.y;
    if (!ViewToImage(&qx, &qy)) return;  // no zoom about a point outside the picture
    m_zoom *= direction < 0 ? 1.0f + step / 100.0f : 1.0f - step / 100.0f;
    int rx = qx;
    int ry = qy;
    ImageToView(&rx, &ry);
    // Moves the picture so that the point under the position stays there.
    m_pan.x = static_cast<int>(static_cast<float>(m_pan.x) -
                               static_cast<float>(rx - position.x) / m_zoom);
    m_pan.y = static_cast<int>(static_cast<float>(m_pan.y) -
                               static_cast<float>(ry - position.y) / m_zoom);
}

void CVideoView::RefreshUnlessRunning()
{
    const CVideoDevice* device = m_device.load();
    if (device == nullptr || !device->IsRunning()) RefreshView();
}

void CVideoView::Render(wxDC& dc)
{
    TakePendingFrame();
    const wxSize client = GetClientSize();
    const int w = client.GetWidth();
    const int h = client.GetHeight();
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::CreateFromUnknownDC(dc));
    if (gc == nullptr) return;
    gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
    gc->SetInterpolationQuality(wxINTERPOLATION_FAST);
    gc->SetBrush(wxBrush(m_background));
    gc->SetPen(*wxTRANSPARENT_PEN);
    gc->DrawRectangle(0, 0, w, h);
    if (m_image.IsOk()) {
        if (m_fitNeeded) FitZoom();
        if (m_fitScale > 0.0f) {
            const int hw = m_image.GetWidth() / 2;
            const int hh = m_image.GetHeight() / 2;
            const double cx = std::round(w * 0.5 / m_fitScale);
            const double cy = std::round(h * 0.5 / m_fitScale);
            m_offset.x = static_cast<int>((cx - hw) + m_pan.x / m_fitScale);
            m_offset.y = static_cast<int>((cy - hh) + m_pan.y / m_fitScale);
            const double scale = static_cast<double>(m_fitScale) * m_zoom;
            gc->PushState();
            gc->Scale(scale, scale);
            gc->DrawBitmap(m_image, m_offset.x, m_offset.y, m_image.GetWidth(),
                           m_image.GetHeight());
            gc->PopState();
        }
    }
    const CVideoDevice* device = m_device.load();
    if (device != nullptr) {
        if (m_showRate) {
            const wxString text =
                wxString::Format(_("%.0f fps"), static_cast<double>(device->GetCameraFps()));
            gc->SetFont(GetFont(), *wxYELLOW);
            double tw = 0.0;
            double th = 0.0;
            gc->GetTextExtent(text, &tw, &th);
            gc->DrawText(text, w - tw - th, th / 2.0);
        }
        if (device->IsRecording()) {
            gc->SetPen(wxPen(wxColour(255, 0, 0, 255), 7));
            gc->StrokeLine(0, 0, w, 0);
            gc->StrokeLine(0, h, w, h);
            gc->StrokeLine(0, 0, 0, h);
            gc->StrokeLine(w, 0, w, h);
        }
    }
}

void CVideoView::OnPaint(wxPaintEvent&)
{
    if (IsDoubleBuffered()) {
        wxPaintDC dc(this);
        Render(dc);
        return;
    }
    const wxSize client = GetClientSize();
    if (!m_paintBuffer.IsOk() || m_paintBuffer.GetSize() != client)
        m_paintBuffer = wxBitmap(std::max(client.GetWidth(), 1), std::max(client.GetHeight(), 1));
    wxBufferedPaintDC dc(this, m_paintBuffer);
    Render(dc);
}

void CVideoView::OnSize(wxSizeEvent& event)
{
    m_fitNeeded = true;
    m_dirty = true;
    event.Skip();
}

void CVideoView::OnEraseBackground(wxEraseEvent&) {}

void CVideoView::OnMouse(wxMouseEvent& event)
{
    // Without a device, or while it records, the picture stays as it is.
    const CVideoDevice* device = m_device.load();
    if (device == nullptr || device->IsRecording()) return;
    HandleMouse(event);
    event.Skip();
}

bool CVideoView::HandleMouse(wxMouseEvent& event)
{
    if (event.RightDown()) {
        m_mouseMode = MOUSE_RIGHT;
        ShowPopupMenu(event.GetPosition());
    } else if (event.MiddleDown()) {
        m_mouseMode = MOUSE_MIDDLE;
    } else if (event.LeftDown()) {
        m_mouseMode = MOUSE_DRAG;
        m_lastDrag = wxPoint(-1, -1);
    } else if (event.LeftUp() || event.MiddleUp() || event.RightUp()) {
        m_mouseMode = MOUSE_NONE;
    } else if (event.LeftDClick()) {
        m_pan = wxPoint(0, 0);
        m_zoom = 1.0f;
        m_dirty = true;
        RefreshUnlessRunning();
    } else if (event.Dragging()) {
        if (m_mouseMode != MOUSE_DRAG) return false;
        const wxPoint position = event.GetPosition();
        // The first motion of a drag only sets where it starts.
        const wxPoint move = m_lastDrag.x >= 1 ? position - m_lastDrag : wxPoint(0, 0);
        m_pan += move;
        m_lastDrag = position;
        m_dirty = true;
        RefreshUnlessRunning();
    } else if (event.GetWheelRotation() != 0) {
        ZoomAt(event.GetPosition(), -event.GetWheelRotation(), 5.0f);
        m_dirty = true;
        RefreshUnlessRunning();
    } else {
        return false;
    }
    return true;
}

std::unique_ptr<wxMenu> CVideoView::CreatePopupMenu() const
{
    auto menu = std::make_unique<wxMenu>();
    menu->Append(ID_RESET_VIEW, _("Reset View"));
    menu->AppendCheckItem(ID_SHOW_RATE, _("Show Camera Rate"), _("Show Camera Rate"));
    menu->Check(ID_SHOW_RATE, m_showRate);
    menu->Append(ID_CAMERA_PARAMETERS, _("Camera Parameters"));
    return menu;
}

void CVideoView::ShowPopupMenu(const wxPoint& position)
{
    std::unique_ptr<wxMenu> menu = CreatePopupMenu();
    PopupMenu(menu.get(), position);
}

void CVideoView::OnResetView(wxCommandEvent&)
{
    m_pan = wxPoint(0, 0);
    m_zoom = 1.0f;
    m_offset = wxPoint(0, 0);
    m_dirty = true;
    if (m_device.load() != nullptr) RefreshUnlessRunning();
}

void CVideoView::OnShowCameraRate(wxCommandEvent&)
{
    m_showRate = !m_showRate;
    if (m_device.load() != nullptr) RefreshUnlessRunning();
}

void CVideoView::OnCameraParameters(wxCommandEvent&)
{
    CVideoDevice* device = m_device.load();
    if (device != nullptr) device->ShowCameraSettings();
}
