#pragma once

#include "analog/colour.h"

#include <wx/string.h>

#include <cstdint>

class wxConfigBase;

// The 2D view's numeric settings, named by their configuration keys, with the
// load rules of the view's configuration group. CAnalogView derives from it so
// that the settings grid and the drawers reach them as public fields. GUI
// thread (the acquisition thread sees copies taken at each rebuild).
class CAnalogViewSettings {
public:
    static constexpr std::uint64_t kMinDspSize = 8;
    static constexpr std::uint64_t kMaxDspSize = 65536;
    static constexpr std::uint64_t kDefaultDspSize = 250;

    int grad_x = 10;
    int grad_y = 10;
    bool auto_reset = false;
    int draw_type = 0;
    bool draw_poly = false;
    bool draw_poly_gradient = true;
    std::uint64_t dsp_size = kDefaultDspSize;
    int dps_window = 2;
    bool dsp_clear_mean = false;
    bool dsp_use_db = true;
    bool dsp_use_stat = false;
    bool dsp_normalize = true;
    double dsp_max_rate = -1.0;
    double draw_time = 5.0;
    CColour bk_color{0, 0, 0};
    CColour frame_color{0, 128, 0};
    CColour grid_color{0, 128, 0};
    CColour analog_color{255, 255, 0};
    CColour zero_color{0, 255, 0};
    CColour ellipse_color{0, 255, 255, 128};

    // The group "/Analog/AnalogView", plus "/" and the device key when there is one.
    static wxString GroupPath(const wxString& deviceKey);

    // Reads the keys of group in their stored order; rateHz is the view's
    // rate, which bounds dsp_max_rate. Unparsable colours stay unchanged.
    void LoadSettings(wxConfigBase& config, const wxString& group, double rateHz);
    void SaveSettings(wxConfigBase& config, const wxString& group) const;

    // The ellipse is always translucent.
    void SetEllipseColour(const CColour& colour);

    // "rgb(r, g, b)", or "rgba(r, g, b, a)" with a in 0..1 when not opaque.
    static wxString ColourText(const CColour& colour);

    // dsp_max_rate kept in (0, rate / 2].
    static double ClampMaxRate(double maxRateHz, double rateHz);
};
