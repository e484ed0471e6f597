#include "analog/analogViewData.h"

#include "dsp/cpStat.h"
#include "dsp/dsp.h"
#include "process/sampleBuffer.h"

#include <algorithm>
#include <cmath>

bool CViewSnapshot::Last(int c, double& value) const
{
    if (c < 0 || c >= channels || frames == 0)
        return false;
    value = Channel(c)[frames - 1];
    return true;
}

CAnalogViewData::CAnalogViewData()
    : m_cpStat(std::make_unique<CCPStat>()),
      m_buffer(std::make_unique<CAnalogBuffer>(1, 1, 1.0, 25.0))
{
}

CAnalogViewData::~CAnalogViewData() = default;

double CAnalogViewData::CapDrawTime(double drawTimeSec, double rateHz, int rings)
{
    if (!(rateHz > 0.0) || rings < 1)
        return drawTimeSec;
    const double maxFrames =
        static_cast<double>(kMaxHistoryBytes / (sizeof(double) * static_cast<std::uint64_t>(rings)));
    if (drawTimeSec * rateHz + 1.0 <= maxFrames)
        return drawTimeSec;
    return (maxFrames - 1.0) / rateHz;
}

void CAnalogViewData::AddData(const double* values, int count, std::uint32_t sample,
                              double timeSec)
{
    if (!values || count <= 0)
        return;
    {
        std::unique_lock<std::mutex> lock(m_statsMutex, std::try_to_lock);
        if (lock.owns_lock())
            FeedStatistics(values, count);
    }
    m_currentSample.store(sample);
    // The busy flag keeps a re-entered feed from storing twice.
    if (m_frozen.load() || m_busy.exchange(true))
        return;
    {
        std::unique_lock<std::mutex> lock(m_historyMutex, std::try_to_lock);
        if (lock.owns_lock())
            StoreRow(values, count, sample, timeSec);
        else
            m_skippedRows.fetch_add(1, std::memory_order_relaxed);
    }
    m_busy.store(false);
}

void CAnalogViewData::FeedStatistics(const double* values, int count)
{
    const CViewDataConfig& feed = m_feed;
    if (count >= 2 && feed.showCPStat && feed.dim == 1 && m_cpStat->GetWindow() >= 1) {
        const int x = feed.cpXIndex;
        const int y = feed.cpYIndex;
        if (x >= 0 && y >= 0 && x < count && y < count && x != y)
            m_cpStat->Add(values[x], values[y]);
    }
    if (!feed.feedSpectra || m_dsp.empty())
        return;
    // A row shorter than the channel list the spectra were built for is not
    // read past its end.
    const std::uint64_t needed = static_cast<std::uint64_t>(m_dsp.size()) * feed.dim;
    if (static_cast<std::uint64_t>(count) < needed)
        return;
    for (size_t i = 0; i < m_dsp.size(); ++i)
        m_dsp[i]->AddSample(values[static_cast<size_t>(feed.dim) * i + feed.component], false);
}

void CAnalogViewData::StoreRow(const double* values, int count, std::uint32_t sample,
                               double timeSec)
{
    if (!m_buffer->AddFrame(values, count, timeSec)) {
        m_refusedRows.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (sample == 0)
        m_rangeRestart = true;
    if (m_rangeRestart) {
        // The first finite value starts the observed range.
        for (int i = 0; i < count; ++i) {
            if (std::isfinite(values[i])) {
                m_minValue = m_maxValue = values[i];
                m_rangeRestart = false;
                break;
            }
        }
    }
    // Only finite values make the observed range: one infinite sample would
    // squeeze every curve onto one line until the view is reset.
    for (int i = 0; i < count && !m_rangeRestart; ++i) {
        const double v = values[i];
        if (!std::isfinite(v))
            continue;
        if (v < m_minValue) m_minValue = v;
        if (v > m_maxValue) m_maxValue = v;
    }
    m_storedRows.fetch_add(1, std::memory_order_relaxed);
    m_dirty.store(true);
}

void CAnalogViewData::Rebuild(const CViewDataConfig& requested)
{
    CViewDataConfig config = requested;
    config.dim = std::max(config.dim, 1);
    config.channels = std::max(config.channels, 0);
    config.spectrumCount = std::max(config.spectrumCount, 0);
    if (config.component < 0 || config.component >= config.dim)
        config.component = 0;

    // Spectra are planned outside the lock (planning takes milliseconds);
    // the old ones are destroyed outside it too.
    std::vector<std::unique_ptr<CDsp>> spectra;
    spectra.reserve(static_cast<size_t>(config.spectrumCount));
    for (int i = 0; i < config.spectrumCount; ++i) {
        auto dsp = std::make_unique<CDsp>(config.dspSize, config.dspWindow);
        dsp->m_clearMean = config.dspClearMean;
        dsp->m_useDb = config.dspUseDb;
        dsp->m_useStat = config.dspUseStat;
        dsp->m_normalize = config.dspNormalize;
        dsp->m_statBound = config.dspStatBound;
        spectra.push_back(std::move(dsp));
    }
    {
        std::lock_guard<std::mutex> lock(m_statsMutex);
        if (config.showCPStat) {
            m_cpStat->SetLevel(config.cpLevel);
            if (config.cpWindow > 0)
                m_cpStat->SetWindow(config.cpWindow);
            else
                m_cpStat->Reset(false);
        }
        m_dsp.swap(spectra);
        m_feed = config;
    }
    spectra.clear();
    if (config.channels > 0) {
        std::lock_guard<std::mutex> lock(m_historyMutex);
        ++m_history;
        m_buffer->Init(static_cast<std::uint64_t>(config.channels),
                       static_cast<std::uint64_t>(config.dim), config.drawTimeSec, config.rateHz);
        m_rangeRestart = true;
        m_minValue = m_maxValue = 0.0;
    }
    m_config = config;
}

void CAnalogViewData::TakeSnapshot(CViewSnapshot& out, int component, int maxChannels,
                                   bool lastOnly) const
{
    std::lock_guard<std::mutex> lock(m_historyMutex);
    const CAnalogBuffer& buffer = *m_buffer;
    const int dim = static_cast<int>(buffer.Dim());
    if (component < 0 || component >= dim)
        component = 0;
    const std::uint64_t count = buffer.Count();
    out.channels = std::max(0, std::min(maxChannels, static_cast<int>(buffer.Channels())));
    if (!buffer.HasRings())
        out.channels = 0;
    const std::uint64_t first = lastOnly && count > 0 ? count - 1 : 0;
    out.frames = count - first;
    out.values.resize(static_cast<size_t>(out.channels) * out.frames);
    for (int c = 0; c < out.channels; ++c) {
        double* target = out.values.data() + static_cast<size_t>(c) * out.frames;
        if (buffer.CopyValues(target, first, out.frames, static_cast<std::uint64_t>(c),
                              static_cast<std::uint64_t>(component)))
            continue;  // in two block copies
        for (std::uint64_t i = 0; i < out.frames; ++i) {
            double value = 0.0;
            double time = 0.0;
            buffer.GetValue(&value, first + i, static_cast<std::uint64_t>(c),
                            static_cast<std::uint64_t>(component), &time);
            target[i] = value;
        }
    }
    out.firstTime = buffer.FirstTime();
    out.overflow = buffer.IsTimeOverflow();
    out.minValue = m_minValue;
    out.maxValue = m_maxValue;
    out.history = m_history;
    // Counted under this lock with each stored row, so it matches the copy.
    out.storedRows = m_storedRows.load();
}
