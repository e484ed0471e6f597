#include "frameViewGridFill.h"

#include <wx/propgrid/advprops.h>
#include <wx/propgrid/propgrid.h>
#include <wx/propgrid/props.h>

#include <cmath>

#include "analog/analogViewDraw.h"

namespace {

wxPGProperty* MakeProperty(const CViewGridEntry& entry)
{
    switch (entry.kind) {
        case CViewGridEntry::kCategory:
        case CViewGridEntry::kSubCategory:
            return new wxPropertyCategory(entry.label, entry.name);
        case CViewGridEntry::kInt:
            return new wxIntProperty(entry.label, entry.name, entry.intValue);
        case CViewGridEntry::kFloat:
            return new wxFloatProperty(entry.label, entry.name, entry.floatValue);
        case CViewGridEntry::kBool:
            return new wxBoolProperty(entry.label, entry.name, entry.boolValue);
        case CViewGridEntry::kEnum: {
            wxArrayString labels;
            wxArrayInt values;
            for (size_t i = 0; i < entry.choices.size(); ++i) {
                labels.Add(entry.choices[i]);
                values.Add(static_cast<int>(i));
            }
            // A stored value outside the list shows no choice rather than a wrong one.
            auto* property = new wxEnumProperty(entry.label, entry.name, labels, values);
            if (entry.intValue >= 0 && entry.intValue < static_cast<long>(entry.choices.size()))
                property->SetValue(wxVariant(entry.intValue));
            else
                property->SetValueToUnspecified();
            return property;
        }
        case CViewGridEntry::kString:
            return new wxStringProperty(entry.label, entry.name, entry.text);
        case CViewGridEntry::kColour:
            return new wxColourProperty(entry.label, entry.name, ToWxColour(entry.colour));
    }
    return nullptr;
}

}  // namespace

void FillViewGrid(wxPropertyGrid& grid, const CViewGridTable& table)
{
    // The spin editor is registered once per process; later calls return at once.
    wxPropertyGrid::RegisterAdditionalEditors();
    wxPGProperty* category = nullptr;
    std::vector<std::pair<wxPGProperty*, CColour>> backgrounds;
    for (const CViewGridEntry& entry : table) {
        wxPGProperty* property = MakeProperty(entry);
        if (!property) continue;
        wxPGProperty* added = nullptr;
        if (entry.kind == CViewGridEntry::kCategory) {
            added = grid.Append(property);
            category = added;
        } else if (!entry.parent.empty() && grid.GetPropertyByName(entry.parent)) {
            added = grid.AppendIn(entry.parent, property);
        } else if (category) {
            added = grid.AppendIn(category, property);
        } else {
            added = grid.Append(property);
        }
        if (!added) continue;
        if (entry.spin) grid.SetPropertyEditor(added, wxPGEditor_SpinCtrl);
        if (entry.readOnly) grid.SetPropertyReadOnly(added, true);
        if (entry.background.valid) backgrounds.emplace_back(added, entry.background);
    }
    // Collapsed only once filled: a collapsed category still takes its children.
    for (const CViewGridEntry& entry : table)
        if (entry.collapsed) grid.Collapse(entry.name);
    for (const auto& [property, colour] : backgrounds)
        grid.SetPropertyBackgroundColour(property, ToWxColour(colour));
    grid.SetPropertyAttributeAll(wxPG_BOOL_USE_CHECKBOX, true);
}

CViewGridValue ReadViewGridValue(const wxVariant& value)
{
    CViewGridValue result;
    if (value.IsNull()) return result;
    const wxString type = value.GetType();
    if (type == "double") {
        result.number = value.GetDouble();
        result.isNumber = std::isfinite(result.number);
    } else if (type == "long") {
        result.number = static_cast<double>(value.GetLong());
        result.isNumber = true;
    } else if (type == "bool") {
        result.flag = value.GetBool();
        result.number = result.flag ? 1.0 : 0.0;
        result.isNumber = true;
    } else if (type == "string") {
        result.text = value.GetString();
    } else if (type == "wxColourPropertyValue") {
        wxColourPropertyValue colour;
        colour << value;
        result.colour = ToCColour(colour.m_colour);
    } else if (type == "wxColour") {
        wxColour colour;
        colour << value;
        result.colour = ToCColour(colour);
    }
    result.flag = result.flag || (result.isNumber && result.number != 0.0);
    return result;
}
