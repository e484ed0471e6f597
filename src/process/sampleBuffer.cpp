#include "process/sampleBuffer.h"

#include <wx/log.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

// Frame capacity for `rings` rings holding `frames` values each, within the
// byte budget. False (with a warning) when the count is not a usable number.
bool FitCapacity(double frames, std::uint64_t rings, const char* who, std::uint64_t& capacity)
{
    if (!std::isfinite(frames) || frames < 0.0) {
        wxLogWarning("process/sampleBuffer %s: history of %g frames refused", who, frames);
        return false;
    }
    const std::uint64_t bytesPerFrame = rings * sizeof(double);
    if (rings == 0 || bytesPerFrame / sizeof(double) != rings
        || bytesPerFrame > kMaxSampleBufferBytes) {
        wxLogWarning("process/sampleBuffer %s: %llu rings do not fit in %llu bytes", who,
                     static_cast<unsigned long long>(rings),
                     static_cast<unsigned long long>(kMaxSampleBufferBytes));
        return false;
    }
    const std::uint64_t maxFrames = kMaxSampleBufferBytes / bytesPerFrame;
    if (frames > static_cast<double>(maxFrames)) {
        wxLogWarning("process/sampleBuffer %s: history of %.0f frames x %llu rings shortened to "
                     "%llu frames (%llu bytes at most)",
                     who, frames, static_cast<unsigned long long>(rings),
                     static_cast<unsigned long long>(maxFrames),
                     static_cast<unsigned long long>(kMaxSampleBufferBytes));
        capacity = maxFrames;
        return true;
    }
    capacity = static_cast<std::uint64_t>(frames);
    return true;
}

// Allocates `count` zero-filled rings of `capacity`; false (rings cleared) when
// memory runs out.
bool MakeRings(std::vector<std::unique_ptr<CRingBuffer>>& rings, std::uint64_t count,
               std::uint64_t capacity, const char* who)
{
    rings.clear();
    try {
        rings.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            rings.push_back(std::make_unique<CRingBuffer>(capacity));
            if (!rings.back()->IsOk()) throw std::bad_alloc();
        }
    } catch (const std::bad_alloc&) {
        rings.clear();
        rings.shrink_to_fit();
        wxLogWarning("process/sampleBuffer %s: no memory for %llu rings of %llu values", who,
                     static_cast<unsigned long long>(count),
                     static_cast<unsigned long long>(capacity));
        return false;
    }
    return true;
}

}  // namespace

CRingBuffer::CRingBuffer(std::uint64_t size)
{
    if (size == 0) return;
    try {
        m_data = std::make_unique<double[]>(size);  // value-initialised: zero-filled
        m_size = size;
    } catch (const std::bad_alloc&) {
        // Left without storage: IsOk() reports it, Push and Get do nothing.
    }
}

void CRingBuffer::Reset()
{
    m_index = 0;
    m_full = false;
    if (m_data) std::fill(m_data.get(), m_data.get() + m_size, 0.0);
}

bool CRingBuffer::CopyTo(double* out, std::uint64_t n) const
{
    const std::uint64_t count = Count();
    if (n < count || (count > 0 && !out)) return false;
    if (count == 0) return true;
    if (!m_full) {
        std::memcpy(out, m_data.get(), count * sizeof(double));
        return true;
    }
    const std::uint64_t tail = m_size - m_index;  // oldest values, from m_index to the end
    std::memcpy(out, m_data.get() + m_index, tail * sizeof(double));
    std::memcpy(out + tail, m_data.get(), m_index * sizeof(double));
    return true;
}

bool CRingBuffer::CopyRange(double* out, std::uint64_t first, std::uint64_t n) const
{
    const std::uint64_t count = Count();
    if (first > count || n > count - first || (n > 0 && !out)) return false;
    if (n == 0) return true;
    const std::uint64_t start = m_full ? (m_index + first) % m_size : first;
    const std::uint64_t head = std::min(n, m_size - start);  // up to the end of the storage
    std::memcpy(out, m_data.get() + start, head * sizeof(double));
    std::memcpy(out + head, m_data.get(), (n - head) * sizeof(double));
    return true;
}

CAnalogBuffer::CAnalogBuffer(std::uint64_t channels, std::uint64_t dim, double duration,
                             double rate)
{
    Init(channels, dim, duration, rate);
}

void CAnalogBuffer::Init(std::uint64_t channels, std::uint64_t dim, double duration, double rate)
{
    if (HasRings() && channels == m_channels && dim == m_dim && duration == m_duration
        && rate == m_rate) {
        m_timeOverflow = false;
        for (auto& ring : m_buffers) ring->Reset();
        return;
    }
    Free();
    if (dim == 0 || !(duration > 0.0)) return;
    if (channels > std::numeric_limits<std::uint64_t>::max() / dim - 1) {
        wxLogWarning("process/sampleBuffer CAnalogBuffer::Init: %llu channels refused",
                     static_cast<unsigned long long>(channels));
        return;
    }
    const std::uint64_t valueRings = channels * dim;
    std::uint64_t capacity = 0;
    if (!FitCapacity(std::trunc(duration * rate) + 1.0, valueRings + 1, "CAnalogBuffer::Init",
                     capacity))
        return;
    if (!MakeRings(m_buffers, valueRings + 1, capacity, "CAnalogBuffer::Init")) return;
    m_channels = channels;
    m_dim = dim;
    m_duration = duration;
    m_rate = rate;
    m_timeIndex = valueRings;
    m_timeOverflow = false;
}

void CAnalogBuffer::Free()
{
    m_buffers.clear();
    m_buffers.shrink_to_fit();
}

bool CAnalogBuffer::AddFrame(const double* values, std::int64_t n, double time)
{
    if (!HasRings() || !values || n < 0 || static_cast<std::uint64_t>(n) > m_timeIndex)
        return false;
    if (time > m_duration) m_timeOverflow = true;
    const auto count = static_cast<std::uint64_t>(n);
    for (std::uint64_t i = 0; i < count; ++i) m_buffers[i]->Push(values[i]);
    // Rings the row does not reach still advance, or they would fall behind the time ring.
    for (std::uint64_t i = count; i < m_timeIndex; ++i) m_buffers[i]->Push(0.0);
    m_buffers[m_timeIndex]->Push(time);
    return true;
}

bool CAnalogBuffer::GetValue(double* value, std::uint64_t i, std::uint64_t channel,
                             std::uint64_t component, double* time) const
{
    if (!HasRings() || channel >= m_channels || component >= m_dim) return false;
    if (i >= Count()) return true;
    if (value) *value = m_buffers[channel * m_dim + component]->Get(i);
    if (time) *time = TimeRing().Get(i);
    return true;
}

bool CAnalogBuffer::CopyValues(double* out, std::uint64_t first, std::uint64_t n,
                               std::uint64_t channel, std::uint64_t component) const
{
    if (!HasRings() || channel >= m_channels || component >= m_dim) return false;
    const std::uint64_t count = Count();
    if (first > count || n > count - first) return false;
    return m_buffers[channel * m_dim + component]->CopyRange(out, first, n);
}

bool CAnalogBuffer::GetLastValue(double* value, std::uint64_t channel, std::uint64_t component,
                                 double* time) const
{
    const std::uint64_t count = Count();
    if (count == 0) return false;
    return GetValue(value, count - 1, channel, component, time);
}

double CAnalogBuffer::FirstTime() const
{
    return Count() == 0 ? 0.0 : TimeRing().Get(0);
}

double CAnalogBuffer::LastTime() const
{
    const std::uint64_t count = Count();
    return count == 0 ? 0.0 : TimeRing().Get(count - 1);
}

CTrackerBuffer::CTrackerBuffer(double duration, double rate)
{
    Init(duration, rate);
}

void CTrackerBuffer::Init(double duration, double rate)
{
    Free();
    if (!(duration > 0.0) || !(rate > 0.0)) return;
    std::uint64_t capacity = 0;
    if (!FitCapacity(std::round(duration * rate), m_nValues + 1, "CTrackerBuffer::Init", capacity)
        || capacity < 2)
        return;
    if (!MakeRings(m_buffers, m_nValues + 1, capacity, "CTrackerBuffer::Init")) return;
    m_duration = duration;
    m_rate = rate;
}

void CTrackerBuffer::Free()
{
    m_buffers.clear();
    m_buffers.shrink_to_fit();
    m_timeOverflow = false;
}

void CTrackerBuffer::Push(double x, double y, double z, double time)
{
    if (!HasRings()) return;
    if (time > m_duration) m_timeOverflow = true;
    m_buffers[0]->Push(x);
    m_buffers[1]->Push(y);
    m_buffers[2]->Push(z);
    m_buffers[m_nValues]->Push(time);
}

void CTrackerBuffer::Push(const double xyz[3], double time)
{
    if (xyz) Push(xyz[0], xyz[1], xyz[2], time);
}

void CTrackerBuffer::Get(double* xyz, double* time, std::uint64_t i) const
{
    if (!HasRings() || !xyz || i >= Count()) return;
    for (std::uint64_t k = 0; k < m_nValues; ++k) xyz[k] = m_buffers[k]->Get(i);
    if (time) *time = m_buffers[m_nValues]->Get(i);
}
