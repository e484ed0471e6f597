// Power-spectrum mode of the 2D view: one cell per visible channel.
#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewLayout.h"
#include "dsp/dsp.h"

#include <wx/dcgraph.h>
#include <wx/graphics.h>
#include <wx/intl.h>

#include <cmath>

void CAnalogView::DrawSpectra(wxDC& dc, const std::vector<int>& list)
{
    CAnalogDevice* device = m_device.load();
    if (!device || list.empty())
        return;
    const wxSize size = GetClientSize();
    const int n = static_cast<int>(list.size());
    const SpectraGrid grid = ComputeSpectraGrid(size.GetWidth(), size.GetHeight(), n);
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int i = 0; i < n; ++i) {
        int x0 = 0, y0 = 0;
        grid.Cell(i, x0, y0);
        const int channel = list[static_cast<size_t>(i)];
        dc.SetTextForeground(ToWxColour(device->GetChannelColour(channel)));
        const wxString name = device->GetVisibleChannelName(i);
        if (!name.empty()) {
            wxCoord tw = 0, th = 0;
            m_text.Extent(dc, name, tw, th);
            m_text.Draw(dc, name, x0 + grid.cellWidth / 2 - tw / 2, y0 + th / 2 - 1);
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
    dsp->Update();
    const int bins = static_cast<int>(std::min<std::uint64_t>(dsp->GetBins(), 1u << 20));
    const SpectrumCell cell = ComputeSpectrumCell(x, y, width, height);
    if (!cell.drawable || bins < 1)
        return;  // cell smaller than its margins
    const wxPen framePen(ToWxColour(frame_color), 2);
    dc.SetPen(framePen);
    dc.SetBrush(wxBrush(ToWxColour(bk_color)));
    dc.DrawRectangle(cell.left, cell.top, cell.width, cell.height);
    const wxColour colour = ToWxColour(device->GetChannelColour(channel));
    dc.SetTextForeground(colour);
    // A max rate above the Nyquist frequency would show bins the spectrum lacks.
    const double maxRate = ClampMaxRate(dsp_max_rate, m_rate);
    const int shown = SpectrumBinsShown(bins, maxRate, m_rate);
    wxCoord tw = 0, th = 0;
    if (grad_x > 0) {
        for (int k = 0; k <= grad_x; ++k) {
            const int tx = RoundHalfUp(static_cast<double>(cell.width) / grad_x * k) + cell.left;
            dc.DrawLine(tx, cell.bottom, tx, cell.bottom + 5);
            const wxString text = wxString::Format("%.1f", maxRate * k / grad_x);
            m_text.Extent(dc, text, tw, th);
            m_text.Draw(dc, text, tx - tw / 2, cell.bottom + 5);
        }
    }
    const double lo = dsp->GetMinimum();
    const double hi = dsp->GetMaximum();
    const bool hasSpectrum = std::isfinite(lo) && std::isfinite(hi) && hi != lo;
    if (hasSpectrum) {
        const double* spectrum = dsp->GetSpectrum();
        const int barWidth = RoundHalfUp(static_cast<double>(cell.width) / shown);
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
            const int left =
                RoundHalfUp(static_cast<double>(b) * cell.width / shown) + cell.left - barWidth / 2;
            const double barTop = cell.bottom - barHeight;
            gc->SetBrush(gc->CreateLinearGradientBrush(0, cell.bottom, 0, barTop, base, top));
            gc->DrawRectangle(left, barTop, barWidth + 1, barHeight);
        }
    }
    if (dsp_use_stat) {
        const int right = x + width - cell.margin;
        const wxString skew = wxString::Format(_("Skewness %.1f"), dsp->GetSkewness());
        const wxString kurt = wxString::Format(_("Kurtosis %.1f"), dsp->GetKurtosis());
        m_text.Extent(dc, skew, tw, th);
        m_text.Draw(dc, skew, right - tw, y);
        const int skewHeight = th;
        m_text.Extent(dc, kurt, tw, th);
        m_text.Draw(dc, kurt, right - tw, y + 1 + skewHeight);
    }
    if (!hasSpectrum)
        return;  // no peak before the first spectrum
    const wxColour gridColour = ToWxColour(grid_color);
    dc.SetPen(wxPen(gridColour, 2));
    dc.SetTextForeground(gridColour);
    const double peak = static_cast<double>(dsp->GetPeakBin());
    const int xp = RoundHalfUp(cell.width * peak / shown) + cell.left;
    dc.DrawLine(xp, cell.bottom + 5, xp, cell.top);
    const wxString text = wxString::Format("%.1f Hz", maxRate * peak / shown);
    m_text.Extent(dc, text, tw, th);
    m_text.Draw(dc, text, xp - tw / 2, cell.top - th - 5);
}
