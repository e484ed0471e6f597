#include "GLcanvas/canvasSettings.h"

#include <wx/confbase.h>
#include <wx/intl.h>
#include <wx/string.h>

#include <algorithm>
#include <cmath>

namespace {

// Keys as existing configuration files hold them ("plane_visble" included).
const char* const kSmooth = "/3DCanvas/smooth";
const char* const kWire = "/3DCanvas/wire";
const char* const kMultisampling = "/3DCanvas/multisampling";
const char* const kRenderW = "/3DCanvas/render_w";
const char* const kRenderH = "/3DCanvas/render_h";
const char* const kOrientation = "/3DCanvas/orientation";
const char* const kLightKey = "/3DCanvas/light_%d_";
const char* const kBackground = "/3DCanvas/background_color_";
const char* const kPlaneColour = "/3DCanvas/plane_color_";
const char* const kPlanePosition = "/3DCanvas/plane_position_";
const char* const kPlaneSize = "/3DCanvas/plane_size";
const char* const kPlaneType = "/3DCanvas/plane_type";
const char* const kPlaneGrid = "/3DCanvas/plane_grid";
const char* const kPlaneVisible = "/3DCanvas/plane_visble";
const char* const kPlaneShowAxis = "/3DCanvas/plane_show_axis";
const char* const kPlaneAutoCalc = "/3DCanvas/plane_auto_calc";
const char* const kPlaneAxisSize = "/3DCanvas/plane_axis_size";

wxString Component(const wxString& key, int j) { return key + wxString::Format("%d", j); }

void Set4(float* out, float a, float b, float c, float d)
{
    out[0] = a;
    out[1] = b;
    out[2] = c;
    out[3] = d;
}

void WriteTriple(wxConfigBase& config, const wxString& key, const float* values)
{
    for (int j = 0; j < 3; ++j)
        config.Write(Component(key, j), static_cast<double>(values[j]));
}

void ReadTriple(wxConfigBase& config, const wxString& key, float* values)
{
    for (int j = 0; j < 3; ++j)
        values[j] = static_cast<float>(ReadCanvasDouble(&config, Component(key, j), values[j]));
}

// Integer 0/1 flags: the flag takes the low byte of what is stored.
void ReadFlag(wxConfigBase& config, const wxString& key, bool& flag)
{
    const long value = config.Read(key, flag ? 1L : 0L);
    flag = (value & 0xFF) != 0;
}

}  // namespace

double ReadCanvasDouble(wxConfigBase* config, const wxString& key, double def)
{
    if (config == nullptr)
        return 0.0;
    wxString text;
    if (!config->Read(key, &text, wxString()))
        return def;
    // Written with a point whatever the locale; the conversion follows the locale.
    const wxString separator = wxLocale::GetInfo(wxLOCALE_DECIMAL_POINT, wxLOCALE_CAT_NUMBER);
    if (!separator.empty() && separator != ".")
        text.Replace(".", separator);
    double value = 0.0;
    // "nan" or "inf" would pass the conversion and then spread through the
    // scene's geometry: such text counts as no number.
    if (!text.ToDouble(&value) || !std::isfinite(value))
        return def;
    return value;
}

CCanvasSettings::CCanvasSettings()
{
    m_plane.autoCalc = true;
    SetCanvasDefaults();
}

void CCanvasSettings::SetCanvasDefaults()
{
    m_farValue = 1000.0f;
    m_homeCentre.Set(0.0, 0.0, 0.5);
    m_homeEye.Set(0.0, -4.0, 1.0);
    Set4(m_lights[0].position, -10.0f, -50.0f, 50.0f, 0.0f);
    Set4(m_lights[0].colour, 0.7f, 0.7f, 0.9f, 1.0f);
    Set4(m_lights[1].position, 10.0f, 50.0f, 50.0f, 0.0f);
    Set4(m_lights[1].colour, 0.8f, 0.8f, 1.0f, 1.0f);
    Set4(m_plane.colour, 0.0f, 0.0f, 0.0f, 1.0f);
    m_plane.position[0] = m_plane.position[1] = m_plane.position[2] = 0.0f;
    m_plane.kind = 0;
    m_plane.size = 4.0f;
    m_plane.gridCount = 20;
    m_plane.visible = true;
    m_plane.showAxes = true;
    m_plane.axisSize = 0.5f;
    Set4(m_background, 0.2f, 0.3f, 0.5f, 1.0f);
    Set4(m_fogColour, 0.2f, 0.3f, 0.5f, 1.0f);
    m_fogMode = -1;
    m_fogDensity = 0.05;
    m_fogStart = 0.0;
    m_fogEnd = 0.0;
}

void CCanvasSettings::SaveCanvasConfig(wxConfigBase& config) const
{
    config.Write(kSmooth, m_flags.smooth);
    config.Write(kWire, m_flags.wire);
    config.Write(kMultisampling, m_flags.multisampling);
    config.Write(kRenderW, static_cast<long>(m_renderWidth));
    config.Write(kRenderH, static_cast<long>(m_renderHeight));
    config.Write(kOrientation, static_cast<long>(m_orientation));
    for (int i = 0; i < kLightCount; ++i) {
        const wxString key = wxString::Format(kLightKey, i);
        WriteTriple(config, key + "position_", m_lights[i].position);
        WriteTriple(config, key + "color_", m_lights[i].colour);
    }
    WriteTriple(config, kBackground, m_background);
    WriteTriple(config, kPlaneColour, m_plane.colour);
    WriteTriple(config, kPlanePosition, m_plane.position);
    config.Write(kPlaneSize, static_cast<double>(m_plane.size));
    config.Write(kPlaneType, static_cast<long>(m_plane.kind));
    config.Write(kPlaneGrid, static_cast<long>(m_plane.gridCount));
    config.Write(kPlaneVisible, m_plane.visible ? 1L : 0L);
    config.Write(kPlaneShowAxis, m_plane.showAxes ? 1L : 0L);
    config.Write(kPlaneAutoCalc, m_plane.autoCalc ? 1L : 0L);
    config.Write(kPlaneAxisSize, static_cast<double>(m_plane.axisSize));
}

void CCanvasSettings::LoadCanvasConfig(wxConfigBase& config)
{
    config.Read(kSmooth, &m_flags.smooth, m_flags.smooth);
    config.Read(kWire, &m_flags.wire, m_flags.wire);
    config.Read(kMultisampling, &m_flags.multisampling, m_flags.multisampling);
    config.Read(kRenderW, &m_renderWidth);
    m_renderHeight = static_cast<int>(config.Read(kRenderH, static_cast<long>(m_renderHeight)));
    config.Read(kOrientation, &m_orientation);
    for (int i = 0; i < kLightCount; ++i) {
        const wxString key = wxString::Format(kLightKey, i);
        ReadTriple(config, key + "position_", m_lights[i].position);
        ReadTriple(config, key + "color_", m_lights[i].colour);
    }
    ReadTriple(config, kBackground, m_background);
    ReadTriple(config, kPlaneColour, m_plane.colour);
    ReadTriple(config, kPlanePosition, m_plane.position);
    m_plane.size = static_cast<float>(ReadCanvasDouble(&config, kPlaneSize, m_plane.size));
    if (!(m_plane.size > 0.0f))
        m_plane.size = 1.0f;
    m_plane.kind = static_cast<int>(config.Read(kPlaneType, static_cast<long>(m_plane.kind)));
    m_plane.gridCount =
        static_cast<int>(config.Read(kPlaneGrid, static_cast<long>(m_plane.gridCount)));
    ReadFlag(config, kPlaneVisible, m_plane.visible);
    ReadFlag(config, kPlaneShowAxis, m_plane.showAxes);
    ReadFlag(config, kPlaneAutoCalc, m_plane.autoCalc);
    m_plane.axisSize =
        static_cast<float>(ReadCanvasDouble(&config, kPlaneAxisSize, m_plane.axisSize));
}

void CCanvasSettings::UnderPlaneColour(const float background[4], float out[4])
{
    const float mean = (background[0] + background[1] + background[2]) / 3.0f;
    const float delta = mean < 0.5f ? -0.2f : 0.2f;
    for (int i = 0; i < 3; ++i)
        out[i] = std::min(1.0f, std::max(0.0f, background[i] + delta));
    out[3] = 0.5f;
}

int CCanvasSettings::DrawnGridCount(int gridCount)
{
    return std::min(std::max(gridCount, 0), kMaxDrawnGrid);
}
