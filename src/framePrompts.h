#pragma once

#include <wx/arrstr.h>
#include <wx/dynarray.h>
#include <wx/string.h>

#include <functional>

class wxWindow;

// The questions and choices the device commands put to the user. The defaults are
// the toolkit's dialogs, centred on the parent; a test answers in their place.
struct CShellPrompts {
    // Yes/No with the caption "Quorvane": true only for Yes.
    std::function<bool(wxWindow* parent, const wxString& text)> confirm;
    // The same with No preselected, for a step that deletes recorded data: a
    // key pressed by habit keeps the files.
    std::function<bool(wxWindow* parent, const wxString& text)> confirmDefaultNo;
    // Text entry: the text, empty on cancel.
    std::function<wxString(wxWindow* parent, const wxString& message, const wxString& caption,
                           const wxString& value)>
        textEntry;
    // Single choice, first entry preselected: the index, -1 on cancel.
    std::function<int(wxWindow* parent, const wxString& message, const wxString& caption,
                      const wxArrayString& choices)>
        singleChoice;
    // Multiple choice, nothing preselected: the chosen indexes in selection order.
    std::function<wxArrayInt(wxWindow* parent, const wxString& message, const wxString& caption,
                             const wxArrayString& choices)>
        multipleChoice;
    // The pauses that give acquisition threads time to end.
    std::function<void(unsigned long ms)> sleep;
};

// GUI thread.
CShellPrompts& ShellPrompts();
void ResetShellPrompts();
