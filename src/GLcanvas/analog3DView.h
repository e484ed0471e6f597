#pragma once

#include "GLcanvas/trackerViewData.h"
#include "GLcanvas/wx3DWindow.h"
#include "analog/viewSink.h"
#include "analog/visibleChannels.h"

#include <wx/arrstr.h>

#include <atomic>
#include <cstdint>

class CAnalogDevice;
class CAnalog3DView;
class wxCommandEvent;

// What the tracker view asks of the main frame: select it after a click.
class CView3DOwner {
public:
    virtual ~CView3DOwner() = default;
    // GUI thread: select the view's page and mark it the selected view.
    virtual void SelectView(CAnalog3DView* view) = 0;
};

// The live 3D scene of one tracker device: each visible channel a coloured,
// labelled, oriented cube with its trail; recent markers in the corner; a
// frame showing recording and selection. A page of the main notebook, owned by
// it; linked (not owning) to its device, which feeds it through AddData.
// Threads: AddData runs in the device's acquisition thread and never waits on
// painting; everything else in the GUI thread.
class CAnalog3DView : public my3DCanvas, public CAnalog3DViewSink {
public:
    enum ViewType { kFreeView = 0, kNoView = 6 };

    CAnalog3DView(wxWindow* parent, const wxPoint& pos = wxDefaultPosition,
                  const wxSize& size = wxDefaultSize, long style = 0,
                  const wxString& name = "3D Analog View");
    ~CAnalog3DView() override;

    void SetDevice(CAnalogDevice* device);
    CAnalogDevice* GetDevice() const { return m_device.load(); }
    void SetOwner(CView3DOwner* owner) { m_owner = owner; }

    // CAnalog3DViewSink. AddData: acquisition thread; the rest: GUI thread.
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override;
    void ResetView() override;  // also the canvas's: rebuilds, leaves the camera
    void Restart() override;
    void SetBusy() override { m_busy.store(true); }
    void ThawData() override { m_busy.store(false); }
    // New data since the last frame, a frame owed since the page could not be
    // drawn, frames refused for a new shape of the device, or another
    // recording frame or set of marker labels than the last frame showed.
    // Nothing else: a device repeating its last pose costs no frames.
    bool NeedsRefresh() const override;
    // Rebuilds the sensors first when the device changed its shape.
    void RequestRefresh() override;
    void SaveConfig(wxConfigBase* config) override;  // also the canvas's
    void DetachDevice() override;

    void LoadConfig(wxConfigBase* config) override;
    void InitSettings() override;
    void DrawScene() override;

    void Rebuild();
    void RefreshSensors();
    virtual double GetTime();
    virtual void ResetDevice();
    virtual void SetSelected(bool selected, int viewCount);
    virtual void SetDrawTime(double seconds);
    virtual double GetDrawTime() const { return m_drawTime; }
    virtual void SetObjectSize(double size);
    virtual double GetObjectSize() const { return m_objectSize; }
    virtual void UpdateFogColor();
    virtual void SetViewType(int type);
    int GetViewType() const { return m_viewType; }
    static void GetViewTypes(wxArrayString& names);

    // The configuration path of this view's own keys.
    wxString ConfigPath() const;
    bool IsBusy() const { return m_busy.load(); }
    bool IsSelected() const { return m_selected; }
    const CTrackerViewData& GetData() const { return m_data; }

    void OnResetView(wxCommandEvent& event);
    void OnTogglePerspective(wxCommandEvent& event);

private:
    class BusyScope;

    // What the scene shows besides the sensors; a change asks for a frame.
    struct SceneState {
        bool recording = false;
        uint64_t markers = 0;  // which markers are written, as a hash
        uint64_t receipts = 0;  // the device's changes of which sensors report
        bool operator==(const SceneState& other) const
        {
            return recording == other.recording && markers == other.markers &&
                   receipts == other.receipts;
        }
    };
    SceneState CurrentSceneState() const;
    // GUI thread: when frames were refused since the last look and the device
    // now has another shape than the sensors (a network tracker that found
    // more sensors), the sensors are rebuilt for it. True when rebuilt.
    bool FollowDevice();
    void BuildSensors();
    void DrawMarkerLabels();
    void DrawOverlayText(const wxString& text);
    void DrawFrame(unsigned char r, unsigned char g, unsigned char b, float width);

    void OnMenu(wxCommandEvent& event);

    std::atomic<CAnalogDevice*> m_device{nullptr};  // not owned
    CView3DOwner* m_owner = nullptr;                // not owned
    CTrackerViewData m_data;
    double m_positionScale = 1.0;
    double m_drawTime = 0.5;
    double m_objectSize = 0.025;
    int m_viewType = kFreeView;
    void* m_overlayFont = nullptr;  // freeglut bitmap font
    wxString m_deviceName;
    std::atomic<bool> m_busy{false};
    bool m_selected = false;
    bool m_severalViews = false;
    uint64_t m_refusedSeen = 0;  // GUI thread: refused frames when the shape was last checked
    uint64_t m_builtShape = 0;   // GUI thread: the device's visible channels the sensors show
    std::atomic<uint64_t> m_feedShape{0};  // the same, for the feed
    SceneState m_drawnState;     // GUI thread: as the last frame drew it

    static std::atomic<int> s_nextId;

    // Named to the toolkit's class information; no creation by name, as a GL
    // window of this toolkit port cannot exist without its parent.
    wxDECLARE_CLASS(CAnalog3DView);
    wxDECLARE_EVENT_TABLE();
};
