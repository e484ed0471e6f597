#include "frameViewGridModel.h"

#include <wx/intl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "analog/analogDevice.h"
#include "analog/analogViewSettings.h"
#include "analog/paramType.h"

namespace {

const CColour kDeviceBackground(255, 255, 155);
const CColour kChannelBackground(255, 255, 200);
const CColour kViewBackground(255, 255, 200);

CViewGridEntry& Add(CViewGridTable& table, CViewGridEntry::Kind kind, const wxString& label,
                    const wxString& name, const wxString& parent = wxString())
{
    CViewGridEntry entry;
    entry.kind = kind;
    entry.label = label;
    entry.name = name;
    entry.parent = parent;
    table.push_back(entry);
    return table.back();
}

void AddFloat(CViewGridTable& table, const wxString& label, const wxString& name, double value,
              const wxString& parent = wxString())
{
    Add(table, CViewGridEntry::kFloat, label, name, parent).floatValue = value;
}

void AddBool(CViewGridTable& table, const wxString& label, const wxString& name, bool value,
             bool readOnly = false)
{
    CViewGridEntry& entry = Add(table, CViewGridEntry::kBool, label, name);
    entry.boolValue = value;
    entry.readOnly = readOnly;
}

void AddColour(CViewGridTable& table, const wxString& label, const wxString& name,
               const CColour& colour, const wxString& parent = wxString())
{
    CViewGridEntry& entry = Add(table, CViewGridEntry::kColour, label, name, parent);
    entry.colour = CColour(colour.red, colour.green, colour.blue, 255);
}

void AddXyz(CViewGridTable& table, const wxString (&names)[3], const std::array<float, 3>& xyz,
            const wxString& parent)
{
    static const char* const kAxes[3] = {"X", "Y", "Z"};
    for (size_t i = 0; i < 3; ++i) AddFloat(table, _(kAxes[i]), names[i], xyz[i], parent);
}

bool ReadIndex(const wxString& name, int* index)
{
    const int n = IndexAfterBlank(name);
    *index = n;
    return n >= 0;
}

// One property of the device section for parameter id, by the rule of its type.
void AddDeviceParam(CViewGridTable& table, CAnalogDevice& device, int id, const wxString& name,
                    bool readOnly)
{
    int count = 0;
    int type = PARAM_NONE;
    const void* value = device.GetParam(id, &count, &type);
    if (value == nullptr || count != 1) return;
    const wxString label = device.GetParamLabel(id);
    const bool locked = readOnly || device.GetParamFlags(id) != 0;
    CViewGridEntry entry;
    entry.label = label;
    entry.name = name;
    entry.readOnly = locked;
    switch (type) {
        case PARAM_BOOL:
            entry.kind = CViewGridEntry::kBool;
            entry.boolValue = *static_cast<const uint8_t*>(value) != 0;
            break;
        case PARAM_INT:
            entry.kind = CViewGridEntry::kInt;
            entry.intValue = *static_cast<const int32_t*>(value);
            entry.spin = !locked;
            break;
        case PARAM_DOUBLE:
            entry.kind = CViewGridEntry::kFloat;
            entry.floatValue = *static_cast<const double*>(value);
            break;
        case PARAM_CHOICE: {
            const int choices = device.GetChoiceCount(id);
            if (choices <= 0) return;
            entry.kind = CViewGridEntry::kEnum;
            for (int k = 0; k < choices; ++k) entry.choices.push_back(device.GetChoiceLabel(id, k));
            entry.intValue = *static_cast<const int32_t*>(value);
            break;
        }
        case PARAM_STRING:
            entry.kind = CViewGridEntry::kString;
            entry.text = *static_cast<const wxString*>(value);
            break;
        default:
            return;
    }
    table.push_back(entry);
}

}  // namespace

void AppendDisplaySection(CViewGridTable& table, long intervalMs, bool dispatchToViews)
{
    Add(table, CViewGridEntry::kCategory, _("Display Properties"), "Display_view");
    AddFloat(table, _("Frame rate (fps)"), "display_rate", FrameRateForInterval(intervalMs));
    AddBool(table, _("Display analog values"), "send_to_screen", dispatchToViews);
}

void AppendAnalogViewSections(CViewGridTable& table, const CAnalogViewSettings& settings,
                              int component, int viewDim, int deviceDim, double rateHz,
                              bool recording, const wxArrayString& drawTypes)
{
    CViewGridEntry& view = Add(table, CViewGridEntry::kCategory, _("Analog View"), "Analog_view");
    view.background = kViewBackground;
    CViewGridEntry& gradX = Add(table, CViewGridEntry::kInt, _("Tick X"), "grad_x");
    gradX.intValue = settings.grad_x;
    gradX.spin = true;
    CViewGridEntry& gradY = Add(table, CViewGridEntry::kInt, _("Tick Y"), "grad_y");
    gradY.intValue = settings.grad_y;
    gradY.spin = true;
    AddFloat(table, _("Display Time"), "Display_time", settings.draw_time);
    table.back().readOnly = recording;
    AddBool(table, _("Fill Lines"), "draw_poly", settings.draw_poly);
    CViewGridEntry& mode = Add(table, CViewGridEntry::kEnum, _("Graph Mode"), "Graph_mode");
    for (const wxString& type : drawTypes) mode.choices.push_back(type);
    mode.intValue = settings.draw_type;
    mode.readOnly = recording;
    AddBool(table, _("Auto reset"), "auto_reset", settings.auto_reset, recording);
    AddColour(table, _("Background colour"), "Bk_Color", settings.bk_color);
    AddColour(table, _("Frame colour"), "Frame_Color", settings.frame_color);
    AddColour(table, _("Grid colour"), "Grid_Color", settings.grid_color);
    AddColour(table, _("Base Line colour"), "Base_Color", settings.zero_color);
    AddColour(table, _("Curve colour"), "Curve_Color", settings.analog_color);
    AddColour(table, _("Surface colour"), "surface_color", settings.ellipse_color);
    if (deviceDim >= 2) {
        CViewGridEntry& cmp = Add(table, CViewGridEntry::kEnum, _("Component"), "Value_Cmp");
        cmp.choices = ComponentLabels(deviceDim, viewDim);
        cmp.intValue = component;
        cmp.readOnly = recording;
    }

    CViewGridEntry& dsp = Add(table, CViewGridEntry::kCategory, _("PSD Properties"), "DSP_prop");
    dsp.collapsed = true;
    const double seconds = rateHz > 0.0 && std::isfinite(rateHz)
                               ? static_cast<double>(settings.dsp_size) / rateHz
                               : 0.0;
    AddFloat(table, _("PSD Time"), "DSP_time", seconds);
    table.back().readOnly = recording;
    CViewGridEntry& window = Add(table, CViewGridEntry::kEnum, _("PSD Window"), "dsp_window");
    window.choices = {_("None"), _("Hann"), _("Hanning")};
    window.intValue = settings.dps_window;
    window.readOnly = recording;
    AddBool(table, _("Reset mean value"), "dsp_mean", settings.dsp_clear_mean, recording);
    AddBool(table, _("Use DB values"), "dsp_db", settings.dsp_use_db, recording);
    AddBool(table, _("Normalize values"), "dsp_normalize", settings.dsp_normalize, recording);
    AddBool(table, _("Show stat"), "dsp_stat", settings.dsp_use_stat, recording);
    AddFloat(table, _("PSD display Rate"), "dsp_rate", settings.dsp_max_rate);
    table.back().readOnly = recording && settings.dsp_use_stat;
}

void Append3DViewSections(CViewGridTable& table, const C3DViewGridValues& values)
{
    Add(table, CViewGridEntry::kCategory, _("3D Workspace"), "3D_WORKSPACE");
    AddFloat(table, _("Display Time"), "Display_time", values.drawTime);
    AddFloat(table, _("Object size"), "object_size", values.objectSize);
    AddColour(table, _("Background colour"), "3Dbkcolor", FloatsToColour(values.background.data()));

    Add(table, CViewGridEntry::kCategory, _("Camera "), "CAMERA_POS");
    Add(table, CViewGridEntry::kSubCategory, _("Position"), "camera_position", "CAMERA_POS");
    static const wxString kEye[3] = {"CAMX", "CAMY", "CAMZ"};
    AddXyz(table, kEye, values.eye, "camera_position");
    Add(table, CViewGridEntry::kSubCategory, _("Look at"), "camera_look", "CAMERA_POS");
    static const wxString kCentre[3] = {"CAM_VIEWX", "CAM_VIEWY", "CAM_VIEWZ"};
    AddXyz(table, kCentre, values.centre, "camera_look");

    Add(table, CViewGridEntry::kCategory, _("Lights"), "3DLights").collapsed = true;
    for (size_t i = 0; i < values.lights.size(); ++i) {
        const C3DViewGridValues::Light& light = values.lights[i];
        const int n = static_cast<int>(i) + 1;
        const wxString lightName = wxString::Format("Light_%d", n);
        Add(table, CViewGridEntry::kSubCategory, wxString::Format(_("Light_%d"), n), lightName,
            "3DLights");
        AddColour(table, _("Colour"), wxString::Format("light_color %d", n - 1),
                  FloatsToColour(&light[4]), lightName);
        const wxString positionName = wxString::Format("Position_%d", n);
        Add(table, CViewGridEntry::kSubCategory, wxString::Format(_("Position_%d"), n),
            positionName, lightName);
        const wxString names[3] = {wxString::Format("light_position_x %d", n - 1),
                                   wxString::Format("light_position_y %d", n - 1),
                                   wxString::Format("light_position_z %d", n - 1)};
        AddXyz(table, names, {light[0], light[1], light[2]}, positionName);
    }

    Add(table, CViewGridEntry::kCategory, _("Plane and axis"), "3DPlane").collapsed = true;
    AddBool(table, _("Show Plane"), "Show Plane", values.planeShown);
    AddFloat(table, _("Plane Size"), "Plane Size", values.planeSize);
    CViewGridEntry& grid = Add(table, CViewGridEntry::kInt, _("Grid number"), "Grid number");
    grid.intValue = values.gridDivisions;
    grid.spin = true;
    AddBool(table, _("Show main axis"), "Show main axis", values.axesShown);
    AddFloat(table, _("Axis Size"), "Axis Size", values.axisLength);
    Add(table, CViewGridEntry::kSubCategory, _("Position"), "Plane Position", "3DPlane").collapsed =
        true;
    static const wxString kPlane[3] = {"plane_X", "plane_Y", "plane_Z"};
    AddXyz(table, kPlane, values.planePosition, "Plane Position");
}

wxString DeviceGridLabel(const CAnalogDevice& device)
{
    const wxString name = device.GetDeviceName();
    return name.empty() ? _("Analog device") : name;
}

std::vector<wxString> DeviceParamNames(CAnalogDevice& device)
{
    const wxString label = DeviceGridLabel(device);
    const int count = std::max(0, device.GetParamCount());
    std::vector<wxString> names;
    names.reserve(static_cast<size_t>(count));
    std::set<wxString> taken;
    for (int id = 0; id < count; ++id) {
        wxString name = label + device.GetParamLabel(id);
        if (!taken.insert(name).second) {
            name += wxString::Format("#%d", id);
            taken.insert(name);
        }
        names.push_back(name);
    }
    return names;
}

int FindDeviceParam(CAnalogDevice& device, const wxString& name)
{
    const std::vector<wxString> names = DeviceParamNames(device);
    for (size_t id = 0; id < names.size(); ++id)
        if (names[id] == name) return static_cast<int>(id);
    return -1;
}

void AppendDeviceSections(CViewGridTable& table, CAnalogDevice& device, bool readOnly)
{
    const wxString label = DeviceGridLabel(device);
    const std::vector<wxString> names = DeviceParamNames(device);
    const int paramCount = static_cast<int>(names.size());
    const int channels = std::max(0, device.GetChannelCount());
    const int ownCount = paramCount - channels;
    if (ownCount > 0) {
        Add(table, CViewGridEntry::kCategory, label, "Analog_device");
        const size_t category = table.size() - 1;
        for (int id = 0; id < ownCount; ++id)
            AddDeviceParam(table, device, id, names[static_cast<size_t>(id)], readOnly);
        table[category].background = kDeviceBackground;
    }
    if (channels <= 0) return;
    Add(table, CViewGridEntry::kCategory, label + _(" Channel names"), "Analog_channel");
    const size_t category = table.size() - 1;
    for (int id = std::max(0, ownCount); id < paramCount; ++id) {
        int count = 0;
        int type = PARAM_NONE;
        if (device.GetParam(id, &count, &type) == nullptr || count != 1 || type != PARAM_STRING)
            continue;
        AddDeviceParam(table, device, id, names[static_cast<size_t>(id)], readOnly);
    }
    Add(table, CViewGridEntry::kCategory, "Channel Colours", "channel_colors");
    for (int k = 0; k < channels; ++k)
        AddColour(table, device.GetChannelName(k), wxString::Format("color_channel %d", k),
                  device.GetChannelColour(k));
    table[category].background = kChannelBackground;
}

std::vector<wxString> ComponentLabels(int deviceDim, int viewDim)
{
    if (deviceDim < 2) return {};
    if (deviceDim == 6) return {"X", "Y", "Z", "RX", "RY", "RZ"};
    if (deviceDim == 7) return {"X", "Y", "Z", "Qw", "Qx", "Qy", "Qz"};
    std::vector<wxString> labels;
    for (int i = 1; i <= viewDim; ++i) labels.push_back(wxString::Format(_("Component %d"), i));
    return labels;
}

float FrameRateForInterval(long intervalMs)
{
    if (intervalMs <= 0) return 0.0f;
    return 1000.0f / static_cast<float>(intervalMs);
}

bool DisplayIntervalForRate(double fps, long* intervalMs)
{
    if (!(fps >= 10.0 && fps <= 144.0)) return false;
    *intervalMs = static_cast<long>(std::floor(1000.0 / fps));
    return true;
}

bool DspSizeForTime(double seconds, double rateHz, int32_t* size)
{
    if (!(seconds > 0.0) || !(rateHz > 0.0) || !std::isfinite(rateHz)) return false;
    const double samples = std::ceil(seconds * rateHz);
    const double top = static_cast<double>(std::numeric_limits<int32_t>::max());
    *size = samples >= top ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(samples);
    return true;
}

double ClampDspRate(double valueHz, double rateHz)
{
    const double half = rateHz / 2.0;
    if (!(valueHz > 0.0) || valueHz > half) return half;
    return valueHz;
}

int IndexAfterBlank(const wxString& name)
{
    const int blank = name.Find(' ');
    if (blank == wxNOT_FOUND) return -1;
    long value = 0;
    if (!name.Mid(static_cast<size_t>(blank) + 1).ToLong(&value, 10)) return -1;
    if (value < 0 || value > std::numeric_limits<int>::max()) return -1;
    return static_cast<int>(value);
}

uint8_t FloatToColourByte(float component)
{
    const float scaled = component * 255.0f;
    if (!std::isfinite(scaled) || std::fabs(scaled) >= 2147483647.0f) return 0;
    return static_cast<uint8_t>(static_cast<int32_t>(scaled) & 0xff);
}

CColour FloatsToColour(const float* rgb)
{
    return CColour(FloatToColourByte(rgb[0]), FloatToColourByte(rgb[1]), FloatToColourByte(rgb[2]));
}

C3DGridChange Apply3DGridChange(const wxString& name, const CViewGridValue& value,
                                C3DViewGridValues& values)
{
    const double v = value.number;
    const float vf = static_cast<float>(v);
    const CColour& c = value.colour;
    auto setAxis = [&](std::array<float, 3>& xyz, size_t axis, C3DGridChange change) {
        if (!value.isNumber) return C3DGridChange::kNone;
        xyz[axis] = vf;
        return change;
    };
    if (name == "Display_time") {
        if (!value.isNumber || !(v >= 0.0)) return C3DGridChange::kNone;
        values.drawTime = v;
        return C3DGridChange::kDrawTime;
    }
    if (name == "object_size") {
        if (!value.isNumber || !(v > 0.0)) return C3DGridChange::kNone;
        values.objectSize = v;
        return C3DGridChange::kObjectSize;
    }
    if (name == "CAM_VIEWX") return setAxis(values.centre, 0, C3DGridChange::kCentre);
    if (name == "CAM_VIEWY") return setAxis(values.centre, 1, C3DGridChange::kCentre);
    if (name == "CAM_VIEWZ") return setAxis(values.centre, 2, C3DGridChange::kCentre);
    if (name == "CAMX") return setAxis(values.eye, 0, C3DGridChange::kEye);
    if (name == "CAMY") return setAxis(values.eye, 1, C3DGridChange::kEye);
    if (name == "CAMZ") return setAxis(values.eye, 2, C3DGridChange::kEye);
    if (name == "3Dbkcolor") {
        if (!c.valid) return C3DGridChange::kNone;
        values.background[0] = c.red / 255.0f;
        values.background[1] = c.green / 255.0f;
        values.background[2] = c.blue / 255.0f;
        return C3DGridChange::kBackground;
    }
    int n = -1;
    const bool inRange = ReadIndex(name, &n) && n < static_cast<int>(values.lights.size());
    if (name.StartsWith("light_color ")) {
        // The lights are set up again whatever the index says.
        if (inRange && c.valid) {
            C3DViewGridValues::Light& light = values.lights[static_cast<size_t>(n)];
            light[4] = c.red / 255.0f;
            light[5] = c.green / 255.0f;
            light[6] = c.blue / 255.0f;
        }
        return C3DGridChange::kLights;
    }
    static const char* const kLightAxes[3] = {"light_position_x ", "light_position_y ",
                                              "light_position_z "};
    for (size_t axis = 0; axis < 3; ++axis) {
        if (!name.StartsWith(kLightAxes[axis])) continue;
        if (!inRange || !value.isNumber) return C3DGridChange::kNone;
        values.lights[static_cast<size_t>(n)][axis] = vf;
        return C3DGridChange::kLights;
    }
    if (name == "Show Plane") {
        values.planeShown = value.flag;
        return C3DGridChange::kPlane;
    }
    if (name == "Plane Size") {
        if (!value.isNumber || !(v > 0.0)) return C3DGridChange::kNone;
        values.planeSize = vf;
        return C3DGridChange::kPlane;
    }
    if (name == "Grid number") {
        if (!value.isNumber || !(v >= 1.0) || v > std::numeric_limits<int32_t>::max())
            return C3DGridChange::kNone;
        values.gridDivisions = static_cast<int32_t>(v);
        return C3DGridChange::kPlane;
    }
    if (name == "Show main axis") {
        values.axesShown = value.flag;
        return C3DGridChange::kPlane;
    }
    if (name == "Axis Size") {
        if (!value.isNumber || !(v > 0.0)) return C3DGridChange::kNone;
        values.axisLength = vf;
        return C3DGridChange::kPlane;
    }
    if (name == "plane_X") return setAxis(values.planePosition, 0, C3DGridChange::kPlane);
    if (name == "plane_Y") return setAxis(values.planePosition, 1, C3DGridChange::kPlane);
    if (name == "plane_Z") return setAxis(values.planePosition, 2, C3DGridChange::kPlane);
    return C3DGridChange::kNone;
}

namespace {

// Hands value to parameter id as its type wants it; false when the value
// cannot be one (the device is not asked then).
bool SetParamFromGrid(CAnalogDevice& device, int id, int type, const CViewGridValue& value,
                      bool* changed)
{
    switch (type) {
        case PARAM_BOOL: {
            uint8_t flag = value.flag ? 1 : 0;
            return device.SetParam(&flag, id, 1, type, changed);
        }
        case PARAM_INT:
        case PARAM_CHOICE: {
            if (!value.isNumber || value.number < std::numeric_limits<int32_t>::min() ||
                value.number > std::numeric_limits<int32_t>::max()) {
                *changed = false;
                return false;
            }
            int32_t number = static_cast<int32_t>(value.number);
            return device.SetParam(&number, id, 1, type, changed);
        }
        case PARAM_DOUBLE: {
            if (!value.isNumber) {
                *changed = false;
                return false;
            }
            double number = value.number;
            return device.SetParam(&number, id, 1, type, changed);
        }
        case PARAM_STRING: {
            wxString text = value.text;
            return device.SetParam(&text, id, 1, type, changed);
        }
        default:
            return true;  // nothing to hand over; the change stands
    }
}

}  // namespace

CDeviceParamChange ApplyDeviceParamChange(CAnalogDevice& device, const wxString& name,
                                          const CViewGridValue& value, bool wasRunning)
{
    CDeviceParamChange result;
    result.id = FindDeviceParam(device, name);
    if (result.id < 0) return result;
    result.matched = true;
    int count = 0;
    int type = PARAM_NONE;
    const int flags = device.GetParamFlags(result.id);
    device.GetParam(result.id, &count, &type);
    result.type = type;
    if (count != 1 || flags != 0) return result;
    result.handed = true;
    if (wasRunning) device.AnalogStop();
    bool changed = true;
    SetParamFromGrid(device, result.id, type, value, &changed);
    result.changed = changed;
    if (!changed) {
        // A refused value leaves the device as it was, running included.
        if (wasRunning) device.AnalogStart();
        return result;
    }
    device.ResetViews();
    if (result.id == 0 && type == PARAM_STRING) device.OnParamChanged();
    return result;
}
