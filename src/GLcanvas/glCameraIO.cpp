// Persistence of wxGLCamera: configuration keys, text and binary streams, the state array.
#include <wx/confbase.h>
#include <wx/datstrm.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/txtstrm.h>

#include <cmath>
#include <cstdint>
#include <istream>
#include <limits>
#include <ostream>
#include <set>
#include <vector>

#include "GLcanvas/configDouble.h"
#include "GLcanvas/glCamera.h"

namespace {

// Stored keys, spelled as existing files have them ("Perpective" included).
constexpr const char* kEyeKey = "/Camera/Eye_%d";
constexpr const char* kCenterKey = "/Camera/Center_%d";
constexpr const char* kPerspectiveKey = "/Camera/Perpective";
constexpr const char* kLensKey = "/Camera/Lens";
constexpr const char* kCminKey = "/Camera/cmin";
constexpr const char* kCmaxKey = "/Camera/cmax";
constexpr const char* kZnearKey = "/Camera/znear";
constexpr const char* kZfarKey = "/Camera/zfar";
constexpr const char* kOrbitalKey = "/Camera/Orbital";
constexpr const char* kShowCamKey = "/Camera/ShowCam";
constexpr const char* kShowFieldKey = "/Camera/ShowField";

constexpr size_t kStateSize = 12;

wxString g_stateText;  // shared by all cameras, GUI thread only

// Refused stored values, GUI thread only: those of the open report scopes, and every
// one reported so far (as "key=text").
int g_reportDepth = 0;
std::vector<wxString> g_refused;
std::set<wxString> g_reported;

bool IsSaneStored(double value, bool isLens)
{
    if (!std::isfinite(value)) return false;
    if (isLens) return value >= wxGLCamera::kMinLens && value <= wxGLCamera::kMaxLens;
    return std::fabs(value) <= wxGLCamera::kMaxStoredMagnitude;
}

// A stored camera double: a missing key keeps the value in use silently; a damaged or
// insane one keeps it too and is noted for the report.
double ReadStored(wxConfigBase* cfg, const wxString& key, double current, bool isLens = false)
{
    wxString text;
    if (!cfg->Read(key, &text)) return current;
    const double value = ReadConfigDouble(cfg, key, std::numeric_limits<double>::quiet_NaN());
    if (IsSaneStored(value, isLens)) return value;
    const wxString entry = key + "=" + text;
    if (g_reported.insert(entry).second) g_refused.push_back(entry);
    return current;
}

// A stored flag: 0 or 1 as written; anything else keeps the flag and is noted, without
// the toolkit's own warning for each such entry.
void ReadStoredFlag(wxConfigBase* cfg, const wxString& key, bool& flag)
{
    wxString text;
    if (!cfg->Read(key, &text)) return;
    long value = 0;
    if (text.Trim().Trim(false).ToLong(&value) && (value == 0 || value == 1)) {
        flag = value == 1;
        return;
    }
    const wxString entry = key + "=" + text;
    if (g_reported.insert(entry).second) g_refused.push_back(entry);
}

}  // namespace

wxGLCamera::LoadReport::LoadReport() { ++g_reportDepth; }

wxGLCamera::LoadReport::~LoadReport()
{
    if (--g_reportDepth > 0 || g_refused.empty()) return;
    wxString list;
    for (const wxString& entry : g_refused) list += (list.empty() ? "" : ", ") + entry;
    g_refused.clear();
    wxLogWarning(_("Stored 3D camera values that were damaged or out of range were replaced by "
                   "defaults: %s"),
                 list);
}

// The persisted fields in stream order, read whole before any of them is applied.
struct wxGLCamera::StreamRecord {
    double eye[3] = {};
    double center[3] = {};
    long perspective = 0;
    double lens = 0.0;
    double cmin = 0.0;
    double cmax = 0.0;
    double znear = 0.0;
    double zfar = 0.0;
    long orbital = 0;
    long showCam = 0;
    long showField = 0;

    bool IsFinite() const
    {
        const double values[] = {eye[0], eye[1], eye[2], center[0], center[1], center[2],
                                 lens,   cmin,   cmax,   znear,     zfar};
        for (double v : values)
            if (!std::isfinite(v)) return false;
        return std::isfinite(2.0 * zfar);
    }
};

namespace {

// A flag takes the lowest byte of the integer stored for it.
bool LowByte(long value) { return (static_cast<unsigned long>(value) & 0xFFu) != 0; }

// Doubles from wxTextOutputStream carry the writer's locale separator; the layout separates
// values by white space only, so a comma here is a decimal comma.
bool ReadWordDouble(wxTextInputStream& s, double& value)
{
    wxString word = s.ReadWord();
    word.Replace(",", ".");
    return !word.empty() && word.ToCDouble(&value);
}

bool ReadWordLong(wxTextInputStream& s, long& value)
{
    const wxString word = s.ReadWord();
    return !word.empty() && word.ToCLong(&value);
}

template <typename Record, typename ReadDouble, typename ReadInt>
bool ReadRecord(Record& r, ReadDouble readDouble, ReadInt readInt)
{
    for (double& v : r.eye)
        if (!readDouble(v)) return false;
    for (double& v : r.center)
        if (!readDouble(v)) return false;
    return readInt(r.perspective) && readDouble(r.lens) && readDouble(r.cmin) &&
           readDouble(r.cmax) && readDouble(r.znear) && readDouble(r.zfar) && readInt(r.orbital) &&
           readInt(r.showCam) && readInt(r.showField);
}

}  // namespace

void wxGLCamera::SaveConfig(wxConfigBase* cfg, const wxString& prefix) const
{
    if (cfg == nullptr) return;
    for (int i = 0; i < 3; ++i) cfg->Write(prefix + wxString::Format(kEyeKey, i), m_eye[i]);
    for (int i = 0; i < 3; ++i) cfg->Write(prefix + wxString::Format(kCenterKey, i), m_center[i]);
    cfg->Write(prefix + kPerspectiveKey, m_perspective);
    cfg->Write(prefix + kLensKey, m_lens);
    cfg->Write(prefix + kCminKey, m_cmin);
    cfg->Write(prefix + kCmaxKey, m_cmax);
    cfg->Write(prefix + kZnearKey, m_znear);
    cfg->Write(prefix + kZfarKey, m_zfar);
    cfg->Write(prefix + kOrbitalKey, m_orbital);
    cfg->Write(prefix + kShowCamKey, m_showCam);
    cfg->Write(prefix + kShowFieldKey, m_showField);
}

void wxGLCamera::LoadConfig(wxConfigBase* cfg, const wxString& prefix)
{
    if (cfg != nullptr) {
        const LoadReport report;
        for (int i = 0; i < 3; ++i)
            m_eye[i] = ReadStored(cfg, prefix + wxString::Format(kEyeKey, i), m_eye[i]);
        for (int i = 0; i < 3; ++i)
            m_center[i] = ReadStored(cfg, prefix + wxString::Format(kCenterKey, i), m_center[i]);
        ReadStoredFlag(cfg, prefix + kPerspectiveKey, m_perspective);
        m_lens = ReadStored(cfg, prefix + kLensKey, m_lens, true);
        m_cmin = ReadStored(cfg, prefix + kCminKey, m_cmin);
        m_cmax = ReadStored(cfg, prefix + kCmaxKey, m_cmax);
        m_znear = ReadStored(cfg, prefix + kZnearKey, m_znear);
        m_zfar = ReadStored(cfg, prefix + kZfarKey, m_zfar);
        ReadStoredFlag(cfg, prefix + kOrbitalKey, m_orbital);
        ReadStoredFlag(cfg, prefix + kShowCamKey, m_showCam);
        ReadStoredFlag(cfg, prefix + kShowFieldKey, m_showField);
    }
    UpdateDirection();
}

std::ostream& wxGLCamera::Write(std::ostream& os) const
{
    os << m_eye.x << "\t" << m_eye.y << "\t" << m_eye.z << "\n";
    os << m_center.x << "\t" << m_center.y << "\t" << m_center.z << "\n";
    os << (m_perspective ? 1 : 0) << "\t" << m_lens << "\n";
    os << m_cmin << "\t" << m_cmax << "\t" << m_znear << "\t" << m_zfar << "\n";
    os << (m_orbital ? 1 : 0) << "\n";
    os << (m_showCam ? 1 : 0) << "\t" << (m_showField ? 1 : 0) << "\n";
    return os;
}

void wxGLCamera::Save(wxTextOutputStream& s) const
{
    s << m_eye.x << "\t" << m_eye.y << "\t" << m_eye.z << "\n";
    s << m_center.x << "\t" << m_center.y << "\t" << m_center.z << "\n";
    s << (m_perspective ? 1 : 0) << "\t" << m_lens << "\n";
    s << m_cmin << "\t" << m_cmax << "\t" << m_znear << "\t" << m_zfar << "\n";
    s << (m_orbital ? 1 : 0) << "\n";
    s << (m_showCam ? 1 : 0) << "\t" << (m_showField ? 1 : 0) << "\n";
}

bool wxGLCamera::Save(wxDataOutputStream* s) const
{
    if (s == nullptr || !s->IsOk()) return false;
    for (int i = 0; i < 3; ++i) s->WriteDouble(m_eye[i]);
    for (int i = 0; i < 3; ++i) s->WriteDouble(m_center[i]);
    s->Write32(m_perspective ? 1 : 0);
    s->WriteDouble(m_lens);
    s->WriteDouble(m_cmin);
    s->WriteDouble(m_cmax);
    s->WriteDouble(m_znear);
    s->WriteDouble(m_zfar);
    s->Write32(m_orbital ? 1 : 0);
    s->Write32(m_showCam ? 1 : 0);
    s->Write32(m_showField ? 1 : 0);
    // A full disk or a closed stream must not pass for a saved camera.
    return s->IsOk();
}

void wxGLCamera::Read(std::istream& is)
{
    StreamRecord r;
    if (ReadRecord(
            r, [&is](double& v) { return static_cast<bool>(is >> v); },
            [&is](long& v) { return static_cast<bool>(is >> v); }))
        ApplyStreamRecord(r);
}

void wxGLCamera::Load(wxTextInputStream& s)
{
    StreamRecord r;
    if (ReadRecord(
            r, [&s](double& v) { return ReadWordDouble(s, v); },
            [&s](long& v) { return ReadWordLong(s, v); }))
        ApplyStreamRecord(r);
}

bool wxGLCamera::Load(wxDataInputStream* s)
{
    if (s == nullptr || !s->IsOk()) return false;
    StreamRecord r;
    const bool isRead = ReadRecord(
        r,
        [s](double& v) {
            v = s->ReadDouble();
            return s->IsOk();
        },
        [s](long& v) {
            v = static_cast<int32_t>(s->Read32());
            return s->IsOk();
        });
    return isRead && ApplyStreamRecord(r);
}

bool wxGLCamera::ApplyStreamRecord(const StreamRecord& r)
{
    if (!r.IsFinite()) return false;
    m_eye.Set(r.eye);
    m_center.Set(r.center);
    m_perspective = LowByte(r.perspective);
    m_lens = r.lens;
    m_cmin = r.cmin;
    m_cmax = r.cmax;
    m_znear = r.znear;
    // Stored far values are read back doubled; existing files and views rely on it.
    m_zfar = 2.0 * r.zfar;
    m_orbital = LowByte(r.orbital);
    m_showCam = LowByte(r.showCam);
    m_showField = LowByte(r.showField);
    UpdateProjection(true);
    return true;
}

bool wxGLCamera::GetState(double* v, size_t n) const
{
    if (v == nullptr || n < kStateSize) return false;
    m_eye.Get(v);
    m_center.Get(v + 3);
    v[6] = m_lens;
    v[7] = m_cmin;
    v[8] = m_cmax;
    v[9] = m_znear;
    v[10] = m_zfar;
    v[11] = m_perspective ? 1.0 : 0.0;
    return true;
}

bool wxGLCamera::SetState(const double* v, size_t n)
{
    if (v == nullptr || n < kStateSize) return false;
    for (size_t i = 0; i < kStateSize - 1; ++i)
        if (!std::isfinite(v[i])) return false;
    m_eye.Set(v);
    m_center.Set(v + 3);
    m_lens = v[6];
    m_cmin = v[7];
    m_cmax = v[8];
    m_znear = v[9];
    m_zfar = v[10];
    m_perspective = v[11] != 0.0;
    UpdateDirection();
    return true;
}

wxString wxGLCamera::GetStateText() const
{
    g_stateText.Printf("E : %.3f  %.3f  %.3f - C : %.3f  %.3f  %.3f  L : %.3f", m_eye.x, m_eye.y,
                       m_eye.z, m_center.x, m_center.y, m_center.z, m_direction.Length());
    return g_stateText;
}
