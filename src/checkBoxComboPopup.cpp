#include "checkBoxComboPopup.h"

#include "DravonetMain.h"

void wxCheckBoxComboPopup::Init()
{
    m_hoverItem = -1;
}

bool wxCheckBoxComboPopup::Create(wxWindow* parent)
{
    return wxCheckListBox::Create(parent, m_listId, wxDefaultPosition, wxDefaultSize, 0, nullptr, 0,
                                  wxDefaultValidator, wxListBoxNameStr);
}

void wxCheckBoxComboPopup::SetStringValue(const wxString& /*value*/)
{
    // The combo's text is set by the frame when it fills the list.
}

wxString wxCheckBoxComboPopup::GetStringValue() const
{
    int checked = 0;
    for (unsigned i = 0; i < GetCount(); ++i) {
        if (IsChecked(i)) ++checked;
    }
    return wxString::Format(_("%d channel(s) selected"), checked);
}

void wxCheckBoxComboPopup::OnPopup()
{
    if (m_owner) m_owner->RefreshChannelPopup();
}

void wxCheckBoxComboPopup::OnMouseMotion(wxMouseEvent& event)
{
    const int item = HitTest(event.GetPosition());
    if (item != wxNOT_FOUND) m_hoverItem = item;
    event.Skip();
}

void wxCheckBoxComboPopup::OnMouseLeftDown(wxMouseEvent& /*event*/)
{
    // Not passed on: a press on a tick box would toggle the item in the list
    // itself, and the release toggles it (back) again. The release alone clicks.
}

void wxCheckBoxComboPopup::OnMouseLeftUp(wxMouseEvent& event)
{
    // The ticks follow the device up to this click, so the click changes its
    // channel alone.
    if (m_owner) m_owner->RefreshChannelPopup();
    if (m_hoverItem >= 0 && static_cast<unsigned>(m_hoverItem) < GetCount()) {
        Check(static_cast<unsigned>(m_hoverItem), !IsChecked(static_cast<unsigned>(m_hoverItem)));
        m_hoverItem = -1;
    }
    if (m_owner) m_owner->ApplyChannelSelection();
    Dismiss();
    event.Skip();
}

// Last in the file: the formatter reads the table's macros as one expression
// with whatever follows.
// clang-format off
wxBEGIN_EVENT_TABLE(wxCheckBoxComboPopup, wxCheckListBox)
    EVT_MOTION(wxCheckBoxComboPopup::OnMouseMotion)
    EVT_LEFT_DOWN(wxCheckBoxComboPopup::OnMouseLeftDown)
    EVT_LEFT_UP(wxCheckBoxComboPopup::OnMouseLeftUp)
wxEND_EVENT_TABLE()
    // clang-format on
