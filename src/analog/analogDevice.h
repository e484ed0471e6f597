#pragma once

#include "analog/colour.h"
#include "analog/formatTime.h"
#include "analog/paramType.h"
#include "analog/recorderSink.h"
#include "analog/sourceWatch.h"
#include "analog/viewSink.h"
#include "analog/visibleChannels.h"
#include "process/device.h"

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class wxConfigBase;

// Multichannel device base of every data source: channels, parameters by id,
// configuration group, registered views, frame dispatch, markers and the
// capture hooks of its recording controller. Owned by the main frame.
// Threads: GUI thread unless a function says otherwise; DispatchFrame and
// AddMarker run in the acquisition thread.
class CAnalogDevice : public CDevice {
public:
    explicit CAnalogDevice(bool synchronised);
    ~CAnalogDevice() override;
    CAnalogDevice(const CAnalogDevice&) = delete;
    CAnalogDevice& operator=(const CAnalogDevice&) = delete;

    // Channels.
    virtual bool IsFileDevice() const { return false; }
    virtual bool IsReady() const { return m_ready.load(); }
    virtual bool IsVisibleListValid() const { return m_visibleListValid.load(); }
    // Any thread, under the data mutex: a network device re-shapes its channels on its
    // acquisition thread.
    virtual int GetChannelCount() const;
    // The enabled count as the frames leave it: enabled values of the last frame (all
    // channels' before the first). A list update reaches it with the next frame. The
    // recorder uses GetEnabledChannelCount.
    virtual int GetVisibleCount() const;
    // Any thread, under the data mutex.
    virtual wxString GetChannelName(int n) const;
    virtual wxString GetChannelUnit(int n) const;
    // Any thread: entry n of the visible channels. A reader that needs a list and its
    // names together takes GetVisibleChannels once.
    virtual wxString GetVisibleChannelName(int n) const;
    virtual wxString GetVisibleChannelUnit(int n) const;
    virtual bool SetChannelName(int n, const wxString& name);
    virtual bool SetChannelUnit(int n, const wxString& unit);
    virtual int GetChannelDim() const { return m_dim; }
    // One flag byte per channel (1 = on), or null before InitChannels.
    virtual const uint8_t* GetChannelFlags() const { return m_channelOn.get(); }
    // Any thread: the visible channels as last published, never torn by a re-shape on
    // the acquisition thread; never null. Taking it costs a short lock, no copy.
    VisibleChannelsPtr GetVisibleChannels() const;
    // Any thread: the shape number of the visible channels. Read under the data mutex
    // (a view's feed) it is that of the row being fed.
    uint64_t GetVisibleShape() const { return m_visibleShape.load(); }
    // Any thread: a copy of the visible channel list.
    virtual std::vector<int> GetVisibleList() const { return GetVisibleChannels()->channels; }
    virtual void SetVisibleChannels(const std::vector<int>& channels);

    // Parameters by id: the device's own first, then one on/off and one name
    // parameter per channel.
    virtual void* GetParam(int id, int* count, int* type);
    virtual wxString GetParamLabel(int id);
    virtual wxString GetParamKey(int id);
    virtual int GetParamFlags(int id);
    virtual bool SetParam(const void* value, int id, int count, int type, bool* changed);
    virtual int GetParamCount();
    virtual int GetChoiceCount(int id);
    virtual wxString GetChoiceLabel(int id, int choice);
    virtual void ShowAllChannels();

    // Configuration group; false for a null configuration or a refused save.
    virtual bool LoadConfig(wxConfigBase* config);
    virtual bool SaveConfig(wxConfigBase* config);
    virtual bool SaveViewsConfig(wxConfigBase* config);

    // Centre-of-pressure statistics and device capabilities.
    virtual bool CanShowCPStat() const { return false; }
    virtual bool IsCPDevice() const { return m_cpDevice; }
    virtual bool GetShowCPStat() const { return m_showCPStat != 0; }
    virtual int GetCPXChannel() const { return -1; }
    virtual int GetCPYChannel() const { return -1; }
    virtual int GetCPXIndex() const { return -1; }
    virtual int GetCPYIndex() const { return -1; }
    virtual double GetCPStatTime() const { return m_cpStatTime; }
    virtual int GetCPStatLevel() const { return m_cpStatLevel; }
    virtual bool CanOffset() const { return true; }
    virtual bool CanReset() const { return true; }
    virtual bool HasBattery() const { return false; }
    virtual int GetBatteryLevel() const { return 0; }
    virtual bool IsBatteryShown() const { return false; }
    virtual bool IsVerbose() const { return m_verbose; }
    virtual void SetVerbose(bool verbose) { m_verbose = verbose; }
    // BuildHeaderProperties takes this slot with the recording code.

    virtual void StartCapture();
    virtual void StopCapture();  // any thread (the recorder, at its duration limit)
    virtual wxString GetExportExtension() const { return m_exportExtension; }

    // Markers. Copies taken under the marker lock: the acquisition thread adds.
    virtual std::vector<uint32_t> GetMarkerCodes() const;
    virtual std::vector<uint32_t> GetMarkerFrames() const;
    virtual std::vector<wxString> GetMarkerLabels() const;
    // The three lists as one consistent snapshot.
    void GetMarkers(std::vector<uint32_t>& codes, std::vector<uint32_t>& frames,
                    std::vector<wxString>& labels) const;
    virtual void ClearMarkers();  // any thread
    // Acquisition thread (or a device callback). While nothing records, markers
    // older than the longest marker window of the device's views are dropped,
    // so the list stays as long as what the views can show.
    virtual void AddMarker(uint32_t code, uint32_t frame, const wxString& label, bool notify);
    // The longest time back, in seconds, a view of this device shows markers.
    // Any thread.
    double GetMarkerWindowSec() const { return m_markerWindowSec.load(); }

    virtual void UpdateVisibleList();
    virtual int SeekFrame(int64_t) { return 0; }
    virtual int SeekTime(double) { return 0; }
    virtual int64_t GetCurrentFrame() const { return 0; }
    virtual int64_t GetTotalFrames() const { return 0; }
    virtual double GetDuration() const { return 0.0; }
    virtual wxString GetInfo();
    virtual double GetRecordTime() const;
    virtual void Poll() {}
    virtual int GetDeviceType() const { return m_deviceType; }

    // Capture hooks, forwarded to the recording controller.
    virtual bool IsRecording() const;
    virtual wxString GetRecordFileName() const;
    virtual bool StartRecording();
    virtual bool FinishRecording();
    virtual bool StopRecording();
    // GUI thread: the trial's start and stop instants (program time, us), one for every
    // device of the trial, for a device that records outside the recording controller
    // (a camera): its recording counts from the one and ends at the other.
    virtual void SetRecordStart(double /*programUs*/) {}
    virtual void SetRecordStop(double /*programUs*/) {}
    virtual bool SetupWriter(const wxString& folder, const wxString& captureName, int trial,
                             bool exportText, const wxString& exportFolder, bool useThread,
                             int queueDepth, int priority);
    virtual wxString GetWriterFileName() const;
    // GUI thread: why the last SetupWriter or StartRecording failed, in the device's own
    // words; empty when the device has nothing to add to the file system's reason.
    virtual wxString GetRecordingError() const { return wxString(); }
    virtual wxString GetExportFileName() const;
    virtual void SetRecordDuration(double seconds);
    virtual int64_t GetRecordedFrames() const;
    virtual void FreezeViews();
    virtual void ThawViews();
    virtual wxString GetDisplayName() const { return m_displayName; }

    // Views: registration and removal take the data mutex, which the frame
    // dispatch holds around its view walk.
    virtual int GetViewCount() const { return static_cast<int>(m_views.size()); }
    virtual int GetView3DCount() const { return static_cast<int>(m_views3D.size()); }
    virtual int GetAllViewCount() const { return GetViewCount() + GetView3DCount(); }
    virtual void AddView(CAnalogViewSink* view);
    virtual void AddView3D(CAnalog3DViewSink* view);
    virtual int FindView(const CAnalogViewSink* view) const;
    virtual int FindView3D(const CAnalog3DViewSink* view) const;
    virtual bool IsMainView3D(const CAnalog3DViewSink* view) const;
    virtual bool IsMainView(const CAnalogViewSink* view) const;
    virtual bool RemoveView3D(CAnalog3DViewSink* view);
    virtual bool RemoveView(CAnalogViewSink* view);
    virtual void RemoveAllViews();
    virtual void ResetViews();
    virtual void AnalogOffset();
    virtual void AnalogStartStop();
    virtual void AnalogStop();
    virtual void AnalogStart();
    virtual void RestartViews();
    virtual void RefreshViews();
    virtual CColour GetChannelColour(int n) const;  // any thread, under the data mutex
    virtual bool SetChannelColour(int n, const CColour& colour);
    // FinaliseRecordFile takes this slot with the recording code.
    virtual void SetDispatchToViews(bool dispatch) { m_dispatchToViews = dispatch; }
    virtual bool GetDispatchToViews() const { return m_dispatchToViews.load(); }
    virtual bool _SaveConfig(wxConfigBase* config);
    virtual void _LoadConfig(wxConfigBase* config);
    virtual void ApplyConfig() {}
    virtual void InitChannels();
    virtual void NotifyBatteryChanged(bool changed);

    // Overrides of the device base.
    bool IsTracker() const override { return m_isTracker; }
    bool IsOffsetRunning() const override { return false; }
    void Reset() override;
    void DispatchFrame() override;  // acquisition thread
    // Acquisition thread: the name goes out as a narrow text converted once
    // per change of name, not once per frame.
    bool SendOscData(double timeSec) override;
    bool SendOscEvent(const wxString& text, double timeSec) override;

    // Number of enabled channels (not values): what a recording's header and
    // frame layout are built from, whatever the last frame left in the
    // enabled count. Any thread.
    int GetEnabledChannelCount() const { return m_enabledChannels.load(); }

    // The device name as it may stand in a file name: no separator, no
    // control character, never empty. Any thread.
    wxString GetFileSafeName();

    // Any thread: whether channel n's values were received (kLive), never were, or no
    // longer come (kSilent). kLive for a device that watches no sources.
    virtual SourceState GetChannelReceipt(int channel) const { return m_sourceWatch.State(channel); }
    // Any thread: counts the changes of those states.
    uint64_t GetReceiptChanges() const { return m_sourceWatch.Changes(); }
    // GUI thread, after a run: how many of its frames hold values not received, and
    // whose; empty when every value was received.
    wxString GetUnreceivedNote() const;
    int64_t GetUnreceivedFrames() const { return m_sourceWatch.RunFrames(); }
    // Any thread: frames of the last run that repeat the last values, for ticks its
    // thread was held through.
    int64_t GetHeldRepeatFrames() const { return m_runHeldRepeats.load(); }
    // GUI thread, before the acquisition thread runs (tests shorten its times).
    CSourceWatch& GetSourceWatch() { return m_sourceWatch; }

    // Installs the recording controller (the device owns it). GUI thread,
    // while nothing records.
    void SetRecorder(std::unique_ptr<CAnalogRecorder> recorder);
    CAnalogRecorder* GetRecorder() const { return m_recorder.get(); }

    const wxString& GetConfigPath() const { return m_configPath; }

    // Records of the recording header's property block: tag byte, then the
    // value little-endian; false, and nothing written, past 2047 bytes.
    static bool AddBoolProperty(uint8_t* buffer, uint64_t* position, bool value);
    static bool AddIntProperty(uint8_t* buffer, uint64_t* position, int32_t value);
    static bool AddDoubleProperty(uint8_t* buffer, uint64_t* position, double value);

protected:
    void InitPalette();
    // m_shapeMutex held: a writer's header is written (until StopRecording closes the
    // writer; a trial may wait on it long before its start) or a recording runs. A device
    // that re-shapes itself (a network source) keeps its shape then: the frames must keep
    // the header's layout.
    bool IsShapeHeld() const { return m_shapeHeld || IsRecording(); }
    // Taken before the data mutex: a re-shape and a writer's header one at a time.
    std::mutex m_shapeMutex;
    // GetParam of a channel parameter, for a device whose acquisition thread may re-make
    // the flags at any moment: the caller gets a copy, never a pointer into them.
    void* GetChannelParamCopy(int id, int* count, int* type);
    // Data mutex held, or no other thread yet: m_visibleList, with the names and units of
    // its channels, becomes what readers get.
    void PublishVisibleList();
    // Data mutex held: the published list with channel's name and unit as they are now.
    void PublishChannelText(int channel);
    // Any thread: the name under its lock (the acquisition thread reads it).
    void SetDeviceName(const wxString& name);
    // Any thread: the marker lists become these (same length each).
    void ReplaceMarkers(const std::vector<uint32_t>& codes, const std::vector<uint32_t>& frames,
                        const std::vector<wxString>& labels);
    double FrameTime(uint64_t sampleCounter) const;
    // The tag the device's notes start with ("<VRPN> ").
    virtual wxString GetSourceTag() const { return wxString(); }
    // Acquisition thread: a tick the thread was held through, and the marks of a spell.
    // With no frame sent since the buffers were made or the run started there is no last
    // row: the tick becomes a frame of the values the device holds, after RefreshRow.
    void DispatchRepeat() override;
    // Acquisition thread: brings the row up to what the device received, for a device
    // that copies its values in only on a due step.
    virtual void RefreshRow() {}
    int64_t HeldRepeatRoom() override;
    void MarkHeldSpell(int64_t count) override;
    void MarkHeldSpellEnd() override;

    // The sources whose values the frames hold (sensors, birds, channels): configured
    // by a device that knows when they deliver; none otherwise.
    CSourceWatch m_sourceWatch;

    std::vector<CAnalogViewSink*> m_views;      // non-owning; guarded by the data mutex
    std::vector<CAnalog3DViewSink*> m_views3D;  // non-owning; guarded by the data mutex
    std::vector<CColour> m_channelColours;
    int m_firstChannelParam = 0;
    wxString m_configPath;
    std::vector<wxString> m_channelNames;
    std::vector<wxString> m_channelUnits;
    std::vector<int> m_visibleList;  // written under the data mutex; readers take m_visible
    bool m_verbose = false;
    std::atomic<bool> m_visibleListValid{false};
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_capturing{false};
    std::atomic<bool> m_dispatchToViews{true};
    int m_deviceType = 0;
    bool m_channelParams = true;
    bool m_isTracker = false;
    bool m_cpDevice = false;
    uint8_t m_showCPStat = 0;
    double m_cpStatTime = 0.0;
    int32_t m_cpStatLevel = 0;
    bool m_saveChannelNames = true;
    // Channel switches, names and colours are read back from the configuration
    // (a file player's channels are its file's).
    bool m_configChannels = true;
    std::atomic<bool> m_configBusy{false};
    wxString m_exportExtension = ".txt";
    wxString m_displayName;
    std::vector<wxString> m_paletteNames;
    std::atomic<int> m_enabledChannels{0};
    wxString m_paramText;  // the name value GetParam hands out, per device

private:
    bool SetChannelParam(const void* value, int k, int type);
    bool SetNameParam(const void* value, int j, int count, int type);
    void LoadDeviceParams(wxConfigBase* config);
    void LoadChannels(wxConfigBase* config);

    // Any thread: the narrow name for the OSC messages, made once per change.
    void CopyOscName(std::string& name);
    // GUI thread: takes the marker window of the registered views.
    void UpdateMarkerWindow();
    // Dispatching thread: the sources' states for this frame, their markers and notes.
    int WatchSources(uint64_t counter, bool isRecording);
    // m_markerMutex held: drops the markers no view shows and no recording takes.
    void DropUnusedMarkers();

    std::unique_ptr<CAnalogRecorder> m_recorder;
    uint8_t m_paramFlagCopy = 0;  // GUI thread: what GetChannelParamCopy hands out
    // Leaf lock, held only to swap or copy the pointer: a reader never waits for the
    // acquisition thread, nor the acquisition thread for a paint.
    bool m_shapeHeld = false;  // guarded by m_shapeMutex
    void HoldShape(bool held);
    mutable std::mutex m_visibleMutex;
    VisibleChannelsPtr m_visible = std::make_shared<const CVisibleChannels>();  // m_visibleMutex
    std::atomic<uint64_t> m_visibleShape{0};  // m_visible's, written under the data mutex
    wxString m_oscSource;        // guarded by m_nameMutex: the name m_oscName was made of
    std::string m_oscName;       // guarded by m_nameMutex
    std::string m_oscNameCopy;   // acquisition thread only: the frames' copy
    mutable std::mutex m_markerMutex;  // leaf lock: the three marker lists
    std::vector<uint32_t> m_markerCodes;
    std::vector<uint32_t> m_markerFrames;
    std::vector<wxString> m_markerLabels;
    size_t m_markerCheckAt = 0;  // guarded by m_markerMutex: list length of the next check
    std::atomic<double> m_markerWindowSec{0.0};
    uint64_t m_lastShape = 0;  // acquisition thread: the visible shape of the last frame
    // A frame went out from the buffers as they are, in this run: the output row holds
    // values read. Set by the dispatching thread; cleared where the buffers are made and
    // when a run starts.
    std::atomic<bool> m_hasOutputRow{false};
    bool m_isHeldTick = false;  // acquisition thread: the frame made is a held tick's
    std::atomic<int64_t> m_runHeldRepeats{0};  // the run's recorded repeats; StartRecording clears
};
