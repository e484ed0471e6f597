#pragma once

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "analog/analogDevice.h"

class CAnalogReader;

// Plays a recording file as a live device at its recorded rate, from frame 0,
// looping at the end. Owned by the main frame.
// Construction, parameters, Poll and the accessors: GUI thread. Process and the
// rewind it performs: the device's acquisition thread. Reset: any thread (from
// another thread it is handed to the acquisition thread).
class CAnalogFileDevice : public CAnalogDevice {
public:
    // Asks the user for a recording when no path is given (the GUI library
    // installs a file dialog); returns the chosen path or an empty text.
    using FileChooser = wxString (*)(const wxString& folder);
    static void SetFileChooser(FileChooser chooser);

    CAnalogFileDevice(bool synchronised, const wxString& folder, const wxString& path);
    ~CAnalogFileDevice() override;

    bool Process(bool tick, bool running) override;
    wxString GetDeviceName() const override;
    double GetElapsedTime() const override;
    double GetSampleTime() const override;
    void Reset() override;
    double GetUnitScale() const override { return m_unitScale; }
    bool IsFileDevice() const override { return true; }
    bool IsReady() const override { return m_loaded; }
    void* GetParam(int id, int* count, int* type) override;
    wxString GetParamLabel(int id) override;
    wxString GetParamKey(int id) override;
    bool SetParam(const void* value, int id, int count, int type, bool* changed) override;
    int GetChoiceCount(int id) override;
    wxString GetChoiceLabel(int id, int choice) override;
    bool CanShowCPStat() const override { return m_channelCount > 1; }
    int GetCPXIndex() const override { return 0; }
    int GetCPYIndex() const override { return 1; }
    bool CanOffset() const override { return false; }
    bool CanReset() const override { return true; }
    int64_t GetCurrentFrame() const override { return m_currentFrame.load(); }
    int64_t GetTotalFrames() const override { return m_frameCount; }
    double GetDuration() const override;
    wxString GetInfo() override;
    // GUI thread (idle handler): carries out the view reset that the
    // acquisition thread asked for when the recording wrapped around.
    void Poll() override;
    virtual void SetFolder(const wxString& folder) { m_folder = folder; }

    // Any thread: frames that could not be read from the file.
    uint64_t GetFailedReads() const;
    // Why the recording could not be loaded (not ready); empty after a load or
    // a cancelled choice. GUI thread.
    const wxString& GetLoadError() const { return m_loadError; }

protected:
    // Acquisition thread: plays the current frame and advances, rewinding at the end.
    void PlayFrame();

private:
    bool OpenAndLoad();
    bool Load();
    // Acquisition thread (or before the thread exists): back to frame 0. At
    // the end of the recording playback goes on with the next loop; a reset
    // starts anew, with the file's markers only.
    void Rewind(bool isNextLoop);

    std::unique_ptr<CAnalogReader> m_reader;
    wxString m_folder;
    wxString m_fileName;
    wxString m_name;
    bool m_loaded = false;
    wxString m_loadError;
    int64_t m_frameCount = 0;
    std::atomic<int64_t> m_currentFrame{0};
    double m_unitScale = 1.0;
    std::atomic<bool> m_rewindRequested{false};     // GUI -> acquisition thread
    std::atomic<bool> m_viewResetRequested{false};  // acquisition thread -> GUI
    // Set while Poll resets the views after a wrap: the views' own reset of the
    // device is then no second rewind (GUI thread).
    std::atomic<bool> m_wrapResetActive{false};
    bool m_readFailureReported = false;  // acquisition thread only
    // The file's markers, kept for the loops after the first (set by Load).
    std::vector<uint32_t> m_fileMarkerCodes;
    std::vector<uint32_t> m_fileMarkerFrames;
    std::vector<wxString> m_fileMarkerLabels;
    int64_t m_framesBeforeLoop = 0;  // acquisition thread: played since the last reset
};
