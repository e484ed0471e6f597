#include "frameSettingsRules.h"

#include <wx/intl.h>
#include <wx/variant.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>

#include "analog/recordFormat.h"
#include "configKeys.h"
#include "network/oscClientSettings.h"
#include "network/oscServerSettings.h"
#include "serial/serialPort.h"

namespace {

using C = SettingCheck;

// In the order the handler compares names.
constexpr SettingRule kRules[] = {
    {"Capture_dir", kKeyCaptureCapturePath, C::None, 0, 0, 0},
    {"expert_mode", kKeyExpertMode, C::None, 0, 0, 0},
    {"export_dir", kKeyCaptureExportPath, C::None, 0, 0, 0},
    {"Acq_buffer", kKeyCaptureQueueDepth, C::KeepOutside, kMinCaptureQueueDepth,
     kMaxCaptureQueueDepth, 0},
    {"Acq_priority", kKeyCapturePriority, C::None, 0, 0, 0},
    {"Capture_time", kKeyCaptureMaxTime, C::NonNegative, 0, 0, 0},
    {"Capture_pre_time", kKeyCapturePreTime, C::Countdown, 0, kMaxCountdownSec, 0},
    {"Capture_sound", kKeyCaptureSound, C::None, 0, 0, 0},
    {"ACQ_THREAD", kKeyCaptureUseThread, C::None, 0, 0, 0},
    {"AUTO_FILE", kKeyCaptureAutoFile, C::None, 0, 0, 0},
    {"EXPORT_TXT", kKeyCaptureExportAnalog, C::None, 0, 0, 0},
    {"EXPORT_TXT_HEADER", kKeyUseTextHeader, C::None, 0, 0, 0},
    {"EXPORT_TXT_TIME", kKeyUseTextTime, C::None, 0, 0, 0},
    {"use_daytime_timer", kKeyDeviceTimer, C::None, 0, 0, 0},
    {"use_gen_timer", kKeyDeviceGenTimer, C::None, 0, 0, 0},
    {"use_clock_delay", kKeyDeviceClockDelay, C::None, 0, 0, 0},
    {"worker_priority", kKeyDeviceWorkerPriority, C::None, 0, 0, 0},
    {"use_core", kKeyUseCore, C::None, 0, 0, 0},
    {"clock_accuray", kKeyDeviceEps, C::Tolerance, 0, 1000, 0},
    {"show_delta", kKeyDeviceShowDelta, C::None, 0, 0, 0},
    {"WII_TIMEOUT", kKeyWiiTimeOut, C::AtLeast, 1, 0, 0},
    {"check_wii_at_startup", kKeyWiiCheck, C::None, 0, 0, 0},
    {"multi_wii", kKeyWiiUseMulti, C::None, 0, 0, 0},
    {"remove_wii_device", kKeyWiiRemove, C::None, 0, 0, 0},
    {"set_wii_board", kKeyWiiSetBoard, C::None, 0, 0, 0},
    {"max_wii_devices", kKeyWiiMaxDevices, C::ReplaceOutside, 1, 4, 1},
    {"SATEL_COM_PORT", kKeySatelComPort, C::ComPortChoice, 0, 0, 0},
    {"SATEL_RATE", kKeySatelRate, C::None, 0, 0, 0},
    {"BIRD_COM_PORT", kKeyFobComPort, C::ComPortChoice, 0, 0, 0},
    {"HEMISPHERE", kKeyFobHemisphere, C::None, 0, 0, 0},
    {"BIRD_SLEEP", kKeyFobSleep, C::KeepOutside, 0, 9999, 0},
    {"BIRD_BAUD", kKeyFobSpeed, C::BaudChoice, 0, 0, 0},
    {"BIRD_RANGE", kKeyFobRange, C::RangeChoice, 0, 0, 0},
    {"camera_width", kKeyCameraWidth, C::ReplaceOutside, 100, 4000, 1000},
    {"camera_height", kKeyCameraHeight, C::ReplaceOutside, 100, 4000, 1000},
    {"camera_rate", kKeyCameraRate, C::ReplaceOutside, 1, 1000, 60},
    {"use_gl_canvas", kKeyViewUseGlCanvas, C::None, 0, 0, 0},
    {"VRPN_SERVER", kKeyVrpnUse, C::None, 0, 0, 0},
    {"vrpn_server_name", kKeyVrpnServerName, C::NotEmpty, 0, 0, 0},
    {"vrpn_listening_port", kKeyVrpnListeningPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"VRPN_OUT_USE", kKeyVrpnSyncOutUse, C::None, 0, 0, 0},
    {"TRIGGER_OUT_BUTTON", kKeyVrpnSyncButton, C::AtLeast, 0, 0, 0},
    {"osc_client_max_timeout", kOscKeyClientMaxTimeout, C::Absolute, 0, 0, 0},
    {"osc_client_min_timeout", kOscKeyClientMinTimeout, C::Absolute, 0, 0, 0},
    {"OSC_CLIENT_SERVER_NAME", kOscKeyClientServerName, C::None, 0, 0, 0},
    {"OSC_CLIENT_SERVER_ADDRESS", kOscKeyClientAddress, C::None, 0, 0, 0},
    {"OSC_CLINE_SERVER_B_PORT", kOscKeyClientBroadcastPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"OSC_CLINE_SERVER_L_PORT", kOscKeyClientListeningPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"OSC_CLIENT_SERVER_PATTERN", kOscKeyClientDataPattern, C::None, 0, 0, 0},
    {"OSC_CLIENT_SERVER_CONNECT", kOscKeyClientConnect, C::None, 0, 0, 0},
    {"OSC_CLIENT_SERVER_DISCONNECT", kOscKeyClientDisconnect, C::None, 0, 0, 0},
    {"OSC_CLENT_SERVER_CONF", kOscKeyClientLoadConfig, C::None, 0, 0, 0},
    {"OSC_TRIGGER_THRESHOLD_LOW", kOscKeySyncLowValue, C::BelowOther, 0, 0, 0, kOscKeySyncHighValue},
    {"OSC_TRIGGER_THRESHOLD_HIGH", kOscKeySyncHighValue, C::AboveOther, 0, 0, 0, kOscKeySyncLowValue},
    {"OSC_TRIGGER_OUT_PORT", kOscKeySyncOutPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"OSC_TRIGGER_IN_PORT", kOscKeySyncInPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"OSC_TRIGGER_NAME", kOscKeySyncServerName, C::None, 0, 0, 0},
    {"OSC_TRIGGER_USE", kOscKeySyncUse, C::None, 0, 0, 0},
    {"OSC_TRIGGER_ADDR", kOscKeySyncAddress, C::None, 0, 0, 0},
    {"OSC_SERVER", kKeyOscUseServer, C::None, 0, 0, 0},
    {"OSC_PORT_LIST", kKeyOscListeningPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"OSC_PORT_SEND", kKeyOscSendingPort, C::Port, kMinPortNumber, kMaxPortNumber, 0},
    {"OSC_SERVER_NAME", kOscKeyTrackerServerName, C::None, 0, 0, 0},
    {"OSC_CONNECT_NAME", kOscKeyConnectPattern, C::None, 0, 0, 0},
    {"OSC_DISCONNECT_NAME", kOscKeyDisconnectPattern, C::None, 0, 0, 0},
    {"OSC_CONNECTED_NAME", kOscKeyServerConnected, C::None, 0, 0, 0},
    {"OSC_REMOVED_NAME", kOscKeyServerRemoved, C::None, 0, 0, 0},
    {"OSC_DATA_NAME", kOscKeyServerDataTag, C::None, 0, 0, 0},
    {"OSC_EVENT_NAME", kOscKeyServerEventTag, C::None, 0, 0, 0},
    {"OSC_DOUBLE", kOscKeyUseDouble, C::None, 0, 0, 0},
    {"serverSendTime", kOscKeyServerSendTime, C::None, 0, 0, 0},
    {"OSC_TO_LOCAL", kOscKeySendToLocal, C::None, 0, 0, 0},
    {"OSC_TIMEOUT", kOscKeyTimeout, C::ReplaceOutside, 1, 500, 100},
    {"USB_TRIGGER_USE", kKeyTriggerUsbUse, C::None, 0, 0, 0},
    {"USB_TRIGGER_COM_PORT", kKeyTriggerUsbPort, C::ComPortChoice, 0, 0, 0},
    {"USB_TRIGGER_BAUD", kKeyTriggerUsbSpeed, C::BaudChoice, 0, 0, 0},
    {"USB_TRIGGER_THRESHOLD_HIGH", kKeyTriggerThresholdHigh, C::AboveOther, 0, 0, 0,
     kKeyTriggerThresholdLow},
    {"USB_TRIGGER_THRESHOLD_LOW", kKeyTriggerThresholdLow, C::BelowOther, 0, 0, 0,
     kKeyTriggerThresholdHigh},
    {"TRIGGER_LOOP", kKeyTriggerLoop, C::None, 0, 0, 0},
    {"TRIGGER_TIME_OUT", kKeyTriggerTimeOut, C::AtLeast, 0, 0, 0},
};

constexpr int kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr int kFobRanges[] = {36, 72, 144};

long long VariantToLongLong(const wxVariant& value)
{
    const wxString type = value.GetType();
    if (type == "longlong") return value.GetLongLong().GetValue();
    if (type == "double") {
        const double number = value.GetDouble();
        if (!std::isfinite(number)) return 0;
        if (number >= 9.0e18) return LLONG_MAX;
        if (number <= -9.0e18) return LLONG_MIN;
        return static_cast<long long>(number);
    }
    long number = 0;
    return value.Convert(&number) ? number : 0;
}

double VariantToDouble(const wxVariant& value)
{
    double number = 0;
    return value.Convert(&number) ? number : 0.0;
}

// The value as a number: numbers as they are, a text only when all of it is one.
bool VariantToNumber(const wxVariant& value, double& number)
{
    const wxString type = value.GetType();
    if (type == "string") return value.GetString().Strip(wxString::both).ToCDouble(&number);
    if (type == "double" || type == "long" || type == "longlong") return value.Convert(&number);
    return false;
}

// The integer to store after the rule, or false when nothing is stored.
bool CheckInt(const SettingRule& rule, long long given, long& out)
{
    long v = SaturateToInt(given);
    switch (rule.check) {
        case C::AtLeast:
            if (v < rule.low) v = rule.low;
            break;
        case C::ReplaceOutside:
            if (v < rule.low || v > rule.high) v = rule.replacement;
            break;
        case C::KeepOutside:
        case C::Port:
            if (v < rule.low || v > rule.high) return false;
            break;
        case C::Absolute:
            v = v == INT_MIN ? INT_MAX : (v < 0 ? -v : v);
            break;
        case C::BaudChoice:
            v = BaudFromChoice(static_cast<int>(v));
            if (v == 0) return false;
            break;
        default:
            break;
    }
    out = v;
    return true;
}

// The double the other variable holds; NaN when there is none.
double OtherValue(const ConfigVar* other)
{
    if (other == nullptr) return std::nan("");
    const double* const* target = std::get_if<double*>(&other->target);
    return target ? **target : std::nan("");
}

struct Store {
    const SettingRule& rule;
    const wxVariant& value;
    const ConfigVar* other;

    bool operator()(bool* target) const
    {
        *target = value.GetType() == "bool" ? value.GetBool() : VariantToLongLong(value) != 0;
        return true;
    }
    bool operator()(int* target) const
    {
        long v = 0;
        if (!CheckInt(rule, VariantToLongLong(value), v)) return false;
        *target = static_cast<int>(v);
        return true;
    }
    bool operator()(int64_t* target) const
    {
        long v = 0;
        if (!CheckInt(rule, VariantToLongLong(value), v)) return false;
        *target = v;
        return true;
    }
    bool operator()(double* target) const { return StoreDouble(target); }
    bool operator()(float* target) const
    {
        double v = 0;
        if (!StoreDouble(&v)) return false;
        *target = static_cast<float>(v);
        return true;
    }
    bool operator()(wxString* target) const
    {
        wxString text;
        if (!Text(text)) return false;
        *target = text;
        return true;
    }
    bool operator()(std::string* target) const
    {
        wxString text;
        if (!Text(text)) return false;
        const wxScopedCharBuffer bytes = text.utf8_str();
        target->assign(bytes.data(), bytes.length());
        return true;
    }

    bool StoreDouble(double* target) const
    {
        double v = 0;
        if (rule.check == C::RangeChoice) {
            v = FobRangeFromChoice(SaturateToInt(VariantToLongLong(value)));
            if (v == 0) return false;
        } else {
            if (rule.check == C::NonNegative || rule.check == C::Countdown) {
                // A text that is no number must not become 0 (no limit), nor a
                // negative or undefined time a limit of one frame.
                if (!VariantToNumber(value, v) || !std::isfinite(v) || v < 0.0) return false;
                if (rule.check == C::Countdown && v > rule.high) return false;
            } else if (rule.check == C::AboveOther || rule.check == C::BelowOther) {
                // A trigger starts at its high level and stops at its low one: levels the
                // other way round would start and stop a trial at once.
                const double bound = OtherValue(other);
                if (!VariantToNumber(value, v) || !std::isfinite(v)) return false;
                if (rule.check == C::AboveOther ? !(v > bound) : !(v < bound)) return false;
            } else {
                v = VariantToDouble(value);
            }
            if (rule.check == C::Tolerance && !(v >= rule.low && v < rule.high)) return false;
        }
        *target = v;
        return true;
    }
    bool Text(wxString& text) const
    {
        if (rule.check == C::ComPortChoice) {
            // A choice outside the list gives the empty name.
            text = GetComPortName(SaturateToInt(VariantToLongLong(value)));
            return true;
        }
        text = value.GetType() == "string" ? value.GetString() : value.MakeString();
        return !(rule.check == C::NotEmpty && text.empty());
    }
};

wxArrayString MakeLabels(const int* values, size_t count)
{
    wxArrayString labels;
    for (size_t i = 0; i < count; ++i) labels.Add(wxString::Format("%d", values[i]));
    return labels;
}

}  // namespace

const SettingRule* FindSettingRule(const wxString& name)
{
    for (const SettingRule& rule : kRules)
        if (name == rule.name) return &rule;
    return nullptr;
}

bool StoreSettingValue(const SettingRule& rule, const ConfigVar& var, const wxVariant& value,
                       const ConfigVar* other)
{
    if (value.IsNull()) return false;
    return std::visit(Store{rule, value, other}, var.target);
}

wxString SettingRefusal(const SettingRule& rule, const ConfigVar* other)
{
    switch (rule.check) {
        case C::Port:
            return wxString::Format(_("A port is a number from %ld to %ld; the port is kept"),
                                    rule.low, rule.high);
        case C::Countdown:
            return wxString::Format(_("The count-down is a number of seconds from 0 to %ld (0: "
                                      "none); the count-down is kept"),
                                    rule.high);
        case C::AboveOther:
            return wxString::Format(_("The high trigger threshold must be above the low one "
                                      "(%g); the threshold is kept"),
                                    OtherValue(other));
        case C::BelowOther:
            return wxString::Format(_("The low trigger threshold must be below the high one "
                                      "(%g); the threshold is kept"),
                                    OtherValue(other));
        default:
            return wxString();
    }
}

const wxArrayString& BaudChoiceLabels()
{
    static const wxArrayString labels = MakeLabels(kBaudRates, std::size(kBaudRates));
    return labels;
}

int BaudFromChoice(int index)
{
    if (index < 0 || index >= static_cast<int>(std::size(kBaudRates))) return 0;
    return kBaudRates[index];
}

int ChoiceFromBaud(long baud)
{
    for (size_t i = 0; i < std::size(kBaudRates); ++i)
        if (kBaudRates[i] == baud) return static_cast<int>(i);
    return -1;
}

const wxArrayString& FobRangeChoiceLabels()
{
    static const wxArrayString labels = MakeLabels(kFobRanges, std::size(kFobRanges));
    return labels;
}

double FobRangeFromChoice(int index)
{
    if (index < 0 || index >= static_cast<int>(std::size(kFobRanges))) return 0.0;
    return kFobRanges[index];
}

int ChoiceFromFobRange(float range)
{
    for (size_t i = 0; i < std::size(kFobRanges); ++i)
        if (static_cast<float>(kFobRanges[i]) == range) return static_cast<int>(i);
    return -1;
}

int ChoiceFromComPort(const wxString& port, const wxArrayString& names)
{
    const int index = names.Index(port, true);
    return index == wxNOT_FOUND ? 0 : index;
}
