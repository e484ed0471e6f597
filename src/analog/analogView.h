#pragma once

#include "analog/analogViewData.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewPlacement.h"
#include "analog/analogViewSettings.h"
#include "analog/curveRaster.h"
#include "analog/viewSink.h"
#include "analog/visibleChannels.h"

#include <wx/arrstr.h>
#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/window.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CAnalogDevice;
struct TimeGraphLayout;
struct ValueRange;
struct ParametricLayout;
struct ParametricScale;
class MyButton;
class wxConfigBase;
class wxDC;
class wxPaintEvent;
class wxSizeEvent;

// The 2D window showing the channels of one analog device in one of seven
// display modes. A page of the main notebook, owned by it; linked (not owning)
// to its device, which feeds it frames through AddData.
// Threads: AddData runs in the device's acquisition thread; everything else in
// the GUI thread.
class CAnalogView : public wxWindow, public CAnalogViewSettings, public CAnalogViewSink {
public:
    // For creation by class name: no native window until Create.
    CAnalogView();
    CAnalogView(wxWindow* parent, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize);
    ~CAnalogView() override;

    // Creates the native window and the battery icons (a default-constructed
    // view has neither).
    bool Create(wxWindow* parent, wxWindowID id = wxID_ANY, const wxPoint& pos = wxDefaultPosition,
                const wxSize& size = wxDefaultSize, long style = wxBORDER_NONE,
                const wxString& name = wxPanelNameStr);

    void SetDevice(CAnalogDevice* device);

    // CAnalogViewSink. AddData: acquisition thread; never waits on painting.
    // NotifyBatteryChanged: any thread (a device's callback); the rest: GUI thread.
    void AddData(const double* values, int count, uint32_t sample, double timeSec) override;
    void ResetView() override;
    void Restart() override;
    void FreezeData() override;
    void ThawData() override;
    void NotifyBatteryChanged(bool changed) override;
    // Rows refused by the history (a device whose rows changed shape) ask
    // for a paint too: the paint rebuilds the view for the new shape.
    // A paint is asked for only where the picture would change: new rows in the time
    // graphs, newest values (or markers) that differ from the painted ones elsewhere.
    bool IsDirty() const override;
    void RequestRefresh() override { Refresh(false); }
    void SaveConfig(wxConfigBase* config) override;
    void DetachDevice() override;
    // The time graphs show the markers of their whole display time.
    double GetMarkerWindowSec() const override
    {
        return draw_time > kRecentMarkerWindowSec ? draw_time : kRecentMarkerWindowSec;
    }

    void SetBuffer();
    // The history built for these visible channels of the device.
    void SetBuffer(const CVisibleChannels& visible);
    void ResetBuffers();
    void SetDrawTime(double seconds);
    void LoadConfig(wxConfigBase* config);

    void SetBkColor(const wxColour& colour);
    void SetFrameColor(const wxColour& colour);
    void SetGridColor(const wxColour& colour);
    void SetAnalogColor(const wxColour& colour);
    void SetZeroColor(const wxColour& colour);
    void SetEllipseColor(const wxColour& colour);
    void SetSelected(bool selected, int viewCount);
    static void GetDrawTypes(wxArrayString& names);

    void UpdateBattery(bool force);

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    wxString GetTitle() const;
    void DrawRecentMarkers(wxDC& dc, int x, int y, bool centre);
    static wxString FormatValue(double value);
    static std::uint32_t ValueToColour(double value);
    static void DrawRotatedEllipse(wxDC& dc, double cx, double cy, double w, double h,
                                   double angle);

    // Draws the whole view on dc (a paint or memory context).
    void Draw(wxDC& dc);
    void DrawTimeGraph(wxDC& dc, const std::vector<int>& list);
    void DrawBars(wxDC& dc, const std::vector<int>& list);
    void DrawPie(wxDC& dc, const std::vector<int>& list);
    void DrawBoardQuadrants(wxDC& dc, const std::vector<int>& list);
    void CreateColourScale();
    void DrawParametric(wxDC& dc, const std::vector<int>& list);
    void DrawSpectra(wxDC& dc, const std::vector<int>& list);
    void DrawChannelSpectrum(wxDC& dc, int index, int channel, int x, int y, int width,
                             int height);

    // For tests and the settings grid.
    const CAnalogViewData& GetData() const { return m_data; }
    CAnalogViewData& GetData() { return m_data; }
    MyButton* GetBatteryIcon(int i) const;
    // While set, every text the view draws is listed there too.
    void RecordTexts(std::vector<CViewText::Drawn>* recorder) { m_text.SetRecorder(recorder); }
    // While set, every plot frame the view draws is listed there too.
    void RecordFrames(std::vector<ViewFrame>* recorder) { m_frameRecorder = recorder; }
    const wxBitmap* GetScaleBitmap() const { return m_scaleBitmap.get(); }
    static int GetViewCount() { return s_viewCount.load(); }

    int m_lineWidth = 2;
    int m_component = 0;
    std::array<MyButton*, 6> m_batteryIcons{};  // children of the view
    int m_batteryIcon = -1;
    int m_batteryLevel = 0;
    bool m_reportNoData = true;
    std::atomic<bool> m_batteryDirty{true};  // set by any thread, cleared by the paint
    double m_rate = 25.0;
    int m_channelCount = 0;
    int m_dim = 1;
    wxString m_name;
    std::atomic<CAnalogDevice*> m_device{nullptr};  // not owned
    bool m_selected = false;
    bool m_multiView = false;

private:
    void Init();
    void CreateBatteryIcons();
    void OnPaint(wxPaintEvent& event);
    void OnSize(wxSizeEvent& event);
    CViewDataConfig MakeDataConfig(CAnalogDevice& device);
    void ApplyBackground();
    void DrawEventMarkers(wxDC& dc, const TimeGraphLayout& layout, int bottom, double sx,
                          double firstTime);
    void DrawTimeAxes(wxDC& dc, const TimeGraphLayout& layout, int h);
    // The value labels left of a plot of that height, written to m_axisTexts;
    // returns the left margin they need.
    int WriteValueLabels(wxDC& dc, const ValueRange& range, int plotHeight, int lineHeight);
    int DrawStripScales(wxDC& dc, const std::vector<int>& list, const TimeGraphLayout& layout,
                        const wxString& rangeText);
    // A plot frame drawn along the rectangle (x, y, width, height) with a pen of that width.
    void NoteFrame(int x, int y, int width, int height, int pen)
    {
        if (m_frameRecorder)
            m_frameRecorder->push_back(ViewFrame{wxRect(x, y, width, height), pen});
    }
    void DrawTrail(wxGraphicsContext& gc, const ParametricLayout& p, const ParametricScale& scale,
                   std::uint64_t frames, const wxColour& colour);
    void DrawBarValue(wxDC& dc, const wxString& text, int cx, int valueY, bool rising,
                      int plotBottom);
    // zeroY: the zero level; in strip mode its distance below each lane's
    // middle. valueStep: the value grid's step, to which the newest values
    // are written; 0 where they have no room.
    void DrawCurves(wxDC& dc, const std::vector<int>& list, const TimeGraphLayout& layout, int w,
                    double zeroY, double k, double sx, double valueStep);

    std::unique_ptr<wxBitmap> m_scaleBitmap;
    std::mutex m_mutex;  // the view's lock: rebuilds against drawing
    CAnalogViewData m_data;
    CViewSnapshot m_snapshot;  // GUI thread: the history of the current paint
    CCurveRaster m_raster;     // GUI thread: the curves of the current paint
    wxBitmap m_rasterBitmap;   // GUI thread: the curves' layer as drawn
    CViewText m_text;          // GUI thread: text sizes kept between paints
    // The view's own fonts, made once: a font made anew each paint would be keyed anew.
    const wxFont m_markerFont{10, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_MEDIUM};
    const wxFont m_recentFont{12, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_MEDIUM};
    const wxFont m_shareFont{16, wxFONTFAMILY_ROMAN, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL};
    const wxFont m_crossFont{11, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL};
    const wxFont m_valueFont{7, wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL};
    CDotPictures m_dots;       // GUI thread: the newest values' marks
    CTextPlacer m_placer;      // GUI thread: the boxes of the texts of the current paint
    std::uint64_t m_refusedSeen = 0;  // GUI thread: refused rows when last painted
    // GUI thread: what the last paint showed, where a picture can stay the same.
    static constexpr std::uint64_t kAlwaysChanges = 0;
    std::uint64_t PictureKey() const;
    void NotePaintedPicture();
    std::uint64_t m_paintedKey = kAlwaysChanges;
    bool m_hasPaintedKey = false;
    mutable CViewSnapshot m_keySnapshot;
    // GUI thread: the device's visible channels the history was built for, and those of
    // the current paint (same shape), whose names the labels show.
    std::uint64_t m_builtShape = 0;
    std::atomic<std::uint64_t> m_feedShape{0};  // the same, for the feed
    VisibleChannelsPtr m_shown;
    // GUI thread: working buffers of the paints, kept to spare an allocation per paint.
    std::vector<wxPoint2DDouble> m_points;
    std::vector<wxPoint2DDouble> m_drawn;
    std::vector<double> m_layerXy;
    std::vector<wxString> m_labels;      // the channels' labels of the current paint
    std::vector<wxString> m_valueTexts;  // and their values, where shown beside them
    std::vector<size_t> m_tails;         // where each label's distinct part begins
    std::vector<size_t> m_heads;         // or how much of its start tells it apart
    std::vector<wxString> m_axisTexts;   // the value labels of the current paint
    std::vector<ViewFrame>* m_frameRecorder = nullptr;
    std::vector<int> m_tagWanted;
    std::vector<int> m_tagTops;
    std::vector<bool> m_tagShown;
    // GUI thread: the parametric trail's layer, kept between paints so that a
    // paint strokes only the rows stored since the last one.
    struct TrailLayer {
        bool valid = false;
        std::uint64_t history = 0;
        std::uint64_t firstRow = 0;  // oldest row drawn (stored-row count)
        std::uint64_t endRow = 0;    // rows before this one are drawn
        int left = 0, top = 0, right = 0, bottom = 0;
        double lo = 0.0, hi = 0.0, scale = 0.0, mid = 0.0;
        int component = 0;
        int lineWidth = 0;
        std::uint32_t colour = 0;
        bool hasLast = false;
        wxPoint2DDouble last;  // last point stroked, in view pixels
    };
    TrailLayer m_trail;
    CCurveRaster m_trailRaster;
    wxBitmap m_trailBitmap;

    static std::atomic<int> s_viewCount;

    wxDECLARE_DYNAMIC_CLASS_NO_COPY(CAnalogView);
    wxDECLARE_EVENT_TABLE();
};
