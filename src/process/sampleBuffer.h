#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// Recent history of live data for display and statistics. None of these
// classes locks: the owner serialises the feed (acquisition thread) against
// reads and rebuilds (GUI thread). Storage is allocated by Init or the
// constructor only; pushing and reading allocate nothing.

// Largest history one buffer may allocate; a longer duration x rate is
// shortened to fit, with a warning, rather than failing the allocation.
constexpr std::uint64_t kMaxSampleBufferBytes = std::uint64_t(256) << 20;

// Fixed-capacity ring of doubles that overwrites its oldest value.
class CRingBuffer {
public:
    explicit CRingBuffer(std::uint64_t size);
    CRingBuffer(const CRingBuffer&) = delete;
    CRingBuffer& operator=(const CRingBuffer&) = delete;

    // False when the storage could not be allocated (or the capacity is 0).
    bool IsOk() const { return m_data != nullptr; }
    std::uint64_t Capacity() const { return m_size; }

    void Reset();
    void Push(double value)
    {
        if (!m_data) return;
        m_data[m_index] = value;
        if (++m_index == m_size) {
            m_full = true;
            m_index = 0;
        }
    }
    // Kept for callers that drop the oldest value of a full ring: the next
    // Push already overwrites it, so there is nothing to do.
    void PopFront() {}
    // Value at reading position i, counted from the oldest; 0.0 beyond the
    // capacity (positions past the count of a filling ring read the zero fill).
    double Get(std::uint64_t i) const
    {
        if (!m_data || i >= m_size) return 0.0;
        if (!m_full) return m_data[i];
        const std::uint64_t pos = m_index + i;
        return m_data[pos >= m_size ? pos - m_size : pos];
    }
    // Copies the values held, oldest first; false when out has room for fewer.
    bool CopyTo(double* out, std::uint64_t n) const;
    // Copies the n values from reading position first on; false (nothing
    // copied) when they are not all held.
    bool CopyRange(double* out, std::uint64_t first, std::uint64_t n) const;
    std::uint64_t Count() const { return m_full ? m_size : m_index; }

private:
    std::unique_ptr<double[]> m_data;
    std::uint64_t m_size = 0;
    std::uint64_t m_index = 0;
    bool m_full = false;
};

// Time-stamped multichannel history: one ring per channel component and a ring
// of frame times in seconds. Owned by a 2D view.
class CAnalogBuffer {
public:
    CAnalogBuffer(std::uint64_t channels, std::uint64_t dim, double duration, double rate);

    // Same values as before: empties the history. New values: rebuilds it,
    // or leaves no rings when dim is 0, the duration is not positive or the
    // capacity is not a usable number.
    void Init(std::uint64_t channels, std::uint64_t dim, double duration, double rate);
    void Free();

    // Acquisition thread (under the owner's serialisation). A row shorter
    // than the value rings pads the rest with 0.0, so every ring stays
    // aligned with the time ring.
    bool AddFrame(const double* values, std::int64_t n, double time);
    // False without rings or for a channel or component out of range; true
    // without writing anything when i is at or beyond Count.
    bool GetValue(double* value, std::uint64_t i, std::uint64_t channel, std::uint64_t component,
                  double* time) const;
    // The values of frames [first, first + n) of one channel component into
    // out, oldest first; false (nothing copied) when out of range.
    bool CopyValues(double* out, std::uint64_t first, std::uint64_t n, std::uint64_t channel,
                    std::uint64_t component) const;
    bool GetLastValue(double* value, std::uint64_t channel, std::uint64_t component,
                      double* time) const;

    std::uint64_t Count() const { return HasRings() ? TimeRing().Count() : 0; }
    double FirstTime() const;
    double LastTime() const;

    bool HasRings() const { return !m_buffers.empty(); }
    std::uint64_t Capacity() const { return HasRings() ? TimeRing().Capacity() : 0; }
    std::uint64_t Channels() const { return m_channels; }
    std::uint64_t Dim() const { return m_dim; }
    double Duration() const { return m_duration; }
    double Rate() const { return m_rate; }
    bool IsTimeOverflow() const { return m_timeOverflow; }

private:
    const CRingBuffer& TimeRing() const { return *m_buffers[m_timeIndex]; }

    std::vector<std::unique_ptr<CRingBuffer>> m_buffers;  // value rings, then the time ring
    std::uint64_t m_dim = 0;
    std::uint64_t m_channels = 0;
    double m_duration = 0.0;
    double m_rate = 0.0;
    bool m_timeOverflow = false;
    std::uint64_t m_timeIndex = 0;  // channels x dim: value rings, index of the time ring
};

// Trail of one tracked object: x, y, z rings and a time ring. Owned by a 3D view.
class CTrackerBuffer {
public:
    CTrackerBuffer(double duration, double rate);

    void Init(double duration, double rate);
    void Free();

    void Push(double x, double y, double z, double time);
    void Push(const double xyz[3], double time);
    // Leaves the outputs untouched without rings or when i is at or beyond Count.
    void Get(double* xyz, double* time, std::uint64_t i) const;

    std::uint64_t Count() const { return HasRings() ? m_buffers[m_nValues]->Count() : 0; }
    bool HasRings() const { return !m_buffers.empty(); }
    std::uint64_t Capacity() const { return HasRings() ? m_buffers[m_nValues]->Capacity() : 0; }
    double Duration() const { return m_duration; }
    double Rate() const { return m_rate; }
    bool IsTimeOverflow() const { return m_timeOverflow; }

private:
    std::vector<std::unique_ptr<CRingBuffer>> m_buffers;  // x, y, z, time
    std::uint64_t m_nValues = 3;
    bool m_timeOverflow = false;
    double m_duration = 0.0;
    double m_rate = 0.0;
};
