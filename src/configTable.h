#pragma once

// Application settings bound by key to the variables that hold them, read from
// and written to a configuration object. A value that is missing, unreadable or
// refused by its rule leaves the variable as it was (its default); the reader says
// what became of a value not taken as written. GUI thread: the configuration object
// belongs to it.

#include <wx/string.h>

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

class wxConfigBase;

// Limits that the file and the settings grid share.
constexpr long kMinPortNumber = 1;
constexpr long kMaxPortNumber = 65535;
constexpr long kMaxCountdownSec = 3600;  // an hour: anything longer is a typing slip

// What a number read from the file must satisfy (integers, and doubles against the
// same bounds).
struct ConfigIntRule {
    enum class Kind {
        Any,             // every 32-bit value
        KeepOutside,     // outside [low, high] the variable keeps its value
        ReplaceOutside,  // outside [low, high] the variable takes replacement
        ClampOutside,    // outside [low, high] the variable takes the nearer bound
    };
    Kind kind = Kind::Any;
    long low = 0;
    long high = 0;
    long replacement = 0;
    const char* unit = "";  // said after the range ("ms", "frames")

    static ConfigIntRule Keep(long low, long high, const char* unit = "")
    {
        return {Kind::KeepOutside, low, high, 0, unit};
    }
    static ConfigIntRule Replace(long low, long high, long by, const char* unit = "")
    {
        return {Kind::ReplaceOutside, low, high, by, unit};
    }
    static ConfigIntRule Clamp(long low, long high, const char* unit = "")
    {
        return {Kind::ClampOutside, low, high, 0, unit};
    }
    // The value to store, or false when the variable keeps its own.
    bool Apply(long& value) const;
    bool Apply(double& value) const;
    bool IsInside(double value) const { return value >= low && value <= high; }
    // "(1 to 1000 ms)", "(at least 0 s)"; empty for Any.
    wxString RangeText() const;
};

// Non-owning pointer to the variable. int64_t is read and written as a 32-bit
// integer; float is stored as a double; std::string is narrow UTF-8 text.
using ConfigTarget = std::variant<bool*, int*, int64_t*, double*, float*, wxString*, std::string*>;

struct ConfigVar {
    const char* key;  // whole key, spelled as stored
    ConfigTarget target;
    ConfigIntRule rule;  // integers only
};

// What a read made of a key's stored value.
enum class ConfigRead {
    kMissing,     // no such key: the variable keeps its value
    kTaken,       // the variable holds the value as written
    kNotANumber,  // unreadable (text, NaN): the variable keeps its value
    kOutOfRange,  // outside the rule (or 32 bits, or finite numbers): kept or replaced
};
// Doubles must be finite; floats within float range.
ConfigRead ReadConfigVar(const wxConfigBase& config, const ConfigVar& var);
// For a value not taken as written, the sentence that says so (no line end):
// "<key> = <as written> is out of range (<range>): <value now> is used".
wxString DescribeConfigRead(const wxConfigBase& config, const ConfigVar& var, ConfigRead result);
bool WriteConfigVar(wxConfigBase& config, const ConfigVar& var);

// The variable of a key (exact), or null.
const ConfigVar* FindConfigVar(const std::vector<ConfigVar>& vars, const char* key);

// Reads every variable whose key starts with group ("/Device/"), in table order; with
// notes, appends the sentence of each value not taken as written.
void ReadConfigGroup(const wxConfigBase& config, const std::vector<ConfigVar>& vars,
                     const char* group, std::vector<wxString>* notes = nullptr);
// The variable's value as the file would hold it.
wxString ConfigValueText(const ConfigVar& var);
// Writes every variable in table order; false when a write failed.
bool WriteConfigVars(wxConfigBase& config, const std::vector<ConfigVar>& vars);

// Lists stored as a count key and one key per entry ("..._%d" with the index).
// More entries than this are never read: a damaged count must not stall loading.
constexpr long kMaxConfigListEntries = 1024;
// Count (0 when missing), then each entry; missing or empty entries are skipped,
// the others keep their order.
std::vector<wxString> ReadConfigList(const wxConfigBase& config, const char* countKey,
                                     const char* entryFormat);
// The entries as the raw texts of entry keys 0..count-1 (empty when missing);
// the count is capped as above and negative counts give none.
std::vector<wxString> ReadConfigEntries(const wxConfigBase& config, const char* countKey,
                                        const char* entryFormat);
bool WriteConfigList(wxConfigBase& config, const char* countKey, const char* entryFormat,
                     const std::vector<wxString>& entries);

// The dock layout is stored with every '=' turned into ':' and read back the other way.
wxString PerspectiveToConfig(const wxString& layout);
wxString PerspectiveFromConfig(const wxString& stored);

// A 32-bit value from a wider one, saturated: a huge typed number must not wrap
// into an accepted one.
int SaturateToInt(long long value);
