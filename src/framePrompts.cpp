#include "framePrompts.h"

#include <wx/choicdlg.h>
#include <wx/msgdlg.h>
#include <wx/textdlg.h>
#include <wx/utils.h>

namespace {

CShellPrompts DefaultPrompts()
{
    CShellPrompts prompts;
    prompts.confirm = [](wxWindow* parent, const wxString& text) {
        return wxMessageBox(text, "Quorvane", wxYES_NO | wxCENTRE, parent) == wxYES;
    };
    prompts.confirmDefaultNo = [](wxWindow* parent, const wxString& text) {
        return wxMessageBox(text, "Quorvane", wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION | wxCENTRE,
                            parent) == wxYES;
    };
    prompts.textEntry = [](wxWindow* parent, const wxString& message, const wxString& caption,
                           const wxString& value) {
        return wxGetTextFromUser(message, caption, value, parent, wxDefaultCoord, wxDefaultCoord,
                                 true);
    };
    prompts.singleChoice = [](wxWindow* parent, const wxString& message, const wxString& caption,
                              const wxArrayString& choices) {
        return wxGetSingleChoiceIndex(message, caption, choices, parent, wxDefaultCoord,
                                      wxDefaultCoord, true, 200, 150, 0);
    };
    prompts.multipleChoice = [](wxWindow* parent, const wxString& message, const wxString& caption,
                                const wxArrayString& choices) {
        wxArrayInt selections;
        if (wxGetSelectedChoices(selections, message, caption, choices, parent, wxDefaultCoord,
                                 wxDefaultCoord, true, 200, 150) < 0)
            selections.Clear();
        return selections;
    };
    prompts.sleep = [](unsigned long ms) { wxMilliSleep(ms); };
    return prompts;
}

}  // namespace

CShellPrompts& ShellPrompts()
{
    static CShellPrompts prompts = DefaultPrompts();
    return prompts;
}

void ResetShellPrompts()
{
    ShellPrompts() = DefaultPrompts();
}
