#pragma once

#include <wx/string.h>

#include <atomic>
#include <cstdint>
#include <vector>

// Reads one recording file back: header, property block, frames (held in
// memory up to 512 KiB, read from the file on demand above that) and the
// marker trailer. The file is untrusted: every length and count is checked
// against the bytes present before it is used. Damage after the frames costs
// markers, never frames, and no byte that follows the frames is played. What
// is read in spite of damage (a file that ends early, markers outside the
// frames, a damaged trailer) is noted.
// Owned by one file-player device.
// Open, Clear and the accessors: GUI thread, before the device's acquisition
// thread runs. GetFrame: the device's acquisition thread.
class CAnalogReader {
public:
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
    // Why the last Open refused the file; empty when it was read.
    const wxString& GetError() const { return m_error; }
    // What the last Open found missing or damaged in a file it read all the same.
    const std::vector<wxString>& GetNotes() const { return m_notes; }
    bool IsInMemory() const { return m_keepInMemory != 0; }
    bool HoldsFile() const { return m_file >= 0; }
    int64_t GetDataOffset() const { return m_dataOffset; }
    // On-demand reads that failed (any thread).
    uint64_t GetFailedReads() const { return m_failedReads.load(std::memory_order_relaxed); }

private:
    class CCursor;
    void Allocate(int32_t channels, int32_t dim, int64_t frames);
    void CloseFile();
    bool Refuse(const wxString& reason);
    bool ReadProperties(CCursor& cursor, uint64_t blockLength);
    // The frames to read, from the header's count and the bytes present; false
    // (with the reason) when the header and the file contradict each other.
    bool DecideFrameCount(CCursor& cursor, uint64_t count, bool hasLabels, int64_t& frames);
    bool ReadFramesIntoMemory(CCursor& cursor);
    // With a count never written: the frames before a whole trailer that ends
    // the file, -1 when none does.
    int64_t FramesBeforeTrailer(CCursor& cursor, bool hasLabels, int64_t present);
    // Whether a whole trailer with markers ends the file somewhere other than
    // at trailerOffset: then the header, not what follows the frames, is damaged.
    bool HasMarkedTrailerElsewhere(CCursor& cursor, bool hasLabels, int64_t trailerOffset) const;
    // Reads the last bytes of the file (after the block) into window; returns
    // the offset of its first byte.
    int64_t ReadTail(CCursor& cursor, std::vector<uint8_t>& window) const;
    enum class TrailerShape { Whole, CutShort, Contradicted };
    // Parses the trailer from the cursor to the end of the file. With frames
    // >= 0 the markers inside them are kept and the others counted; with
    // frames < 0 it only checks the shape.
    TrailerShape ReadMarkers(CCursor& cursor, bool hasLabels, int64_t frames);

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
    std::vector<wxString> m_channelNames;  // entry i names channel i; empty: no name stored
    wxString m_deviceKey;
    int32_t m_deviceType = 0;
    uint8_t m_isTracker = 0;
    int64_t m_dataOffset = 0;
    uint8_t m_keepInMemory = 1;
    int m_file = -1;  // held only while frames are read on demand
    std::vector<double>
        m_frameScratch;  // one frame, so a failed read leaves the caller's row whole
    std::atomic<uint64_t> m_failedReads{0};
    wxString m_error;
    std::vector<wxString> m_notes;
    uint64_t m_droppedMarkers = 0;  // outside the frames
};
