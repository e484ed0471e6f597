#pragma once

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/window.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <opencv2/core/mat.hpp>

#include "video/videoViewSink.h"

class CVideoDevice;
class wxCommandEvent;
class wxDC;
class wxEraseEvent;
class wxMenu;
class wxMouseEvent;
class wxPaintEvent;
class wxSizeEvent;

// The window that shows the frames of one camera device, fitted to the window, with
// mouse pan and zoom, the measured frame rate and a red border while the device
// records. A page of the device notebook, owned by it; linked (not owning) to its
// device both ways: the device hands it frames, it reads the device's state.
// Threads: SetImage runs in the device's acquisition thread; everything else in the
// GUI thread.
class CVideoView : public wxWindow, public CVideoViewSink {
public:
    // For creation by class name: no native window until Create.
    CVideoView();
    CVideoView(wxWindow* parent, const wxPoint& pos = wxDefaultPosition,
               const wxSize& size = wxDefaultSize);
    // Unties itself from a device that still feeds it.
    ~CVideoView() override;

    static constexpr int kWindowId = 998;
    enum MenuId { ID_RESET_VIEW = 1000, ID_CAMERA_PARAMETERS = 1001, ID_SHOW_RATE = 1002 };
    enum MouseMode { MOUSE_NONE = 0, MOUSE_RIGHT = 1, MOUSE_DRAG = 2, MOUSE_MIDDLE = 3 };

    bool Create(wxWindow* parent, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);

    // The shell ties the view (here) and the device (CVideoDevice::SetVideoView).
    void SetDevice(CVideoDevice* device) { m_device = device; }
    CVideoDevice* GetDevice() const { return m_device.load(); }

    // CVideoViewSink. SetImage: acquisition thread, never waits for the GUI thread.
    void SetImage(const cv::Mat& image) override;
    void DetachDevice() override { m_device = nullptr; }

    // Any thread: a new frame or a change waits to be painted (the display timer asks).
    bool IsDirty() const { return m_dirty.load(); }
    // Any thread: frames that came while the GUI thread was taking the previous one.
    int64_t GetSkippedFrames() const { return m_skippedFrames.load(); }

    void FitZoom();
    bool ImageToView(int* x, int* y) const;
    bool ViewToImage(int* x, int* y) const;
    void ZoomAt(const wxPoint& position, int direction, float step);
    // Draws the whole window on a paint or memory context.
    void Render(wxDC& dc);
    void RefreshView() { Refresh(false); }
    void ShowPopupMenu(const wxPoint& position);
    // The context menu as it would show now (ticks included).
    std::unique_ptr<wxMenu> CreatePopupMenu() const;

    // State, for the view grid and the tests.
    float GetFitScale() const { return m_fitScale; }
    float GetZoom() const { return m_zoom; }
    wxPoint GetPan() const { return m_pan; }
    wxPoint GetImageOffset() const { return m_offset; }
    int GetMouseMode() const { return m_mouseMode; }
    bool IsRateShown() const { return m_showRate; }
    void SetRateShown(bool show) { m_showRate = show; }
    bool IsFitNeeded() const { return m_fitNeeded; }
    const wxColour& GetBackColour() const { return m_background; }
    // The last frame as the GUI thread took it (invalid before the first one).
    const wxBitmap& GetImage() const { return m_image; }

    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    void OnEraseBackground(wxEraseEvent& event);
    void OnMouse(wxMouseEvent& event);
    void OnResetView(wxCommandEvent& event);
    void OnShowCameraRate(wxCommandEvent& event);
    void OnCameraParameters(wxCommandEvent& event);

private:
    // GUI thread: the newest handed-over frame into m_image.
    void TakePendingFrame();
    // The image size the coordinate maps use: the device's, else the picture's.
    wxSize GetSourceSize() const;
    // Repaints now unless a running device's frames will do it.
    void RefreshUnlessRunning();
    bool HandleMouse(wxMouseEvent& event);

    std::atomic<CVideoDevice*> m_device{nullptr};  // not owned
    wxColour m_background{64, 64, 64, 255};

    // The hand-over: the acquisition thread copies a frame into m_pending (storage
    // reused); the GUI thread converts it into m_image before painting, so a frame is
    // never drawn while it is being written.
    std::mutex m_imageMutex;  // leaf lock: guards m_pending and m_hasPending
    cv::Mat m_pending;
    bool m_hasPending = false;
    std::atomic<bool> m_dirty{false};
    std::atomic<int64_t> m_skippedFrames{0};

    // GUI thread only.
    wxBitmap m_image;
    wxBitmap m_paintBuffer;  // kept between paints: no allocation per frame
    float m_fitScale = 1.0f;
    bool m_fitNeeded = true;
    int m_mouseMode = MOUSE_NONE;
    wxPoint m_lastDrag{-1, -1};
    wxPoint m_pan{0, 0};
    float m_zoom = 1.0f;
    wxPoint m_offset{0, 0};
    bool m_showRate = false;

    wxDECLARE_DYNAMIC_CLASS(CVideoView);
    wxDECLARE_EVENT_TABLE();
};
