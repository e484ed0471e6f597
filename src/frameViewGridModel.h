#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

#include <array>
#include <cstdint>
#include <vector>

#include "analog/colour.h"

class CAnalogDevice;
class CAnalogViewSettings;

// One row of the view property grid, described without the grid so that the
// table is built and checked without a display; the main frame turns the rows
// into grid properties. GUI thread (everything in this file).
struct CViewGridEntry {
    enum Kind { kCategory, kSubCategory, kInt, kFloat, kBool, kEnum, kString, kColour };
    Kind kind = kCategory;
    wxString label;
    wxString name;      // the change handler's key; never translated
    wxString parent;    // holding (sub-)category by name; empty: the last top-level category
    long intValue = 0;  // integer, or the selected value of an enumeration (values 0..n-1)
    double floatValue = 0.0;
    bool boolValue = false;
    wxString text;
    CColour colour;
    std::vector<wxString> choices;
    bool readOnly = false;
    bool spin = false;       // integer edited with a spin control
    bool collapsed = false;  // category created collapsed
    CColour background;      // category: when valid, paints it and its children
};
using CViewGridTable = std::vector<CViewGridEntry>;

// What the grid shows of a 3D view and its canvas, and what an edit changes.
struct C3DViewGridValues {
    using Light = std::array<float, 8>;  // position x, y, z, w, diffuse r, g, b, a
    double drawTime = 0.0;
    double objectSize = 0.0;
    std::array<float, 4> background{};  // r, g, b, a in 0..1
    std::array<float, 3> eye{};
    std::array<float, 3> centre{};
    std::vector<Light> lights;
    std::array<float, 3> planeColour{};
    std::array<float, 3> planePosition{};
    float planeSize = 0.0f;
    int32_t gridDivisions = 0;
    bool planeShown = false;
    bool axesShown = false;
    float axisLength = 0.0f;
};

// The edited value as the change handler reads it from the grid.
struct CViewGridValue {
    bool isNumber = false;  // number holds a readable double (or integer)
    double number = 0.0;
    bool flag = false;
    wxString text;
    CColour colour;  // valid for a colour property
};

// What an edit on a 3D page asks the view to do after the values changed.
enum class C3DGridChange {
    kNone,
    kDrawTime,
    kObjectSize,
    kEye,
    kCentre,
    kBackground,
    kLights,
    kPlane
};

// Display section (advanced mode).
void AppendDisplaySection(CViewGridTable& table, long intervalMs, bool dispatchToViews);

// The 2D sections. viewDim is the channel dimension the view's buffers hold,
// deviceDim the device's; drawTypes the display-mode names in mode order.
void AppendAnalogViewSections(CViewGridTable& table, const CAnalogViewSettings& settings,
                              int component, int viewDim, int deviceDim, double rateHz,
                              bool recording, const wxArrayString& drawTypes);

// The 3D sections.
void Append3DViewSections(CViewGridTable& table, const C3DViewGridValues& values);

// The device's parameters, channel names and channel colours. Every parameter
// is read-only when readOnly is set (a 2D page whose device records).
void AppendDeviceSections(CViewGridTable& table, CAnalogDevice& device, bool readOnly);

// The device name, or the translated "Analog device" for a nameless device.
wxString DeviceGridLabel(const CAnalogDevice& device);

// The property name of every parameter id, in id order: the device label and
// the parameter's label; a name already taken by a lower id gets "#" and the id
// so that each property reaches its own parameter.
std::vector<wxString> DeviceParamNames(CAnalogDevice& device);

// The parameter id a property of the device section stands for, or -1.
int FindDeviceParam(CAnalogDevice& device, const wxString& name);

// The labels of the "Component" choice; empty below a dimension of 2.
std::vector<wxString> ComponentLabels(int deviceDim, int viewDim);

// 1000 / interval in single precision; 0 for an interval that is not positive.
float FrameRateForInterval(long intervalMs);
// floor(1000 / fps) for 10 <= fps <= 144; false (nothing stored) otherwise.
bool DisplayIntervalForRate(double fps, long* intervalMs);
// ceil(seconds x rate) for seconds > 0, kept within the 32-bit range; false
// for a time that is not positive or a rate that is not a positive number.
bool DspSizeForTime(double seconds, double rateHz, int32_t* size);
// The spectrum's top frequency: half the rate unless 0 < value <= half the rate.
double ClampDspRate(double valueHz, double rateHz);
// The base-10 integer after the first blank of a name; -1 when there is none.
int IndexAfterBlank(const wxString& name);
// A 0..1 colour component as the grid shows it: x 255 in single precision,
// truncated, low 8 bits kept.
uint8_t FloatToColourByte(float component);
CColour FloatsToColour(const float* rgb);

// Applies an edit of a 3D page to the values; the result names what changed.
C3DGridChange Apply3DGridChange(const wxString& name, const CViewGridValue& value,
                                C3DViewGridValues& values);

// The outcome of an edit of the device section.
struct CDeviceParamChange {
    bool matched = false;  // the name stands for a parameter of the device
    bool handed = false;   // the value went to the device (single-valued, not locked)
    bool changed = false;  // the device took the value (views reset, hook run)
    int id = -1;
    int type = 0;
};

// Applies an edit of the device section: a running device is stopped, the
// value handed to the device; when taken, its views are reset and, for a
// string parameter 0, its change hook runs. A refused value starts a device
// stopped here again; a taken one is left to the caller to start, after the
// remaining updates. A multi-valued or locked parameter is matched, untouched.
CDeviceParamChange ApplyDeviceParamChange(CAnalogDevice& device, const wxString& name,
                                          const CViewGridValue& value, bool wasRunning);
