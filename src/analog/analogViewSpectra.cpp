// Power-spectrum mode of the 2D view: one cell per visible channel.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewFormat.h"
#include "analog/analogViewLayout.h"
#include "analog/analogViewPlacement.h"
#include "dsp/dsp.h"

#include <wx/dcgraph.h>
#include <wx/graphics.h>
#include <wx/intl.h>

#include <algorithm>
#include <cmath>

void CAnalogView::DrawSpectra(wxDC& dc, const std::vector<int>& list)
{
    CAnalogDevice* device = m_device.load();
    // The names are those of the paint's take of the visible channels, entry by entry.
    if (!device || list.empty() || !m_shown || m_shown->names.size() != list.size())
        return;
    const wxSize size = GetClientSize();
    const int n = static_cast<int>(list.size());
    const SpectraGrid grid = ComputeSpectraGrid(size.GetWidth(), size.GetHeight(), n);
    m_placer.Reset(size.GetWidth(), size.GetHeight());
    std::lock_guard<std::mutex> lock(m_mutex);
    m_labels.clear();
    for (int i = 0; i < n; ++i)
        m_labels.push_back(m_shown->names[static_cast<size_t>(i)]);
    DistinctTails(m_labels, m_tails, &m_heads);
    for (int i = 0; i < n; ++i) {
        int x0 = 0, y0 = 0;
        grid.Cell(i, x0, y0);
        const int channel = list[static_cast<size_t>(i)];
        m_text.SetColour(ToWxColour(device->GetChannelColour(channel)));
        const wxString& name = m_labels[static_cast<size_t>(i)];
        if (!name.empty()) {
            // The name on the cell's first line, shortened to the cell.
            const wxString shown =
                m_text.Fit(dc, name, grid.cellWidth - 4, m_tails[static_cast<size_t>(i)], false,
                           m_heads[static_cast<size_t>(i)]);
            wxCoord tw = 0, th = 0;
            m_text.Extent(dc, shown, tw, th);
            const TextBox box{x0 + grid.cellWidth / 2 - tw / 2, y0 + 1, tw, th};
            if (!shown.empty() && m_placer.Place(box))
                m_text.Draw(dc, shown, box.x, box.y);
        }
        DrawChannelSpectrum(dc, i, channel, x0, y0, grid.cellWidth, grid.cellHeight);
    }
}

void CAnalogView::DrawChannelSpectrum(wxDC& dc, int index, int channel, int x, int y, int width,
                                      int height)
{
    CAnalogDevice* device = m_device.load();
    CDsp* dsp = index >= 0 ? m_data.Spectrum(static_cast<size_t>(index)) : nullptr;
    wxGraphicsContext* gc = dc.GetGraphicsContext();
    if (!device || !dsp || !gc)
        return;
    const bool computed = dsp->Update();
    const int bins = static_cast<int>(std::min<std::uint64_t>(dsp->GetBins(), 1u << 20));
    const std::uint64_t transform = dsp->GetSize();
    if (bins < 1)
        return;
    const wxColour colour = ToWxColour(device->GetChannelColour(channel));
    m_text.SetColour(colour);
    // A max rate above the Nyquist frequency would show bins the spectrum lacks.
    const double maxRate = ClampMaxRate(dsp_max_rate, m_rate);
    const int shown = SpectrumBinsShown(bins, transform, maxRate, m_rate);
    const double lo = dsp->GetMinimum();
    const double hi = dsp->GetMaximum();
    const bool hasSpectrum = std::isfinite(lo) && std::isfinite(hi) && hi != lo;
    // On the normalised dB scale every bin below 1 in the device's unit
    // (below 0 dB) reads 0: a computed spectrum that is all 0 says so
    // instead of showing statistics of nothing.
    const bool belowScale = computed && !hasSpectrum && dsp->m_useDb && dsp->m_normalize;

    // The texts first measured, so that the plot leaves them room.
    wxCoord tw = 0, th = 0;
    const int divisions = grad_x > 0 ? grad_x : 0;
    const AxisFormat frequencyFormat =
        ChooseAxisFormat(maxRate / std::max(divisions, 1), maxRate);
    const wxString firstFreq = FormatAxisValue(0.0, frequencyFormat);
    const wxString lastFreq = FormatAxisValue(maxRate, frequencyFormat);
    SpectrumCellText text;
    m_text.Extent(dc, lastFreq, tw, th);
    text.lineHeight = th;
    text.lastHalf = divisions > 0 ? tw / 2 : 0;
    m_text.Extent(dc, firstFreq, tw, th);
    text.firstHalf = divisions > 0 ? tw / 2 : 0;
    const wxString levelHigh = hasSpectrum ? FormatShownValue(hi, 2) : wxString();
    const wxString levelLow = hasSpectrum ? FormatShownValue(lo, 2) : wxString();
    // The level scale keeps room for three digits, also before the first
    // spectrum: the plot does not move as the levels change.
    int highWidth = 0, lowWidth = 0;
    m_text.Extent(dc, "0.000", text.levelWidth, th);
    if (hasSpectrum) {
        m_text.Extent(dc, levelHigh, highWidth, th);
        m_text.Extent(dc, levelLow, lowWidth, th);
        text.levelWidth = std::max(text.levelWidth, std::max(highWidth, lowWidth));
    }
    wxString skew, kurt;
    int skewWidth = 0, kurtWidth = 0;
    if (dsp_use_stat && !belowScale) {
        skew = wxString::Format(NumberAsText(_("Skewness %.1f")),
                                FormatShownValue(dsp->GetSkewness(), 1));
        kurt = wxString::Format(NumberAsText(_("Kurtosis %.1f")),
                                FormatShownValue(dsp->GetKurtosis(), 1));
        m_text.Extent(dc, skew, skewWidth, th);
        m_text.Extent(dc, kurt, kurtWidth, th);
        // Side by side when both fit the cell, else one under the other.
        text.statLines = skewWidth + kurtWidth + 16 <= width - 4 ? 1 : 2;
    }
    const SpectrumCell cell = ComputeSpectrumCell(x, y, width, height, text);
    if (!cell.drawable)
        return;  // cell smaller than its margins
    const wxPen framePen(ToWxColour(frame_color), 2);
    dc.SetPen(framePen);
    dc.SetBrush(wxBrush(ToWxColour(bk_color)));
    dc.DrawRectangle(cell.left, cell.top, cell.width, cell.height);
    NoteFrame(cell.left, cell.top, cell.width, cell.height, 2);
    m_text.SetColour(colour);
    const int lineHeight = text.lineHeight;
    const auto place = [&](const wxString& label, int left, int top, int labelWidth) {
        const TextBox box{left, top, labelWidth, lineHeight};
        if (m_placer.Place(box))
            m_text.Draw(dc, label, left, top);
    };
    // Statistics under the name line, at the cell's right (the skewness) and
    // left (the kurtosis), or right-aligned one under the other, as many
    // lines as leave the plot its room.
    if (dsp_use_stat && !belowScale && cell.statLines > 0) {
        const int right = x + width - cell.margin;
        const int statTop = y + lineHeight + 2;
        if (text.statLines == 1) {
            place(skew, right - skewWidth, statTop, skewWidth);
            place(kurt, std::max(x + 2, cell.left - text.levelWidth - 8), statTop, kurtWidth);
        } else {
            const int limit = x + width - 2;
            place(skew, std::min(right, limit) - skewWidth, statTop, skewWidth);
            if (cell.statLines > 1)
                place(kurt, std::min(right, limit) - kurtWidth, statTop + 1 + lineHeight,
                      kurtWidth);
        }
    }
    // Frequency axis: ticks at every division, labels thinned to those that
    // fit side by side.
    if (divisions > 0) {
        const double spacing = static_cast<double>(cell.width) / divisions;
        int widest = 0;
        m_text.Extent(dc, lastFreq, widest, th);
        const int step = LabelStep(spacing, widest, 6);
        for (int k = 0; k <= divisions; ++k) {
            const int tx = RoundHalfUp(spacing * k) + cell.left;
            dc.DrawLine(tx, cell.bottom, tx, cell.bottom + 5);
            if (k % step != 0 || !cell.frequencyLabels)
                continue;
            const wxString label = FormatAxisValue(maxRate * k / divisions, frequencyFormat);
            m_text.Extent(dc, label, tw, th);
            place(label, tx - tw / 2, cell.bottom + 5, tw);
        }
    }
    if (belowScale) {
        const wxString note = m_text.Fit(dc, _("below 0 dB"), cell.width - 8);
        m_text.Extent(dc, note, tw, th);
        if (!note.empty() && cell.height >= th + 8)
            place(note, cell.left + cell.width / 2 - tw / 2, cell.top + cell.height / 2 - th / 2,
                  tw);
    }
    if (!hasSpectrum)
        return;  // no bars, level scale or peak before the first spectrum
    // Level scale: the highest value at the top of the plot, the lowest at its
    // bottom, with their ticks.
    dc.DrawLine(cell.left - 4, cell.top, cell.left, cell.top);
    dc.DrawLine(cell.left - 4, cell.bottom, cell.left, cell.bottom);
    if (cell.levelLabels) {
        place(levelHigh, cell.left - 6 - highWidth, cell.top, highWidth);
        if (cell.height >= 2 * lineHeight)
            place(levelLow, cell.left - 6 - lowWidth, cell.bottom - lineHeight, lowWidth);
    }

    // Bin b lies at b x rate / N, drawn at that frequency within 0 .. max rate.
    const double* spectrum = dsp->GetSpectrum();
    const double binStep = SpectrumBinFrequency(1.0, m_rate, transform);
    const double pixelsPerHz = cell.width / maxRate;
    const auto binX = [&](int b) {
        return SpectrumBinFrequency(b, m_rate, transform) * pixelsPerHz;
    };
    {
        const int barWidth = std::max(1, RoundHalfUp(binStep * pixelsPerHz));
        const wxColour base = colour.ChangeLightness(50);
        wxDCClipper clip(dc, cell.left + 1, cell.top + 2, cell.width - 2, cell.height - 4);
        gc->SetPen(*wxTRANSPARENT_PEN);
        for (int b = 0; b < shown; ++b) {
            const double v = (spectrum[b] - lo) / (hi - lo);
            if (!std::isfinite(v))
                continue;  // a bin that is not a number gets no bar
            const int barHeight = RoundHalfUp(v * cell.height);
            if (barHeight <= 0)
                continue;
            const wxColour top =
                colour.ChangeLightness(static_cast<int>(std::floor(v * 50) + 100));
            const int left = RoundHalfUp(binX(b)) + cell.left - barWidth / 2;
            const double barTop = cell.bottom - barHeight;
            gc->SetBrush(gc->CreateLinearGradientBrush(0, cell.bottom, 0, barTop, base, top));
            gc->DrawRectangle(left, barTop, barWidth + 1, barHeight);
        }
    }
    // The peak among the bins shown, labelled with its frequency on the line
    // over the plot, kept inside the cell.
    const int peak = SpectrumPeakBin(spectrum, shown);
    if (peak < 0)
        return;
    const wxColour gridColour = ToWxColour(grid_color);
    dc.SetPen(wxPen(gridColour, 2));
    m_text.SetColour(gridColour);
    const int xp = RoundHalfUp(binX(peak)) + cell.left;
    dc.DrawLine(xp, cell.bottom + 5, xp, cell.top);
    if (!cell.peakLabel)
        return;
    const wxString label =
        FormatShownValue(SpectrumBinFrequency(peak, m_rate, transform), 1) + " Hz";
    m_text.Extent(dc, label, tw, th);
    const int labelLeft = std::max(x + 2, std::min(xp - tw / 2, x + width - 2 - tw));
    place(label, labelLeft, cell.top - th - 5, tw);
}
