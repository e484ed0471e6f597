// Whether a 2D view's picture would change: the bar, pie, parametric and empty
// modes show the newest values (or nothing), so a frame that repeats them need
// not be painted again. The time graphs scroll with every frame and always are.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewFormat.h"

#include <cstring>

namespace {

class CKeyHash {
public:
    void Add(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) {
            m_hash ^= bytes[i];
            m_hash *= 1099511628211ull;  // FNV-1a
        }
    }
    template <typename T> void Add(const T& value) { Add(&value, sizeof value); }
    void Add(const wxString& text) { Add(text.wx_str(), text.length() * sizeof(wxChar)); }
    std::uint64_t Value() const { return m_hash; }

private:
    std::uint64_t m_hash = 1469598103934665603ull;
};

}  // namespace

bool CAnalogView::IsDirty() const
{
    if (m_data.RefusedRows() != m_refusedSeen)
        return true;
    if (!m_data.IsDirty())
        return false;
    return !m_hasPaintedKey || PictureKey() != m_paintedKey;
}

void CAnalogView::NotePaintedPicture()
{
    const std::uint64_t key = PictureKey();
    m_hasPaintedKey = key != kAlwaysChanges;
    m_paintedKey = key;
}

std::uint64_t CAnalogView::PictureKey() const
{
    CAnalogDevice* device = m_device.load();
    const bool newestOnly = draw_type == kDrawBar || draw_type == kDrawPie;
    if (!device || !(newestOnly || draw_type == kDrawParametric || draw_type == kDrawNone))
        return kAlwaysChanges;
    // The ellipse's statistics change with every frame.
    if (draw_type == kDrawParametric && device->GetShowCPStat())
        return kAlwaysChanges;
    CKeyHash hash;
    const wxSize size = GetClientSize();
    hash.Add(draw_type);
    hash.Add(size.GetWidth());
    hash.Add(size.GetHeight());
    hash.Add(m_selected && m_multiView);
    hash.Add(device->IsRecording());
    if (draw_type == kDrawNone)
        return hash.Value();
    hash.Add(m_component);
    hash.Add(device->GetVisibleShape());
    hash.Add(GetTitle());
    hash.Add(device->GetMinValue());
    hash.Add(device->GetMaxValue());
    m_data.TakeSnapshot(m_keySnapshot, m_component, m_channelCount, newestOnly);
    hash.Add(m_keySnapshot.minValue);
    hash.Add(m_keySnapshot.maxValue);
    hash.Add(m_keySnapshot.channels);
    // A row that repeats the one before it adds nothing to a trail.
    const int channels = m_keySnapshot.channels;
    const std::uint64_t rows = m_keySnapshot.frames;
    for (std::uint64_t r = 0; r < rows; ++r) {
        bool same = r > 0;
        for (int c = 0; c < channels && same; ++c)
            same = std::memcmp(&m_keySnapshot.Channel(c)[r], &m_keySnapshot.Channel(c)[r - 1],
                               sizeof(double)) == 0;
        if (same)
            continue;
        for (int c = 0; c < channels; ++c)
            hash.Add(m_keySnapshot.Channel(c)[r]);
    }
    // The recent markers fade as the samples go by.
    std::vector<uint32_t> codes;
    std::vector<uint32_t> frames;
    std::vector<wxString> labels;
    device->GetMarkers(codes, frames, labels);
    const int window = MarkerWindowSamples(m_rate);
    const long long current = m_data.CurrentSample();
    for (size_t m = 0; m < frames.size(); ++m) {
        const int lightness = MarkerLightness(current - static_cast<long long>(frames[m]), window);
        if (lightness < 0)
            continue;
        hash.Add(frames[m]);
        hash.Add(lightness);
    }
    return hash.Value();
}
