#pragma once

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <vector>

// Reads one recording file back: header, property block, frames (held in
// memory up to 512 KiB, read from the file on demand above that) and the
// marker trailer. The file is untrusted: every length and count is checked
// against the bytes present before it is used. Owned by one file-player device.
// Open, Clear and the accessors: GUI thread, before the device's acquisition
// thread runs. GetFrame: the device's acquisition thread.
class CAnalogReader {
public:
    static constexpr int32_t kMaxChannels = 256;
    static constexpr int32_t kMaxDim = 256;
    static constexpr int64_t kMinFrames = 2;
    static constexpr uint64_t kMemoryLimitBytes = 524288;  // frames held in memory up to this
    static constexpr uint64_t kMaxMarkers = 99999;
    static constexpr uint64_t kMaxLabelBytes = 64 * 1024;
    static constexpr int64_t kMinFileSize = 128;

    CAnalogReader();
    ~CAnalogReader();
    CAnalogReader(const CAnalogReader&) = delete;
    CAnalogReader& operator=(const CAnalogReader&) = delete;

    // Frees the frames, markers and names; keeps a held file.
    void Clear();
    // 2 for the current magic number, 1 for the older one, 0 otherwise.
    static int GetFileVersion(const wxString& path);
    bool Open(const wxString& path);
    bool ReadFileNewFormat(const wxString& path);
    // Fills values with frame `frame` (0-based), count = channels x dim. On a
    // failed read values keep what they held; the failure is counted.
    bool GetFrame(double* values, int64_t count, int64_t frame);
    bool IsTrackerModel() const;
    void Resize(int32_t channels, int32_t dim, int64_t frames);

    int32_t GetChannelCount() const { return m_channelCount; }
    int32_t GetDim() const { return m_dim; }
    int64_t GetFrameCount() const { return m_frameCount; }
    double GetRate() const { return m_rate; }
    double GetMinValue() const { return m_minValue; }
    double GetMaxValue() const { return m_maxValue; }
    double GetUnitScale() const { return m_unitScale; }
    int32_t GetDeviceType() const { return m_deviceType; }
    bool IsTracker() const { return m_isTracker != 0; }
    const wxString& GetDeviceKey() const { return m_deviceKey; }
    const wxString& GetFileName() const { return m_fileName; }
    const std::vector<wxString>& GetChannelNames() const { return m_channelNames; }
    const std::vector<uint32_t>& GetMarkerCodes() const { return m_markerCodes; }
    const std::vector<uint32_t>& GetMarkerFrames() const { return m_markerFrames; }
    const std::vector<wxString>& GetMarkerLabels() const { return m_markerLabels; }
    bool IsInMemory() const { return m_keepInMemory != 0; }
    bool HoldsFile() const { return m_file >= 0; }
    int64_t GetDataOffset() const { return m_dataOffset; }
    // On-demand reads that failed (any thread).
    uint64_t GetFailedReads() const { return m_failedReads.load(std::memory_order_relaxed); }

private:
    class CCursor;
    void Allocate(int32_t channels, int32_t dim, int64_t frames);
    void CloseFile();
    bool Refuse();
    bool ReadProperties(CCursor& cursor, uint64_t blockLength);
    bool ReadFramesIntoMemory(CCursor& cursor);
    void ReadMarkers(CCursor& cursor, bool hasLabels);

    std::vector<std::vector<double>> m_values;  // one array per value channel
    uint64_t m_valueCount = 0;
    int32_t m_channelCount = 0;
    int32_t m_dim = 1;
    int64_t m_frameCount = 0;
    double m_rate = 1.0;
    wxString m_fileName;
    double m_minValue = -1.0;
    double m_maxValue = 1.0;
    double m_unitScale = 1.0;
    std::vector<uint32_t> m_markerCodes;
    std::vector<uint32_t> m_markerFrames;
    std::vector<wxString> m_markerLabels;
    std::vector<wxString> m_channelNames;
    wxString m_deviceKey;
    int32_t m_deviceType = 0;
    uint8_t m_isTracker = 0;
    int64_t m_dataOffset = 0;
    uint8_t m_keepInMemory = 1;
    int m_file = -1;  // held only while frames are read on demand
    std::vector<double>
        m_frameScratch;  // one frame, so a failed read leaves the caller's row whole
    std::atomic<uint64_t> m_failedReads{0};
};
