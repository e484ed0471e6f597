#include "frameViewChange.h"

#include <cmath>

#include "analog/analogDevice.h"
#include "analog/analogView.h"
#include "analog/analogViewDraw.h"
#include "analog/analogViewFormat.h"

namespace {

constexpr int kDspWindowCount = 3;  // none, Hann, Hamming

// An integer value within [low, high), or false.
bool IntIn(const CViewGridValue& value, long low, long high, int* out)
{
    if (!value.isNumber || !(value.number >= low) || !(value.number < high)) return false;
    *out = static_cast<int>(value.number);
    return true;
}

// The colour setters of the view, by property name.
bool ApplyColour(CAnalogView& view, const wxString& name, const CColour& colour)
{
    using Setter = void (CAnalogView::*)(const wxColour&);
    static const struct {
        const char* name;
        Setter setter;
    } kColours[] = {
        {"Bk_Color", &CAnalogView::SetBkColor},
        {"Frame_Color", &CAnalogView::SetFrameColor},
        {"Grid_Color", &CAnalogView::SetGridColor},
        {"Base_Color", &CAnalogView::SetZeroColor},
        {"Curve_Color", &CAnalogView::SetAnalogColor},
        {"surface_color", &CAnalogView::SetEllipseColor},
    };
    for (const auto& entry : kColours) {
        if (name != entry.name) continue;
        if (colour.valid) (view.*entry.setter)(ToWxColour(colour));
        return true;
    }
    return false;
}

// The boolean settings whose change asks for new buffers.
bool* SpectrumFlag(CAnalogView& view, const wxString& name)
{
    if (name == "dsp_mean") return &view.dsp_clear_mean;
    if (name == "dsp_db") return &view.dsp_use_db;
    if (name == "dsp_normalize") return &view.dsp_normalize;
    if (name == "dsp_stat") return &view.dsp_use_stat;
    if (name == "auto_reset") return &view.auto_reset;
    return nullptr;
}

}  // namespace

CAnalogViewChange ApplyAnalogViewChange(CAnalogView& view, CAnalogDevice& device,
                                        const wxString& name, const CViewGridValue& value,
                                        bool recording, bool running)
{
    CAnalogViewChange result;
    result.matched = true;
    auto resetViews = [&] {
        if (!recording) device.ResetViews();
    };
    const double v = value.number;
    int number = 0;
    if (name == "grad_x" || name == "grad_y") {
        if (IntIn(value, 1, 1000000, &number)) {
            (name == "grad_x" ? view.grad_x : view.grad_y) = number;
            view.Refresh(true);
        }
    } else if (name == "Display_time") {
        const double seconds = static_cast<float>(v);
        if (value.isNumber && seconds > 0.0) {
            view.SetDrawTime(seconds);
            resetViews();
        }
    } else if (name == "draw_poly") {
        view.draw_poly = value.flag;
        if (!running) view.Refresh(true);
    } else if (name == "DSP_time") {
        int32_t size = 0;
        if (value.isNumber && DspSizeForTime(v, device.GetRate(), &size)) {
            view.dsp_size = static_cast<std::uint64_t>(size);
            resetViews();
        }
    } else if (name == "dsp_window") {
        if (IntIn(value, 0, kDspWindowCount, &number)) {
            view.dps_window = number;
            resetViews();
        }
    } else if (bool* flag = SpectrumFlag(view, name)) {
        *flag = value.flag;
        resetViews();
    } else if (name == "dsp_rate") {
        if (value.isNumber) {
            view.dsp_max_rate = ClampDspRate(v, device.GetRate());
            if (!recording && view.dsp_use_stat) device.ResetViews();
        }
    } else if (name == "Graph_mode") {
        if (IntIn(value, kDrawNormal, kDrawNone + 1, &number)) {
            view.draw_type = number;
            resetViews();
        }
        result.rebuildGrid = true;
    } else if (name == "Value_Cmp") {
        if (IntIn(value, 0, view.m_dim, &number)) {
            view.m_component = number;
            resetViews();
        } else {
            result.rebuildGrid = true;
        }
    } else if (!ApplyColour(view, name, value.colour)) {
        result.matched = false;
    }
    return result;
}
