#include "configTable.h"

#include <wx/confbase.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Every number goes through a long: the toolkit's int reader asserts on values
// outside int instead of failing.
bool ReadLong(const wxConfigBase& config, const char* key, long& value)
{
    long number = 0;
    if (!config.Read(key, &number)) return false;
    value = number;
    return true;
}

// A 32-bit integer through the rule. kTaken with a replaced value counts as out of
// range: the variable does not hold what was written.
ConfigRead ReadInt32(const wxConfigBase& config, const ConfigVar& var, long& value)
{
    long number = 0;
    if (!ReadLong(config, var.key, number)) return ConfigRead::kNotANumber;
    if (number < INT_MIN || number > INT_MAX) return ConfigRead::kOutOfRange;
    const long written = number;
    if (!var.rule.Apply(number)) return ConfigRead::kOutOfRange;
    value = number;
    return number == written ? ConfigRead::kTaken : ConfigRead::kOutOfRange;
}

ConfigRead ReadDouble(const wxConfigBase& config, const ConfigVar& var, double limit,
                      double& value)
{
    double number = 0;
    if (!config.Read(var.key, &number) || std::isnan(number)) return ConfigRead::kNotANumber;
    if (!std::isfinite(number) || std::fabs(number) > limit) return ConfigRead::kOutOfRange;
    const double written = number;
    if (!var.rule.Apply(number)) return ConfigRead::kOutOfRange;
    value = number;
    return number == written ? ConfigRead::kTaken : ConfigRead::kOutOfRange;
}

struct Reader {
    const wxConfigBase& config;
    const ConfigVar& var;

    ConfigRead operator()(bool* target) const
    {
        // Read as a number: the toolkit's own reader warns about values other
        // than 0 and 1 through the log, which would pop up at start-up.
        long number = 0;
        if (!ReadLong(config, var.key, number)) return ConfigRead::kNotANumber;
        *target = number != 0;
        return ConfigRead::kTaken;
    }
    ConfigRead operator()(int* target) const
    {
        long number = static_cast<long>(*target);
        const ConfigRead result = ReadInt32(config, var, number);
        *target = static_cast<int>(number);
        return result;
    }
    ConfigRead operator()(int64_t* target) const
    {
        long number = static_cast<long>(*target);
        const ConfigRead result = ReadInt32(config, var, number);
        *target = number;
        return result;
    }
    ConfigRead operator()(double* target) const
    {
        return ReadDouble(config, var, std::numeric_limits<double>::max(), *target);
    }
    ConfigRead operator()(float* target) const
    {
        double number = *target;
        const ConfigRead result =
            ReadDouble(config, var, std::numeric_limits<float>::max(), number);
        *target = static_cast<float>(number);
        return result;
    }
    ConfigRead operator()(wxString* target) const
    {
        wxString text;
        if (!config.Read(var.key, &text)) return ConfigRead::kNotANumber;
        *target = text;
        return ConfigRead::kTaken;
    }
    ConfigRead operator()(std::string* target) const
    {
        wxString text;
        if (!config.Read(var.key, &text)) return ConfigRead::kNotANumber;
        const wxScopedCharBuffer bytes = text.utf8_str();
        target->assign(bytes.data(), bytes.length());
        return ConfigRead::kTaken;
    }
};

struct ValueText {
    wxString operator()(bool* value) const { return *value ? "1" : "0"; }
    wxString operator()(int* value) const { return wxString::Format("%d", *value); }
    wxString operator()(int64_t* value) const
    {
        return wxString::Format("%lld", static_cast<long long>(*value));
    }
    wxString operator()(double* value) const { return wxString::FromCDouble(*value); }
    wxString operator()(float* value) const { return wxString::FromCDouble(*value); }
    wxString operator()(wxString* value) const { return *value; }
    wxString operator()(std::string* value) const
    {
        return wxString::FromUTF8(value->data(), value->size());
    }
};

struct Writer {
    wxConfigBase& config;
    const char* key;

    bool operator()(bool* value) const { return config.Write(key, *value); }
    bool operator()(int* value) const { return config.Write(key, static_cast<long>(*value)); }
    bool operator()(int64_t* value) const
    {
        // The stored form is 32 bits: the low half of the value.
        return config.Write(key, static_cast<long>(static_cast<int32_t>(
                                     static_cast<uint32_t>(static_cast<uint64_t>(*value)))));
    }
    bool operator()(double* value) const { return config.Write(key, *value); }
    bool operator()(float* value) const { return config.Write(key, static_cast<double>(*value)); }
    bool operator()(wxString* value) const { return config.Write(key, *value); }
    bool operator()(std::string* value) const
    {
        return config.Write(key, wxString::FromUTF8(value->data(), value->size()));
    }
};

wxString EntryKey(const char* entryFormat, long index)
{
    return wxString::Format(entryFormat, static_cast<int>(index));
}

long ReadCount(const wxConfigBase& config, const char* countKey)
{
    long count = 0;
    if (!ReadLong(config, countKey, count) || count < 0) return 0;
    return count < kMaxConfigListEntries ? count : kMaxConfigListEntries;
}

}  // namespace

bool ConfigIntRule::Apply(long& value) const
{
    const bool inside = value >= low && value <= high;
    switch (kind) {
        case Kind::Any:
            return true;
        case Kind::KeepOutside:
            return inside;
        case Kind::ReplaceOutside:
            if (!inside) value = replacement;
            return true;
        case Kind::ClampOutside:
            value = value < low ? low : (value > high ? high : value);
            return true;
    }
    return false;
}

bool ConfigIntRule::Apply(double& value) const
{
    switch (kind) {
        case Kind::Any:
            return true;
        case Kind::KeepOutside:
            return IsInside(value);
        case Kind::ReplaceOutside:
            if (!IsInside(value)) value = static_cast<double>(replacement);
            return true;
        case Kind::ClampOutside:
            value = value < low ? low : (value > high ? high : value);
            return true;
    }
    return false;
}

wxString ConfigIntRule::RangeText() const
{
    if (kind == Kind::Any) return wxString();
    const wxString unitText = *unit ? wxString(" ") + unit : wxString();
    if (high == INT_MAX) return wxString::Format("(at least %ld%s)", low, unitText);
    return wxString::Format("(%ld to %ld%s)", low, high, unitText);
}

ConfigRead ReadConfigVar(const wxConfigBase& config, const ConfigVar& var)
{
    if (!config.HasEntry(var.key)) return ConfigRead::kMissing;
    return std::visit(Reader{config, var}, var.target);
}

wxString ConfigValueText(const ConfigVar& var) { return std::visit(ValueText{}, var.target); }

wxString DescribeConfigRead(const wxConfigBase& config, const ConfigVar& var, ConfigRead result)
{
    if (result == ConfigRead::kMissing || result == ConfigRead::kTaken) return wxString();
    wxString written;
    config.Read(var.key, &written);
    wxString what;
    if (result == ConfigRead::kNotANumber) {
        what = "is not a number";
    } else {
        wxString range = var.rule.RangeText();
        if (range.empty()) {
            const bool isWhole = std::holds_alternative<int*>(var.target) ||
                                 std::holds_alternative<int64_t*>(var.target);
            range = isWhole ? "(32-bit numbers)" : "(finite numbers)";
        }
        what = "is out of range " + range;
    }
    return wxString::Format("%s = %s %s: %s is used", var.key, written, what,
                            ConfigValueText(var));
}

bool WriteConfigVar(wxConfigBase& config, const ConfigVar& var)
{
    return std::visit(Writer{config, var.key}, var.target);
}

const ConfigVar* FindConfigVar(const std::vector<ConfigVar>& vars, const char* key)
{
    for (const ConfigVar& var : vars)
        if (std::strcmp(var.key, key) == 0) return &var;
    return nullptr;
}

void ReadConfigGroup(const wxConfigBase& config, const std::vector<ConfigVar>& vars,
                     const char* group, std::vector<wxString>* notes)
{
    const size_t length = std::strlen(group);
    for (const ConfigVar& var : vars) {
        if (std::strncmp(var.key, group, length) != 0) continue;
        const ConfigRead result = ReadConfigVar(config, var);
        const wxString note = DescribeConfigRead(config, var, result);
        if (notes && !note.empty()) notes->push_back(note);
    }
}

bool WriteConfigVars(wxConfigBase& config, const std::vector<ConfigVar>& vars)
{
    bool ok = true;
    for (const ConfigVar& var : vars) ok = WriteConfigVar(config, var) && ok;
    return ok;
}

std::vector<wxString> ReadConfigEntries(const wxConfigBase& config, const char* countKey,
                                        const char* entryFormat)
{
    std::vector<wxString> entries;
    const long count = ReadCount(config, countKey);
    entries.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        wxString text;
        if (!config.Read(EntryKey(entryFormat, i), &text)) text.clear();
        entries.push_back(text);
    }
    return entries;
}

std::vector<wxString> ReadConfigList(const wxConfigBase& config, const char* countKey,
                                     const char* entryFormat)
{
    std::vector<wxString> entries;
    for (wxString& text : ReadConfigEntries(config, countKey, entryFormat))
        if (!text.empty()) entries.push_back(std::move(text));
    return entries;
}

bool WriteConfigList(wxConfigBase& config, const char* countKey, const char* entryFormat,
                     const std::vector<wxString>& entries)
{
    bool ok = config.Write(countKey, static_cast<long>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i)
        ok = config.Write(EntryKey(entryFormat, static_cast<long>(i)), entries[i]) && ok;
    return ok;
}

wxString PerspectiveToConfig(const wxString& layout)
{
    wxString stored = layout;
    stored.Replace("=", ":");
    return stored;
}

wxString PerspectiveFromConfig(const wxString& stored)
{
    wxString layout = stored;
    layout.Replace(":", "=");
    return layout;
}

int SaturateToInt(long long value)
{
    if (value < INT_MIN) return INT_MIN;
    if (value > INT_MAX) return INT_MAX;
    return static_cast<int>(value);
}
