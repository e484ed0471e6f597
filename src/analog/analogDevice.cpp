#include "analog/analogDevice.h"

#include "analog/analogFile.h"

#include <wx/config.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

// Tag bytes of the recording header's property records.
constexpr uint8_t kTagBool = 1;
constexpr uint8_t kTagInt = 2;
constexpr uint8_t kTagDouble = 3;
constexpr uint64_t kPropertyLimit = 2047;

// Appends tag and value, least significant byte first, when the record fits.
bool AddProperty(uint8_t* buffer, uint64_t* position, uint8_t tag, uint64_t bits, size_t size)
{
    if (buffer == nullptr || position == nullptr) return false;
    if (*position + 1 + size > kPropertyLimit) return false;
    uint8_t* out = buffer + *position;
    out[0] = tag;
    for (size_t i = 0; i < size; ++i) out[1 + i] = static_cast<uint8_t>(bits >> (8 * i));
    *position += 1 + size;
    return true;
}

wxString GroupKey(const wxString& group, const wxString& key) { return group + "/" + key; }

MutexHandle* Unconst(const MutexHandle* handle) { return const_cast<MutexHandle*>(handle); }

}  // namespace

CAnalogDevice::CAnalogDevice(bool synchronised) : CDevice(synchronised, true)
{
    m_deviceName = _("AnalogDevice");
    m_deviceKey = "analog_device";
    m_channelCount = 0;
    m_displayName = _("Analog Device");
    m_exportExtension = ".txt";
    InitPalette();
    m_recorder = MakeRecordingController(*this);  // stores the device, calls nothing on it
}

CAnalogDevice::~CAnalogDevice()
{
    // The acquisition thread must be gone before any member goes.
    Close();
    if (m_verbose) Log(_("Deleting Analog Device \n"));
    m_recorder.reset();
    // Views outlive a closed device (they are pages of the main frame):
    // tell the ones still registered to forget it.
    RemoveAllViews();
    ClearMarkers();
}

void CAnalogDevice::InitPalette()
{
    m_paletteNames.clear();
    for (int i = 0; i < kPaletteSize; ++i) m_paletteNames.emplace_back(PaletteName(i));
}

void CAnalogDevice::SetDeviceName(const wxString& name)
{
    std::lock_guard<std::mutex> lock(m_nameMutex);
    m_deviceName = name.Clone();
}

double CAnalogDevice::FrameTime(uint64_t sampleCounter) const
{
    const double rate = m_rate;
    return rate > 0.0 ? static_cast<double>(sampleCounter) / rate : 0.0;
}

// The dispatching thread writes the enabled count on every frame, under the data mutex.
int CAnalogDevice::GetVisibleCount() const
{
    CMutexLock lock(Unconst(&m_dataMutex));
    return m_outputCount;
}

int CAnalogDevice::GetChannelCount() const
{
    CMutexLock lock(Unconst(&m_dataMutex));
    return m_channelCount;
}

VisibleChannelsPtr CAnalogDevice::GetVisibleChannels() const
{
    std::lock_guard<std::mutex> lock(m_visibleMutex);
    return m_visible;
}

// The names come through the virtual accessors (a device may name its own units); a
// nested lock by this thread finds the data mutex taken by itself and reads on.
void CAnalogDevice::PublishVisibleList()
{
    auto visible = std::make_shared<CVisibleChannels>();
    visible->channels = m_visibleList;
    visible->names.reserve(m_visibleList.size());
    visible->units.reserve(m_visibleList.size());
    for (int channel : m_visibleList) {
        visible->names.push_back(GetChannelName(channel));
        visible->units.push_back(GetChannelUnit(channel));
    }
    std::lock_guard<std::mutex> lock(m_visibleMutex);
    // A new name keeps the shape: the rows a view holds are still those channels'.
    visible->shape = m_visible->shape + (m_visible->channels != visible->channels ? 1 : 0);
    m_visibleShape.store(visible->shape);
    m_visible = std::move(visible);
}

// A new name or unit keeps the shape: the published list is copied with the one entry
// changed, the other entries' texts shared, not made again.
void CAnalogDevice::PublishChannelText(int channel)
{
    const VisibleChannelsPtr current = GetVisibleChannels();
    const auto found = std::find(current->channels.begin(), current->channels.end(), channel);
    // A channel not listed is not shown: the next publish of the list takes its text.
    if (found == current->channels.end() || current->channels != m_visibleList) return;
    const auto entry = static_cast<size_t>(found - current->channels.begin());
    if (entry >= current->names.size() || entry >= current->units.size()) return;
    auto visible = std::make_shared<CVisibleChannels>(*current);
    visible->names.Set(entry, GetChannelName(channel));
    visible->units.Set(entry, GetChannelUnit(channel));
    std::lock_guard<std::mutex> lock(m_visibleMutex);
    m_visible = std::move(visible);
}

void CAnalogDevice::InitChannels()
{
    if (m_verbose)
        Log(wxString::Format("Init device %s Channels : %d\n", GetDeviceName(), m_channelCount));
    if (m_channelCount <= 0) return;
    AllocBuffers();
    m_hasOutputRow.store(false, std::memory_order_relaxed);
    for (int i = 0; i < m_channelCount; ++i) {
        m_channelOn[i] = 1;
        m_channelNames.push_back(DefaultChannelName(i));
        m_channelUnits.emplace_back();
    }
    m_outputCount = m_channelCount;
    m_enabledChannels = m_channelCount;
    m_channelColours.clear();
    // Channels past the palette take entry i mod 48, so every channel has one.
    for (int i = 0; i < m_channelCount; ++i) m_channelColours.push_back(PaletteColour(i));
    // Every channel is on: every channel is visible.
    m_visibleList.clear();
    for (int i = 0; i < m_channelCount; ++i) m_visibleList.push_back(i);
    PublishVisibleList();
    m_visibleListValid = true;
}

wxString CAnalogDevice::GetChannelName(int n) const
{
    CMutexLock lock(Unconst(&m_dataMutex));
    if (n >= 0 && n < static_cast<int>(m_channelNames.size())) return m_channelNames[n];
    if (n >= 0 && n < m_channelCount)
        return wxString::Format(
            m_isTracker ? _("Tracker #%d") : _("Analog Channel #%d"), n + 1);
    return wxString();
}

wxString CAnalogDevice::GetChannelUnit(int n) const
{
    CMutexLock lock(Unconst(&m_dataMutex));
    if (n >= 0 && n < static_cast<int>(m_channelUnits.size())) return m_channelUnits[n];
    return wxString();
}

wxString CAnalogDevice::GetVisibleChannelName(int n) const
{
    const VisibleChannelsPtr visible = GetVisibleChannels();
    if (n < 0 || n >= static_cast<int>(visible->names.size())) return wxString();
    return visible->names[static_cast<size_t>(n)];
}

wxString CAnalogDevice::GetVisibleChannelUnit(int n) const
{
    const VisibleChannelsPtr visible = GetVisibleChannels();
    if (n < 0 || n >= static_cast<int>(visible->units.size())) return wxString();
    return visible->units[static_cast<size_t>(n)];
}

bool CAnalogDevice::SetChannelName(int n, const wxString& name)
{
    CMutexLock lock(&m_dataMutex);
    if (n < 0 || n >= static_cast<int>(m_channelNames.size())) return false;
    m_channelNames[n] = name;
    PublishChannelText(n);
    return true;
}

bool CAnalogDevice::SetChannelUnit(int n, const wxString& unit)
{
    CMutexLock lock(&m_dataMutex);
    if (n < 0 || n >= static_cast<int>(m_channelUnits.size())) return false;
    m_channelUnits[n] = unit;
    PublishChannelText(n);
    return true;
}

CColour CAnalogDevice::GetChannelColour(int n) const
{
    CMutexLock lock(Unconst(&m_dataMutex));
    if (n >= 0 && n < static_cast<int>(m_channelColours.size())) return m_channelColours[n];
    return CColour(128, 128, 128);
}

bool CAnalogDevice::SetChannelColour(int n, const CColour& colour)
{
    CMutexLock lock(&m_dataMutex);
    if (n < 0 || n >= static_cast<int>(m_channelColours.size())) return false;
    m_channelColours[n] = colour;
    return true;
}

// The flags, the list and the count change together under the data mutex: a re-shape on
// the acquisition thread cannot free the flags under the walk.
void CAnalogDevice::UpdateVisibleList()
{
    CMutexLock lock(&m_dataMutex);
    if (m_channelOn == nullptr) return;
    m_visibleListValid = false;
    m_visibleList.clear();
    for (int i = 0; i < m_channelCount; ++i) {
        if (m_channelOn[i]) m_visibleList.push_back(i);
    }
    // The enabled count of the frames is the dispatching thread's: it follows at the
    // next frame, copied with the row it counts.
    m_enabledChannels = static_cast<int>(m_visibleList.size());
    PublishVisibleList();
    m_visibleListValid = true;
}

// The flags and the list they make change in one hold of the data mutex: no row is
// copied with the new flags and fed to the views as one of the old list.
void CAnalogDevice::ShowAllChannels()
{
    CMutexLock lock(&m_dataMutex);
    if (m_channelOn != nullptr) {
        for (int i = 0; i < m_channelCount; ++i) m_channelOn[i] = 1;
    }
    UpdateVisibleList();
}

void CAnalogDevice::SetVisibleChannels(const std::vector<int>& channels)
{
    if (channels.empty() || m_channelOn == nullptr) return;
    {
        // The flags change between two frames, never in the middle of one.
        CMutexLock lock(&m_dataMutex);
        for (int i = 0; i < m_channelCount; ++i) m_channelOn[i] = 0;
        for (int channel : channels) {
            if (channel >= 0 && channel < m_channelCount) m_channelOn[channel] = 1;
        }
        UpdateVisibleList();
    }
    ResetViews();
    ResetCounters();
}

void* CAnalogDevice::GetChannelParamCopy(int id, int* count, int* type)
{
    CMutexLock lock(&m_dataMutex);
    void* value = CAnalogDevice::GetParam(id, count, type);
    if (value == nullptr || *type != PARAM_BOOL) return value;
    m_paramFlagCopy = *static_cast<const uint8_t*>(value);
    return &m_paramFlagCopy;
}

void* CAnalogDevice::GetParam(int id, int* count, int* type)
{
    *count = 0;
    if (id < m_firstChannelParam || m_channelCount == 0 || !m_channelParams) return nullptr;
    const int k = id - m_firstChannelParam;
    if (k < m_channelCount) {
        if (m_channelOn == nullptr) return nullptr;
        *type = PARAM_BOOL;
        *count = 1;
        return &m_channelOn[k];
    }
    const int j = k - m_channelCount;
    if (j >= m_channelCount) return nullptr;
    *count = 1;
    *type = PARAM_STRING;
    // One text per device, valid until this device's next call.
    m_paramText = GetChannelName(j);
    return &m_paramText;
}

wxString CAnalogDevice::GetParamLabel(int id)
{
    if (id < m_firstChannelParam || m_channelCount == 0) return wxString();
    const int k = id - m_firstChannelParam;
    if (k < m_channelCount) return GetChannelName(k);
    const int j = k - m_channelCount;
    if (j < m_channelCount)
        return wxString::Format(
            m_isTracker ? _("Tracker[%d] Name") : _("Analog Channel[%d] Name"), j + 1);
    return wxString();
}

wxString CAnalogDevice::GetParamKey(int id)
{
    if (id < m_firstChannelParam || m_channelCount == 0) return wxString();
    const int k = id - m_firstChannelParam;
    if (k < m_channelCount) return wxString::Format("Channel[%d].ON", k);
    const int j = k - m_channelCount;
    if (j < m_channelCount) return wxString::Format("Channel[%d].Name", j);
    return wxString();
}

int CAnalogDevice::GetParamFlags(int) { return 0; }

int CAnalogDevice::GetParamCount() { return m_firstChannelParam + 2 * m_channelCount; }

int CAnalogDevice::GetChoiceCount(int) { return 0; }

wxString CAnalogDevice::GetChoiceLabel(int, int) { return _("???"); }

bool CAnalogDevice::SetChannelParam(const void* value, int k, int type)
{
    if (m_channelOn == nullptr || type != PARAM_BOOL || value == nullptr) return false;
    const uint8_t on = *static_cast<const uint8_t*>(value) != 0 ? 1 : 0;
    if (on == 0) {
        // At least one channel stays on: a single enabled channel can be
        // switched off by no request, whichever channel it names.
        int enabled = 0;
        for (int i = 0; i < m_channelCount; ++i) enabled += m_channelOn[i] ? 1 : 0;
        if (enabled == 1) {
            wxLogError("%s", _("A least, one channel must be displayed!"));
            return false;
        }
    }
    {
        CMutexLock lock(&m_dataMutex);
        m_channelOn[k] = on;
        UpdateVisibleList();
    }
    return true;
}

bool CAnalogDevice::SetNameParam(const void* value, int j, int count, int type)
{
    if (type != PARAM_STRING || count != 1 || value == nullptr) return false;
    return SetChannelName(j, *static_cast<const wxString*>(value));
}

bool CAnalogDevice::SetParam(const void* value, int id, int count, int type, bool* changed)
{
    m_visibleListValid = false;
    *changed = false;
    const bool wasRunning = IsRunning();
    if (wasRunning) Stop();
    bool taken = false;
    if (id >= m_firstChannelParam && m_channelCount != 0) {
        const int k = id - m_firstChannelParam;
        if (k < m_channelCount)
            taken = SetChannelParam(value, k, type);
        else if (k - m_channelCount < m_channelCount)
            taken = SetNameParam(value, k - m_channelCount, count, type);
    }
    if (taken) {
        *changed = true;
        ResetViews();
        ResetCounters();
    }
    if (wasRunning) Start();
    m_visibleListValid = true;
    return taken;
}

bool CAnalogDevice::LoadConfig(wxConfigBase* config)
{
    if (config == nullptr) return false;
    m_configBusy = true;
    {
        // A device that re-shapes itself on its own thread (a network source) waits
        // with it until the settings are read: the channels read are those written.
        std::lock_guard<std::mutex> shape(m_shapeMutex);
        _LoadConfig(config);
    }
    m_configBusy = false;
    ApplyConfig();
    return true;
}

bool CAnalogDevice::SaveConfig(wxConfigBase* config)
{
    if (config == nullptr) return false;
    m_configBusy = true;
    bool saved = false;
    {
        std::lock_guard<std::mutex> shape(m_shapeMutex);  // as LoadConfig
        // A refused save (no group) is reported to the caller, not hidden.
        saved = _SaveConfig(config);
    }
    m_configBusy = false;
    return saved;
}

void CAnalogDevice::LoadDeviceParams(wxConfigBase* config)
{
    for (int id = 0; id < m_firstChannelParam; ++id) {
        if (GetParamFlags(id) != 0) continue;
        const wxString path = GroupKey(m_configPath, GetParamKey(id));
        if (!config->HasGroup(path) && !config->HasEntry(path)) continue;
        int count = 0;
        int type = PARAM_NONE;
        if (GetParam(id, &count, &type) == nullptr) continue;
        bool changed = false;
        switch (type) {
        case PARAM_BOOL: {
            bool flag = false;
            if (config->Read(path, &flag)) {
                const uint8_t byte = flag ? 1 : 0;
                SetParam(&byte, id, count, type, &changed);
            }
            break;
        }
        case PARAM_INT:
        case PARAM_CHOICE: {
            long number = 0;
            // A number beyond 32 bits is out of range, not its low half.
            if (config->Read(path, &number) && number >= INT32_MIN && number <= INT32_MAX) {
                const int32_t value = static_cast<int32_t>(number);
                SetParam(&value, id, count, type, &changed);
            }
            break;
        }
        case PARAM_DOUBLE: {
            double number = 0.0;
            if (config->Read(path, &number)) SetParam(&number, id, count, type, &changed);
            break;
        }
        case PARAM_STRING: {
            wxString text;
            if (config->Read(path, &text)) SetParam(&text, id, count, type, &changed);
            break;
        }
        default:
            break;
        }
    }
}

void CAnalogDevice::LoadChannels(wxConfigBase* config)
{
    if (m_channelOn == nullptr) {
        CMutexLock lock(&m_dataMutex);
        m_enabledChannels = m_channelCount;
        return;
    }
    for (int i = 0; i < m_channelCount; ++i) {
        bool on = true;
        config->Read(GroupKey(m_configPath, wxString::Format("channel_on_%d", i)), &on, true);
        {
            CMutexLock lock(&m_dataMutex);
            m_channelOn[i] = on ? 1 : 0;
        }
        const wxString nameKey = GroupKey(m_configPath, wxString::Format("channel_name_%d", i));
        wxString name;
        if (m_saveChannelNames && config->Read(nameKey, &name)) SetChannelName(i, name);
    }
    UpdateVisibleList();
}

void CAnalogDevice::_LoadConfig(wxConfigBase* config)
{
    if (config == nullptr || m_configPath.empty()) return;
    bool noChannelOn = false;
    {
        wxLogNull quiet;  // missing or malformed entries are not reported
        LoadDeviceParams(config);
        if (m_configChannels) LoadChannels(config);
        noChannelOn = m_channelOn != nullptr && m_channelCount > 0 && m_visibleList.empty();
        for (int i = 0; i < m_channelCount && m_configChannels; ++i) {
            const wxString key = GroupKey(m_configPath, wxString::Format("channel_color_%d", i));
            const CColour fallback = PaletteColour(i);
            const wxString text = config->Read(key, ColourToString(fallback));
            CColour colour;
            // A text that is no colour keeps the palette default: an invalid
            // colour would only fail later, when a view draws with it.
            SetChannelColour(i, ParseColour(text, colour) ? colour : fallback);
        }
    }
    if (noChannelOn) {
        // A view needs at least one channel to show.
        wxLogWarning(_("No channel is on in %s: all channels switched on"),
                     m_configPath);
        ShowAllChannels();
    }
}

bool CAnalogDevice::_SaveConfig(wxConfigBase* config)
{
    if (config == nullptr) return false;
    if (m_configPath.empty()) {
        wxLogError("Empty device key!");
        return false;
    }
    bool written = true;
    for (int id = 0; id < m_firstChannelParam; ++id) {
        const wxString key = GetParamKey(id);
        int count = 0;
        int type = PARAM_NONE;
        const void* value = GetParam(id, &count, &type);
        if (key.empty() || count != 1 || value == nullptr) continue;
        const wxString path = GroupKey(m_configPath, key);
        switch (type) {
        case PARAM_BOOL:
            written &= config->Write(path, *static_cast<const uint8_t*>(value) != 0);
            break;
        case PARAM_INT:
        case PARAM_CHOICE:
            written &= config->Write(path, static_cast<long>(*static_cast<const int32_t*>(value)));
            break;
        case PARAM_DOUBLE:
            written &= config->Write(path, *static_cast<const double*>(value));
            break;
        case PARAM_STRING:
            written &= config->Write(path, *static_cast<const wxString*>(value));
            break;
        default:
            break;
        }
    }
    if (m_channelOn != nullptr) {
        for (int i = 0; i < m_channelCount; ++i) {
            written &= config->Write(GroupKey(m_configPath, wxString::Format("channel_on_%d", i)),
                                     m_channelOn[i] != 0);
            written &= config->Write(
                GroupKey(m_configPath, wxString::Format("channel_name_%d", i)), GetChannelName(i));
        }
    }
    for (int i = 0; i < m_channelCount; ++i) {
        written &= config->Write(GroupKey(m_configPath, wxString::Format("channel_color_%d", i)),
                                 ColourToString(GetChannelColour(i)));
    }
    return written;
}

bool CAnalogDevice::AddBoolProperty(uint8_t* buffer, uint64_t* position, bool value)
{
    return AddProperty(buffer, position, kTagBool, value ? 1 : 0, 1);
}

bool CAnalogDevice::AddIntProperty(uint8_t* buffer, uint64_t* position, int32_t value)
{
    return AddProperty(buffer, position, kTagInt, static_cast<uint32_t>(value), 4);
}

bool CAnalogDevice::AddDoubleProperty(uint8_t* buffer, uint64_t* position, double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return AddProperty(buffer, position, kTagDouble, bits, 8);
}
