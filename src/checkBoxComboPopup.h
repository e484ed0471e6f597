#pragma once

#include <wx/checklst.h>
#include <wx/combo.h>

class TrackerFrame;

// The channel-selection pop-up of the view toolbar: a check list inside a combo
// control, which owns and deletes it. It shows the device's channels as they are
// whenever it opens; every click toggles one channel, tells the frame and closes
// the pop-up. GUI thread.
class wxCheckBoxComboPopup : public wxCheckListBox, public wxComboPopup {
public:
    // owner is not owned and may be null.
    wxCheckBoxComboPopup(int listId, TrackerFrame* owner) : m_listId(listId), m_owner(owner) {}
    ~wxCheckBoxComboPopup() override = default;

    void Init() override;
    bool Create(wxWindow* parent) override;
    wxWindow* GetControl() override { return this; }
    void SetStringValue(const wxString& value) override;
    wxString GetStringValue() const override;
    // The channels may have changed elsewhere (the device grid) since the list
    // was filled: it is filled again from the device.
    void OnPopup() override;

    int GetHoverItem() const { return m_hoverItem; }

private:
    void OnMouseMotion(wxMouseEvent& event);
    void OnMouseLeftDown(wxMouseEvent& event);
    void OnMouseLeftUp(wxMouseEvent& event);

    int m_listId;
    int m_hoverItem = -1;
    TrackerFrame* m_owner;  // not owned

    wxDECLARE_EVENT_TABLE();
};
