#pragma once

#include <wx/string.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Layout of the qvd recording file, shared by the writers, the reader and the
// finaliser. Every number in the file is little-endian.

constexpr uint64_t kRecordMagic = 99887755;     // current generation: labelled markers
constexpr uint64_t kRecordMagicOld = 99887766;  // older generation: markers without labels
constexpr int64_t kRecordRateOffset = 8;
constexpr int64_t kRecordCountOffset = 24;  // i64 frame count, patched when finished
constexpr int64_t kRecordBlockLengthOffset = 32;
constexpr int64_t kRecordHeaderSize = 40;  // the property block follows
constexpr size_t kPropertyBlockCapacity = 2048;
constexpr size_t kPropertyBlockMax = 2047;  // records must end at or before this
constexpr size_t kPropertyStringMax = 2047;
// The widest frame a recording may hold. The writers refuse wider ones and the
// reader takes any file within them, so whatever is recorded plays back: 1 024
// OSC channels and 256 trackers of 7 values stay far below.
constexpr int64_t kRecordMaxDim = 256;
constexpr int64_t kRecordMaxFrameValues = 65536;
// Whether a frame of channels x dim values is one a recording may hold.
constexpr bool IsRecordableFrame(int64_t channels, int64_t dim)
{
    return channels >= 1 && dim >= 1 && dim <= kRecordMaxDim &&
           channels <= kRecordMaxFrameValues / dim;
}

constexpr const char* kRecordExtension = ".qvd";
constexpr const char* kDefaultTextExtension = ".txt";
// Added to a text export's name while its lines are written: a power cut leaves
// them there, never a part of them under the export's own name.
constexpr const char* kTextPartSuffix = ".part";

// Settings keys of the capture group, spelled as stored.
constexpr const char* kKeyUseTextHeader = "/Capture/Use_Text_Header";
constexpr const char* kKeyUseTextTime = "/Capture/Use_Text_Time";
constexpr const char* kKeyCaptureUseThread = "/Capture/Capture_use_thread";
constexpr const char* kKeyCaptureQueueDepth = "/Capture/Capture_queue_depth";
constexpr const char* kKeyCapturePriority = "/Capture/Capture_priority";
constexpr const char* kKeyCaptureMaxTime = "/Capture/Capture_max_time";
// Writer queue depths a setting may ask for, in frames. A threaded writer never
// holds fewer than the lower bound (nor less than two seconds of frames); the
// upper one keeps the queue, allocated for every trial, to what a writer can use.
constexpr int kMinCaptureQueueDepth = 30;
constexpr int kMaxCaptureQueueDepth = 100000;

// Text-export switches, loaded from the keys above by the configuration load and
// the settings grid; a writer takes a copy when it opens its files.
extern std::atomic<bool> g_Use_Text_Header;
extern std::atomic<bool> g_Use_Text_Time;

enum HeaderPropertyTag : uint8_t {
    HEADER_PROPERTY_BOOL = 1,
    HEADER_PROPERTY_INT = 2,
    HEADER_PROPERTY_DOUBLE = 3,
    HEADER_PROPERTY_STRING = 4,
};

// One property block; built per call, never shared between devices.
using HeaderPropertyBuffer = std::array<uint8_t, kPropertyBlockCapacity>;

// Each appends one record at *position when it fits whole within 2047 bytes and
// advances *position; otherwise it writes nothing and returns false.
bool AddBoolProperty(uint8_t* buffer, uint64_t* position, bool value);
bool AddIntProperty(uint8_t* buffer, uint64_t* position, int32_t value);
bool AddDoubleProperty(uint8_t* buffer, uint64_t* position, double value);
bool AddStringProperty(uint8_t* buffer, uint64_t* position, const char* utf8);

// What the property block describes. channelNames holds one name per recorded
// channel, in the order of the channels in the frames.
struct RecordHeaderInfo {
    wxString deviceKey;
    std::vector<wxString> channelNames;
    bool isTracker = false;
    int32_t deviceType = 0;
    double unitScale = 1.0;
    double minValue = -1.0;
    double maxValue = 1.0;
};

// The names of the enabled channels (flag byte 1), in channel order: one name
// per recorded channel.
std::vector<wxString> SelectRecordedNames(const std::vector<wxString>& names, const uint8_t* flags,
                                          int32_t channelCount);

// The name a channel takes when a recording gives it none: a device's channel
// k starts with it, and the player gives it to channel k of a file whose block
// holds no name (or an empty one) for it.
wxString DefaultChannelName(int channel);

// What became of the channel names that did not all fit the block whole. A
// name read back as its default (stored empty) counts as kept.
struct RecordNamesOutcome {
    size_t total = 0;
    size_t shortened = 0;     // cut to a shared length, keeping the part that differs
    size_t leftOut = 0;       // names that read back as the default name instead
    size_t firstLeftOut = 0;  // the first channel of those
};

// Builds the block into buffer and returns its length. Names that were
// distinct read back distinct.
uint64_t BuildHeaderProperties(const RecordHeaderInfo& info, HeaderPropertyBuffer& buffer,
                               RecordNamesOutcome* outcome = nullptr);
// Says on the Messages page which names of the recording at path were left out.
void ReportNamesLeftOut(const wxString& path, const RecordNamesOutcome& outcome);

// A copy of a device's marker lists (same length each), taken under the
// device's marker lock.
struct RecordMarkers {
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    size_t Count() const;
};

// Bytes of the marker trailer: u64 count, then code u32, frame i64 (sign-extended),
// label length u64 and the label as UTF-8 for each marker.
std::vector<uint8_t> EncodeMarkerTrailer(const RecordMarkers* markers);

// The size this process may give a file (the soft file-size limit, ulimit -f);
// INT64_MAX without one. A write past it fails, and room kept on disk beyond
// it is of no use, so the writers keep their trailer's room below it.
int64_t GetFileSizeLimit();

// Keeps length bytes of room from end on (beyond the file's end: its size and
// contents stay), within sizeLimit. False with errno set when the room cannot be
// had (ENOSPC, EDQUOT, or EFBIG past the limit); a file system that keeps no room
// clears canReserve and counts as room, its writes telling instead.
bool ReserveFileRoom(int fd, int64_t end, int64_t length, int64_t sizeLimit, bool& canReserve);

// The largest n below count for which fits(n) holds, where fits holds up to some n
// and not beyond; 0 when none does. Finds how much of a write still leaves a file
// its reserved room.
template <class Fits>
uint64_t LargestFitting(uint64_t count, Fits&& fits)
{
    uint64_t fitting = 0;
    uint64_t low = 0;
    uint64_t high = count;  // count itself does not fit
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        if (fits(middle)) {
            fitting = middle;
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return fitting;
}

// Closes a file this process wrote, once: on Linux the descriptor is gone
// whatever close returns, so it is never retried. 0, or the errno of a close
// after which data may be missing (EIO: the disk refused what was written).
// An interrupted close (EINTR) loses nothing written before it and gives 0.
int CloseWrittenFile(int fd);

// Waits until what was written to fd is on the disk (fdatasync): 0, or the
// errno of a flush after which it may not be. A file system that cannot flush
// (EINVAL, EROFS) has nothing to wait for and gives 0.
int SyncFileData(int fd);
// The same for a folder's entries (a file created or removed in it); a folder
// that cannot be opened for it gives 0, the files in it were flushed anyway.
int SyncFolder(const wxString& folder);
// A file written and closed elsewhere (a camera's video), then its folder.
int SyncWrittenFile(const wxString& path);
// The folder a path names its file in ("." for a bare name).
wxString FolderOf(const wxString& path);

// Reads size bytes at offset, retrying interrupted and short reads; false at end of
// file or on a read error.
bool PreadAll(int fd, void* data, size_t size, int64_t offset);

// Little-endian helpers.
void PutU32(uint8_t* out, uint32_t value);
void PutU64(uint8_t* out, uint64_t value);
void PutF64(uint8_t* out, double value);
uint32_t GetU32(const uint8_t* in);
uint64_t GetU64(const uint8_t* in);
double GetF64(const uint8_t* in);

// Writes the text to standard error and reports it as an error: logged on the
// GUI thread, posted to the message queue from any other thread. Any thread.
void ReportRecordingError(const wxString& text);

// The file open on fd no longer has a name, or path names another file (its
// folder was removed, or it was deleted or replaced while it was written).
// False when that cannot be told.
bool IsOpenFileGone(int fd, const wxString& path);

// The shortest text that reads back as exactly value (fixed or exponent form,
// whichever is shorter, as "%g" chooses), with a decimal point whatever the
// process locale; returns the end. At most kNumberTextMax characters.
constexpr size_t kNumberTextMax = 24;
char* FormatNumberShortest(char* out, char* end, double value);
char* FormatInt(char* out, char* end, int64_t value);

// The path of a recording: folder + separator + capture name + device name +
// "_%.04d" + extension. The capture name is used unchanged.
wxString MakeRecordFileName(const wxString& folder, const wxString& captureName,
                            const wxString& deviceName, int trial,
                            const wxString& extension = kRecordExtension);
// The export beside it: exportFolder + separator + recording name without folder
// and extension + text extension (".txt" when empty).
wxString MakeTextFileName(const wxString& recordPath, const wxString& exportFolder,
                          const wxString& textExtension);

// Finishes a recording file that no writer holds open any more (GUI thread):
// a file that is already finished is left unchanged and true is returned; an
// unfinished one (count 0, frames to the end) gets the count of the complete
// frames it holds, loses a partial last frame, and gets one trailer. False,
// with a message, when the file is missing, unreadable or not a recording.
bool FinaliseRecordFile(const wxString& path, int64_t frameCount, const RecordMarkers* markers);
