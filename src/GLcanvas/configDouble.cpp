#include "GLcanvas/configDouble.h"

#include <wx/confbase.h>
#include <wx/intl.h>

#include <cmath>

double ReadConfigDouble(wxConfigBase* cfg, const wxString& key, double def)
{
    if (cfg == nullptr) return 0.0;
    wxString text;
    if (!cfg->Read(key, &text, wxString())) return def;
    const wxString separator = wxLocale::GetInfo(wxLOCALE_DECIMAL_POINT, wxLOCALE_CAT_NUMBER);
    if (!separator.empty() && separator != ".") text.Replace(".", separator);
    double value = 0.0;
    // "nan" and "inf" convert, but would leave a view or a colour unusable.
    if (!text.ToDouble(&value) || !std::isfinite(value)) return def;
    return value;
}
